#!/bin/sh
# The test command: installs what is missing, then builds and runs the whole
# suite twice, once plainly and once under AddressSanitizer and
# UndefinedBehaviorSanitizer, both warnings-as-errors, then fuzzes each
# libFuzzer harness for a short, bounded time (scripts/fuzz.sh), and last
# runs two registry nodes over a GlusterFS volume (scripts/scaleout_test.sh).
set -eu
cd "$(dirname "$0")/.."

if [ "$(id -u)" -eq 0 ]; then
    scripts/setup.sh test
fi

jobs=$(nproc 2>/dev/null || echo 2)
for variant in plain sanitize; do
    dir="build/test-$variant"
    san=OFF
    [ "$variant" = sanitize ] && san=ON
    echo "== $variant build"
    cmake -S . -B "$dir" -DREG_WERROR=ON -DREG_SANITIZE=$san >/dev/null
    cmake --build "$dir" -j "$jobs"
    echo "== $variant tests"
    ctest --test-dir "$dir" --output-on-failure -j "$jobs"
done
# Six harnesses at 15 s each keep the fuzz step near two minutes.
FUZZ_SECONDS=${FUZZ_SECONDS:-15} scripts/fuzz.sh
# Two registry nodes over one GlusterFS volume, with the plain build's
# programs: about five minutes (it needs root; it skips where FUSE is
# missing).
echo "== scale-out over GlusterFS"
if [ "$(id -u)" -eq 0 ]; then
    scripts/scaleout_test.sh build/test-plain
else
    # glusterd and FUSE mounts need root; the rest of the suite does not.
    echo "scale-out: skipped, it needs root (glusterd, FUSE mounts): run scripts/test.sh as root"
fi
echo "== all tests passed"
