#include "final_report_waiter.h"

#include "runtime_bus.h"

#include <QCoreApplication>
#include <QDBusPendingCallWatcher>

namespace runtime {

void await_answer(const QDBusPendingCall &call, refusal_handler refused)
{
    QCoreApplication *app = QCoreApplication::instance();
    // A watcher reports in the thread it lives in: made on the main thread,
    // whose event loop always runs. A call answered before the watcher
    // exists is reported all the same.
    QMetaObject::invokeMethod(
        app,
        [app, call, refused = std::move(refused)] {
            auto *watch = new QDBusPendingCallWatcher(call, app);
            QObject::connect(watch, &QDBusPendingCallWatcher::finished,
                             [refused](QDBusPendingCallWatcher *done) {
                                 if (refused_on_the_way(*done))
                                     refused(done->error().message());
                                 done->deleteLater();
                             });
        },
        Qt::QueuedConnection);
}

} // namespace runtime
