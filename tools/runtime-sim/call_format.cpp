#include "call_format.h"

#include <QDBusArgument>
#include <QJsonArray>
#include <QJsonDocument>
#include <QStringList>

#include <ctime>

double monotonic_seconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

QJsonValue decode_argument(const QVariant &value)
{
    switch (value.userType()) {
    case QMetaType::QString:
        return value.toString();
    case QMetaType::QStringList:
        return QJsonArray::fromStringList(value.toStringList());
    case QMetaType::QVariantList: {
        QJsonArray array;
        for (const QVariant &item : value.toList())
            array.append(decode_argument(item));
        return array;
    }
    default:
        break;
    }
    if (value.userType() == qMetaTypeId<QDBusArgument>()) {
        // Containers Qt does not map on its own arrive still marshalled.
        const QDBusArgument arg = value.value<QDBusArgument>();
        return QStringLiteral("<%1>").arg(arg.currentSignature());
    }
    return QJsonValue::fromVariant(value);
}

namespace {

QString plain(const QJsonValue &value)
{
    if (value.isString())
        return value.toString().isEmpty() ? QStringLiteral("\"\"") : value.toString();
    if (value.isArray()) {
        QStringList items;
        for (const QJsonValue &item : value.toArray())
            items.append(plain(item));
        return QLatin1Char('[') + items.join(QStringLiteral(", ")) + QLatin1Char(']');
    }
    return QString::fromUtf8(QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact))
        .mid(1)
        .chopped(1);
}

} // namespace

QString human_line(const QJsonObject &record)
{
    const QString time = QString::number(record.value(QStringLiteral("t")).toDouble(), 'f', 6);
    if (record.contains(QStringLiteral("method"))) {
        // A call carries one list; show its elements, not the wrapping.
        QJsonArray args = record.value(QStringLiteral("args")).toArray();
        if (args.size() == 1 && args.first().isArray())
            args = args.first().toArray();
        QStringList items;
        for (const QJsonValue &item : args)
            items.append(plain(item));
        // One-pass arg(): a payload holding "%1" must not be substituted again.
        return QStringLiteral("%1  %2 %3")
            .arg(time,
                 record.value(QStringLiteral("method")).toString().leftJustified(40),
                 items.join(QStringLiteral("  |  ")));
    }
    if (record.contains(QStringLiteral("signal"))) {
        return QStringLiteral("%1  >> %2 %3")
            .arg(time, record.value(QStringLiteral("signal")).toString().leftJustified(37),
                 plain(record.value(QStringLiteral("args"))));
    }
    return QStringLiteral("%1  -- %2").arg(time, record.value(QStringLiteral("event")).toString());
}
