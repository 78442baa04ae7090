#!/bin/sh
# A demo on a private bus: the runtime stand-in, one daemon and a sample
# application, with every call the daemon makes shown as it happens.
set -eu
cd "$(dirname "$0")/.."
./scripts/deps.sh build
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build >/dev/null

work=$(mktemp -d)
bus_pid="" sim_pid="" daemon_pid=""
cleanup() {
    for p in $daemon_pid $sim_pid $bus_pid; do kill "$p" 2>/dev/null || true; done
    pkill -f "$work/" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

set -- $(dbus-daemon --config-file=tests/bus/system-bus.conf --fork --print-address=1 --print-pid=1)
export DBUS_SYSTEM_BUS_ADDRESS="$1"
bus_pid=$2

sim=build/tools/runtime-sim/lavrosk-runtime-sim
daemon=build/src/lavrosk-daemon
platform='demo@container1@0'

$sim watch &
sim_pid=$!
sleep 0.5
$daemon "$platform" /bin/sleep 2 >"$work/daemon.out" 2>"$work/daemon.debug" &
daemon_pid=$!
sleep 0.5

step() { printf '\n== %s\n' "$1"; }
step "start an application that exits normally"
$sim start "$platform" /bin/sleep 0.3
sleep 1
step "stop the daemon"
$sim stop "$platform"
sleep 0.5
wait "$daemon_pid" 2>/dev/null && echo "daemon exited with status 0"
daemon_pid=""
