// The one place that names the runtime service and talks to it.
#pragma once

#include <QDBusError>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QString>
#include <QStringList>
#include <QVariantList>

#include <memory>

namespace runtime {

inline constexpr char service[] = "com.quorl.runtime";
inline constexpr char path[] = "/com/quorl/runtime";
inline constexpr char interface[] = "com.quorl.runtime.interface";

// Methods of the contract (dbus/com.quorl.runtime.xml); a unit test checks each
// against the proxy generated from that file.
inline constexpr char daemon_ready[] = "daemon_ready";
inline constexpr char set_platform_app_status[] = "set_platform_app_status";
inline constexpr char set_app_status[] = "set_app_status";
inline constexpr char send_to_client_app_platform_status_slot[] =
    "send_to_client_app_platform_status_slot";
inline constexpr char show_daemon_log[] = "show_daemon_log";

// Signals the daemon subscribes to.
inline constexpr char app_start[] = "app_start";
inline constexpr char kill_app[] = "kill_app";
inline constexpr char kill_daemon[] = "kill_daemon";
// The D-Bus signature each of them carries; a signal of another is not ours.
inline constexpr char app_start_signature[] = "av";
inline constexpr char kill_app_signature[] = "as";
inline constexpr char kill_daemon_signature[] = "s";

// The argument match of the kill_daemon subscription: the platform string, so
// that the bus drops other platforms' stop requests before they wake anyone.
// Empty (no match: every stop request arrives and is compared here) when the
// bus could not take the rule. An empty match never leaves a daemon deaf.
QStringList kill_daemon_match(const QString &platform);

// Bound of the one blocking call (the final platform report), in milliseconds:
// the bus's own default.
inline constexpr int final_report_timeout_ms = 25000;

// A proxy to the runtime service on the system bus. Making one sends nothing to
// the service: the owner of its name comes from the connection's cache, which
// the daemon's signal subscriptions keep up to date. It holds no Qt object
// once made: a Qt proxy of a name watches the name's owner, and on a thread
// that runs no event loop (a runner's) every change of owner would queue
// events that nobody delivers while the proxy lives. Calls go to the name, so
// a service that has restarted gets them as before.
class proxy
{
public:
    proxy();
    ~proxy();
    proxy(const proxy &) = delete;
    proxy &operator=(const proxy &) = delete;

    // Whether the service was there when the proxy was made.
    bool is_valid() const { return valid; }
    // The bus's last error when the proxy was made, as text for the debug log.
    QByteArray error_text() const { return error; }

    // Sends one call flagged "no reply expected". Such calls do not count
    // against the bus's limit of calls awaiting a reply, so a burst of reports
    // is never refused. Returns the error type when it could not be queued.
    QDBusError::ErrorType post(const char *method, const QVariantList &payload) const;
    // Sends one call that expects a reply; the caller may wait for it. Queued
    // behind every call this process sent before.
    QDBusPendingCall send(const char *method, const QVariantList &payload, int timeout_ms) const;

private:
    bool valid;
    QByteArray error;
};

// Whether the service's name had an owner when last seen. A watch on the main
// thread keeps it current; start it once, before the first proxy is checked.
void watch_presence(QObject *parent);
void set_seen_present(bool present);
bool seen_present();

// As proxy::post, for a caller that has checked the service before: it is
// sent to the name whether or not the service is there now.
QDBusError::ErrorType post(const char *method, const QVariantList &payload);

// The proxy for one call. While the service is known to be there, the
// caller's proxy (shared, or none) serves: making a proxy costs a hop to the
// bus thread, several per launch. Otherwise a fresh one checks again, so a
// service that has just come back is never taken for absent.
class call_proxy
{
public:
    explicit call_proxy(const proxy *shared);
    bool is_valid() const { return use->is_valid(); }
    QByteArray error_text() const { return use->error_text(); }
    QDBusError::ErrorType post(const char *method, const QVariantList &payload) const
    {
        return use->post(method, payload);
    }
    QDBusPendingCall send(const char *method, const QVariantList &payload, int timeout_ms) const
    {
        return use->send(method, payload, timeout_ms);
    }

private:
    std::unique_ptr<proxy> own;
    const proxy *use;
};

// Whether a finished call that awaited a reply was refused before it reached
// the service: an error from the bus or the bus library, such as the bus's
// limit of calls awaiting a reply per connection. Not an answer of the service
// itself, and not a wait that ran out (the service may have the call).
bool refused_on_the_way(const QDBusPendingCall &call);

// Wraps a status list as the single element of the payload of a status report.
QVariantList status_payload(const QStringList &list);

} // namespace runtime
