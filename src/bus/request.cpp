#include "request.h"

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
    if (text.isEmpty() || text.size() > 10)
        return std::nullopt;
    long long value = 0;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return std::nullopt;
        value = value * 10 + (c.unicode() - '0');
    }
    if (value <= 1 || value > std::numeric_limits<pid_t>::max())
        return std::nullopt;
    return static_cast<pid_t>(value);
}
