// Waits for the answers of calls whose senders have moved on. A runner sends
// its platform's last report and goes back to work at once; the answer is
// awaited here, on the main thread, by one watcher per call, not by a thread
// per call: a service that answers nothing costs no thread.
#pragma once

#include <QDBusPendingCall>
#include <QString>

#include <functional>

namespace runtime {

// Called on the main thread with the bus's reason.
using refusal_handler = std::function<void(const QString &why)>;

// Watches call until it is answered or its wait runs out, and calls refused
// when the bus refused it on the way (see refused_on_the_way). Callable from
// any thread once the application object exists.
void await_answer(const QDBusPendingCall &call, refusal_handler refused);

} // namespace runtime
