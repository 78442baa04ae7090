#!/bin/sh
# The lavrosk-daemon demo: a private bus, the runtime stand-in and one daemon
# for a sample platform. The stand-in prints every call the daemon makes as it
# arrives, while this script drives the daemon through a crash and relaunch, a
# tree kill, a normal exit and its own stop. Needs no system configuration.
#
#   scenario.sh [--record FILE]
#
# --record FILE keeps every call as a JSON line in FILE. LAVROSK_DAEMON and
# LAVROSK_SIM name the binaries; by default they are taken from PATH. Exits 0
# once every expected call has been seen and the daemon has ended with status
# 0, 1 otherwise. Every process it starts is stopped on the way out.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
daemon=${LAVROSK_DAEMON:-$(command -v lavrosk-daemon || true)}
sim=${LAVROSK_SIM:-$(command -v lavrosk-runtime-sim || true)}
record_copy=""
if [ "${1:-}" = --record ] && [ -n "${2:-}" ]; then
    record_copy=$2
elif [ $# -gt 0 ]; then
    echo "usage: scenario.sh [--record FILE]" >&2
    exit 2
fi
for tool in "$daemon" "$sim" dbus-daemon setsid; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "demo: cannot find ${tool:-lavrosk-daemon or lavrosk-runtime-sim}" >&2
        exit 1
    fi
done

platform='demo@container1@0'
container=container1
work=$(mktemp -d "${TMPDIR:-/tmp}/lavrosk-demo.XXXXXX")
record=$work/calls.jsonl
bus_pid="" sim_pid="" daemon_pid="" daemon_session=""

if [ -t 1 ] && [ -z "${NO_COLOR:-}" ]; then
    bold=$(printf '\033[1m') plain=$(printf '\033[0m')
else
    bold="" plain=""
fi
# On a terminal, a pause before each step gives a reader time to follow; the
# waits that matter are on the calls themselves.
if [ -t 1 ]; then
    pace=${LAVROSK_DEMO_PACE:-0.8}
else
    pace=${LAVROSK_DEMO_PACE:-0}
fi
heading() {
    sleep "$pace"
    printf '\n%s== %s%s\n' "$bold" "$1" "$plain"
}
note() { printf '   # %s\n' "$1"; }

# Stops what this script started, by pid: the daemon's session (the daemon and
# every application it launched), any tree process that outlived its root,
# the stand-in and the bus.
cleanup() {
    trap - EXIT INT TERM
    if [ -n "$daemon_pid" ]; then
        kill -s KILL -- "-$daemon_pid" 2>/dev/null || true
    fi
    if [ -f "$work/tree.pids" ] && [ -n "$daemon_session" ]; then
        for pid in $(alive_pids "$work/tree.pids"); do
            kill -s KILL "$pid" 2>/dev/null || true
        done
    fi
    for pid in $sim_pid $bus_pid; do
        kill "$pid" 2>/dev/null || true
    done
    if [ -n "$record_copy" ] && [ -f "$record" ]; then
        cp "$record" "$record_copy" || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

fail() {
    echo "demo: $1" >&2
    if [ -s "$work/daemon.err" ]; then
        echo "demo: the daemon's debug log ends with:" >&2
        tail -n 5 "$work/daemon.err" >&2
    fi
    exit 1
}

# Number of recorded calls that match every extended regular expression given.
count_matching() {
    result=$(cat "$record" 2>/dev/null || true)
    for pattern in "$@"; do
        result=$(printf '%s\n' "$result" | grep -E -- "$pattern" || true)
    done
    if [ -z "$result" ]; then
        echo 0
    else
        printf '%s\n' "$result" | wc -l
    fi
}

# await N WHAT PATTERN...: waits until N recorded calls match every pattern,
# at most 10 s.
await() {
    wanted=$1 what=$2
    shift 2
    tries=0
    while [ "$(count_matching "$@")" -lt "$wanted" ]; do
        tries=$((tries + 1))
        [ "$tries" -le 200 ] || fail "gave up waiting for $what"
        sleep 0.05
    done
}

# The pid of the latest "running" report of an application.
running_pid() {
    grep '"set_app_status"' "$record" |
        sed -n "s/.*\[\"$container\",\"$1\",\"\([0-9]*\)\",\"running\".*/\1/p" | tail -n 1
}

# Pids listed in a file that still exist and are not zombies.
alive_pids() {
    # Only processes still in the daemon's session count: a pid that names
    # anybody else by now is not ours (pids are reused, and fast).
    while read -r pid; do
        fields=$(sed -n 's/^[0-9]* (.*) \([A-Z]\) [0-9-]* [0-9-]* \([0-9-]*\) .*/\1 \2/p' \
            "/proc/$pid/stat" 2>/dev/null || true)
        state=${fields% *}
        session=${fields#* }
        if [ -n "$fields" ] && [ "$state" != Z ] && [ "$session" = "$daemon_session" ]; then
            echo "$pid"
        fi
    done <"$1"
}

cat >"$work/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:dir=$work</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
EOF

printf '%slavrosk-daemon demo%s: a private bus, the runtime stand-in lavrosk-runtime-sim\n' \
    "$bold" "$plain"
echo "and one daemon for the platform $platform. Each line from the stand-in is"
echo "one call the daemon made, shown as it arrived; \">>\" lines are the signals the"
echo "stand-in sent, as the runtime service would."
echo

# shellcheck disable=SC2046
set -- $(dbus-daemon --config-file="$work/bus.conf" --fork --print-address=1 --print-pid=1)
[ $# -eq 2 ] || fail "the private bus did not start"
export DBUS_SYSTEM_BUS_ADDRESS="$1"
bus_pid=$2

"$sim" watch --record "$record" &
sim_pid=$!
tries=0
until grep -q '"event":"ready"' "$record" 2>/dev/null; do
    tries=$((tries + 1))
    [ "$tries" -le 200 ] || fail "the stand-in never owned com.quorl.runtime"
    sleep 0.05
done

heading "1. Start a daemon for $platform: it announces itself"
# In a session of its own, so that cleanup can stop it and every process it
# launched at once, and Ctrl-C reaches only this script.
setsid "$daemon" "$platform" "$here/flaky" "$work" >"$work/daemon.out" 2>"$work/daemon.err" &
daemon_pid=$!
daemon_session=$daemon_pid
await 1 "daemon_ready" '"method":"daemon_ready"'

heading "2. Launch flaky: it crashes by SIGSEGV and the daemon launches it again"
"$sim" start "$platform" "$here/flaky" "$work"
await 2 "flaky running twice" '"set_app_status"' "\"flaky\",\"[0-9]+\",\"running\""

heading "3. Launch spawner: a tree of seven processes"
"$sim" start "$platform" "$here/spawner" "$work" 3
await 1 "spawner running" '"set_app_status"' "\"spawner\",\"[0-9]+\",\"running\""
tries=0
while [ "$(wc -l <"$work/tree.pids" 2>/dev/null || echo 0)" -lt 7 ]; do
    tries=$((tries + 1))
    [ "$tries" -le 200 ] || fail "spawner never built its tree"
    sleep 0.05
done
tree_root=$(running_pid spawner)
note "tree rooted at pid $tree_root: $(tr '\n' ' ' <"$work/tree.pids")"

heading "4. Kill the tree rooted at pid $tree_root"
"$sim" kill "$platform" "$tree_root"
# The runner's last call: its log line with the count of applications left.
await 1 "spawner stopped" '"set_app_status"' "\"spawner\",\"$tree_root\",\"stop\""
await 1 "the count of applications left" '"show_daemon_log"' 'app剩余：1'
tries=0
while [ -n "$(alive_pids "$work/tree.pids")" ] && [ "$tries" -lt 40 ]; do
    tries=$((tries + 1))
    sleep 0.05
done
left=$(alive_pids "$work/tree.pids" | wc -l)
note "processes of the tree left after the kill: $left of 7"

heading "5. Let flaky finish: a normal exit, the last application, so the platform stops"
touch "$work/flaky.done"
await 1 "platform stop" '"set_platform_app_status"' "\"$platform\",\"stop\""

heading "6. Stop the daemon"
"$sim" stop "$platform"
tries=0
while kill -0 "$daemon_pid" 2>/dev/null && [ "$tries" -lt 100 ]; do
    # A zombie still answers kill -0; wait below reaps it.
    [ "$(sed -n 's/^[0-9]* (.*) \([A-Z]\).*/\1/p' "/proc/$daemon_pid/stat" 2>/dev/null)" = Z ] && break
    tries=$((tries + 1))
    sleep 0.05
done
status=0
wait "$daemon_pid" || status=$?
daemon_pid=""
note "lavrosk-daemon exited with status $status"
[ "$status" -eq 0 ] || fail "the daemon should have exited with status 0"

calls=$(count_matching '"method":')
seconds=$(sed -n 's/.*"t":\([0-9.]*\).*/\1/p' "$record" | awk 'NR == 1 { first = $1 } { last = $1 }
    END { printf "%.1f", last - first }')
heading "Done: the daemon made $calls calls in $seconds s"
echo "The stand-in printed the calls above (the runtime service's side). The daemon"
echo "also wrote, for its own operator, messages about its children on standard output:"
sed 's/^/    /' "$work/daemon.out"
echo "and its Qt debug log on standard error ($(wc -l <"$work/daemon.err") lines, not shown)."
