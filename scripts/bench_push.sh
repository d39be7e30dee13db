#!/bin/sh
# Pushes one large layer through lighttpd the way a client does (POST, one
# PATCH with the whole body, PUT ?digest=), pulls it back, and prints the
# throughput of each step and the peak memory of each CGI process. The CGI
# programs run behind a wrapper that records their maximum resident set
# with /usr/bin/time, so the figure is the program's own, not lighttpd's.
# Fails when the PATCH program needs 16 MiB or more: a body is copied in
# fixed-size pieces and must never be held whole.
#
# Environment: BUILD_DIR (default build/bench), SIZE_MIB (default 1024),
# PORT (default 18000 + a number from the process ID).
set -eu
cd "$(dirname "$0")/.."
top=$(pwd)

build=${BUILD_DIR:-build/bench}
size=${SIZE_MIB:-1024}
port=${PORT:-$((18000 + $$ % 1000))}
limit_kib=16384

PATH=$PATH:/usr/sbin:/sbin
[ "$(id -u)" -ne 0 ] || scripts/setup.sh bench >&2
for tool in lighttpd curl sha256sum /usr/bin/time; do
    command -v "$tool" >/dev/null 2>&1 || { echo "bench_push: $tool not found" >&2; exit 1; }
done

cmake -S . -B "$build" >/dev/null
cmake --build "$build" --target cgi_programs -j 2 >"$build/bench_push_build.log" 2>&1 ||
    { cat "$build/bench_push_build.log" >&2; exit 1; }
case $build in
    /*) cgi_real=$build/cgi-bin ;;
    *) cgi_real=$top/$build/cgi-bin ;;
esac

work=$(mktemp -d)
pid=
cleanup() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

# Wrappers: each request's program runs under /usr/bin/time, which appends
# "<program> <peak KiB>" to one log. lighttpd sends SIGTERM to a CGI whose
# reply is complete; time would die of it before writing its line, so the
# wrapper ignores it (an ignored signal stays ignored across exec).
mkdir -p "$work/cgi" "$work/run" "$work/storage"
for prog in "$cgi_real"/*; do
    name=$(basename "$prog")
    cat >"$work/cgi/$name" <<EOF
#!/bin/sh
trap '' TERM
exec /usr/bin/time -a -o "$work/rss.log" -f "$name %M" "$prog"
EOF
    chmod 755 "$work/cgi/$name"
done
"$top/scripts/lighttpd_conf.sh" "$work/run/lighttpd.conf" "$port" "$work/storage" "$work/cgi"
lighttpd -D -f "$work/run/lighttpd.conf" >"$work/run/stderr.log" 2>&1 &
pid=$!
base=http://127.0.0.1:$port
i=0
until curl -s -o /dev/null "$base/v2/"; do
    i=$((i + 1))
    [ $i -lt 100 ] || { echo "bench_push: lighttpd did not start" >&2; cat "$work/run/stderr.log" >&2; exit 1; }
    sleep 0.1
done

echo "making a layer of $size MiB..."
head -c "$((size * 1048576))" /dev/urandom >"$work/layer"
bytes=$(wc -c <"$work/layer")
digest=sha256:$(sha256sum "$work/layer" | awk '{ print $1 }')

now() { date +%s.%N; }
row() { awk -v name="$1" -v a="$2" -v b="$3" -v n="$4" -v kib="$5" \
    'BEGIN { s = b - a; printf "%-31s %8.2f s %9.1f MB/s   CGI peak %6.1f MiB\n", name, s, (n > 0 ? n / s / 1e6 : 0), kib / 1024 }'; }
# Each request starts with an empty log. lighttpd may finish a reply before
# the wrapper has written its line, so wait for the line of the program.
fresh_log() { : >"$work/rss.log"; }
rss_of() {
    i=0
    until grep -q "^$1 " "$work/rss.log"; do
        i=$((i + 1))
        [ $i -lt 100 ] || { echo "bench_push: no memory figure for $1" >&2; exit 1; }
        sleep 0.05
    done
    grep "^$1 " "$work/rss.log" | tail -n 1 | awk '{ print $2 }'
}
header() { tr -d '\r' | sed -n "s/^$1: //p"; }

fresh_log
a0=$(now)
location=$(curl -sf -D - -o /dev/null -X POST -H 'Content-Length: 0' "$base/v2/bench/layer/blobs/uploads/" | header Location)
a1=$(now)
post_rss=$(rss_of v2_upload)
fresh_log
[ -n "$location" ] || { echo "bench_push: POST gave no Location" >&2; exit 1; }

# -T streams the file; --data-binary would load it into curl's memory.
b0=$(now)
range=$(curl -sf -D - -o /dev/null -X PATCH -H 'Content-Type: application/octet-stream' -T "$work/layer" \
    "$base$location" | header Range)
b1=$(now)
patch_rss=$(rss_of v2_upload)
fresh_log
[ "$range" = "0-$((bytes - 1))" ] || { echo "bench_push: PATCH answered Range: $range" >&2; exit 1; }

c0=$(now)
stored=$(curl -sf -D - -o /dev/null -X PUT -H 'Content-Length: 0' "$base$location?digest=$digest" |
    header Docker-Content-Digest)
c1=$(now)
put_rss=$(rss_of v2_upload)
fresh_log
[ "$stored" = "$digest" ] || { echo "bench_push: PUT stored '$stored'" >&2; exit 1; }

# Pull back: with X-Sendfile (lighttpd sends the file) and streamed by the
# program itself (a Range covering the whole blob is always served by it).
d0=$(now)
curl -sf -o "$work/pulled" "$base/v2/bench/layer/blobs/$digest"
d1=$(now)
get_rss=$(rss_of v2_blob)
fresh_log
e0=$(now)
curl -sf -o "$work/pulled2" -H 'Range: bytes=0-' "$base/v2/bench/layer/blobs/$digest"
e1=$(now)
range_rss=$(rss_of v2_blob)
cmp -s "$work/layer" "$work/pulled" && cmp -s "$work/layer" "$work/pulled2" ||
    { echo "bench_push: pulled blob differs" >&2; exit 1; }

# The PATCH program alone, fed from the file as a CGI host would: what the
# program costs apart from the server's buffering of the body.
location2=$(curl -sf -D - -o /dev/null -X POST -H 'Content-Length: 0' "$base/v2/bench/layer/blobs/uploads/" |
    header Location)
f0=$(now)
REQUEST_METHOD=PATCH PATH_INFO=$location2 CONTENT_LENGTH=$bytes REGISTRY_STORAGE_ROOT=$work/storage \
    /usr/bin/time -o "$work/direct.rss" -f "%M" "$cgi_real/v2_upload" <"$work/layer" >"$work/direct.out"
f1=$(now)
grep -q "^Range: 0-$((bytes - 1))" "$work/direct.out" || { echo "bench_push: direct PATCH failed" >&2; exit 1; }
direct_rss=$(cat "$work/direct.rss")

echo "layer of $bytes bytes, $digest"
row "POST (start upload)" "$a0" "$a1" 0 "$post_rss"
row "PATCH (whole body)" "$b0" "$b1" "$bytes" "$patch_rss"
row "PUT ?digest= (hash, commit)" "$c0" "$c1" "$bytes" "$put_rss"
push_s=$(awk -v a0="$a0" -v a1="$a1" -v b0="$b0" -v b1="$b1" -v c0="$c0" -v c1="$c1" \
    'BEGIN { printf "%.6f", (a1 - a0) + (b1 - b0) + (c1 - c0) }')
row "push total (POST+PATCH+PUT)" 0 "$push_s" "$bytes" "$(
    printf '%s\n%s\n%s\n' "$post_rss" "$patch_rss" "$put_rss" | sort -n | tail -n 1)"
row "GET (X-Sendfile)" "$d0" "$d1" "$bytes" "$get_rss"
row "GET Range: bytes=0- (streamed)" "$e0" "$e1" "$bytes" "$range_rss"
row "PATCH direct, no server" "$f0" "$f1" "$bytes" "$direct_rss"

if [ "$patch_rss" -ge "$limit_kib" ]; then
    echo "bench_push: the PATCH program peaked at $patch_rss KiB, limit $limit_kib KiB" >&2
    exit 1
fi
