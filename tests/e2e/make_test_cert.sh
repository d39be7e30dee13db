#!/bin/sh
# Makes the certificates of a test HTTPS server on the loopback interface:
# a certificate authority of its own and a server certificate it signs.
#
#   make_test_cert.sh DIR
#       DIR/ca.crt       the authority's certificate: what a client trusts
#                        (a certificate directory of skopeo or podman holds
#                        it as *.crt)
#       DIR/server.crt   the server's certificate, for 127.0.0.1 and
#                        localhost (subjectAltName: clients check the name
#                        there, never in the common name)
#       DIR/server.key   its private key, readable by the owner only
#
# P-256 keys, valid for two days: long enough for any run of the tests.
set -eu

[ $# -eq 1 ] || { echo "usage: $0 DIR" >&2; exit 2; }
dir=$1
mkdir -p "$dir"
work=$(mktemp -d "$dir/.cert.XXXXXX")
trap 'rm -rf "$work"' EXIT

openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 \
    -subj '/CN=registry test authority' \
    -addext 'basicConstraints=critical,CA:TRUE' -addext 'keyUsage=critical,keyCertSign,cRLSign' \
    -keyout "$work/ca.key" -out "$work/ca.crt" 2>"$work/log" || { cat "$work/log" >&2; exit 1; }
openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj '/CN=127.0.0.1' \
    -keyout "$work/server.key" -out "$work/server.csr" 2>"$work/log" || { cat "$work/log" >&2; exit 1; }
printf '%s\n' 'basicConstraints=critical,CA:FALSE' 'keyUsage=critical,digitalSignature' \
    'extendedKeyUsage=serverAuth' 'subjectAltName=IP:127.0.0.1,DNS:localhost' > "$work/ext"
openssl x509 -req -in "$work/server.csr" -CA "$work/ca.crt" -CAkey "$work/ca.key" -CAcreateserial \
    -days 2 -extfile "$work/ext" -out "$work/server.crt" 2>"$work/log" || { cat "$work/log" >&2; exit 1; }

chmod 600 "$work/server.key"
mv "$work/ca.crt" "$work/server.crt" "$work/server.key" "$dir/"
