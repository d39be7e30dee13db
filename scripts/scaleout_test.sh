#!/bin/bash
# Several registry nodes over one GlusterFS volume, on this machine: a
# volume replicated over two bricks (directories), mounted twice through
# FUSE, and two lighttpd nodes (FastCGI), each serving the same registry
# from its own mount. Then the scenarios, each with the requests that race
# sent to different nodes:
#   1 skopeo pushes a multi-platform image through one node and copies it
#     out through the other, byte for byte, both ways;
#   2 the upload and tag races (finish against append, a chunk PATCHed
#     twice at once, a tag deleted while another is pushed);
#   3 concurrent pushes, pulls and deletions through both nodes;
#   4 requests of both nodes killed with SIGKILL, the store checked through
#     the other node;
#   5 one brick's server killed while images are pushed, restarted and
#     healed, then the other's: every acknowledged push pulls whole through
#     both nodes, nothing torn is served;
#   6 registry-admin gc on node 1's mount while node 2 takes pushes.
# Prints figures (latency of manifest GET and PUT through the FUSE mount
# against a local disk, rounds and anomalies per scenario) and ends with
# "N passed, N failed"; exits 1 when anything failed. Everything it starts
# (glusterd when none was running, bricks, mounts, servers) is stopped by
# PID and the volume removed on the way out, also after a failure.
#
#   scripts/scaleout_test.sh [BUILD_DIR]
#
# BUILD_DIR (else SCALEOUT_BUILD_DIR, else build/scaleout) holds the
# programs (cgi-bin/), registry-admin (bin/) and the driver
# (tests/scaleout/scaleout_driver); what is missing is built there. Runs as
# root (glusterd and FUSE mounts need it); installs what is missing through
# scripts/setup.sh test. Skips (exit 0) where FUSE is not available.
# SCALEOUT_WORK names the scratch directory (default: a new one in /tmp;
# the bricks live there, so it must be a file system with extended
# attributes, such as ext4 or xfs). SCALEOUT_ONLY="2 5" runs only those
# scenarios (0: the latency figures).
set -eu

top=$(cd "$(dirname "$0")/.." && pwd)
PATH=$PATH:/usr/sbin:/sbin
export PATH
started=$(date +%s)

say() { printf '%s\n' "scaleout: $*"; }
die() {
    printf '%s\n' "scaleout: $*" >&2
    exit 1
}

case ${1:-} in
    -h|--help) sed -n '2,31p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
esac
build=${1:-${SCALEOUT_BUILD_DIR:-$top/build/scaleout}}
case $build in
    /*) ;;
    *) build=$(pwd)/$build ;;
esac

# FUSE first: without it nothing below can run, and that is the only reason
# to skip.
if [ ! -c /dev/fuse ]; then
    say "SKIP: /dev/fuse is missing, so no FUSE mount of a GlusterFS volume can be made here"
    exit 0
fi
if ! grep -qw fuse /proc/filesystems 2>/dev/null; then
    modprobe fuse >/dev/null 2>&1 || true
    if ! grep -qw fuse /proc/filesystems 2>/dev/null; then
        say "SKIP: the kernel has no fuse file system (module not loaded and not loadable)"
        exit 0
    fi
fi
[ "$(id -u)" -eq 0 ] || die "needs root: it starts glusterd and mounts the volume (run as root; FUSE is present)"

if ! "$top/scripts/setup.sh" --check test >/dev/null 2>&1; then
    "$top/scripts/setup.sh" test
fi
for cmd in glusterd gluster glusterfs lighttpd skopeo; do
    command -v "$cmd" >/dev/null 2>&1 || die "$cmd not found after scripts/setup.sh test"
done

# ---------------------------------------------------------------- build

driver=$build/tests/scaleout/scaleout_driver
admin=$build/bin/registry-admin
cgi_dir=$build/cgi-bin
if [ ! -x "$driver" ] || [ ! -x "$admin" ] || [ ! -x "$cgi_dir/v2_manifest" ]; then
    say "building the programs and the driver in $build"
    if [ ! -f "$build/CMakeCache.txt" ]; then
        cmake -S "$top" -B "$build" -DREG_WERROR=ON >/dev/null
    fi
    cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target scaleout_driver >/dev/null ||
        die "cannot build scaleout_driver in $build (a build with REG_BUILD_TESTS=ON is needed)"
fi
if [ ! -x "$driver" ] || [ ! -x "$admin" ] || [ ! -x "$cgi_dir/v2_manifest" ]; then
    die "the build in $build lacks programs"
fi

# ---------------------------------------------------------------- clean-up

work=${SCALEOUT_WORK:-}
own_work=
if [ -z "$work" ]; then
    work=$(mktemp -d /tmp/scaleout.XXXXXX)
    own_work=1
fi
mkdir -p "$work"
work=$(cd "$work" && pwd)
vol=regscale$$
host=$(hostname)
glusterd_pid=
volume_made=
volume_started=
mounts=
node_pids=
bg_pids=
failed_names=

# Only what this run started is stopped, each by its PID.
stop_pid() {
    local pid=$1
    kill "$pid" 2>/dev/null || return 0
    for _ in $(seq 1 50); do
        kill -0 "$pid" 2>/dev/null || return 0
        sleep 0.1
    done
    kill -9 "$pid" 2>/dev/null || true
}

brick_pids() { # the PIDs of the volume's brick processes, one a line
    gluster volume status "$vol" 2>/dev/null | awk '/^Brick / && $NF ~ /^[0-9]+$/ { print $NF }'
}
shd_pid() {
    gluster volume status "$vol" shd 2>/dev/null | awk '/^Self-heal Daemon/ && $NF ~ /^[0-9]+$/ { print $NF }'
}

cleanup() {
    local rc=$? pid m bricks shd
    set +e
    trap - EXIT INT TERM
    for pid in $bg_pids $node_pids; do
        stop_pid "$pid"
        wait "$pid" 2>/dev/null
    done
    for m in $mounts; do
        pid=$(cat "$work/$m.pid" 2>/dev/null)
        umount "$work/$m" 2>/dev/null || { [ -z "$pid" ] || stop_pid "$pid"; umount -l "$work/$m" 2>/dev/null; }
        [ -z "$pid" ] || stop_pid "$pid"
    done
    if [ -n "$volume_made" ]; then
        bricks=$(brick_pids)
        shd=$(shd_pid)
        [ -z "$volume_started" ] || gluster --mode=script volume stop "$vol" force >/dev/null 2>&1
        gluster --mode=script volume delete "$vol" >/dev/null 2>&1 || say "could not delete volume $vol"
        # Whatever the stop left running of this volume.
        for pid in $bricks; do stop_pid "$pid"; done
        [ -z "$glusterd_pid" ] || for pid in $shd; do stop_pid "$pid"; done
    fi
    if [ -n "$glusterd_pid" ]; then
        stop_pid "$glusterd_pid"
        wait "$glusterd_pid" 2>/dev/null
    fi
    if [ -n "$own_work" ]; then
        rm -rf "$work"
    else
        rm -rf "$work/brick1" "$work/brick2"
    fi
    exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# ---------------------------------------------------------------- the volume

gluster_ready() { gluster --mode=script volume list >/dev/null 2>&1; }
if gluster_ready; then
    say "using the glusterd that is running"
else
    glusterd -N --log-file="$work/glusterd.log" >/dev/null 2>&1 &
    glusterd_pid=$!
    for _ in $(seq 1 100); do
        gluster_ready && break
        kill -0 "$glusterd_pid" 2>/dev/null || die "glusterd exited: $(tail -n 5 "$work/glusterd.log" 2>/dev/null)"
        sleep 0.2
    done
    gluster_ready || die "glusterd does not answer"
fi
getent hosts "$host" >/dev/null || die "the host name $host does not resolve; bricks are named by it"

mkdir -p "$work/brick1" "$work/brick2"
# Two bricks on one host: GlusterFS wants "force" for a replica whose
# copies share a machine (and for bricks on the root file system).
gluster --mode=script volume create "$vol" replica 2 "$host:$work/brick1" "$host:$work/brick2" force >/dev/null ||
    die "cannot create volume $vol"
volume_made=1

# What the store needs of the volume (README, "Scaling out over GlusterFS"):
# every client translator that answers from its own cache is off, so that
# a rename, unlink, append or lock release by one node is what the next
# request on the other node sees; writes reach the bricks before the
# request that made them returns; and a replica pair only takes writes
# while its first brick is up, so the two copies never both move on alone.
volume_options=${SCALEOUT_VOLUME_OPTIONS-"
performance.stat-prefetch off
performance.quick-read off
performance.io-cache off
performance.read-ahead off
performance.readdir-ahead off
performance.parallel-readdir off
performance.nl-cache off
performance.open-behind off
performance.write-behind off
cluster.quorum-type auto
"}
# Only this machine's clients may use the bricks.
volume_options="$volume_options
auth.allow 127.*,$(getent hosts "$host" | awk '{ print $1; exit }')"
while read -r key value; do
    [ -n "$key" ] || continue
    gluster --mode=script volume set "$vol" "$key" "$value" >/dev/null || die "volume set $key $value failed"
done <<OPTIONS
$volume_options
OPTIONS
gluster --mode=script volume start "$vol" >/dev/null || die "cannot start volume $vol"
volume_started=1

# The kernel's own caches of names and attributes off too: they would keep
# a name that another mount renamed away, and a size from before another
# mount's append. (fopen-keep-cache stays at its default, off: the page
# cache of a file is dropped at every open.) These are mount.glusterfs's
# options of the same names, as README shows them for /etc/fstab.
mount_options=${SCALEOUT_MOUNT_OPTIONS-"--entry-timeout=0 --attribute-timeout=0 --negative-timeout=0"}
for m in m1 m2; do
    mkdir -p "$work/$m"
    mounts="$mounts $m"
    # shellcheck disable=SC2086
    glusterfs --volfile-server="$host" --volfile-id="$vol" $mount_options \
        --pid-file="$work/$m.pid" --log-file="$work/$m.log" "$work/$m" || die "cannot mount the volume at $work/$m"
done
for _ in $(seq 1 50); do
    mountpoint -q "$work/m1" && mountpoint -q "$work/m2" && break
    sleep 0.2
done
if ! mountpoint -q "$work/m1" || ! mountpoint -q "$work/m2"; then
    die "the volume did not mount"
fi

say "volume $vol: replica 2 over $host:$work/brick1 and $host:$work/brick2, mounted at $work/m1 and $work/m2"
say "volume options:$(printf '%s\n' "$volume_options" | awk 'NF { printf " %s=%s", $1, $2 }')"
say "mount options: $mount_options"

# ---------------------------------------------------------------- the nodes

port1=$("$driver" free-port)
port2=$("$driver" free-port)
while [ "$port2" = "$port1" ]; do port2=$("$driver" free-port); done

# start_node NAME PORT ROOT: lighttpd in FastCGI mode from NAME's run
# directory, serving ROOT.
start_node() {
    local name=$1 port=$2 root=$3 run=$work/run-$1 pid
    mkdir -p "$run"
    : >"$run/error.log"
    "$top/scripts/lighttpd_conf.sh" "$run/lighttpd.conf" "$port" "$root" "$cgi_dir" fastcgi
    lighttpd -D -f "$run/lighttpd.conf" >"$run/stderr.log" 2>&1 &
    pid=$!
    node_pids="$node_pids $pid"
    eval "pid_$name=$pid"
    for _ in $(seq 1 100); do
        if curl -fsS -o /dev/null "http://127.0.0.1:$port/v2/" 2>/dev/null; then
            return 0
        fi
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    cat "$run/stderr.log" "$run/error.log" >&2 2>/dev/null
    die "node $name does not answer on port $port"
}
stop_node() {
    local name=$1 pid rest p
    eval "pid=\${pid_$name:-}"
    [ -n "$pid" ] || return 0
    stop_pid "$pid"
    wait "$pid" 2>/dev/null || true
    rest=
    for p in $node_pids; do [ "$p" = "$pid" ] || rest="$rest $p"; done
    node_pids=$rest
    eval "pid_$name="
}

# Each scenario gets a storage root of its own on the volume (a fresh
# registry): the two nodes are restarted on it, node 1 through mount 1 and
# node 2 through mount 2.
store=
use_store() {
    store=$1
    stop_node n1
    stop_node n2
    mkdir -p "$work/m1/$store"
    start_node n1 "$port1" "$work/m1/$store"
    start_node n2 "$port2" "$work/m2/$store"
    node_opts=(--node1 "http://127.0.0.1:$port1" --node2 "http://127.0.0.1:$port2"
               --root1 "$work/m1/$store" --root2 "$work/m2/$store" --work "$work")
}

# in_background COMMAND...: COMMAND waited for in the background, so that an
# interrupt reaches the trap at once (bash runs a trap only between
# commands) and the clean-up finds it among the PIDs it stops.
in_background() {
    local pid rc=0 p rest=
    "$@" &
    pid=$!
    bg_pids="$bg_pids $pid"
    wait "$pid" || rc=$?
    for p in $bg_pids; do [ "$p" = "$pid" ] || rest="$rest $p"; done
    bg_pids=$rest
    return "$rc"
}

# The driver's options that name the nodes and their roots.
node_opts=()
drive() { # SCENARIO [OPTIONS...]: the driver against both nodes
    local scenario=$1
    shift
    in_background timeout 300 "$driver" "$scenario" "${node_opts[@]}" "$@"
}

passed=0
failed=0
# SCALEOUT_ONLY="2 5": only those scenarios (0 is the latency figures).
wanted() {
    case " ${SCALEOUT_ONLY:-0 1 2 3 4 5 6} " in
        *" $1 "*) return 0 ;;
        *) return 1 ;;
    esac
}
# check NAME COMMAND...: one pass or failure, with the server logs of a
# failure.
check() {
    local name=$1 rc=0 t0
    shift
    t0=$(date +%s)
    "$@" || rc=$?
    if [ "$rc" -eq 0 ]; then
        passed=$((passed + 1))
        say "PASS $name ($(($(date +%s) - t0)) s)"
    else
        failed=$((failed + 1))
        failed_names="$failed_names $name"
        say "FAIL $name (status $rc, $(($(date +%s) - t0)) s)"
        for n in n1 n2; do
            if [ -s "$work/run-$n/error.log" ]; then
                echo "--- $n error.log (last lines)"
                tail -n 15 "$work/run-$n/error.log"
            fi
        done
    fi
}

# ---------------------------------------------------------------- latency

# A third node on the local disk beside node 1 on the FUSE mount: the same
# requests, one at a time.
latency() {
    local rc=0
    in_background timeout 120 "$driver" latency --node1 "http://127.0.0.1:$port1" --node2 "http://127.0.0.1:$1" \
        --rounds 100 >"$work/latency.txt" || rc=$?
    cat "$work/latency.txt"
    awk '/^scaleout latency/ {
        for (i = 1; i <= NF; i++) { split($i, kv, "="); v[kv[1]] = kv[2] }
        printf "scaleout: manifest latency, one request at a time (ms)   p50      p99\n"
        printf "scaleout:   GET through the FUSE mount (node 1)       %7s  %7s\n", v["node1_get_p50_ms"], v["node1_get_p99_ms"]
        printf "scaleout:   GET from a local disk                     %7s  %7s\n", v["node2_get_p50_ms"], v["node2_get_p99_ms"]
        printf "scaleout:   PUT through the FUSE mount (node 1)       %7s  %7s\n", v["node1_put_p50_ms"], v["node1_put_p99_ms"]
        printf "scaleout:   PUT to a local disk                       %7s  %7s\n", v["node2_put_p50_ms"], v["node2_put_p99_ms"]
    }' "$work/latency.txt"
    return "$rc"
}

if wanted 0; then
    # A third node on the local disk beside node 1 on the FUSE mount: the
    # same requests, one at a time.
    mkdir -p "$work/local"
    use_store s0-latency
    start_node local "$("$driver" free-port)" "$work/local"
    check "0 latency" latency "$(sed -n 's/^server.port = //p' "$work/run-local/lighttpd.conf")"
    stop_node local
fi

# ---------------------------------------------------------------- 1: skopeo

# make_index_layout DIR TAG: a two-platform image index (linux/amd64,
# linux/arm64) with random layers, as an OCI layout.
make_index_layout() (
    export OCI_LAYOUT_LIB=1
    # shellcheck disable=SC1091
    . "$top/tests/e2e/make_oci_layout.sh"
    oci_init "$1"
    read -r d1 s1 <<<"$(oci_make_image "$1" 2 linux amd64 3000000 400000)"
    read -r d2 s2 <<<"$(oci_make_image "$1" 2 linux arm64 2500000 300000)"
    read -r di si <<<"$(oci_make_index "$1" \
        "$(oci_descriptor "$OCI_MANIFEST_TYPE" "$d1" "$s1" '"platform":{"architecture":"amd64","os":"linux"}')" \
        "$(oci_descriptor "$OCI_MANIFEST_TYPE" "$d2" "$s2" '"platform":{"architecture":"arm64","os":"linux"}')")"
    oci_write_index_json "$1" "$(oci_tagged "$2" "$(oci_descriptor "$OCI_INDEX_TYPE" "$di" "$si")")"
)

skopeo_copy() {
    in_background env HOME="$work/home" TMPDIR="$work/tmp" timeout 120 skopeo --policy "$work/policy.json" \
        copy --all --preserve-digests --quiet "$@"
}

# skopeo_through FROM_PORT TO_PORT NAME: pushed through one node, copied out
# through the other; the layouts must hold the same blobs, byte for byte.
skopeo_through() {
    local from=$1 to=$2 name=$3 layout=$work/skopeo-$3-in out=$work/skopeo-$3-out
    make_index_layout "$layout" v1 || return 1
    skopeo_copy --dest-tls-verify=false "oci:$layout:v1" "docker://127.0.0.1:$from/scale/$name:v1" || return 1
    skopeo_copy --src-tls-verify=false "docker://127.0.0.1:$to/scale/$name:v1" "oci:$out:v1" || return 1
    local want got
    want=$(grep -o 'sha256:[0-9a-f]*' "$layout/index.json" | head -n 1)
    got=$(grep -o 'sha256:[0-9a-f]*' "$out/index.json" | head -n 1)
    if [ "$want" != "$got" ]; then
        say "index digest $got copied out, $want pushed"
        return 1
    fi
    if ! diff -r "$layout/blobs" "$out/blobs" >/dev/null; then
        say "the blobs copied out differ from those pushed:"
        diff -rq "$layout/blobs" "$out/blobs" | head -n 5
        return 1
    fi
    echo "scaleout skopeo-$name: index $want, $(find "$out/blobs/sha256" -type f | wc -l) blobs" \
        "($(du -sb "$out/blobs" | cut -f1) bytes) identical, anomalies=0"
}

mkdir -p "$work/home" "$work/tmp"
printf '%s\n' '{"default":[{"type":"insecureAcceptAnything"}]}' >"$work/policy.json"
if wanted 1; then
    use_store s1-skopeo
    check "1 skopeo node1->node2" skopeo_through "$port1" "$port2" one-to-two
    check "1 skopeo node2->node1" skopeo_through "$port2" "$port1" two-to-one
fi

# ---------------------------------------------------------------- 2: races

if wanted 2; then
    use_store s2-races
    check "2 finish-vs-append" drive finish-vs-append --rounds 14 --size-mib 16
    check "2 duplicate-chunk" drive duplicate-chunk --rounds 60
    check "2 lost-tag" drive lost-tag --rounds 40
fi

# ---------------------------------------------------------------- 3: concurrency

if wanted 3; then
    use_store s3-concurrency
    check "3 concurrency" drive concurrency --seconds 30
fi

# ---------------------------------------------------------------- 4: kills

if wanted 4; then
    use_store s4-crash-manifest
    check "4 crash-manifest" drive crash-manifest --rounds 160
    use_store s4-crash-blob
    check "4 crash-blob" drive crash-blob --rounds 80
fi

# ---------------------------------------------------------------- 5: a brick fails

# nth_brick_pid N: the PID of brick N's server (glusterfsd).
nth_brick_pid() {
    gluster volume status "$vol" 2>/dev/null |
        awk -v want="Brick $host:$work/brick$1" '$1 " " $2 == want && $NF ~ /^[0-9]+$/ { print $NF }'
}
# heal_pending: the entries all bricks still have to heal (empty when a
# brick cannot say).
heal_pending() {
    gluster volume heal "$vol" info 2>/dev/null |
        awk '/^Status: / && $0 !~ /Connected/ { bad = 1 }
             /^Number of entries: / { if ($4 !~ /^[0-9]+$/) bad = 1; n += $4; seen++ }
             END { if (!bad && seen == 2) print n }'
}
# wait_heal SECONDS: until nothing is left to heal; the seconds it took.
wait_heal() {
    local limit=$1 t0 n
    t0=$(date +%s)
    gluster volume heal "$vol" >/dev/null 2>&1 || true
    while :; do
        n=$(heal_pending)
        [ "$n" = 0 ] && break
        if [ $(($(date +%s) - t0)) -ge "$limit" ]; then
            say "heal not done after ${limit}s (pending: ${n:-unknown})" >&2
            return 1
        fi
        sleep 1
    done
    echo $(($(date +%s) - t0))
}
# fail_brick N SECONDS: brick N's server killed (SIGKILL), SECONDS later
# started again; then the heal waited for.
fail_brick() {
    local n=$1 down=$2 pid healed
    pid=$(nth_brick_pid "$n")
    [ -n "$pid" ] || { say "no PID for brick $n"; return 1; }
    # From the kill until the mounts have found the brick again (they try
    # every few seconds), the driver takes a 404 for "the file system
    # failed", not "lost" (see README); during the heal it does not.
    : >"$work/brick-failing"
    kill -9 "$pid"
    say "$(date +%T) brick $n (glusterfsd $pid) killed"
    sleep "$down"
    gluster --mode=script volume start "$vol" force >/dev/null || { say "brick $n does not start again"; return 1; }
    say "$(date +%T) brick $n started again (glusterfsd $(nth_brick_pid "$n"))"
    sleep 5
    rm -f "$work/brick-failing"
    healed=$(wait_heal 120) || return 1
    say "$(date +%T) brick $n healed $((healed + 5))s after its restart"
}

brick_failure() {
    local log=$work/acks.log pusher rc=0 split
    timeout 300 "$driver" pushes "${node_opts[@]}" --seconds 50 --log "$log" --failing "$work/brick-failing" &
    pusher=$!
    bg_pids="$bg_pids $pusher"
    sleep 6
    # The second brick first: with quorum-type auto the volume keeps taking
    # writes on the first alone, and the second comes back behind.
    fail_brick 2 10 || rc=1
    # Then the first: without it the pair has no quorum, and the volume
    # refuses every request (ENOTCONN) until it is back.
    [ "$rc" -ne 0 ] || fail_brick 1 8 || rc=1
    wait "$pusher" || rc=1
    bg_pids=
    wait_heal 120 >/dev/null || rc=1
    split=$(gluster volume heal "$vol" info split-brain 2>/dev/null | awk '/^Number of entries/ { n += $NF } END { print n + 0 }')
    if [ "$split" != 0 ]; then
        say "entries in split-brain: $split"
        rc=1
    fi
    drive verify-pushes --log "$log" || rc=1
    # Healed, the two copies are the same, file by file.
    if ! diff -r "$work/brick1/$store" "$work/brick2/$store" >/dev/null; then
        say "the bricks differ after the heal:"
        diff -rq "$work/brick1/$store" "$work/brick2/$store" | head -n 5
        rc=1
    fi
    for m in m1 m2; do
        "$admin" --root "$work/$m/$store" verify >"$work/verify-$m.txt" 2>&1 || {
            say "registry-admin verify through $m:"
            tail -n 5 "$work/verify-$m.txt"
            rc=1
        }
    done
    [ "$rc" -ne 0 ] || echo "scaleout brick-failure: $(tail -n 1 "$work/verify-m1.txt")"
    return "$rc"
}

if wanted 5; then
    use_store s5-brick-failure
    check "5 brick failure" brick_failure
fi

# ---------------------------------------------------------------- 6: gc

if wanted 6; then
    use_store s6-gc
    check "6 gc beside pushes" drive gc --rounds 20
fi

stop_node n1
stop_node n2
[ -z "$failed_names" ] || say "failed:$failed_names"
say "total run time $(($(date +%s) - started)) s"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
