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

QString human_line(const QJsonObject &record);
