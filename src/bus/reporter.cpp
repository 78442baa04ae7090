#include "reporter.h"

#include "final_report_waiter.h"

#include <QDebug>

namespace runtime {

namespace {

class checked_end final : public end_reports
{
public:
    checked_end(reporter &reports, call_proxy via) : reports(reports), via(std::move(via)) {}

    bool service_present() const override { return via.is_valid(); }
    QByteArray error_text() const override { return via.error_text(); }
    void log(const QString &line) override { reports.log(via, line); }
    void platform_status(const QStringList &list) override
    {
        via.post(set_platform_app_status, status_payload(list));
    }
    void send_final(const QStringList &list, refusal_handler refused) override
    {
        await_answer(
            via.send(set_platform_app_status, status_payload(list), final_report_timeout_ms),
            std::move(refused));
    }

private:
    reporter &reports;
    const call_proxy via;
};

} // namespace

bool reporter::connect()
{
    if (!kept || !seen_present() || !kept->is_valid())
        kept = std::make_unique<proxy>();
    return kept->is_valid();
}

QByteArray reporter::error_text() const
{
    return kept ? kept->error_text() : QByteArray();
}

void reporter::hold()
{
    holding = true;
}

void reporter::release()
{
    if (!holding)
        return;
    holding = false;
    for (const held_post &post : held) {
        const QDBusError::ErrorType error = send(post.method, post.payload);
        if (error != QDBusError::NoError)
            qDebug() << int(error) << "----call failed";
    }
    held.clear();
    // A burst of held lines leaves no capacity behind in a runner that waits.
    held.shrink_to_fit();
}

void reporter::post(const char *method, const QVariantList &payload)
{
    if (holding)
        held.push_back({method, payload});
    else
        send(method, payload);
}

QDBusError::ErrorType reporter::send(const char *method, const QVariantList &payload) const
{
    // Calls go to the service's name whatever the proxy's check found, so a
    // reporter that never connected (a second try on the main thread) sends
    // as one that did.
    return kept ? kept->post(method, payload) : runtime::post(method, payload);
}

void reporter::platform_status(const QStringList &list)
{
    post(set_platform_app_status, status_payload(list));
}

void reporter::app_status(const QStringList &list)
{
    post(set_app_status, status_payload(list));
}

void reporter::log(const QString &line)
{
    log(checked(), line);
}

void reporter::log(const call_proxy &via, const QString &line)
{
    if (!via.is_valid()) {
        qDebug() << via.error_text().constData();
        return;
    }
    if (holding)
        held.push_back({show_daemon_log, QVariantList{line}});
    else
        via.post(show_daemon_log, QVariantList{line});
}

void reporter::platform_message(const QString &msg)
{
    const call_proxy via = checked();
    if (!via.is_valid()) {
        qDebug() << via.error_text().constData();
        qDebug() << "service connect failed";
        return;
    }
    if (via.post(send_to_client_app_platform_status_slot, QVariantList{msg}) != QDBusError::NoError)
        qDebug() << via.error_text().constData();
}

std::unique_ptr<end_reports> reporter::check_for_end()
{
    return std::make_unique<checked_end>(*this, checked());
}

} // namespace runtime
