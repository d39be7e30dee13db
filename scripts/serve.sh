#!/bin/sh
# Serves the registry on 127.0.0.1 through lighttpd, in the foreground, until
# interrupted. Builds what is missing first.
#
# Usage: scripts/serve.sh [--fastcgi | --cgi] [PORT]
#   --fastcgi              resident programs that lighttpd starts and keeps
#                          (mod_fastcgi); the default
#   --cgi                  one process per request (mod_cgi)
#   PORT                   TCP port (default: $PORT, else 5000)
#   REGISTRY_STORAGE_ROOT  storage root (default: ./registry_storage below
#                          the directory the command is started from)
#   BUILD_DIR              build directory (default: build/release)
set -eu

start_dir=$(pwd)
top=$(cd "$(dirname "$0")/.." && pwd)

mode=fastcgi
case ${1:-} in
    --fastcgi) mode=fastcgi; shift ;;
    --cgi) mode=cgi; shift ;;
    --*) echo "serve: unknown option $1 (use --fastcgi or --cgi)" >&2; exit 2 ;;
esac
port=${1:-${PORT:-5000}}
root=${REGISTRY_STORAGE_ROOT:-registry_storage}
case $root in
    /*) ;;
    *) root=$start_dir/${root#./} ;;
esac
build=${BUILD_DIR:-$top/build/release}
case $build in
    /*) ;;
    *) build=$start_dir/$build ;;
esac

# lighttpd lives in /usr/sbin, which an ordinary user's PATH may lack.
PATH=$PATH:/usr/sbin:/sbin
if ! command -v lighttpd >/dev/null 2>&1 || ! command -v cmake >/dev/null 2>&1 ||
   ! "$top/scripts/setup.sh" --check serve; then
    if [ "$(id -u)" -eq 0 ]; then
        "$top/scripts/setup.sh" serve
    else
        echo "serve: lighttpd, cmake or yyjson missing; run scripts/setup.sh as root" >&2
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

run_dir=$top/.serve/$port
mkdir -p "$run_dir"
"$top/scripts/lighttpd_conf.sh" "$run_dir/lighttpd.conf" "$port" "$root" "$cgi_dir" "$mode"

cat <<MSG
Registry API at http://127.0.0.1:$port/v2/
  storage root  $root
  programs      $cgi_dir ($mode)
  server log    $run_dir/error.log
Push a manifest:  curl -X PUT -H 'Content-Type: application/vnd.oci.image.manifest.v1+json' \\
                    --data-binary @manifest.json http://127.0.0.1:$port/v2/<name>/manifests/<tag>
Fetch it:         curl http://127.0.0.1:$port/v2/<name>/manifests/<tag or digest>
Stop with Ctrl-C.
MSG
exec lighttpd -D -f "$run_dir/lighttpd.conf"
