#include "reporter.h"

#include <QDebug>

namespace runtime {

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
        const QDBusError::ErrorType error = kept->post(post.method, post.payload);
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
        kept->post(method, payload);
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

void reporter::send_final(const call_proxy &via, const QStringList &list, refusal_handler refused)
{
    await_answer(via.send(set_platform_app_status, status_payload(list), final_report_timeout_ms),
                 std::move(refused));
}

} // namespace runtime
