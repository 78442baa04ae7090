// An event dispatcher for a thread that never runs an event loop (no bus
// here). Qt gives every thread its own dispatcher when it starts, and Qt's
// makes an eventfd for its wake-ups; when none can be made, Qt aborts the whole
// process. A runner thread only waits for its application: this one needs no
// descriptor, and leaves events for an object on the thread queued until the
// object goes, as Qt's would on a thread that never returns to its loop.
#pragma once

#include <QAbstractEventDispatcher>

class idle_dispatcher : public QAbstractEventDispatcher
{
public:
    bool processEvents(QEventLoop::ProcessEventsFlags flags) override;
    bool hasPendingEvents() override { return false; }

    // Nothing on such a thread may wait for a descriptor or a timer: it
    // would never be woken. Said on the debug log, so that a change that
    // needs one shows.
    void registerSocketNotifier(QSocketNotifier *notifier) override;
    void unregisterSocketNotifier(QSocketNotifier *) override {}
    void registerTimer(int timerId, int interval, Qt::TimerType timerType,
                       QObject *object) override;
    bool unregisterTimer(int) override { return false; }
    bool unregisterTimers(QObject *) override { return false; }
    QList<TimerInfo> registeredTimers(QObject *) const override { return {}; }
    int remainingTime(int) override { return -1; }

    void wakeUp() override {}
    void interrupt() override {}
    void flush() override {}
};
