#include "idle_dispatcher.h"

#include <QCoreApplication>
#include <QDebug>

bool idle_dispatcher::processEvents(QEventLoop::ProcessEventsFlags)
{
    // Whoever asks explicitly gets what was posted to this thread.
    QCoreApplication::sendPostedEvents();
    return false;
}

void idle_dispatcher::registerSocketNotifier(QSocketNotifier *notifier)
{
    qWarning() << "idle_dispatcher: socket notifier on a thread without an event loop:" << notifier;
}

void idle_dispatcher::registerTimer(int, int, Qt::TimerType, QObject *object)
{
    qWarning() << "idle_dispatcher: timer on a thread without an event loop:" << object;
}
