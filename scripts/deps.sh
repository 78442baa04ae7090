#!/bin/sh
# Installs the Debian packages that are missing for the given purpose:
#   deps.sh build   compiler, CMake, Ninja, Qt 5 Core/D-Bus, dbus-daemon, pstree,
#                   dpkg-dev (the package's dependencies come from the binaries)
#   deps.sh test    build, plus clang (sanitizers, libFuzzer), valgrind, and
#                   dbus-broker with systemd-socket-activate (systemd), to run
#                   the bus tests on the other system bus too. Debian makes an
#                   installed dbus-broker the host's system bus from the next boot.
set -eu

packages="g++ cmake ninja-build pkg-config qtbase5-dev qtbase5-dev-tools libqt5dbus5 dbus psmisc
    dpkg-dev"
if [ "${1:-build}" = test ]; then
    packages="$packages clang libclang-rt-14-dev valgrind dbus-broker systemd"
fi

missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

echo "Installing:$missing"
if [ "$(id -u)" -ne 0 ]; then
    echo "deps.sh: run as root to install packages" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
# shellcheck disable=SC2086
apt-get install -y -q --no-install-recommends $missing
