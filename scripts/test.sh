#!/bin/sh
# Builds lavrosk-daemon and runs every test. Installs missing Debian packages.
set -eu
cd "$(dirname "$0")/.."
./scripts/deps.sh test

jobs=$(nproc)
build() { # build DIR [cmake options...]
    dir=$1
    shift
    cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
    ninja -C "$dir"
}

echo "== build and test (RelWithDebInfo) =="
build build -DCMAKE_BUILD_TYPE=RelWithDebInfo
ctest --test-dir build --output-on-failure -j "$jobs"
