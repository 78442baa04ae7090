// One runner's reports to the runtime service, as the runner makes them. The
// runner knows only this; the bus side implements it, and the runner's client
// hands one out. Made, used and released on one thread.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

// The end sequence's reports, checked against the service when made. Making
// one may wait for the bus thread: it is made before the count's lock and
// used under it, where every call only queues a message.
class end_reports
{
public:
    virtual ~end_reports() = default;
    // Whether the service was there at the check; when not, nothing is logged.
    virtual bool service_present() const = 0;
    virtual QByteArray error_text() const = 0;
    virtual void log(const QString &line) = 0;
    // A platform report, flagged "no reply expected".
    virtual void platform_status(const QStringList &list) = 0;
    // The platform's last report, the one call whose answer is awaited, and
    // that off this thread. refused runs on the main thread when the bus
    // refused the call on the way.
    virtual void send_final(const QStringList &list,
                            std::function<void(const QString &why)> refused) = 0;
};

class runner_reports
{
public:
    virtual ~runner_reports() = default;

    // Before each request; false when the service is not there: nothing may
    // be reported then.
    virtual bool connect() = 0;
    virtual QByteArray error_text() const = 0;

    // From hold() to release(), reports and log lines wait, in their order,
    // so that a launch does not wait behind the wake-ups they cause.
    virtual void hold() = 0;
    virtual void release() = 0;

    // Reports flagged "no reply expected". They go to the service's name,
    // checked or not.
    virtual void platform_status(const QStringList &list) = 0;
    virtual void app_status(const QStringList &list) = 0;
    // A log line, checked now: a service that has gone is not written to.
    virtual void log(const QString &line) = 0;
    // The message that the platform's application has stopped, checked now.
    virtual void platform_message(const QString &msg) = 0;

    virtual std::unique_ptr<end_reports> check_for_end() = 0;
};
