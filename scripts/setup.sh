#!/bin/sh
# Installs what building, testing and serving the registry need on Debian 12
# (run as root). Quick when everything is already present: it only calls apt
# when a package is missing.
#
# yyjson is not packaged for Debian 12. Debian 13 ships 0.10.0, whose runtime
# needs only libc6, so its two packages are fetched from the Debian 13 suite of
# the mirror this machine is already configured for, into a private apt state
# directory: the system's own sources and package lists are never changed.
set -eu

PKGS="g++ cmake make pkg-config googletest libgtest-dev libgmock-dev lighttpd curl ca-certificates"
# Registry-API round trips with a real client, benchmarks and fuzzing.
PKGS="$PKGS skopeo wrk valgrind time clang libfuzzer-14-dev libclang-rt-14-dev openssl docker-registry"

missing=""
for p in $PKGS; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed' || missing="$missing $p"
done

if [ -n "$missing" ]; then
    echo "setup: installing$missing"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq || apt-get update
    # shellcheck disable=SC2086
    apt-get install -y -qq --no-install-recommends $missing
    # docker-registry starts a system service on install; the benchmarks
    # start their own instance on loopback, so keep the packaged one down.
    if command -v systemctl >/dev/null 2>&1; then
        systemctl disable --now docker-registry >/dev/null 2>&1 || true
    fi
fi

yyjson_ok() {
    dpkg-query -W -f='${Status}\n' libyyjson-dev 2>/dev/null | grep -q '^install ok installed' &&
    dpkg-query -W -f='${Status}\n' libyyjson0 2>/dev/null | grep -q '^install ok installed'
}

if ! yyjson_ok; then
    echo "setup: fetching libyyjson0 and libyyjson-dev from Debian 13"
    # The mirror: the first Debian archive URI in the configured apt sources
    # (deb822 or one-line format), never a name written into this script.
    mirror=$( (cat /etc/apt/sources.list.d/*.sources 2>/dev/null || true) |
              awk '/^URIs:/ { for (i = 2; i <= NF; i++) print $i }' |
              grep -v -e security -e '-updates' | grep '/debian/*$' | head -n 1)
    if [ -z "$mirror" ]; then
        mirror=$( (cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null || true) |
                  awk '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; break } }' |
                  grep -v security | grep '/debian/*$' | head -n 1)
    fi
    [ -n "$mirror" ] || { echo "setup: no Debian mirror found in the apt sources" >&2; exit 1; }

    work=$(mktemp -d)
    chmod 755 "$work"
    trap 'rm -rf "$work"' EXIT
    mkdir -p "$work/lists/partial" "$work/archives/partial"
    echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror trixie main" > "$work/trixie.list"
    opts="-o Dir::Etc::SourceList=$work/trixie.list -o Dir::Etc::SourceParts=/dev/null
          -o Dir::State::Lists=$work/lists -o Dir::Cache::Archives=$work/archives
          -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache= -o APT::Get::List-Cleanup=0"
    # shellcheck disable=SC2086
    apt-get $opts update -qq
    (cd "$work" && apt-get $opts download libyyjson0 libyyjson-dev)
    dpkg -i "$work"/libyyjson0_*.deb "$work"/libyyjson-dev_*.deb
fi

echo "setup: all dependencies present"
