#!/bin/sh
# The example bus policy on a bus configured like a stock system bus (nobody
# may own a name or call a method unless a policy file allows it): root can run
# the stand-in and a daemon through a whole launch, anyone else is refused.
#
#   policy_test.sh POLICY_FILE DAEMON SIM
#
# Needs root (to be the allowed user) and setpriv (to be another one); exits 77,
# a skip, without them.
set -eu
policy=$1 daemon=$2 sim=$3

if [ "$(id -u)" -ne 0 ] || ! command -v setpriv >/dev/null; then
    echo "skipped: needs root and setpriv"
    exit 77
fi
if command -v xmllint >/dev/null; then
    xmllint --noout "$policy"
fi

work=$(mktemp -d)
chmod 755 "$work" # the socket lives here, and "nobody" must reach it
bus_pid="" sim_pid="" daemon_pid=""
cleanup() {
    for pid in $daemon_pid $sim_pid $bus_pid; do kill "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $1" >&2
    [ -f "$work/calls" ] && cat "$work/calls" >&2
    exit 1
}
await() { # await WHAT COMMAND...: up to 10 s for COMMAND to succeed
    what=$1
    shift
    tries=0
    until "$@"; do
        tries=$((tries + 1))
        [ "$tries" -le 200 ] || fail "gave up waiting for $what"
        sleep 0.05
    done
}

# The stock system bus's default policy, then the file under test.
cat >"$work/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:dir=$work</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
  </policy>
  <include>$policy</include>
</busconfig>
CONF
# shellcheck disable=SC2046
set -- $(dbus-daemon --config-file="$work/bus.conf" --fork --print-address=1 --print-pid=1)
[ $# -eq 2 ] || fail "dbus-daemon refused the configuration with the policy file"
export DBUS_SYSTEM_BUS_ADDRESS="$1"
bus_pid=$2

as_nobody() { setpriv --reuid=65534 --regid=65534 --clear-groups "$@"; }
# Prints the D-Bus error name of a call, or "ok".
call_result() {
    out=$("$@" 2>&1) && echo ok && return
    printf '%s\n' "$out" | sed -n 's/^Error \([A-Za-z.]*\).*/\1/p' | head -n 1
}
own_name="dbus-send --system --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus
    org.freedesktop.DBus.RequestName string:com.quorl.runtime uint32:4"
report="dbus-send --system --print-reply --dest=com.quorl.runtime /com/quorl/runtime
    com.quorl.runtime.interface.show_daemon_log"

# shellcheck disable=SC2086
r=$(call_result as_nobody $own_name)
[ "$r" = org.freedesktop.DBus.Error.AccessDenied ] || fail "nobody could own the name ($r)"

"$sim" watch --json >"$work/calls" 2>"$work/sim.err" &
sim_pid=$!
await "the stand-in to own the name" grep -qs '"event":"ready"' "$work/calls"

# A call as nobody is refused by the bus; as root it reaches the stand-in,
# which refuses only the missing argument.
# shellcheck disable=SC2086
r=$(call_result as_nobody $report)
[ "$r" = org.freedesktop.DBus.Error.AccessDenied ] || fail "nobody could call the service ($r)"
# shellcheck disable=SC2086
r=$(call_result $report)
[ "$r" != org.freedesktop.DBus.Error.AccessDenied ] || fail "root could not call the service"
if as_nobody "$sim" start 'p@c@0' /bin/true 2>/dev/null; then
    fail "nobody could ask the stand-in to emit a signal"
fi

# A whole launch as root: the announcement, the start request through the
# control interface, the reports, and the reply to the final blocking report.
"$daemon" 'p@c@0' /bin/true >/dev/null 2>&1 &
daemon_pid=$!
await "daemon_ready" grep -q '"method":"daemon_ready"' "$work/calls"
# What the daemon runs: root may ask it, nobody else.
daemon_name=""
find_daemon() {
    daemon_name=$(dbus-send --system --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.ListNames | sed -n 's/.*string "\(:[^"]*\)".*/\1/p' |
        while read -r name; do
            pid=$(dbus-send --system --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
                org.freedesktop.DBus.GetConnectionUnixProcessID "string:$name" 2>/dev/null |
                sed -n 's/.*uint32 //p')
            [ "$pid" = "$daemon_pid" ] && echo "$name"
        done)
    [ -n "$daemon_name" ]
}
await "the daemon's bus name" find_daemon
status="dbus-send --system --print-reply --dest=$daemon_name /com/quorl/runtime/daemon
    com.quorl.runtime.daemon.status"
# shellcheck disable=SC2086
r=$(call_result $status)
[ "$r" = ok ] || fail "root could not ask the daemon its status ($r)"
# shellcheck disable=SC2086
r=$(call_result as_nobody $status)
[ "$r" = org.freedesktop.DBus.Error.AccessDenied ] || fail "nobody could ask the daemon its status ($r)"
"$sim" status | grep -q 'p@c@0' || fail "the stand-in's status did not find the daemon"
"$sim" start 'p@c@0' /bin/true
await "the platform's stop" grep -q '\["p@c@0","stop"\]\]\],"method":"set_platform_app_status"' "$work/calls"
grep -q '"true","[0-9]*","stop"\]\]\],"method":"set_app_status"' "$work/calls" || fail "no application stop"
# A stop addressed to the daemon alone passes the stock policy too.
"$sim" --directed stop 'p@c@0'
grep -q '"destination":":' "$work/calls" || fail "the stop was not addressed to the daemon"
status=0
wait "$daemon_pid" || status=$?
daemon_pid=""
[ "$status" -eq 0 ] || fail "the daemon ended with status $status"
if grep -q '"event":"error"' "$work/calls" || [ -s "$work/sim.err" ]; then
    fail "the stand-in reported an error"
fi
echo "policy: owner and callers as intended"
