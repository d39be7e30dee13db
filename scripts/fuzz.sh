#!/bin/sh
# Builds the libFuzzer harnesses of tests/fuzz (clang, -DREG_FUZZ=ON: ASan,
# UBSan and coverage feedback) and runs each for a bounded time on a scratch
# copy of its seed corpus, so that runs never grow the committed corpus.
# Exits non-zero when a harness finds a crash, a sanitizer report, a broken
# invariant, a leak or a timeout; the input is kept under
# <build>/artifacts/<harness>/ and the tail of the log is printed.
#
#   FUZZ_SECONDS   seconds per harness (default 20)
#   FUZZ_BUILD_DIR build directory (default build/fuzz)
#   FUZZ_ONLY      space-separated harness names to run (default: all)
#   FUZZ_JOBS      build parallelism (default: number of processors)
#
# Reproduce a finding: <build>/tests/fuzz/<harness> <artifact file>
set -eu
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-20}
build=${FUZZ_BUILD_DIR:-build/fuzz}
jobs=${FUZZ_JOBS:-$(nproc 2>/dev/null || echo 2)}

command -v clang++ >/dev/null 2>&1 || { echo "fuzz: clang++ not found (scripts/setup.sh installs it)" >&2; exit 1; }

echo "== fuzz build ($build)"
CC=clang CXX=clang++ cmake -S . -B "$build" -DREG_FUZZ=ON -DREG_WERROR=ON -DREG_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target fuzz_harnesses -j "$jobs"

harnesses=${FUZZ_ONLY:-$(cd tests/fuzz && ls fuzz_*.cpp | sed -e 's/\.cpp$//' -e '/^fuzz_sandbox$/d')}
# Scratch space for the corpus copies and the harnesses' sandboxes, on
# tmpfs when there is one (the storage syncs every file it writes).
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
    scratch=$(mktemp -d /dev/shm/reg_fuzz_run.XXXXXX)
else
    scratch=$(mktemp -d)
fi
trap 'rm -rf "$scratch"' EXIT INT TERM
mkdir "$scratch/sandboxes"
export REG_FUZZ_TMPDIR="$scratch/sandboxes"
summary="$scratch/summary"
: > "$summary"
failed=0

for h in $harnesses; do
    bin="$build/tests/fuzz/$h"
    [ -x "$bin" ] || { echo "fuzz: $bin missing" >&2; exit 1; }
    corpus="$scratch/corpus-$h"
    mkdir -p "$corpus"
    [ -d "tests/fuzz/corpus/$h" ] && cp tests/fuzz/corpus/"$h"/* "$corpus"/
    artifacts="$build/artifacts/$h"
    mkdir -p "$artifacts"
    log="$build/artifacts/$h.log"
    echo "== fuzz $h (${seconds}s)"
    status=0
    "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$artifacts/" "$corpus" > "$log" 2>&1 || status=$?
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    units=$(ls "$corpus" | wc -l)
    if [ "$status" -eq 0 ]; then
        result=ok
    else
        result="FAILED ($status)"
        failed=1
        tail -n 40 "$log"
        echo "fuzz: $h failed; inputs in $artifacts, log in $log" >&2
    fi
    printf '%-20s %12s %8s  %s\n' "$h" "${execs:-?}" "$units" "$result" >> "$summary"
done

echo "== fuzz summary (${seconds}s per harness)"
printf '%-20s %12s %8s  %s\n' harness executions corpus result
cat "$summary"
[ "$failed" -eq 0 ] || { echo "== fuzzing found faults" >&2; exit 1; }
echo "== fuzzing found nothing"
