#!/bin/sh
# Writes a lighttpd configuration that serves the registry's CGI programs,
# from the template lighttpd.conf.in beside this script. Used by serve.sh and
# by the end-to-end tests, so both run the server the same way.
#
# Usage: lighttpd_conf.sh CONF PORT STORAGE_ROOT CGI_DIR
#   CONF          the file to write; its directory (which must exist) becomes
#                 the server's run directory: empty document root, request
#                 body spool and error log
#   PORT          TCP port on 127.0.0.1
#   STORAGE_ROOT  absolute path of the registry storage root
#   CGI_DIR       absolute path of the directory holding the CGI programs
set -eu

die() { echo "lighttpd_conf.sh: $*" >&2; exit 2; }

[ $# -eq 4 ] || die "usage: lighttpd_conf.sh CONF PORT STORAGE_ROOT CGI_DIR"
conf=$1 port=$2 root=$3 cgi_dir=$4

case $port in
    ''|*[!0-9]*) die "port must be a number: $port" ;;
esac
[ "$port" -ge 1 ] && [ "$port" -le 65535 ] || die "port out of range: $port"

nl='
'
# The values land inside double-quoted lighttpd strings: keep them plain.
for v in "$root" "$cgi_dir"; do
    case $v in
        /*) ;;
        *) die "not an absolute path: $v" ;;
    esac
    case $v in
        *\"*|*\\*|*"$nl"*) die "path holds a quote, backslash or line end: $v" ;;
    esac
done

run_dir=$(cd "$(dirname "$conf")" && pwd)
case $run_dir in
    *\"*|*\\*) die "run directory holds a quote or backslash: $run_dir" ;;
esac
mkdir -p "$run_dir/htdocs" "$run_dir/uploads"

template=$(dirname "$0")/lighttpd.conf.in
LTC_PORT=$port LTC_RUN_DIR=$run_dir LTC_CGI_DIR=${cgi_dir%/} LTC_STORAGE_ROOT=$root \
awk '
BEGIN {
    n = split("PORT RUN_DIR CGI_DIR STORAGE_ROOT", keys, " ")
    for (i = 1; i <= n; i++) val[keys[i]] = ENVIRON["LTC_" keys[i]]
}
{
    out = ""
    line = $0
    while (match(line, /@[A-Z_]+@/)) {
        key = substr(line, RSTART + 1, RLENGTH - 2)
        if (!(key in val)) {
            print "lighttpd_conf.sh: unknown @" key "@ in the template" > "/dev/stderr"
            exit 1
        }
        out = out substr(line, 1, RSTART - 1) val[key]
        line = substr(line, RSTART + RLENGTH)
    }
    print out line
}' "$template" > "$conf.tmp"
mv "$conf.tmp" "$conf"
