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
