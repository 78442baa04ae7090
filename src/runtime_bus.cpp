#include "runtime_bus.h"

#include "runtime_proxy.h"

#include <QDBusConnection>

namespace runtime {

proxy::proxy()
    : iface(std::make_unique<ComQuorlRuntimeInterfaceInterface>(
          QString::fromLatin1(service), QString::fromLatin1(path), QDBusConnection::systemBus()))
{
}

proxy::~proxy() = default;

bool proxy::is_valid() const
{
    return iface->isValid();
}

QByteArray proxy::error_text() const
{
    QString text = iface->lastError().message();
    if (text.isEmpty())
        text = QDBusConnection::systemBus().lastError().message();
    // A name known to have no owner is answered from the connection's cache,
    // which leaves no error behind; say so instead of writing an empty line.
    if (text.isEmpty())
        text = QStringLiteral("The name %1 has no owner").arg(QLatin1String(service));
    return text.toLocal8Bit();
}

QDBusError::ErrorType proxy::post(const char *method, const QVariantList &payload)
{
    const QDBusMessage sent = iface->callWithArgumentList(
        QDBus::NoBlock, QString::fromLatin1(method), QVariantList{QVariant(payload)});
    if (sent.type() != QDBusMessage::ErrorMessage)
        return QDBusError::NoError;
    return QDBusError(sent).type();
}

QDBusPendingCall proxy::send(const char *method, const QVariantList &payload, int timeout_ms)
{
    iface->setTimeout(timeout_ms);
    return iface->asyncCallWithArgumentList(QString::fromLatin1(method),
                                            QVariantList{QVariant(payload)});
}

QVariantList status_payload(const QStringList &list)
{
    return QVariantList{QVariant(list)};
}

} // namespace runtime
