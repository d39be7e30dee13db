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

[ $# -eq 4 ] || [ $# -eq 5 ] || die "usage: lighttpd_conf.sh CONF PORT STORAGE_ROOT CGI_DIR [cgi|fastcgi]"
conf=$1 port=$2 root=$3 cgi_dir=$4 mode=${5:-cgi}
case $mode in
    cgi|fastcgi) ;;
    *) die "mode must be cgi or fastcgi: $mode" ;;
esac
# Resident processes per program under FastCGI: one per core serves reads
# in parallel without idle processes piling up.
procs=${FASTCGI_PROCS:-2}
case $procs in
    ''|*[!0-9]*|0) die "FASTCGI_PROCS must be a positive number: $procs" ;;
esac

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

cgi_dir=${cgi_dir%/}
# X_SENDFILE=off leaves blob bodies to the programs (a front end without
# X-Sendfile, or a test of that path).
sendfile=${X_SENDFILE:-on}
case $sendfile in
    on) x_sendfile=1 ;;
    off) x_sendfile=0 ;;
    *) die "X_SENDFILE must be on or off: $sendfile" ;;
esac
sendfile_root="( \"$root/blobs/\" )"
cgi_sendfile="
    cgi.x-sendfile = \"enable\"
    cgi.x-sendfile-docroot = $sendfile_root"
fcgi_sendfile="
        \"x-sendfile\" => \"enable\",
        \"x-sendfile-docroot\" => $sendfile_root,"
if [ "$sendfile" = off ]; then
    cgi_sendfile=""
    fcgi_sendfile=""
fi
if [ "$mode" = cgi ]; then
    module='"mod_setenv", "mod_cgi"'
    handlers="\$HTTP[\"url\"] =~ \"^/cgi-bin/\" {
    cgi.assign = ( \"\" => \"\" )$cgi_sendfile
}
setenv.add-environment = (
    \"REGISTRY_STORAGE_ROOT\" => \"$root\",
    \"REGISTRY_X_SENDFILE\" => \"$x_sendfile\",
)"
else
    module='"mod_fastcgi"'
    # One resident program per executable of the directory, each on its own
    # socket in the run directory. A prefix handler passes the rest of the
    # path as PATH_INFO, just as CGI does after the rewrite.
    handlers="fastcgi.server = ("
    for path in "$cgi_dir"/*; do
        [ -f "$path" ] && [ -x "$path" ] || continue
        prog=${path##*/}
        case $prog in
            *[!A-Za-z0-9_.-]*) die "program name holds other characters: $prog" ;;
        esac
        handlers="$handlers
    \"/cgi-bin/$prog\" => ((
        \"socket\" => \"$run_dir/$prog.sock\",
        \"bin-path\" => \"$cgi_dir/$prog\",
        \"bin-environment\" => ( \"REGISTRY_STORAGE_ROOT\" => \"$root\",
                                \"REGISTRY_X_SENDFILE\" => \"$x_sendfile\",
                                \"REGISTRY_FASTCGI_EXIT_WITH_PARENT\" => \"1\" ),
        \"check-local\" => \"disable\",
        \"max-procs\" => $procs,$fcgi_sendfile
    )),"
    done
    handlers="$handlers
)"
fi

template=$(dirname "$0")/lighttpd.conf.in
LTC_PORT=$port LTC_RUN_DIR=$run_dir LTC_CGI_DIR=$cgi_dir LTC_STORAGE_ROOT=$root \
LTC_MODULE=$module LTC_HANDLERS=$handlers \
awk '
BEGIN {
    n = split("PORT RUN_DIR CGI_DIR STORAGE_ROOT MODULE HANDLERS", keys, " ")
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
