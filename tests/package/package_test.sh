#!/bin/sh
# Builds the Debian package from a build tree, unpacks it into a temporary
# root and runs the demo scenario with the unpacked binaries on a private bus,
# then checks the calls the daemon made and that nothing was left running.
#
#   package_test.sh BUILD_DIR
set -eu
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
    echo "FAIL: $1" >&2
    failures=$((failures + 1))
}

# 1. The package.
if ! (cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out") \
    >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log" >&2
    echo "FAIL: cpack" >&2
    exit 1
fi
set -- "$work"/out/lavrosk-daemon_*.deb
if [ $# -ne 1 ] || [ ! -f "$1" ]; then
    echo "FAIL: expected one package, found: $*" >&2
    exit 1
fi
deb=$1
echo "package: $(basename "$deb"), $(wc -c <"$deb") bytes"

depends=$(dpkg-deb -f "$deb" Depends)
for dep in libqt5core5a libqt5dbus5 psmisc dbus; do
    printf '%s\n' "$depends" | tr ',' '\n' | grep -q "^ *$dep\b" || fail "Depends lacks $dep: $depends"
done
[ "$(dpkg-deb -f "$deb" Package)" = lavrosk-daemon ] || fail "package name"
dpkg-deb -f "$deb" Maintainer | grep -q '@' || fail "no maintainer"

dpkg-deb -c "$deb" | awk '{ print $NF }' | sed 's|^\./|/|' >"$work/contents"
for path in /usr/bin/lavrosk-daemon /usr/bin/lavrosk-runtime-sim \
    /usr/share/man/man8/lavrosk-daemon.8.gz /usr/share/man/man1/lavrosk-runtime-sim.1.gz \
    /usr/share/dbus-1/system.d/com.quorl.runtime.conf \
    /usr/share/lavrosk-daemon/demo/scenario.sh; do
    grep -qx "$path" "$work/contents" || fail "the package lacks $path"
done

# 2. Unpacked: the files are usable as installed.
root=$work/root
dpkg-deb -x "$deb" "$root"

# The C library the package declares is at least what each binary asks for.
libc=$(printf '%s\n' "$depends" | tr ',' '\n' | sed -n 's/^ *libc6 (>= \([^)]*\)).*/\1/p')
if [ -z "$libc" ]; then
    fail "Depends names no libc6 version: $depends"
else
    for binary in "$root"/usr/bin/*; do
        needed=$(objdump -T "$binary" | grep -o 'GLIBC_[0-9][0-9.]*' | sed 's/GLIBC_//' |
            sort -uV | tail -n 1)
        [ -n "$needed" ] || fail "$(basename "$binary"): no glibc version found by objdump"
        [ -z "$needed" ] || dpkg --compare-versions "$libc" ge "$needed" ||
            fail "$(basename "$binary") needs glibc $needed; the package declares libc6 (>= $libc)"
    done
fi
for page in "$root"/usr/share/man/man8/lavrosk-daemon.8.gz \
    "$root"/usr/share/man/man1/lavrosk-runtime-sim.1.gz; do
    if command -v groff >/dev/null; then
        warnings=$(gzip -dc "$page" | groff -man -ww -z -Tutf8 2>&1)
        [ -z "$warnings" ] || fail "$(basename "$page") renders with warnings: $warnings"
    fi
    gzip -dc "$page" | grep -q '^\.SH EXAMPLES' || fail "$(basename "$page") has no examples"
done
if command -v xmllint >/dev/null; then
    xmllint --noout "$root/usr/share/dbus-1/system.d/com.quorl.runtime.conf" ||
        fail "the policy file is not well-formed"
fi

# 3. The demo scenario with the unpacked binaries. Its processes inherit this
# TMPDIR, which finds any that outlived it.
mkdir "$work/tmp"
status=0
TMPDIR=$work/tmp LAVROSK_DEMO_PACE=0 LAVROSK_DAEMON=$root/usr/bin/lavrosk-daemon \
    LAVROSK_SIM=$root/usr/bin/lavrosk-runtime-sim \
    sh "$root/usr/share/lavrosk-daemon/demo/scenario.sh" --record "$work/calls" \
    >"$work/demo.out" 2>&1 || status=$?
if [ "$status" -ne 0 ]; then
    cat "$work/demo.out" >&2
    echo "FAIL: the demo exited with status $status" >&2
    exit 1
fi
echo "demo: $(grep -c '"method"' "$work/calls") calls recorded"

calls() { # calls METHOD: the status lists (or payloads) of METHOD, one a line
    grep "\"method\":\"$1\"" "$work/calls" | sed 's/^{"args":\[\[\(.*\)\]\],"method".*/\1/'
}
pids() { # pids APP STATE: the pids in APP's set_app_status reports of STATE
    calls set_app_status | sed -n "s/^\[\"container1\",\"$1\",\"\([0-9]*\)\",\"$2\".*/\1/p"
}
[ "$(calls daemon_ready | grep -c '^"demo@container1@0"')" -eq 1 ] || fail "one daemon_ready"

flaky_running=$(pids flaky running | tr '\n' ' ')
flaky_stopped=$(pids flaky stop | tr '\n' ' ')
# shellcheck disable=SC2086 # one word per pid
set -- $flaky_running
{ [ $# -eq 2 ] && [ "$1" != "$2" ]; } || fail "flaky: two launches with two pids ($flaky_running)"
[ "$flaky_stopped" = "$flaky_running" ] || fail "flaky: each launch stopped ($flaky_stopped)"

tree=$(pids spawner running)
[ "$(printf '%s\n' "$tree" | wc -l)" -eq 1 ] || fail "spawner: one launch, no relaunch ($tree)"
[ "$(pids spawner stop)" = "$tree" ] || fail "spawner: stopped"
grep '"signal":"kill_app"' "$work/calls" | grep -q "\"$tree\"" || fail "kill_app for the tree root $tree"
grep -q 'processes of the tree left after the kill: 0 of 7' "$work/demo.out" ||
    fail "the tree outlived the kill: $(grep 'left after' "$work/demo.out")"

[ "$(calls set_platform_app_status | tr '\n' ' ')" = \
    '["demo@container1@0","running"] ["demo@container1@0","running"] ["demo@container1@0","stop"] ' ] ||
    fail "platform reports: $(calls set_platform_app_status | tr '\n' ' ')"
[ "$(calls send_to_client_app_platform_status_slot | grep -c '^"demo@container1@0:app stop"$')" -eq 2 ] ||
    fail "two \":app stop\" messages"
# Nothing after the stop request: the daemon ended at once.
tail -n 1 "$work/calls" | grep -q '"signal":"kill_daemon"' || fail "calls after kill_daemon"
grep -q 'lavrosk-daemon exited with status 0' "$work/demo.out" || fail "daemon exit status"

# The human lines name every call the daemon made.
for method in daemon_ready set_platform_app_status set_app_status \
    send_to_client_app_platform_status_slot show_daemon_log; do
    grep -q "^ *[0-9.]*  :[0-9.]* *$method " "$work/demo.out" || fail "no human line for $method"
done

left=""
for environ in /proc/[0-9]*/environ; do
    if grep -qsF "TMPDIR=$work/tmp" "$environ"; then
        pid=${environ#/proc/}
        pid=${pid%/environ}
        state=$(sed -n 's/^[0-9]* (.*) \([A-Z]\).*/\1/p' "/proc/$pid/stat" 2>/dev/null || true)
        [ -z "$state" ] || [ "$state" = Z ] || left="$left $pid"
    fi
done
[ -z "$left" ] || fail "processes left running by the demo:$left"
[ -z "$(ls -A "$work/tmp")" ] || fail "files left by the demo: $(ls -A "$work/tmp")"

if [ "$failures" -ne 0 ]; then
    echo "--- demo output" >&2
    cat "$work/demo.out" >&2
    exit 1
fi
echo "package: contents, dependencies, manual pages and the demo with the unpacked binaries all as expected"
