#include "request.h"

#include "decimal.h"

#include <limits>

std::optional<start_request> parse_start_request(const QVariantList &app_cmd)
{
    if (app_cmd.size() < 3)
        return std::nullopt;
    const QVariant &platform = app_cmd.at(0);
    const QVariant &app = app_cmd.at(1);
    const QVariant &argv = app_cmd.at(2);
    if (platform.userType() != QMetaType::QString || app.userType() != QMetaType::QString ||
        argv.userType() != QMetaType::QStringList)
        return std::nullopt;
    return start_request{platform.toString(), app.toString(), argv.toStringList()};
}

namespace {

// Bytes of text and data in value, or -1 when its type is not one a request
// carries. Stops adding once the total has passed large_payload_bytes.
qsizetype payload_bytes(const QVariant &value)
{
    switch (value.userType()) {
    case QMetaType::QString:
        return value.toString().size() * qsizetype(sizeof(QChar));
    case QMetaType::QByteArray:
        return value.toByteArray().size();
    case QMetaType::QStringList: {
        qsizetype bytes = 0;
        for (const QString &text : value.toStringList()) {
            bytes += text.size() * qsizetype(sizeof(QChar)) + qsizetype(sizeof(QString));
            if (bytes >= large_payload_bytes)
                break;
        }
        return bytes;
    }
    case QMetaType::QVariantList: {
        qsizetype bytes = 0;
        for (const QVariant &element : value.toList()) {
            const qsizetype more = payload_bytes(element);
            if (more < 0)
                return -1;
            bytes += more + qsizetype(sizeof(QVariant));
            if (bytes >= large_payload_bytes)
                break;
        }
        return bytes;
    }
    default:
        return QMetaType::sizeOf(value.userType()) > 0 && value.userType() < QMetaType::User
                   ? QMetaType::sizeOf(value.userType())
                   : -1;
    }
}

} // namespace

bool is_large_payload(const QVariantList &payload)
{
    const qsizetype bytes = payload_bytes(QVariant(payload));
    return bytes < 0 || bytes >= large_payload_bytes;
}

std::optional<pid_t> parse_kill_pid(const QString &text)
{
    // At most ten characters, leading zeros included, as always.
    if (text.size() > 10)
        return std::nullopt;
    const std::optional<unsigned long long> value =
        parse_decimal(text.utf16(), text.utf16() + text.size(), std::numeric_limits<pid_t>::max());
    if (!value || *value <= 1)
        return std::nullopt;
    return static_cast<pid_t>(*value);
}
