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
#
# Further settings come from the environment:
#   FASTCGI_PROCS   resident processes per program under FastCGI (default 2)
#   X_SENDFILE      on (default) or off: whether lighttpd sends blob files
#   HTPASSWD_FILE   absolute path of an htpasswd file (bcrypt lines, as
#                   "htpasswd -B" writes them): every request then needs a
#                   user and password of the file (HTTP basic authentication
#                   by lighttpd's mod_auth); the user reaches the programs as
#                   REMOTE_USER
#   ANONYMOUS_PULL  1: with HTPASSWD_FILE, GET and HEAD pass without
#                   credentials, but for the API root GET /v2/, which asks
#                   for them so that clients learn to send theirs;
#                   credentials sent anyway are checked, and every other
#                   method still needs them
#   AUTH_REALM      the realm of the password prompt (default "registry"),
#                   also handed to the programs as REGISTRY_AUTH_REALM
#   ACCESS_FILE     absolute path of the rules file that says which user may
#                   pull, push or delete where; handed to the programs as
#                   REGISTRY_ACCESS_FILE
#   TLS_CERT, TLS_KEY
#                   absolute paths of a PEM certificate (chain) and its key:
#                   the port then speaks HTTPS only (TLS 1.2 and later)
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

# readable_file NAME PATH: an absolute path, plain for a lighttpd string, of
# a file this user can read (lighttpd runs as the same user).
readable_file() {
    case $2 in
        /*) ;;
        *) die "$1 must be an absolute path: $2" ;;
    esac
    case $2 in
        *\"*|*\\*|*"$nl"*) die "$1 holds a quote, backslash or line end: $2" ;;
    esac
    [ -f "$2" ] || die "$1 is not a file: $2"
    [ -r "$2" ] || die "$1 is not readable: $2"
}

htpasswd=${HTPASSWD_FILE:-}
anonymous_pull=${ANONYMOUS_PULL:-0}
realm=${AUTH_REALM:-registry}
access=${ACCESS_FILE:-}
tls_cert=${TLS_CERT:-}
tls_key=${TLS_KEY:-}
[ -z "$htpasswd" ] || readable_file HTPASSWD_FILE "$htpasswd"
case $anonymous_pull in
    0|'') anonymous_pull=0 ;;
    1) [ -n "$htpasswd" ] || die "ANONYMOUS_PULL=1 needs HTPASSWD_FILE (without it every request is anonymous)" ;;
    *) die "ANONYMOUS_PULL must be 0 or 1: $anonymous_pull" ;;
esac
# The realm goes into a quoted WWW-Authenticate parameter.
case $realm in
    ''|*[!\ -~]*|*\"*|*\\*) die "AUTH_REALM must be printable ASCII without quotes or backslashes: $realm" ;;
esac
[ -z "$access" ] || readable_file ACCESS_FILE "$access"
if [ -n "$tls_cert" ] || [ -n "$tls_key" ]; then
    [ -n "$tls_cert" ] && [ -n "$tls_key" ] || die "TLS_CERT and TLS_KEY go together"
    readable_file TLS_CERT "$tls_cert"
    readable_file TLS_KEY "$tls_key"
fi

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
# What the programs learn from their environment, one "NAME" => "value"
# line each: CGI programs get it with every request, FastCGI programs once.
program_env="\"REGISTRY_STORAGE_ROOT\" => \"$root\",
\"REGISTRY_X_SENDFILE\" => \"$x_sendfile\",
\"REGISTRY_AUTH_REALM\" => \"$realm\","
[ -z "$access" ] || program_env="$program_env
\"REGISTRY_ACCESS_FILE\" => \"$access\","
# indent N TEXT: TEXT with N spaces before each line.
indent() {
    printf '%s\n' "$2" | sed "s/^/$(printf "%$1s" '')/"
}

modules='"mod_rewrite", "mod_alias", "mod_setenv"'
if [ "$mode" = cgi ]; then
    backend='"mod_cgi"'
    handlers="\$HTTP[\"url\"] =~ \"^/cgi-bin/\" {
    cgi.assign = ( \"\" => \"\" )$cgi_sendfile
}
setenv.add-environment = (
$(indent 4 "$program_env")
)"
else
    backend='"mod_fastcgi"'
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
        \"bin-environment\" => (
$(indent 12 "$program_env")
            \"REGISTRY_FASTCGI_EXIT_WITH_PARENT\" => \"1\",
        ),
        \"check-local\" => \"disable\",
        \"max-procs\" => $procs,$fcgi_sendfile
    )),"
    done
    handlers="$handlers
)"
fi

# Passwords are lighttpd's business alone: mod_auth checks them against the
# file and hands the programs the user name (REMOTE_USER), nothing more. The
# requirement holds for every path: whatever is not below /v2/ ends in a
# 404 anyway, and the rewritten paths the programs run under begin with
# /cgi-bin/, so a rule on /v2/ alone would never match them.
auth=
if [ -n "$htpasswd" ]; then
    modules="$modules, \"mod_auth\", \"mod_authn_file\""
    require="auth.require = ( \"\" => ( \"method\" => \"basic\", \"realm\" => \"$realm\", \"require\" => \"valid-user\" ) )"
    if [ "$anonymous_pull" = 1 ]; then
        # Reads pass without credentials, with two exceptions.
        #  - The API root, GET /v2/, always asks: it is where clients learn
        #    how to authenticate, and skopeo and podman, told there that no
        #    credentials are needed, never send any, so a push would fail.
        #    The path is matched as sent and as rewritten for the program.
        #  - Credentials sent with a read are checked (a login, a pull by a
        #    user the rules let see more), so that a wrong password never
        #    passes for anonymous. An empty user and password ("Og==" is
        #    ":"), which skopeo and podman send when they have none once the
        #    root has asked, names nobody and counts as none.
        require="\$HTTP[\"request-method\"] !~ \"^(GET|HEAD)\$\" {
    $require
}
else \$HTTP[\"url\"] =~ \"^(/cgi-bin/v2_base)?/v2/?\$\" {
    $require
}
else \$REQUEST_HEADER[\"Authorization\"] !~ \"^((?i:basic)[ \\t]+Og==[ \\t]*)?\$\" {
    $require
}"
    fi
    auth="
# Basic authentication against $htpasswd$( [ "$anonymous_pull" = 0 ] || echo ', reads open to anyone').
auth.backend = \"htpasswd\"
auth.backend.htpasswd.userfile = \"$htpasswd\"
$require
"
fi

# HTTPS only on the port, through mod_openssl: TLS 1.2 and later, and for
# TLS 1.2 only key exchanges with forward secrecy and AEAD ciphers.
tls=
if [ -n "$tls_cert" ]; then
    modules="$modules, \"mod_openssl\""
    tls="
ssl.engine = \"enable\"
ssl.pemfile = \"$tls_cert\"
ssl.privkey = \"$tls_key\"
ssl.openssl.ssl-conf-cmd = (
    \"MinProtocol\" => \"TLSv1.2\",
    \"CipherString\" => \"EECDH+AESGCM:EECDH+CHACHA20\",
)
"
fi

# The module that runs the programs comes last: lighttpd wants mod_auth
# listed before it.
modules="$modules, $backend"

template=$(dirname "$0")/lighttpd.conf.in
LTC_PORT=$port LTC_RUN_DIR=$run_dir LTC_CGI_DIR=$cgi_dir LTC_STORAGE_ROOT=$root \
LTC_MODULES=$modules LTC_HANDLERS=$handlers LTC_AUTH=$auth LTC_TLS=$tls \
awk '
BEGIN {
    n = split("PORT RUN_DIR CGI_DIR STORAGE_ROOT MODULES HANDLERS AUTH TLS", keys, " ")
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
