#include "call_format.h"

#include <QDBusArgument>
#include <QJsonArray>
#include <QJsonDocument>
#include <QStringList>

#include <algorithm>
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

// Characters that would break the line, move the cursor, recolour the
// terminal or reorder the text around them (bidirectional overrides).
bool unsafe_char(QChar c)
{
    const QChar::Category category = c.category();
    return category == QChar::Other_Control || category == QChar::Other_Format ||
           category == QChar::Separator_Line || category == QChar::Separator_Paragraph;
}

bool needs_quotes(const QString &text)
{
    if (text.isEmpty())
        return true;
    for (const QChar c : text) {
        if (c.isSpace() || c == QLatin1Char('"') || c == QLatin1Char('\\') || unsafe_char(c))
            return true;
    }
    return false;
}

QString quoted(const QString &text)
{
    QString out = QStringLiteral("\"");
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '"':
            out += QLatin1String("\\\"");
            break;
        case '\\':
            out += QLatin1String("\\\\");
            break;
        case '\n':
            out += QLatin1String("\\n");
            break;
        case '\r':
            out += QLatin1String("\\r");
            break;
        case '\t':
            out += QLatin1String("\\t");
            break;
        default:
            if (unsafe_char(c))
                out += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
            else
                out += c;
        }
    }
    return out + QLatin1Char('"');
}

// The items of a payload, without the wrapping that carries no information:
// a call's single argument, and a status report's single inner list.
QJsonArray payload_items(const QJsonValue &args)
{
    if (!args.isArray())
        return QJsonArray{args};
    QJsonArray items = args.toArray();
    for (int level = 0; level < 2 && items.size() == 1 && items.first().isArray(); ++level)
        items = items.first().toArray();
    return items;
}

QString join_items(const QJsonArray &items)
{
    QStringList parts;
    for (const QJsonValue &item : items)
        parts.append(human_item(item));
    return parts.join(QStringLiteral("  "));
}

// Pads to width on the plain text, then colours, so escapes never count.
QString column(const QString &text, int width, const char *color, const human_style &style)
{
    const QString pad(std::max(0, width - text.size()), QLatin1Char(' '));
    if (!style.color || !color)
        return text + pad;
    return QLatin1String("\x1b[") + QLatin1String(color) + QLatin1Char('m') + text +
           QLatin1String("\x1b[0m") + pad;
}

QString time_column(double t, const human_style &style)
{
    const QString text = QString::number(t - style.origin, 'f', 3).rightJustified(time_width);
    return style.color ? QStringLiteral("\x1b[2m%1\x1b[0m").arg(text) : text;
}

} // namespace

QString human_item(const QJsonValue &value)
{
    if (value.isString())
        return needs_quotes(value.toString()) ? quoted(value.toString()) : value.toString();
    if (value.isArray()) {
        QStringList parts;
        for (const QJsonValue &item : value.toArray())
            parts.append(human_item(item));
        return QLatin1Char('[') + parts.join(QStringLiteral(", ")) + QLatin1Char(']');
    }
    if (value.isObject())
        return QString::fromUtf8(QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact));
    // Numbers, booleans and null as JSON writes them.
    QString text =
        QString::fromUtf8(QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact)).mid(1);
    text.chop(1);
    return text;
}

QString human_header(const human_style &style)
{
    const QString text = QStringLiteral("TIME").rightJustified(time_width) + QLatin1String("  ") +
                         QStringLiteral("FROM").leftJustified(from_width) + QLatin1Char(' ') +
                         QStringLiteral("MESSAGE").leftJustified(message_width) +
                         QStringLiteral(" PAYLOAD");
    return style.color ? QStringLiteral("\x1b[1m%1\x1b[0m").arg(text) : text;
}

QString human_line(const QJsonObject &record, const human_style &style)
{
    const double t = record.value(QStringLiteral("t")).toDouble();
    QString from;
    QString message;
    QString payload;
    const char *color = nullptr;
    if (record.contains(QStringLiteral("method"))) {
        from = human_item(record.value(QStringLiteral("sender")).toString(QStringLiteral("-")));
        message = human_item(record.value(QStringLiteral("method")));
        payload = join_items(payload_items(record.value(QStringLiteral("args"))));
        color = "1";
    } else if (record.contains(QStringLiteral("signal"))) {
        from = QStringLiteral("sim");
        message = QStringLiteral(">> ") + human_item(record.value(QStringLiteral("signal")));
        if (record.contains(QStringLiteral("destination"))) {
            const QJsonValue to = record.value(QStringLiteral("destination"));
            message += to.isString() ? QStringLiteral(" -> ") + human_item(to)
                                     : QStringLiteral(" -> all (not announced)");
        }
        payload = join_items(payload_items(record.value(QStringLiteral("args"))));
        color = "36";
    } else {
        from = QStringLiteral("sim");
        const QString event = record.value(QStringLiteral("event")).toString();
        message = QStringLiteral("-- ") + human_item(event);
        QJsonObject rest = record;
        rest.remove(QStringLiteral("t"));
        rest.remove(QStringLiteral("event"));
        QStringList parts;
        for (auto it = rest.constBegin(); it != rest.constEnd(); ++it)
            parts.append(it.key() + QLatin1Char('=') + human_item(it.value()));
        payload = parts.join(QStringLiteral("  "));
        color = event == QLatin1String("error") ? "31" : "33";
    }
    QString line = time_column(t, style) + QLatin1String("  ") +
                   column(from, from_width, "2", style) + QLatin1Char(' ') +
                   column(message, message_width, color, style) + QLatin1Char(' ') + payload;
    while (line.endsWith(QLatin1Char(' ')))
        line.chop(1);
    return line;
}
