#include "runtime_bus.h"

#include "runtime_proxy.h"

#include <QDBusConnection>
#include <QDBusServiceWatcher>
#include <QDebug>

#include <atomic>

namespace runtime {

proxy::proxy()
{
    // The generated proxy checks the name against the connection's cache,
    // and goes with its watch of the name's owner before any change of owner
    // can queue an event for it.
    const ComQuorlRuntimeInterfaceInterface check(
        QString::fromLatin1(service), QString::fromLatin1(path), QDBusConnection::systemBus());
    valid = check.isValid();
    if (valid)
        return;
    QString text = check.lastError().message();
    if (text.isEmpty())
        text = QDBusConnection::systemBus().lastError().message();
    // A name known to have no owner is answered from the connection's cache,
    // which leaves no error behind; say so instead of writing an empty line.
    if (text.isEmpty())
        text = QStringLiteral("The name %1 has no owner").arg(QLatin1String(service));
    error = text.toLocal8Bit();
}

proxy::~proxy() = default;

namespace {

QDBusMessage call_message(const char *method, const QVariantList &payload)
{
    QDBusMessage call =
        QDBusMessage::createMethodCall(QString::fromLatin1(service), QString::fromLatin1(path),
                                       QString::fromLatin1(interface), QString::fromLatin1(method));
    call.setArguments(QVariantList{QVariant(payload)});
    return call;
}

} // namespace

QDBusError::ErrorType proxy::post(const char *method, const QVariantList &payload) const
{
    return runtime::post(method, payload);
}

QDBusError::ErrorType post(const char *method, const QVariantList &payload)
{
    // send() flags a call "no reply expected", as a call with QDBus::NoBlock.
    QDBusConnection bus = QDBusConnection::systemBus();
    if (bus.send(call_message(method, payload)))
        return QDBusError::NoError;
    const QDBusError::ErrorType type = bus.lastError().type();
    return type == QDBusError::NoError ? QDBusError::Failed : type;
}

QDBusPendingCall proxy::send(const char *method, const QVariantList &payload, int timeout_ms) const
{
    return QDBusConnection::systemBus().asyncCall(call_message(method, payload), timeout_ms);
}

namespace {

// The bus's longest match rule (libdbus's DBUS_MAXIMUM_MATCH_RULE_LENGTH).
constexpr int max_match_rule_bytes = 1024;
std::atomic<bool> present{false};

} // namespace

void watch_presence(QObject *parent)
{
    auto *watch =
        new QDBusServiceWatcher(QString::fromLatin1(service), QDBusConnection::systemBus(),
                                QDBusServiceWatcher::WatchForOwnerChange, parent);
    QObject::connect(watch, &QDBusServiceWatcher::serviceOwnerChanged,
                     [](const QString &, const QString &, const QString &owner) {
                         set_seen_present(!owner.isEmpty());
                     });
}

void set_seen_present(bool is_present)
{
    present.store(is_present, std::memory_order_relaxed);
}

bool seen_present()
{
    return present.load(std::memory_order_relaxed);
}

call_proxy::call_proxy(const proxy *shared) : use(shared)
{
    // A shared proxy made while the service was away stays invalid: its check
    // was made once.
    if (use == nullptr || !seen_present() || !use->is_valid()) {
        own = std::make_unique<proxy>();
        use = own.get();
        // A fresh check that finds the service says more than the watch did.
        if (use->is_valid())
            set_seen_present(true);
    }
}

bool refused_on_the_way(const QDBusPendingCall &call)
{
    if (!call.isFinished() || !call.isError())
        return false;
    const QDBusError::ErrorType type = call.error().type();
    if (type == QDBusError::NoReply || type == QDBusError::Timeout)
        return false;
    // Errors of the bus come from "org.freedesktop.DBus", the library's own
    // from nobody; a unique name (":1.42") is the service answering.
    return !call.reply().service().startsWith(QLatin1Char(':'));
}

QStringList kill_daemon_match(const QString &platform)
{
    // Qt writes the value between quotes unescaped, and compares each signal
    // with the value as given: no spelling of a quote passes both.
    if (platform.contains(QLatin1Char('\'')))
        return {};
    // The rule exactly as Qt sends it; the bus refuses longer ones, and the
    // refusal would go unnoticed.
    const QString rule = QStringLiteral("type='signal',sender='%1',path='%2',interface='%3',"
                                        "member='%4',arg0='%5'")
                             .arg(QLatin1String(service), QLatin1String(path),
                                  QLatin1String(interface), QLatin1String(kill_daemon), platform);
    if (rule.toUtf8().size() > max_match_rule_bytes)
        return {};
    return {platform};
}

QVariantList status_payload(const QStringList &list)
{
    return QVariantList{QVariant(list)};
}

} // namespace runtime
