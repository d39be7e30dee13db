#!/bin/sh
# Installs what the registry needs on Debian 12, by role (run as root):
#
#   scripts/setup.sh [--check] [serve|test|bench]...     (default: serve)
#
#   serve  building and serving: compiler, cmake, lighttpd with its TLS
#          module, the FastCGI library and spawner, and the static yyjson
#          described below
#   test   serve, plus GoogleTest, the clients of the end-to-end suites
#          (skopeo, podman), htpasswd and openssl for their credentials and
#          certificates, clang with libFuzzer (scripts/fuzz.sh), and the
#          GlusterFS server and FUSE client of scripts/scaleout_test.sh
#          (which starts its own glusterd; the package enables no service)
#   bench  serve, plus wrk, valgrind, openssl, GNU time, ss and Debian's
#          docker-registry (the peer of scripts/bench.sh, which starts its own
#          instance: the packaged service is never started and is disabled)
#
# --check installs nothing and needs no root: it names what is missing and
# exits 1, or exits 0 when everything the roles need is present. Either way a
# run is quick when nothing is missing: one dpkg query and a few file tests.
#
# yyjson: Debian 12 has none, and Debian 13 ships it only as a shared
# library, which a fully static CGI program cannot link. So Debian 13's
# source package is built here instead, as a static, position-independent
# library (the static programs and the dynamically linked tests link the same
# archive) below REG_YYJSON_PREFIX (default /opt/halvane/yyjson), where
# CMakeLists.txt looks for it. Its files come from the Debian 13 suite of the
# mirror this machine's apt sources already name; the suite's signed Release
# file vouches for its Sources index and the index for the tarballs. Delete
# the directory to have it built again.
set -eu

serve_pkgs="g++ cmake make pkg-config libssl-dev lighttpd lighttpd-mod-openssl curl ca-certificates xz-utils libfcgi-dev spawn-fcgi"
# libgmock-dev: Debian's GTest CMake package refers to gmock's files too.
# apache2-utils: htpasswd, which writes the bcrypt password files that
# lighttpd's mod_authn_file reads.
test_pkgs="googletest libgtest-dev libgmock-dev skopeo podman apache2-utils openssl clang libfuzzer-14-dev libclang-rt-14-dev glusterfs-server glusterfs-client"
bench_pkgs="wrk valgrind openssl time iproute2 docker-registry"

prefix=${REG_YYJSON_PREFIX:-/opt/halvane/yyjson}
suite=trixie
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
# The only revision built without its Debian tarball, which the mirrors do
# not all serve: its changes over upstream are packaging alone (the
# changelog: a new upstream version and the symbols file; the installed
# header is upstream's byte for byte). Any other revision must come with its
# Debian tarball, whose patches are then applied.
patchless_revision=0.10.0+ds-1

usage() {
    sed -n '2,20p' "$0" | sed 's/^# \{0,1\}//'
}
die() {
    echo "setup: $*" >&2
    exit 1
}

check=0
roles=
for arg in "$@"; do
    case $arg in
        --check) check=1 ;;
        serve|test|bench) roles="$roles $arg" ;;
        -h|--help) usage; exit 0 ;;
        *) usage >&2; die "unknown role or option: $arg" ;;
    esac
done
roles=${roles# }
[ -n "$roles" ] || roles=serve

pkgs=$serve_pkgs
for role in $roles; do
    case $role in
        test) pkgs="$pkgs $test_pkgs" ;;
        bench) pkgs="$pkgs $bench_pkgs" ;;
    esac
done

missing_pkgs() {
    # One query for all of them; unknown names only go to standard error.
    # shellcheck disable=SC2086
    installed=" $(dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' $pkgs 2>/dev/null |
                  awk '$1 == "ii" { printf "%s ", $2 }') "
    missing=
    for p in $pkgs; do
        case $installed in
            *" $p "*) ;;
            *) case " $missing " in *" $p "*) ;; *) missing="$missing $p" ;; esac ;;
        esac
    done
    echo "$missing"
}

yyjson_present() {
    [ -f "$prefix/lib/libyyjson.a" ] && [ -f "$prefix/include/yyjson.h" ] && [ -f "$prefix/SOURCE" ]
}

missing=$(missing_pkgs)
if [ -z "$missing" ] && yyjson_present; then
    [ "$check" -eq 1 ] || echo "setup: all dependencies present ($(echo "$roles" | tr ' ' ,))"
    exit 0
fi
if [ "$check" -eq 1 ]; then
    [ -z "$missing" ] || echo "setup: missing packages:$missing" >&2
    yyjson_present || echo "setup: missing the static yyjson below $prefix" >&2
    echo "setup: run scripts/setup.sh $roles as root" >&2
    exit 1
fi
[ "$(id -u)" -eq 0 ] || die "missing:$missing$(yyjson_present || echo " static yyjson"); run this as root"

# Everything below runs as root. Whatever it leaves behind on the way out
# (a temporary service policy, a scratch directory) goes in cleanup.
own_policy=
work=
cleanup() {
    [ -z "$own_policy" ] || rm -f /usr/sbin/policy-rc.d
    [ -z "$work" ] || rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Two runs at once (a test and a server started together) would race on
# apt's lock and on the yyjson prefix: the second waits for the first.
mkdir -p "$(dirname "$prefix")"
exec 9>"$(dirname "$prefix")/.setup.lock"
flock 9
missing=$(missing_pkgs)

if [ -n "$missing" ]; then
    echo "setup: installing$missing"
    export DEBIAN_FRONTEND=noninteractive
    # docker-registry's maintainer scripts start its service on install (on
    # all interfaces); the benchmark runs its own instance on loopback. A
    # policy that forbids that one service alone keeps it from ever
    # starting; a policy already in place is left as it is.
    if [ ! -e /usr/sbin/policy-rc.d ]; then
        own_policy=1
        # shellcheck disable=SC2016
        printf '%s\n' '#!/bin/sh' \
            '# scripts/setup.sh, for the time of one install: no docker-registry service.' \
            'case "$1" in docker-registry|docker-registry.service) exit 101 ;; esac' \
            'exit 0' > /usr/sbin/policy-rc.d
        chmod 755 /usr/sbin/policy-rc.d
    fi
    apt-get update -qq || apt-get update
    # shellcheck disable=SC2086
    apt-get install -y -qq --no-install-recommends $missing
    if [ -n "$own_policy" ]; then
        rm -f /usr/sbin/policy-rc.d
        own_policy=
    fi
    case " $missing " in
        *" docker-registry "*)
            # Not at boot either (systemd unit and init script links alike),
            # and stopped should anything have started it.
            if [ -d /run/systemd/system ]; then
                systemctl disable --now docker-registry.service >/dev/null 2>&1 || true
            else
                if command -v systemctl >/dev/null 2>&1; then
                    systemctl disable docker-registry.service >/dev/null 2>&1 || true
                fi
                /etc/init.d/docker-registry stop >/dev/null 2>&1 || true
            fi
            update-rc.d docker-registry disable >/dev/null 2>&1 || true
            ;;
    esac
fi

# The first Debian archive URI of the apt sources (deb822 or one-line
# format); the mirror is never named in this script.
debian_mirror() {
    m=$( (cat /etc/apt/sources.list.d/*.sources 2>/dev/null || true) |
         awk '/^URIs:/ { for (i = 2; i <= NF; i++) print $i }' |
         grep -v -e security -e '-updates' | grep '/debian/*$' | head -n 1)
    if [ -z "$m" ]; then
        m=$( (cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null || true) |
             awk '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; break } }' |
             grep -v security | grep '/debian/*$' | head -n 1)
    fi
    [ -n "$m" ] || die "no Debian mirror found in the apt sources"
    echo "${m%/}"
}

# fetch PATH FILE: PATH of the mirror into FILE; fails on any error.
fetch() {
    curl -fsSL --retry 3 -o "$2" "$mirror/$1" || die "cannot fetch $1 from the mirror"
}

# verify FILE SHA256 SIZE
verify() {
    [ "$(stat -c %s "$1")" = "$3" ] || die "$(basename "$1"): size differs from the index"
    echo "$2  $1" | sha256sum -c --quiet >/dev/null 2>&1 || die "$(basename "$1"): sha256 differs from the index"
}

# apply_debian_patches TARBALL SRCDIR: the quilt series of a Debian tarball,
# in order, as dpkg-source would apply it.
apply_debian_patches() {
    mkdir "$work/debian"
    tar -xf "$1" -C "$work/debian"
    series=$work/debian/debian/patches/series
    applied=
    if [ -f "$series" ]; then
        command -v patch >/dev/null 2>&1 || apt-get install -y -qq --no-install-recommends patch >&2
        # shellcheck disable=SC2094
        while read -r name level _; do
            case $name in ''|'#'*) continue ;; esac
            patch -d "$2" --batch --forward -s "${level:--p1}" < "$work/debian/debian/patches/$name" ||
                die "Debian patch $name does not apply"
            applied="$applied $name"
        done < "$series"
    fi
    echo "${applied:- none}"
}

build_yyjson() {
    mirror=$(debian_mirror)
    work=$(mktemp -d)
    echo "setup: building a static yyjson from Debian 13's source package into $prefix"

    fetch "dists/$suite/InRelease" "$work/InRelease"
    gpgv --keyring "$keyring" --output "$work/Release" "$work/InRelease" >"$work/gpgv.log" 2>&1 ||
        { cat "$work/gpgv.log" >&2; die "the signature of $suite's Release file does not verify"; }
    grep -qx "Codename: $suite" "$work/Release" || die "the Release file is not $suite's"
    # shellcheck disable=SC2046
    set -- $(awk '/^SHA256:/ { s = 1; next } /^[^ ]/ { s = 0 }
                  s && $3 == "main/source/Sources.xz" { print $1, $2; exit }' "$work/Release")
    [ $# -eq 2 ] || die "the Release file lists no main/source/Sources.xz"
    fetch "dists/$suite/main/source/Sources.xz" "$work/Sources.xz"
    verify "$work/Sources.xz" "$1" "$2"

    xz -dc "$work/Sources.xz" | awk -v RS= '/(^|\n)Package: yyjson\n/ { print; exit }' > "$work/stanza"
    [ -s "$work/stanza" ] || die "$suite has no yyjson source package"
    version=$(sed -n 's/^Version: //p' "$work/stanza")
    dir=$(sed -n 's/^Directory: //p' "$work/stanza")
    awk '/^Checksums-Sha256:/ { s = 1; next } /^[^ ]/ { s = 0 } s { print $1, $2, $3 }' "$work/stanza" > "$work/files"
    orig=$(awk '$3 ~ /\.orig\.tar\.[a-z0-9]+$/ { print; exit }' "$work/files")
    deb=$(awk '$3 ~ /\.debian\.tar\.[a-z0-9]+$/ { print; exit }' "$work/files")
    # The names become paths and URLs: nothing but a pool path and plain names.
    printf '%s\n' "$dir" | grep -Eqx 'pool/[a-z0-9][a-z0-9+./-]*' || die "unexpected Directory: $dir"
    [ -n "$orig" ] || die "yyjson $version lists no upstream tarball"
    printf '%s\n' "$orig" "$deb" | awk 'NF && $3 !~ /^[A-Za-z0-9][A-Za-z0-9.+~_-]*$/ { exit 1 }' ||
        die "unexpected file name in the yyjson stanza"

    # shellcheck disable=SC2086
    set -- $orig
    fetch "$dir/$3" "$work/$3"
    verify "$work/$3" "$1" "$2"
    orig_name=$3 orig_sha=$1
    mkdir "$work/src"
    tar -xf "$work/$3" -C "$work/src" --strip-components=1

    patches="none (the Debian tarball is not on the mirror; $patchless_revision carries none)"
    deb_note=
    if [ -n "$deb" ]; then
        # shellcheck disable=SC2086
        set -- $deb
        code=$(curl -sSL --retry 3 -o "$work/$3" -w '%{http_code}' "$mirror/$dir/$3") || code=000
        if [ "$code" = 200 ]; then
            verify "$work/$3" "$1" "$2"
            patches=$(apply_debian_patches "$work/$3" "$work/src")
            deb_note="$3 sha256 $1"
        elif [ "$code" = 404 ] && [ "$version" = "$patchless_revision" ]; then
            :
        else
            die "$3 (HTTP $code): yyjson $version is built only with its Debian patches"
        fi
    fi

    # The hardening Debian builds its packages with: the parser reads what
    # clients send.
    hardening="-fstack-protector-strong -fstack-clash-protection -fcf-protection -D_FORTIFY_SOURCE=2"
    rm -rf "$prefix.new"
    if ! { cmake -S "$work/src" -B "$work/build" -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF \
                 -DCMAKE_POSITION_INDEPENDENT_CODE=ON -DCMAKE_C_FLAGS="$hardening" \
                 -DCMAKE_INSTALL_PREFIX="$prefix" \
                 -DCMAKE_INSTALL_LIBDIR=lib &&
           cmake --build "$work/build" -j "$(nproc 2>/dev/null || echo 2)" &&
           cmake --install "$work/build" --prefix "$prefix.new"; } >"$work/build.log" 2>&1; then
        tail -n 30 "$work/build.log" >&2
        die "building yyjson failed"
    fi
    {
        echo "yyjson $version, Debian 13 ($suite) source package, built by scripts/setup.sh"
        echo "upstream tarball: $orig_name sha256 $orig_sha"
        echo "Debian tarball: ${deb_note:-not on the mirror}"
        echo "Debian patches applied: $patches"
        echo "built: cmake Release, static, position-independent, $hardening, $(cc --version | head -n 1)"
    } > "$prefix.new/SOURCE"
    chmod -R a+rX "$prefix.new"
    # Swapped in whole, so a half-built prefix is never taken for a built one.
    rm -rf "$prefix.old"
    [ ! -e "$prefix" ] || mv "$prefix" "$prefix.old"
    mv "$prefix.new" "$prefix"
    rm -rf "$prefix.old"
}

yyjson_present || build_yyjson

echo "setup: all dependencies present ($(echo "$roles" | tr ' ' ,))"
