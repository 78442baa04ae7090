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

// A payload at least this large leaves the heap grown once it is handled.
inline constexpr qsizetype large_payload_bytes = 64 * 1024;

// Whether a request's payload is that large: its text and bytes, nested
// lists included. An element of a type no request carries counts as large:
// its size is not known here, and such a message is rare.
bool is_large_payload(const QVariantList &payload);
