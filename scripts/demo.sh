#!/bin/sh
# The demo from a fresh clone: installs the Debian packages that are missing,
# builds, and runs scripts/demo/scenario.sh with the binaries just built (a
# private bus, the runtime stand-in and one daemon, every call shown as it
# happens). LAVROSK_BUILD_DIR picks the build directory (default: build).
set -eu
cd "$(dirname "$0")/.."
./scripts/deps.sh build

build=${LAVROSK_BUILD_DIR:-build}
case $build in
/*) ;;
*) build=$PWD/$build ;;
esac
log=$(mktemp "${TMPDIR:-/tmp}/lavrosk-build.XXXXXX")
echo "Building in $build ..."
if ! { cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
    ninja -C "$build" lavrosk-daemon lavrosk-runtime-sim; } >"$log" 2>&1; then
    tail -n 30 "$log" >&2
    echo "demo: the build failed; the full log is $log" >&2
    exit 1
fi
rm -f "$log"
echo

export LAVROSK_DAEMON="$build/src/lavrosk-daemon"
export LAVROSK_SIM="$build/tools/runtime-sim/lavrosk-runtime-sim"
exec ./scripts/demo/scenario.sh "$@"
