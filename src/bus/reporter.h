// One runner's reports to the runtime service, in the order the runner makes
// them. Made, used and released on the runner's thread, and kept from one
// request to the next: making a proxy costs a blocking hop to the bus thread.
#pragma once

#include "final_report_waiter.h"
#include "runtime_bus.h"

#include <QByteArray>
#include <QString>
#include <QVariantList>

#include <memory>
#include <vector>

namespace runtime {

class reporter
{
public:
    reporter() = default;
    reporter(const reporter &) = delete;
    reporter &operator=(const reporter &) = delete;

    // Before each request. The proxy kept from the request before serves
    // while the service is known to be there; otherwise a new one checks.
    // False when the service is not there: nothing may be reported.
    bool connect();
    QByteArray error_text() const;

    // From hold() to release(), posts and log lines wait, in their order:
    // a launch then comes before the wake-ups of the bus, the service and
    // whoever reads its log, and the order on the bus is the same as if
    // each had gone at once. release() sends them (failures are logged).
    void hold();
    void release();

    // A report through the proxy of connect(), flagged "no reply expected".
    void post(const char *method, const QVariantList &payload);
    // A log line, through a proxy checked now: a service that has gone is
    // not written to, and one that has come back is seen.
    void log(const QString &line);
    void log(const call_proxy &via, const QString &line);
    // A proxy checked now, for calls made under a lock (making one may wait).
    call_proxy checked() const { return call_proxy(kept.get()); }

    // The platform's last report: the one call that expects an answer. It is
    // awaited off this thread, for at most final_report_timeout_ms; refused
    // runs on the main thread when the bus refused it on the way.
    void send_final(const call_proxy &via, const QStringList &list, refusal_handler refused);

private:
    struct held_post {
        const char *method;
        QVariantList payload;
    };

    std::unique_ptr<proxy> kept;
    std::vector<held_post> held;
    bool holding = false;
};

} // namespace runtime
