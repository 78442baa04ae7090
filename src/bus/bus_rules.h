// Match rules the daemon's subscriptions stand on. Qt asks the bus for a
// subscription's rule without waiting for the answer, so a bus that refuses it
// (a quota of rules per connection or per user) leaves the daemon deaf to
// that signal without a word.
#pragma once

#include <QString>

// The rule Qt asks for when it subscribes to signal member of interface at
// path (empty: any), sent by sender (empty: anyone), with arg0 matched when given.
QString signal_rule(const QString &sender, const QString &path, const QString &interface,
                    const QString &member, const QString &arg0 = QString());

// Makes sure the bus holds rule for this connection, once Qt has asked for it.
// Returns the bus's reason when it does not and will not; empty on success.
// Blocking: for start-up, before the daemon announces itself.
QString confirm_rule(const QString &rule);
