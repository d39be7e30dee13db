#!/bin/sh
# Serves the registry on 127.0.0.1 through lighttpd, in the foreground, until
# interrupted. Builds what is missing first.
#
# Usage: scripts/serve.sh [--fastcgi | --cgi] [--htpasswd FILE [--anonymous-pull]]
#                         [--access FILE] [--tls CERT KEY] [PORT]
#   --fastcgi              resident programs that lighttpd starts and keeps
#                          (mod_fastcgi); the default
#   --cgi                  one process per request (mod_cgi)
#   --htpasswd FILE        every request needs a user and password of FILE,
#                          checked by lighttpd (basic authentication; make
#                          the file with "htpasswd -B -c FILE USER", from
#                          Debian's apache2-utils)
#   --anonymous-pull       with --htpasswd: GET and HEAD need no password
#   --access FILE          the rules of who may pull, push or delete where
#   --tls CERT KEY         HTTPS only, with this PEM certificate and key
#   PORT                   TCP port (default: $PORT, else 5000)
#   AUTH_REALM             the realm of the password prompt (default
#                          "registry")
#   REGISTRY_STORAGE_ROOT  storage root (default: ./registry_storage below
#                          the directory the command is started from)
#   BUILD_DIR              build directory (default: build/release)
# Options come in any order; relative paths are taken from the directory the
# command is started from.
set -eu

start_dir=$(pwd)
top=$(cd "$(dirname "$0")/.." && pwd)

usage() {
    sed -n '2,24p' "$0" | sed 's/^# \{0,1\}//'
}
die_usage() {
    echo "serve: $*" >&2
    usage >&2
    exit 2
}
absolute() {
    case $1 in
        /*) echo "$1" ;;
        *) echo "$start_dir/${1#./}" ;;
    esac
}

mode=fastcgi
port=
htpasswd=
anonymous_pull=0
access=
tls_cert=
tls_key=
while [ $# -gt 0 ]; do
    case $1 in
        --fastcgi) mode=fastcgi ;;
        --cgi) mode=cgi ;;
        --htpasswd)
            [ $# -ge 2 ] || die_usage "--htpasswd needs a FILE"
            htpasswd=$(absolute "$2")
            shift
            ;;
        --anonymous-pull) anonymous_pull=1 ;;
        --access)
            [ $# -ge 2 ] || die_usage "--access needs a FILE"
            access=$(absolute "$2")
            shift
            ;;
        --tls)
            [ $# -ge 3 ] || die_usage "--tls needs a CERT and a KEY"
            tls_cert=$(absolute "$2")
            tls_key=$(absolute "$3")
            shift 2
            ;;
        -h|--help) usage; exit 0 ;;
        -*) die_usage "unknown option $1" ;;
        *)
            [ -z "$port" ] || die_usage "one PORT only: $port and $1"
            port=$1
            ;;
    esac
    shift
done
[ "$anonymous_pull" = 0 ] || [ -n "$htpasswd" ] || die_usage "--anonymous-pull goes with --htpasswd"
# A mistyped name is told before anything is built.
for f in "$htpasswd" "$access" "$tls_cert" "$tls_key"; do
    [ -z "$f" ] || [ -r "$f" ] || { echo "serve: cannot read $f" >&2; exit 1; }
done
port=${port:-${PORT:-5000}}
root=$(absolute "${REGISTRY_STORAGE_ROOT:-registry_storage}")
build=$(absolute "${BUILD_DIR:-$top/build/release}")

# lighttpd lives in /usr/sbin, which an ordinary user's PATH may lack.
PATH=$PATH:/usr/sbin:/sbin
if ! command -v lighttpd >/dev/null 2>&1 || ! command -v cmake >/dev/null 2>&1 ||
   ! "$top/scripts/setup.sh" --check serve; then
    if [ "$(id -u)" -eq 0 ]; then
        "$top/scripts/setup.sh" serve
    else
        echo "serve: lighttpd (with its TLS module), cmake or yyjson missing; run scripts/setup.sh as root" >&2
        exit 1
    fi
fi

# Configure once, then let the build tool bring the programs up to date
# (quick when nothing changed). The tests are not needed to serve.
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DREG_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$build" -j 2 >/dev/null
cgi_dir=$build/cgi-bin
[ -x "$cgi_dir/v2_manifest" ] || { echo "serve: $cgi_dir/v2_manifest was not built" >&2; exit 1; }

# A store written before repositories held their blobs serves every blob
# everywhere until it is upgraded; the upgrade walks the store once, here,
# never inside a request. A store without a description yet is new.
if [ -f "$root/config.json" ] && [ ! -f "$root/repository-holds" ]; then
    echo "serve: upgrading $root: linking each repository to the blobs its manifests name"
    "$build/bin/registry-admin" --root "$root" upgrade
fi

run_dir=$top/.serve/$port
mkdir -p "$run_dir"
HTPASSWD_FILE=$htpasswd ANONYMOUS_PULL=$anonymous_pull ACCESS_FILE=$access TLS_CERT=$tls_cert TLS_KEY=$tls_key \
    "$top/scripts/lighttpd_conf.sh" "$run_dir/lighttpd.conf" "$port" "$root" "$cgi_dir" "$mode"

scheme=http
curl_opts=
if [ -n "$tls_cert" ]; then
    scheme=https
    curl_opts=" --cacert <CA certificate>"
fi
if [ -n "$htpasswd" ]; then
    curl_opts="$curl_opts -u <user>"
    auth_note="$htpasswd$( [ "$anonymous_pull" = 0 ] || echo ' (GET and HEAD open to anyone)')"
else
    auth_note="none: anyone may push"
fi
cat <<MSG
Registry API at $scheme://127.0.0.1:$port/v2/
  storage root  $root
  programs      $cgi_dir ($mode)
  passwords     $auth_note
  access rules  ${access:-none}
  server log    $run_dir/error.log
Push a manifest:  curl$curl_opts -X PUT -H 'Content-Type: application/vnd.oci.image.manifest.v1+json' \\
                    --data-binary @manifest.json $scheme://127.0.0.1:$port/v2/<name>/manifests/<tag>
Fetch it:         curl$curl_opts $scheme://127.0.0.1:$port/v2/<name>/manifests/<tag or digest>
Stop with Ctrl-C.
MSG
exec lighttpd -D -f "$run_dir/lighttpd.conf"
