#include "bus_rules.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>

namespace {

QDBusMessage call_bus(const char *method, const QString &rule)
{
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QString::fromLatin1(method));
    call << rule;
    return QDBusConnection::systemBus().call(call, QDBus::Block);
}

QString reason(const QDBusMessage &reply)
{
    return reply.errorName() + QStringLiteral(": ") + reply.errorMessage();
}

} // namespace

QString signal_rule(const QString &sender, const QString &path, const QString &interface,
                    const QString &member, const QString &arg0)
{
    QString rule = QStringLiteral("type='signal'");
    if (!sender.isEmpty())
        rule += QStringLiteral(",sender='%1'").arg(sender);
    if (!path.isEmpty())
        rule += QStringLiteral(",path='%1'").arg(path);
    rule += QStringLiteral(",interface='%1',member='%2'").arg(interface, member);
    if (!arg0.isEmpty())
        rule += QStringLiteral(",arg0='%1'").arg(arg0);
    return rule;
}

QString confirm_rule(const QString &rule)
{
    // The bus handles one connection's messages in order: the removal comes
    // after Qt's request, and finds the rule only if the bus took it. Adding
    // it back then leaves one instance, as Qt asked; a new request that fails
    // says why. Between the two, a signal of the rule could be missed: the
    // daemon has not announced itself yet.
    const QDBusMessage removed = call_bus("RemoveMatch", rule);
    if (removed.type() == QDBusMessage::ErrorMessage &&
        removed.errorName() != QStringLiteral("org.freedesktop.DBus.Error.MatchRuleNotFound"))
        return reason(removed);
    const QDBusMessage added = call_bus("AddMatch", rule);
    if (added.type() == QDBusMessage::ErrorMessage)
        return reason(added);
    return QString();
}
