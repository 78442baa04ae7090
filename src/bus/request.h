// Checks on the payloads of the runtime service's requests (no bus here).
#pragma once

#include <QString>
#include <QStringList>
#include <QVariantList>

#include <optional>
#include <sys/types.h>

struct start_request {
    QString platform;
    QString app;
    QStringList argv;
};

// [platform string, command path, arguments]; nullopt for fewer than three
// elements or elements of other types. Elements past the third are ignored:
// a newer service may send more.
std::optional<start_request> parse_start_request(const QVariantList &app_cmd);

// A pid that may be listed and signalled: plain decimal digits, greater than 1,
// within pid_t. Anything else, "0" and "1" above all, is refused.
std::optional<pid_t> parse_kill_pid(const QString &text);
