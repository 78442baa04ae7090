#include "command_line.h"
#include "daemon_status.h"
#include "runtime_bus.h"
#include "runtime_sim.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

const char usage[] = R"usage(Usage:
  lavrosk-runtime-sim [watch] [--json] [--record FILE] [--color=WHEN]
                      [--no-reply] [--on-ready LINE] [--directed] [--resync]
  lavrosk-runtime-sim status [--json] [PLATFORM...]
  lavrosk-runtime-sim [--directed] start PLATFORM PATH [ARG...]
  lavrosk-runtime-sim [--directed] kill PLATFORM PID
  lavrosk-runtime-sim [--directed] stop PLATFORM
  lavrosk-runtime-sim --help

A stand-in for the runtime service "com.quorl.runtime", for trying, testing and
operating lavrosk-daemon. It uses the bus named by DBUS_SYSTEM_BUS_ADDRESS, or
else the system bus, where it needs root and the policy file
com.quorl.runtime.conf (see lavrosk-runtime-sim(1)).

watch (the default)
  Owns "com.quorl.runtime", answers the five methods a daemon calls
  (daemon_ready, set_platform_app_status, set_app_status,
  send_to_client_app_platform_status_slot, show_daemon_log) and prints each
  call as it arrives, one line per call:

        TIME  FROM    MESSAGE                                  PAYLOAD
       0.214  :1.4    daemon_ready                             shop@c1@0  /bin/sleep  [30]
       0.305  sim     >> app_start                             shop@c1@0  /bin/sleep  [30]
       0.311  :1.4    set_app_status                           c1  sleep  4242  running  /bin/sleep

  TIME counts seconds from the start of the watch; FROM is the caller's bus
  name, or "sim" for signals this program emitted (">>") and its own events
  ("--"). Payload items are bare, or quoted with escapes when they hold blanks,
  quotes or control characters, or are empty.

  --json        one JSON object per line instead: {"t": monotonic seconds,
                "method": name, "sender": bus name, "args": [decoded payload]};
                emitted signals carry "signal", events "event" ("ready" once
                the name is owned, "error" for a bad input line)
  --record FILE also append every record to FILE as a JSON line (the human
                lines stay on standard output)
  --color=WHEN  colour the human lines: auto (on a terminal, unless NO_COLOR
                is set), always or never
  --no-reply    take every call and never answer it (a hung runtime service)
  --on-ready LINE
                act on the input LINE the moment a daemon_ready call arrives
  --resync      first ask every daemon on the bus what it runs (as status
                does) and print that before any call: what a restarted
                runtime service does to rebuild its table; with --json one
                record per daemon, {"event": "resync", "bus_name", "daemon",
                "applications"}
  --directed    send each signal only to the daemons that announced its
                platform with daemon_ready (a signal with a destination,
                which wakes no other daemon); a platform that no daemon has
                announced gets a broadcast. The line shows "-> :1.4", or
                "-> all (not announced)"; JSON records carry "destination":
                the bus name, or null for such a broadcast

  Lines on standard input emit signals ("quit" ends the watch):
    start PLATFORM PATH [ARG...]         (or: app_start ...)
    kill PLATFORM PID                    (or: kill_app ...)
    stop PLATFORM                        (or: kill_daemon ...)
    ["app_start", "PLATFORM", "/bin/app", "an argument with blanks", ""]
    {"signal": "app_start", "payload": ["PLATFORM", "/bin/app", ["x"]]}
    {"signal": "kill_app", "signature": "av", "payload": ["PLATFORM", 42]}
  The last forms send any payload, malformed ones included, for fault tests,
  always as a broadcast; with "signature", as that D-Bus type (see
  lavrosk-runtime-sim(1)).

status
  Finds every lavrosk-daemon on the bus (or those of the platforms named),
  without having seen their daemon_ready, asks each what it runs (the method
  status of com.quorl.runtime.daemon at /com/quorl/runtime/daemon on the
  daemon's own bus name) and prints one table:

    PLATFORM   DAEMON  UP     APP    PID   STATE    UP   LAUNCHES  LAST END   TASKS
    shop@c1@0  4241    2m05s  sleep  4242  running  12s  2         signal 11  1

  UP is the daemon's uptime, then the current launch's; STATE is running,
  relaunching or killing; in cgroup mode a MEMORY column follows. With
  --json, one object per daemon and line: what it returned.

start, kill, stop
  Emit one signal and exit. When a watch owns the name, it emits the signal
  (daemons obey only the owner of the name) and prints it; otherwise this
  command owns the name for the moment it needs. Every word after the verb is
  sent as it is, options included: "start P /bin/app --help" starts the
  application with "--help". With --directed, the watch sends it only to the
  daemons of its platform (a watch started with --directed does so anyway).

Exit status: 0 on success, 1 when the bus refused something, 2 for a command
line that cannot be used.

Examples:
  # A private bus, no system configuration needed:
  eval "$(dbus-daemon --session --fork --print-address=1 |
          sed 's/^/export DBUS_SYSTEM_BUS_ADDRESS=/')"
  lavrosk-runtime-sim watch &
  lavrosk-daemon 'shop@c1@0' /bin/sleep 30 &
  lavrosk-runtime-sim start 'shop@c1@0' /bin/sleep 30
  lavrosk-runtime-sim kill 'shop@c1@0' 4242     # the pid of the "running" line
  lavrosk-runtime-sim stop 'shop@c1@0'

#For a script : the calls as JSON, and the pid of each running application
  lavrosk-runtime-sim watch --json | grep '"set_app_status"'

#Human lines on the terminal, a JSON record in a file
  lavrosk-runtime-sim watch --record /tmp/calls.jsonl
)usage";

int fail(const QString &message)
{
    std::fprintf(stderr, "lavrosk-runtime-sim: %s\n", qPrintable(message));
    return 1;
}

// Owns the service name, or says why not in terms an operator can act on.
bool own_service(QDBusConnection bus, QString *error)
{
    const QString service = QString::fromLatin1(runtime::service);
    const QString owner = bus.interface()->serviceOwner(service);
    if (!owner.isEmpty()) {
        *error = QStringLiteral("%1 is already owned by %2 (another watch, or the runtime "
                                "service itself)")
                     .arg(service, owner);
        return false;
    }
    if (bus.registerService(service))
        return true;
    *error = QStringLiteral("cannot own %1: %2").arg(service, bus.lastError().message());
    if (bus.lastError().type() == QDBusError::AccessDenied &&
        !qEnvironmentVariableIsSet("DBUS_SYSTEM_BUS_ADDRESS"))
        *error += QStringLiteral("\non the system bus this takes root and the policy file "
                                 "com.quorl.runtime.conf in /usr/share/dbus-1/system.d");
    return false;
}

// start/kill/stop: ask the owner of the name to emit, or emit as the owner.
int run_command(QDBusConnection bus, const QStringList &command, runtime_sim::options opts)
{
    const QString service = QString::fromLatin1(runtime::service);
    if (bus.interface()->isServiceRegistered(service)) {
        QDBusMessage call = QDBusMessage::createMethodCall(
            service, QString::fromLatin1(sim_control_path),
            QString::fromLatin1(sim_control_interface),
            opts.directed ? QStringLiteral("emit_directed") : QStringLiteral("emit_signal"));
        call << command;
        const QDBusMessage reply = bus.call(call);
        if (reply.type() == QDBusMessage::ErrorMessage &&
            reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.AccessDenied"))
            return fail(QStringLiteral("the bus refused the request to the watch (the policy "
                                       "file lets only root send it): %1")
                            .arg(reply.errorMessage()));
        if (reply.type() == QDBusMessage::ErrorMessage)
            return fail(QStringLiteral("the owner of %1 is not a lavrosk-runtime-sim watch: %2")
                            .arg(service, reply.errorMessage()));
        const QString error = reply.arguments().value(0).toString();
        return error.isEmpty() ? 0 : fail(error);
    }
    runtime_sim sim(opts);
    QString error;
    if (!sim.attach(bus, &error) || !own_service(bus, &error))
        return fail(error);
    error = sim.emit_command(command);
    // A round trip to the bus: every message queued before it has left.
    bus.interface()->serviceOwner(service);
    bus.unregisterService(service);
    return error.isEmpty() ? 0 : fail(error);
}

void print_lines(const QStringList &lines)
{
    for (const QString &line : lines)
        std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

int run_status(QDBusConnection bus, const QStringList &platforms, bool json)
{
    const QList<daemon_answer> answers = ask_daemons(bus, platforms);
    int status = 0;
    for (const daemon_answer &answer : answers)
        status |= answer.error.isEmpty() ? 0 : 1;
    if (!json) {
        print_lines(status_table(answers, wall_clock_usec()));
        return status;
    }
    for (const daemon_answer &answer : answers)
        std::printf("%s\n",
                    QJsonDocument(answer_json(answer)).toJson(QJsonDocument::Compact).constData());
    std::fflush(stdout);
    return status;
}

// What runs now, before the first call is taken: the daemons' reports that
// arrive meanwhile wait in the bus's queue.
void resync(runtime_sim &sim, QDBusConnection bus, bool json)
{
    const QList<daemon_answer> answers = ask_daemons(bus, {});
    if (!json) {
        print_lines(status_table(answers, wall_clock_usec()));
        return;
    }
    for (const daemon_answer &answer : answers) {
        QJsonObject record = answer_json(answer);
        record.insert(QStringLiteral("event"), QStringLiteral("resync"));
        sim.print(record);
    }
}

int run_watch(QCoreApplication &app, QDBusConnection bus, runtime_sim::options opts,
              bool resync_first)
{
    runtime_sim sim(opts);
    QString error;
    if (!sim.attach(bus, &error) || !own_service(bus, &error))
        return fail(error);
    const QString service = QString::fromLatin1(runtime::service);
    if (resync_first)
        resync(sim, bus, opts.json);
    sim.print_header();
    sim.print(
        {{QStringLiteral("event"), QStringLiteral("ready")}, {QStringLiteral("service"), service}});

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QByteArray pending;
    QObject::connect(&input, &QSocketNotifier::activated, [&]() {
        char buffer[65536];
        const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            input.setEnabled(false); // end of input: go on serving
            return;
        }
        pending.append(buffer, static_cast<int>(n));
        int end;
        while ((end = pending.indexOf('\n')) >= 0) {
            const QString line = QString::fromUtf8(pending.left(end));
            pending.remove(0, end + 1);
            if (line.trimmed() == QLatin1String("quit")) {
                app.quit();
                return;
            }
            const QString problem = sim.handle_line(line);
            if (!problem.isEmpty())
                sim.print({{QStringLiteral("event"), QStringLiteral("error")},
                           {QStringLiteral("message"), problem}});
        }
    });
    return app.exec();
}

bool use_color(const QString &when)
{
    if (when == QLatin1String("always"))
        return true;
    if (when == QLatin1String("never"))
        return false;
    const char *term = std::getenv("TERM");
    return isatty(STDOUT_FILENO) && !qEnvironmentVariableIsSet("NO_COLOR") && term &&
           std::strcmp(term, "dumb") != 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const sim_command_line cl = parse_sim_command_line(app.arguments().mid(1));
    if (cl.help) {
        std::fputs(usage, stdout);
        return 0;
    }
    if (!cl.error.isEmpty()) {
        std::fprintf(stderr, "lavrosk-runtime-sim: %s; see --help\n", qPrintable(cl.error));
        return 2;
    }

    runtime_sim::options opts;
    opts.json = cl.json;
    opts.reply = cl.reply;
    opts.directed = cl.directed;
    opts.on_ready = cl.on_ready;
    opts.color = !cl.json && use_color(cl.color);
    if (!cl.record_path.isEmpty()) {
        opts.record = std::fopen(QFile::encodeName(cl.record_path).constData(), "a");
        if (!opts.record)
            return fail(QStringLiteral("cannot open %1: %2")
                            .arg(cl.record_path, QString::fromLocal8Bit(std::strerror(errno))));
    }

    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected())
        return fail(QStringLiteral("no bus: %1").arg(bus.lastError().message()));

    if (cl.words.first() == QLatin1String("watch"))
        return run_watch(app, bus, opts, cl.resync);
    if (cl.words.first() == QLatin1String("status"))
        return run_status(bus, cl.words.mid(1), cl.json);
    return run_command(bus, cl.words, opts);
}
