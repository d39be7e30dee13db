#!/bin/sh
# Throughput of finishing a blob upload, beside sha256sum and openssl on the
# same file. Builds blob_finish_bench, which makes an upload of SIZE_MIB
# (default 256) through the library and times reg_blob_finish_upload; the
# file is then in the page cache for every tool alike.
#
# Environment: BUILD_DIR (default build/bench), SIZE_MIB (default 256).
set -eu
cd "$(dirname "$0")/.."
[ "$(id -u)" -ne 0 ] || scripts/setup.sh bench >&2

build=${BUILD_DIR:-build/bench}
size=${SIZE_MIB:-256}

cmake -S . -B "$build" >/dev/null
cmake --build "$build" --target blob_finish_bench -j 2 >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

out=$("$build/bench/blob_finish_bench" "$work/root" "$size")
value() { printf '%s\n' "$out" | sed -n "s/^$1=//p"; }
bytes=$(value bytes)
blob=$(value blob_path)
digest=$(value digest)

now() { date +%s.%N; }
# Runs a hasher on the blob, checks its answer, prints its seconds.
time_tool() {
    start=$(now)
    got=$("$@" "$blob" | awk '{ print $1 }')
    end=$(now)
    [ "sha256:$got" = "$digest" ] || { echo "bench: $1 disagrees: $got" >&2; exit 1; }
    awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f\n", b - a }'
}
sha256sum_s=$(time_tool sha256sum)
openssl_s=$(time_tool openssl dgst -sha256 -r)

row() { awk -v name="$1" -v s="$2" -v b="$bytes" 'BEGIN { printf "%-34s %8.3f s %9.1f MB/s\n", name, s, b / s / 1e6 }'; }
echo "blob of $bytes bytes ($size MiB), $digest"
row "sha256_file (library hash only)" "$(value hash_only_seconds)"
row "reg_blob_finish_upload" "$(value finish_seconds)"
row "sha256sum" "$sha256sum_s"
row "openssl dgst -sha256" "$openssl_s"
