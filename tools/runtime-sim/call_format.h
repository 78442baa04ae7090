// How the stand-in writes what it sees: one JSON object per line for scripts,
// or one aligned line per call for people.
#pragma once

#include <QJsonObject>
#include <QString>
#include <QVariantList>

// Seconds on the monotonic clock, the time base of every record.
double monotonic_seconds();

// The arguments of a call, decoded: lists become arrays, texts strings.
QJsonValue decode_argument(const QVariant &value);

struct human_style {
    double origin = 0;  // the monotonic time shown as 0.000
    bool color = false; // ANSI colours, for a terminal
};

// Column widths of the human format. A method name longer than its column
// (none of the contract's is) pushes the payload right rather than being cut.
inline constexpr int time_width = 8;
inline constexpr int from_width = 7;
inline constexpr int message_width = 40;

// The column titles, aligned with human_line.
QString human_header(const human_style &style);

// One terminal line for a record: time since style.origin, who sent it, the
// method or signal, then the payload's items separated by two blanks. Never
// holds a line break or a control character, whatever the payload carries.
QString human_line(const QJsonObject &record, const human_style &style);

// A payload item for the human format: bare when it reads unambiguously,
// otherwise in double quotes with JSON escapes (empty text, blanks, quotes,
// backslashes, control and format characters).
QString human_item(const QJsonValue &value);
