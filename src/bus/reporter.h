// One runner's reports to the runtime service, in the order the runner makes
// them. Made, used and released on the runner's thread, and kept from one
// request to the next: making a proxy costs a blocking hop to the bus thread.
#pragma once

#include "runner_reports.h"
#include "runtime_bus.h"

#include <QByteArray>
#include <QString>
#include <QVariantList>

#include <memory>
#include <vector>

namespace runtime {

class reporter final : public runner_reports
{
public:
    reporter() = default;
    reporter(const reporter &) = delete;
    reporter &operator=(const reporter &) = delete;

    // The proxy kept from the request before serves while the service is
    // known to be there; otherwise a new one checks.
    bool connect() override;
    QByteArray error_text() const override;

    // The order on the bus is the same as if each post had gone at once.
    // release() sends them (failures are logged).
    void hold() override;
    void release() override;

    void platform_status(const QStringList &list) override;
    void app_status(const QStringList &list) override;
    void log(const QString &line) override;
    void platform_message(const QString &msg) override;
    std::unique_ptr<end_reports> check_for_end() override;

    // A log line through a proxy checked by the caller.
    void log(const call_proxy &via, const QString &line);

private:
    struct held_post {
        const char *method;
        QVariantList payload;
    };

    void post(const char *method, const QVariantList &payload);
    QDBusError::ErrorType send(const char *method, const QVariantList &payload) const;
    // A proxy checked now, for calls made under a lock (making one may wait).
    call_proxy checked() const { return call_proxy(kept.get()); }

    std::unique_ptr<proxy> kept;
    std::vector<held_post> held;
    bool holding = false;
};

} // namespace runtime
