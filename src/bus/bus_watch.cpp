#include "bus_watch.h"

#include "bus_rules.h"
#include "console_out.h"
#include "container_stop.h"
#include "startup_deadline.h"

#include <QDBusConnection>
#include <QDBusError>

#include <unistd.h>

namespace {

// libdbus tells a connection of its own end with this signal. It is made
// inside the library, never sent by the bus, so it arrives however the
// connection ended; Qt hands it to subscribers like any other signal.
const char local_path[] = "/org/freedesktop/DBus/Local";
const char local_interface[] = "org.freedesktop.DBus.Local";
const char disconnected_signal[] = "Disconnected";

QByteArray bus_name()
{
    const QByteArray address = qgetenv("DBUS_SYSTEM_BUS_ADDRESS");
    return address.isEmpty() ? QByteArray("the system bus")
                             : QByteArray("the system bus at ") + address;
}

} // namespace

bus_watch::bus_watch(const QString &platform, QObject *parent)
    : QObject(parent), platform(platform.toLatin1()),
      deadline(std::make_unique<startup_deadline>(
          std::chrono::milliseconds(startup_limit_ms), [this](const char *waited) {
              fail("start-up timed out on", QStringLiteral("no answer to %1 in %2 s")
                                                .arg(QLatin1String(waited))
                                                .arg(startup_limit_ms / 1000));
          }))
{
    // The first use connects and authenticates, and waits for the bus's answers.
    step("the connection and its authentication");
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected())
        fail("cannot connect to", bus.lastError().message());
    step("the subscription to the loss of the bus");
    bus.connect(QString(), QString::fromLatin1(local_path), QString::fromLatin1(local_interface),
                QString::fromLatin1(disconnected_signal), this, SLOT(disconnected()));
    confirm("the loss of the bus", signal_rule(QString(), QString::fromLatin1(local_path),
                                               QString::fromLatin1(local_interface),
                                               QString::fromLatin1(disconnected_signal)));
    // Lost before the subscription was in place: nothing would tell us later.
    if (!bus.isConnected())
        disconnected();
}

bus_watch::~bus_watch() = default;

void bus_watch::step(const char *what) const
{
    if (deadline)
        deadline->step(what);
}

void bus_watch::started()
{
    deadline.reset();
}

void bus_watch::disconnected()
{
    QString reason = QDBusConnection::systemBus().lastError().message();
    // A bus that goes away leaves no error behind; say what happened.
    if (reason.isEmpty())
        reason = QStringLiteral("the bus closed the connection");
    // A container's first process takes its applications with it: they stop
    // in order first, unreported, as nothing can be reported any more.
    if (container_stop *stop = container_stop::instance()) {
        console::err("lavrosk-daemon %s: lost the connection to %s: %s; stopping the "
                     "applications, and the container with them\n",
                     platform.constData(), bus_name().constData(),
                     reason.toLocal8Bit().constData());
        stop->stop_in_order(exit_status, false);
        return;
    }
    fail("lost the connection to", reason + QStringLiteral("; applications keep running"));
}

void bus_watch::confirm(const char *subscription, const QString &rule) const
{
    const QString refused = confirm_rule(rule);
    if (!refused.isEmpty())
        fail((QByteArray("could not subscribe to ") + subscription + " on").constData(), refused);
}

void bus_watch::fail(const char *what, const QString &reason) const
{
    console::err("lavrosk-daemon %s: %s %s: %s\n", platform.constData(), what,
                 bus_name().constData(), reason.toLocal8Bit().constData());
    // As after a stop request (outside a container's first process, or before
    // any application ran): the applications are left running, and no
    // static destructor may tear the bus library down under a runner thread.
    _exit(exit_status);
}
