#include "runtime_bus.h"
#include "runtime_sim.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QJsonObject>
#include <QSocketNotifier>

#include <cstdio>
#include <unistd.h>

namespace {

const char usage[] = R"(Usage:
  lavrosk-runtime-sim [watch] [--json] [--no-reply]
  lavrosk-runtime-sim start PLATFORM PATH [ARG...]
  lavrosk-runtime-sim kill PLATFORM PID
  lavrosk-runtime-sim stop PLATFORM

A stand-in for the runtime service "com.quorl.runtime", for trying and testing
lavrosk-daemon. It uses the bus named by DBUS_SYSTEM_BUS_ADDRESS, or else the
system bus (which needs the policy file dbus/com.quorl.runtime.conf installed).

watch (the default)
  Owns "com.quorl.runtime", answers the five methods a daemon calls
  (daemon_ready, set_platform_app_status, set_app_status,
  send_to_client_app_platform_status_slot, show_daemon_log) and prints each
  call as it arrives: one aligned line per call, or with --json one JSON object
  per line: {"t": monotonic seconds, "method": name, "sender": bus name,
  "args": [decoded payload]}. Emitted signals are printed too ("signal"), and
  "ready" once the name is owned.
  Lines on standard input emit signals:
    app_start PLATFORM PATH [ARG...]     (or: start ...)
    kill_app PLATFORM PID                (or: kill ...)
    kill_daemon PLATFORM                 (or: stop ...)
    ["app_start", "PLATFORM", "/bin/app", "an argument with blanks", ""]
    {"signal": "app_start", "payload": ["PLATFORM", "/bin/app", ["x"]]}
  The last form sends any payload, malformed ones included, for fault tests.
  --no-reply   take every call and never answer it (a hung runtime service)
  --on-ready LINE
               act on the input LINE the moment a daemon_ready call arrives

start, kill, stop
  Emit one signal and exit. When a "watch" instance owns the name, it emits the
  signal (daemons obey only the owner of the name); otherwise this command takes
  the name for the moment it needs.

Examples:
  export DBUS_SYSTEM_BUS_ADDRESS=unix:path=/tmp/demo-bus
  lavrosk-runtime-sim watch &
  lavrosk-daemon 'shop@c1@0' /bin/sleep 30 &
  lavrosk-runtime-sim start 'shop@c1@0' /bin/sleep 30
  lavrosk-runtime-sim kill 'shop@c1@0' 12345
  lavrosk-runtime-sim stop 'shop@c1@0'
)";

int fail(const QString &message)
{
    std::fprintf(stderr, "lavrosk-runtime-sim: %s\n", qPrintable(message));
    return 1;
}

// start/kill/stop: ask the owner of the name to emit, or emit as the owner.
int run_command(QDBusConnection bus, const QStringList &command)
{
    const QString service = QString::fromLatin1(runtime::service);
    if (bus.interface()->isServiceRegistered(service)) {
        QDBusMessage call = QDBusMessage::createMethodCall(
            service, QString::fromLatin1(sim_control_path),
            QString::fromLatin1(sim_control_interface), QStringLiteral("emit_signal"));
        call << command;
        const QDBusMessage reply = bus.call(call);
        if (reply.type() == QDBusMessage::ErrorMessage)
            return fail(QStringLiteral("the owner of %1 is not a lavrosk-runtime-sim watch: %2")
                            .arg(service, reply.errorMessage()));
        const QString error = reply.arguments().value(0).toString();
        return error.isEmpty() ? 0 : fail(error);
    }
    runtime_sim sim(runtime_sim::options{});
    QString error;
    if (!sim.attach(bus, &error))
        return fail(error);
    if (!bus.registerService(service))
        return fail(QStringLiteral("cannot own %1: %2").arg(service, bus.lastError().message()));
    error = sim.emit_command(command);
    // A round trip to the bus: every message queued before it has left.
    bus.interface()->serviceOwner(service);
    bus.unregisterService(service);
    return error.isEmpty() ? 0 : fail(error);
}

int run_watch(QCoreApplication &app, QDBusConnection bus, runtime_sim::options opts)
{
    runtime_sim sim(opts);
    QString error;
    if (!sim.attach(bus, &error))
        return fail(error);
    const QString service = QString::fromLatin1(runtime::service);
    if (!bus.registerService(service))
        return fail(QStringLiteral("cannot own %1: %2").arg(service, bus.lastError().message()));
    sim.print({{QStringLiteral("event"), QStringLiteral("ready")},
               {QStringLiteral("service"), service}});

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

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    if (args.contains(QStringLiteral("--help")) || args.contains(QStringLiteral("-h"))) {
        std::fputs(usage, stdout);
        return 0;
    }
    runtime_sim::options opts;
    opts.json = args.removeAll(QStringLiteral("--json")) > 0;
    opts.reply = args.removeAll(QStringLiteral("--no-reply")) == 0;
    const int on_ready = args.indexOf(QStringLiteral("--on-ready"));
    if (on_ready >= 0) {
        if (on_ready + 1 >= args.size())
            return fail(QStringLiteral("--on-ready needs a line; see --help"));
        opts.on_ready = args.at(on_ready + 1);
        args.erase(args.begin() + on_ready, args.begin() + on_ready + 2);
    }

    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected())
        return fail(QStringLiteral("no bus: %1").arg(bus.lastError().message()));

    if (args.isEmpty() || args.first() == QLatin1String("watch")) {
        if (args.size() > 1)
            return fail(QStringLiteral("watch takes no arguments; see --help"));
        return run_watch(app, bus, opts);
    }
    const QString verb = args.first();
    if (verb == QLatin1String("start") || verb == QLatin1String("kill") ||
        verb == QLatin1String("stop"))
        return run_command(bus, args);
    std::fputs(usage, stderr);
    return 2;
}
