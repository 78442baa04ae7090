// A JSON value written as a D-Bus value of a signature the caller names, so
// that the stand-in can send a payload of any shape a faulty service might.
#pragma once

#include <QDBusArgument>
#include <QJsonValue>
#include <QString>

// Writes value into arg as the one complete type signature. Understood: the
// basic types, "v", arrays of a basic type or of "v", dictionaries "a{KV}"
// with basic K and a basic or "v" V (from a JSON object), and structures of
// any of these (from a JSON array). A "v" holds the JSON value as Qt maps it:
// a string, a double, a bool, "av" or "a{sv}". Returns an error text, empty
// on success.
QString write_typed(QDBusArgument &arg, const QString &signature, const QJsonValue &value);
