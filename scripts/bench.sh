#!/bin/bash
# Side-by-side performance figures: the registry's programs behind lighttpd
# in both modes (resident FastCGI processes, one CGI process per request), a
# trivial static FastCGI responder and a trivial static CGI program behind
# the same lighttpd set-up (the floors any program of either kind can reach
# here) and Debian's docker-registry as a peer, all on 127.0.0.1; then the
# memory and descriptors of the FastCGI processes after 100,000 mixed
# requests, sha256_file beside openssl, a 1 GiB blob push
# (scripts/bench_push.sh, when present) and the instructions one manifest GET
# executes beside the trivial program's. A busy machine is reported: figures
# taken under load say little.
#
# Usage: scripts/bench.sh       (after scripts/setup.sh; takes a few minutes)
# Environment:
#   BUILD_DIR     build directory (default build/bench, Release, no tests)
#   DURATION      seconds per wrk run (default 10)
#   CONNECTIONS   wrk connections for GET and HEAD (default 4)
#   HASH_MIB      size of the hashed file in MiB (default 512)
#   WORK_DIR      parent of the scratch directory (default: TMPDIR or /tmp)
#   MIXED_SECONDS seconds of the FastCGI memory run (default 15: well over
#                 100,000 requests here)
#   PUT_SECONDS   seconds per manifest PUT run (default: DURATION, at most 5)
#   BASELINE_CGI_DIR  the cgi-bin of another build (an earlier commit, say):
#                 its manifest PUTs are timed in the same run, behind its own
#                 lighttpd, for a before-and-after figure
# Every server is started here, on 127.0.0.1 only, and stopped by its PID on
# exit; the scratch directory goes with them.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build/bench}
case $build in /*) ;; *) build=$(pwd)/$build ;; esac
duration=${DURATION:-10}
conns=${CONNECTIONS:-4}
hash_mib=${HASH_MIB:-512}
PATH=$PATH:/usr/sbin:/sbin

die() { echo "bench: $*" >&2; exit 1; }
[ "$(id -u)" -ne 0 ] || "$top/scripts/setup.sh" bench >&2
for tool in cmake lighttpd wrk curl openssl valgrind docker-registry sha256sum ss; do
    command -v "$tool" >/dev/null 2>&1 || die "$tool missing (run scripts/setup.sh bench as root)"
done

echo "bench: building into $build" >&2
# Configured every time: the benchmark programs are found by a file glob.
mkdir -p "$build"
if ! { cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DREG_BUILD_TESTS=OFF &&
       cmake --build "$build" -j 2 --target cgi_programs trivial_cgi trivial_fcgi sha256_file_bench \
           http_head_bench; } \
       > "$build/bench-build.log" 2>&1; then
    tail -n 30 "$build/bench-build.log" >&2
    die "build failed (log: $build/bench-build.log)"
fi
cgi_dir=$build/cgi-bin
trivial_dir=$build/bench/cgi-bin
trivial_fcgi_dir=$build/bench/fcgi-bin
[ -x "$cgi_dir/v2_manifest" ] || die "$cgi_dir/v2_manifest was not built"
[ -x "$trivial_dir/trivial_cgi" ] || die "$trivial_dir/trivial_cgi was not built"
[ -x "$trivial_fcgi_dir/trivial_fcgi" ] || die "$trivial_fcgi_dir/trivial_fcgi was not built"

# The one-minute load average, read before anything of ours runs. Above a
# third of a core, something else competes for the CPU.
load=$(cut -d' ' -f1 /proc/loadavg)
busy=$(awk -v l="$load" 'BEGIN { print (l > 0.33) ? 1 : 0 }')
if [ "$busy" = 1 ]; then
    echo "bench: WARNING: load average $load before the run; the machine is busy and the figures will say little" >&2
fi

work=$(mktemp -d "${WORK_DIR:-${TMPDIR:-/tmp}}/regbench.XXXXXX")
pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# A loopback port nothing listens on.
free_port() {
    local p
    for _ in $(seq 1 100); do
        p=$((20000 + RANDOM % 20000))
        if [ -z "$(ss -Htln "sport = :$p")" ]; then
            echo "$p"
            return
        fi
    done
    die "no free port found"
}
# Waits until URL answers with any HTTP status.
await() {
    for _ in $(seq 1 100); do
        if curl -s -o /dev/null "$1"; then return 0; fi
        sleep 0.1
    done
    die "no server answered at $1"
}

# ---------------------------------------------------------------- content
# One config blob, one 1 KiB layer and a manifest naming both: the same
# bytes go to both registries.
repo=bench/app
mt=application/vnd.oci.image.manifest.v1+json
printf '{}' > "$work/config.json"
head -c 1024 /dev/urandom > "$work/layer.bin"
config_digest=sha256:$(sha256sum "$work/config.json" | cut -d' ' -f1)
layer_digest=sha256:$(sha256sum "$work/layer.bin" | cut -d' ' -f1)
manifest_json() { # [annotation value]
    printf '{"schemaVersion":2,"mediaType":"%s",' "$mt"
    printf '"config":{"mediaType":"application/vnd.oci.image.config.v1+json","digest":"%s","size":2},' "$config_digest"
    printf '"layers":[{"mediaType":"application/vnd.oci.image.layer.v1.tar+gzip","digest":"%s","size":1024}]' "$layer_digest"
    [ $# -gt 0 ] && printf ',"annotations":{"bench":"%s"}' "$1"
    printf '}'
}
manifest_json > "$work/manifest.json"

# Pushes the blobs (POST for an upload, then PUT with the digest: the
# protocol's two-step monolithic upload) and the manifest. A blob that is
# refused is let pass here; the manifest must be stored.
push_image() { # base_url
    local f d loc sep
    for f in config.json layer.bin; do
        d=sha256:$(sha256sum "$work/$f" | cut -d' ' -f1)
        loc=$(curl -s -o /dev/null -D - -X POST "$1/v2/$repo/blobs/uploads/" |
              awk 'tolower($1) == "location:" { sub(/\r$/, "", $2); print $2 }')
        [ -n "$loc" ] || continue
        case $loc in /*) loc=$1$loc ;; esac
        case $loc in *\?*) sep='&' ;; *) sep='?' ;; esac
        curl -s -o /dev/null -X PUT -H 'Content-Type: application/octet-stream' \
            --data-binary "@$work/$f" "$loc${sep}digest=$d" || true
    done
    local code
    code=$(curl -s -o "$work/put.out" -w '%{http_code}' -X PUT -H "Content-Type: $mt" \
        --data-binary "@$work/manifest.json" "$1/v2/$repo/manifests/latest")
    [ "$code" = 201 ] || die "manifest push to $1 answered $code: $(cat "$work/put.out")"
}

# ---------------------------------------------------------------- servers
start_lighttpd() { # name port cgi_dir storage_root [cgi|fastcgi]
    mkdir -p "$work/$1"
    "$top/scripts/lighttpd_conf.sh" "$work/$1/lighttpd.conf" "$2" "$4" "$3" "${5:-cgi}"
    lighttpd -D -f "$work/$1/lighttpd.conf" &
    pids+=($!)
}

# The registry in both modes, each on its own storage root.
ours_port=$(free_port)
mkdir -p "$work/ours-root"
start_lighttpd ours "$ours_port" "$cgi_dir" "$work/ours-root" cgi
ours=http://127.0.0.1:$ours_port
await "$ours/v2/"

fcgi_port=$(free_port)
mkdir -p "$work/fcgi-root"
start_lighttpd fcgi "$fcgi_port" "$cgi_dir" "$work/fcgi-root" fastcgi
fcgi=http://127.0.0.1:$fcgi_port
await "$fcgi/v2/"

floor_port=$(free_port)
start_lighttpd floor "$floor_port" "$trivial_dir" "$work/ours-root"
floor=http://127.0.0.1:$floor_port
await "$floor/cgi-bin/trivial_cgi"

ffloor_port=$(free_port)
start_lighttpd ffloor "$ffloor_port" "$trivial_fcgi_dir" "$work/fcgi-root" fastcgi
ffloor=http://127.0.0.1:$ffloor_port
await "$ffloor/cgi-bin/trivial_fcgi"

peer_port=$(free_port)
mkdir -p "$work/peer-root"
cat > "$work/peer.yml" <<YML
version: 0.1
log:
  level: error
  accesslog:
    disabled: true
storage:
  cache:
    blobdescriptor: inmemory
  filesystem:
    rootdirectory: $work/peer-root
  delete:
    enabled: true
http:
  addr: 127.0.0.1:$peer_port
YML
docker-registry serve "$work/peer.yml" > "$work/peer.log" 2>&1 &
pids+=($!)
peer=http://127.0.0.1:$peer_port
await "$peer/v2/"

push_image "$ours"
push_image "$fcgi"
push_image "$peer"

if [ -n "${BASELINE_CGI_DIR:-}" ]; then
    [ -x "$BASELINE_CGI_DIR/v2_manifest" ] || die "$BASELINE_CGI_DIR/v2_manifest missing"
    base_port=$(free_port)
    mkdir -p "$work/base-root"
    start_lighttpd base "$base_port" "$BASELINE_CGI_DIR" "$work/base-root"
    base=http://127.0.0.1:$base_port
    await "$base/v2/"
    push_image "$base"
fi

# ---------------------------------------------------------------- wrk runs
# Each run leaves "req/s p50 p99 requests non-2xx" in $work/<label>.
# Each PUT stores a manifest never seen before, so every request writes a
# new body: repeating one body would let a store skip the write.
cat > "$work/put.lua" <<LUA
local n = 0
local head = '$(manifest_json XXX | sed 's/"XXX"}}$//')'
request = function()
  n = n + 1
  local body = head .. '"' .. n .. '-' .. tostring(os.time()) .. '"}}'
  return wrk.format("PUT", "/v2/$repo/manifests/latest", { ["Content-Type"] = "$mt" }, body)
end
LUA

# Milliseconds from a wrk latency figure such as 812.00us, 1.53ms or 1.02s.
to_ms() {
    awk -v v="$1" 'BEGIN {
        if (v ~ /us$/) printf "%.2f", v / 1000
        else if (v ~ /ms$/) printf "%.2f", v + 0
        else if (v ~ /s$/) printf "%.2f", v * 1000
        else printf "?"
    }'
}
run_wrk() { # label threads connections seconds url [script]
    local label=$1 threads=$2 c=$3 secs=$4 url=$5 script=${6:-}
    local args=(-t"$threads" -c"$c" -d"${secs}s" --latency -H "Accept: $mt")
    [ -n "$script" ] && args+=(-s "$script")
    echo "bench: wrk $label" >&2
    wrk "${args[@]}" "$url" > "$work/$label.wrk" 2>&1 || die "wrk $label failed: $(cat "$work/$label.wrk")"
    local rps p50 p99 total errors
    rps=$(awk '/^Requests\/sec:/ { printf "%.0f", $2 }' "$work/$label.wrk")
    p50=$(to_ms "$(awk '$1 == "50%" { print $2 }' "$work/$label.wrk")")
    p99=$(to_ms "$(awk '$1 == "99%" { print $2 }' "$work/$label.wrk")")
    total=$(awk '/requests in/ { print $1 }' "$work/$label.wrk")
    errors=$(awk '/Non-2xx or 3xx responses:/ { print $NF }' "$work/$label.wrk")
    echo "${rps:-?} ${p50:-?} ${p99:-?} ${total:-0} ${errors:-0}" > "$work/$label"
}

# wrk waits for the body a HEAD reply announces, so HEAD has its own client.
run_head() { # label port path
    echo "bench: HEAD $1" >&2
    "$build/bench/http_head_bench" "$2" "$3" "$conns" "$duration" "Accept: $mt" > "$work/$1.out" ||
        die "HEAD $1 failed: $(cat "$work/$1.out")"
    awk '{ for (i = 1; i <= NF; i++) { split($i, kv, "="); v[kv[1]] = kv[2] }
           print v["rps"], v["p50_ms"], v["p99_ms"], v["requests"], v["non2xx"] + v["errors"] }' \
        "$work/$1.out" > "$work/$1"
}

threads=$((conns < 2 ? conns : 2))
manifest_path=/v2/$repo/manifests/latest
run_wrk ffloor_get "$threads" "$conns" "$duration" "$ffloor/cgi-bin/trivial_fcgi"
run_wrk fcgi_get "$threads" "$conns" "$duration" "$fcgi$manifest_path"
run_wrk floor_get "$threads" "$conns" "$duration" "$floor/cgi-bin/trivial_cgi"
run_wrk ours_get "$threads" "$conns" "$duration" "$ours$manifest_path"
run_wrk peer_get "$threads" "$conns" "$duration" "$peer$manifest_path"
run_head ffloor_head "$ffloor_port" /cgi-bin/trivial_fcgi
run_head fcgi_head "$fcgi_port" "$manifest_path"
run_head floor_head "$floor_port" /cgi-bin/trivial_cgi
run_head ours_head "$ours_port" "$manifest_path"
run_head peer_head "$peer_port" "$manifest_path"
put_secs=${PUT_SECONDS:-$(( duration < 5 ? duration : 5 ))}
# The baseline runs on both sides of ours, so a drift of the machine during
# the runs shows as a difference between its two figures.
[ -n "${BASELINE_CGI_DIR:-}" ] && run_wrk base_put 1 1 "$put_secs" "$base$manifest_path" "$work/put.lua"
run_wrk ours_put 1 1 "$put_secs" "$ours$manifest_path" "$work/put.lua"
[ -n "${BASELINE_CGI_DIR:-}" ] && run_wrk base_put2 1 1 "$put_secs" "$base$manifest_path" "$work/put.lua"
run_wrk fcgi_put 1 1 "$put_secs" "$fcgi$manifest_path" "$work/put.lua"
run_wrk peer_put 1 1 "$put_secs" "$peer$manifest_path" "$work/put.lua"

# ---------------------------------------------------------------- resident memory
# Requests spread over the programs, failures included (an unknown tag, an
# unknown blob, a malformed digest), then the resident set and open
# descriptors of every FastCGI process, which must stay flat. wrk runs for
# its whole duration even when a script stops a thread, so the run is timed
# and its request count printed.
mixed_secs=${MIXED_SECONDS:-15}
cat > "$work/mixed.lua" <<LUA
local paths = {
  "/v2/$repo/manifests/latest", "/v2/$repo/manifests/nope", "/v2/$repo/tags/list",
  "/v2/$repo/blobs/$layer_digest", "/v2/$repo/blobs/sha256:zz", "/v2/_catalog",
  "/v2/$repo/referrers/$layer_digest", "/v2/",
}
local n = 0
request = function()
  n = n + 1
  return wrk.format("GET", paths[(n % #paths) + 1])
end
LUA
echo "bench: mixed requests for ${mixed_secs} s (FastCGI)" >&2
wrk -t2 -c4 -d"${mixed_secs}s" -s "$work/mixed.lua" "$fcgi" > "$work/mixed.wrk" 2>&1 ||
    die "mixed run failed: $(cat "$work/mixed.wrk")"
mixed_done=$(awk '/requests in/ { print $1 }' "$work/mixed.wrk")
fcgi_mem=""
for exe in "$cgi_dir"/v2_*; do
    for pid in $(pgrep -f "^$exe\$" || true); do
        rss=$(awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status")
        fds=$(ls "/proc/$pid/fd" | wc -l)
        fcgi_mem="$fcgi_mem    ${exe##*/} pid $pid: RSS ${rss} KiB, $fds descriptors
"
    done
done

# The last stored manifest is still served: the PUTs did store.
code=$(curl -s -o /dev/null -w '%{http_code}' -H "Accept: $mt" "$ours$manifest_path")
[ "$code" = 200 ] || die "manifest GET after the PUT run answered $code"

# ---------------------------------------------------------------- instructions
# One request as lighttpd starts it (the environment it passes for a GET of
# the manifest), counted by callgrind, against the storage the runs above
# filled; the trivial program gets the same environment.
cgi_env=(CONTENT_LENGTH=0 DOCUMENT_ROOT="$work/ours/htdocs" GATEWAY_INTERFACE=CGI/1.1 HTTP_ACCEPT="$mt"
    HTTP_HOST="127.0.0.1:$ours_port" HTTP_USER_AGENT=wrk PATH_INFO="$manifest_path"
    PATH_TRANSLATED="$work/ours/htdocs$manifest_path" QUERY_STRING= REDIRECT_STATUS=200
    REGISTRY_STORAGE_ROOT="$work/ours-root" REMOTE_ADDR=127.0.0.1 REMOTE_PORT=40000 REQUEST_METHOD=GET
    REQUEST_SCHEME=http REQUEST_URI="$manifest_path" SCRIPT_NAME=/cgi-bin/v2_manifest
    SCRIPT_FILENAME="$cgi_dir/v2_manifest" SERVER_ADDR=127.0.0.1 SERVER_NAME=127.0.0.1
    SERVER_PORT="$ours_port" SERVER_PROTOCOL=HTTP/1.1 SERVER_SOFTWARE=lighttpd)
instructions() { # program
    env -i "${cgi_env[@]}" valgrind --tool=callgrind --callgrind-out-file=/dev/null "$1" 2>&1 >/dev/null </dev/null |
        awk '/refs:/ { gsub(",", "", $NF); print $NF }'
}
echo "bench: callgrind" >&2
ours_ir=$(instructions "$cgi_dir/v2_manifest")
floor_ir=$(instructions "$trivial_dir/trivial_cgi")

# ---------------------------------------------------------------- hashing
echo "bench: sha256_file on $hash_mib MiB" >&2
head -c $((hash_mib * 1024 * 1024)) /dev/urandom > "$work/hash.bin"
hash_out=$("$build/bench/sha256_file_bench" "$work/hash.bin" 3)
ours_mibs=$(printf '%s\n' "$hash_out" | awk '$1 == "sha-extensions" { print $(NF-2) }')
[ -n "$ours_mibs" ] || ours_mibs=$(printf '%s\n' "$hash_out" | awk '$1 == "portable" { print $(NF-2) }')
ours_hex=$(printf '%s\n' "$hash_out" | awk 'NR == 1 { print $NF }')
best=""
for _ in 1 2 3; do
    start=$(date +%s.%N)
    got=$(openssl dgst -sha256 -r "$work/hash.bin" | cut -d' ' -f1)
    end=$(date +%s.%N)
    [ "$got" = "$ours_hex" ] || die "openssl and sha256_file disagree: $got $ours_hex"
    best=$(awk -v a="$start" -v b="$end" -v best="$best" 'BEGIN { s = b - a; if (best == "" || s < best) best = s; print best }')
done
openssl_mibs=$(awk -v s="$best" -v m="$hash_mib" 'BEGIN { printf "%.1f", m / s }')
rm -f "$work/hash.bin"

# ---------------------------------------------------------------- push
push_line="n/a (scripts/bench_push.sh not present)"
if [ -x "$top/scripts/bench_push.sh" ]; then
    echo "bench: 1 GiB push (scripts/bench_push.sh)" >&2
    if push_out=$(BUILD_DIR="$build" "$top/scripts/bench_push.sh" 2>"$work/push.err"); then
        push_line=$(printf '%s\n' "$push_out" | grep -E '^(POST|PATCH \(|PUT|push total)' | sed 's/^/    /')
    else
        push_line="n/a (bench_push.sh failed: $(tail -n 1 "$work/push.err"))"
    fi
fi

# ---------------------------------------------------------------- table
field() { awk -v i="$2" '{ print $i }' "$work/$1"; }
row3() { printf '%-30s %16s %16s %16s\n' "$@"; }
pair() { echo "$(field "$1" 2) / $(field "$1" 3)"; }
errs() { # label: a note when some replies were not 2xx
    local e
    e=$(field "$1" 5)
    [ "$e" = 0 ] || echo " ($e non-2xx)"
}
row5() { printf '%-28s %15s %15s %15s %15s %15s\n' "$@"; }
echo
echo "Machine: $(nproc) cores, $(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo), Linux $(uname -r)"
echo "Load average before the run: $load$([ "$busy" = 1 ] && echo "  -- BUSY: these figures were taken under load")"
echo "wrk: ${duration} s, $conns connections, $threads threads; PUT: 1 connection, ${put_secs} s, a new manifest each time"
echo
row5 "" "ours FastCGI" "trivial FastCGI" "ours CGI" "trivial CGI" "docker-registry"
row5 "manifest GET req/s" "$(field fcgi_get 1)$(errs fcgi_get)" "$(field ffloor_get 1)" \
    "$(field ours_get 1)$(errs ours_get)" "$(field floor_get 1)" "$(field peer_get 1)$(errs peer_get)"
row5 "manifest GET p50 / p99 ms" "$(pair fcgi_get)" "$(pair ffloor_get)" "$(pair ours_get)" "$(pair floor_get)" \
    "$(pair peer_get)"
row5 "manifest HEAD req/s" "$(field fcgi_head 1)$(errs fcgi_head)" "$(field ffloor_head 1)" \
    "$(field ours_head 1)$(errs ours_head)" "$(field floor_head 1)" "$(field peer_head 1)$(errs peer_head)"
row5 "manifest HEAD p50 / p99 ms" "$(pair fcgi_head)" "$(pair ffloor_head)" "$(pair ours_head)" "$(pair floor_head)" \
    "$(pair peer_head)"
row5 "manifest PUT p50 / p99 ms" "$(pair fcgi_put)$(errs fcgi_put)" "-" "$(pair ours_put)$(errs ours_put)" "-" \
    "$(pair peer_put)$(errs peer_put)"
row5 "manifest PUTs timed" "$(field fcgi_put 4)" "-" "$(field ours_put 4)" "-" "$(field peer_put 4)"
if [ -n "${BASELINE_CGI_DIR:-}" ]; then
    row3 "baseline PUT p50 / p99 ms" "$(pair base_put)$(errs base_put)" "-" "-"
    row3 "  (again after ours)" "$(pair base_put2)$(errs base_put2)" "-" "-"
fi
echo
row3 "" "registry (CGI)" "trivial CGI" "-"
row3 "instructions per GET" "$ours_ir" "$floor_ir" "-"
echo
printf 'FastCGI processes after %s mixed requests:\n%s' "${mixed_done:-?}" "$fcgi_mem"
echo
printf '%-30s %16s %16s\n' "" "sha256_file" "openssl dgst"
printf '%-30s %16s %16s\n' "SHA-256 of $hash_mib MiB, MiB/s" "$ours_mibs" "$openssl_mibs"
echo
printf '1 GiB blob push through lighttpd:\n%s\n' "$push_line"
echo
awk -v o="$(field ours_get 1)" -v f="$(field floor_get 1)" -v p="$(field peer_get 1)" \
    -v fo="$(field fcgi_get 1)" -v ff="$(field ffloor_get 1)" -v f99="$(field fcgi_get 3)" \
    -v p50="$(field peer_get 2)" -v fp="$(field fcgi_put 2)" \
    -v oi="$ours_ir" -v fi="$floor_ir" -v sh="$ours_mibs" -v os="$openssl_mibs" \
    -v op="$(field ours_put 2)" -v pp="$(field peer_put 2)" 'BEGIN {
    printf "FastCGI GET %.2fx docker-registry, %.0f%% of trivial FastCGI, p99 %.2f ms vs docker-registry p50 %.2f ms\n", fo / p, 100 * fo / ff, f99, p50
    printf "CGI GET %.2fx docker-registry, %.0f%% of trivial CGI; PUT p50 FastCGI %.2fx, CGI %.2fx of docker-registry\n", o / p, 100 * o / f, fp / pp, op / pp
    printf "instructions %.2fx trivial; sha256_file %.0f%% of openssl\n", oi / fi, 100 * sh / os
}'
