#include "client_daemon.h"

#include "app_kill.h"
#include "app_start_thread.h"
#include "bus_rules.h"
#include "bus_watch.h"
#include "container_stop.h"
#include "heap_trim.h"
#include "kill_worker.h"
#include "launch_registry.h"
#include "process_table.h"
#include "reporter.h"
#include "request.h"
#include "runtime_bus.h"
#include "status_service.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDebug>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <malloc.h>
#include <unistd.h>

client_daemon::client_daemon(QString app_platform, QString apppath, QStringList appargv)
    : QObject(nullptr), appnum(0), platform_and_app(app_platform), app_path(apppath),
      app_argv(appargv), tree_kills(std::make_unique<kill_worker>(kill_applications))
{
    bus_watch *watch = new bus_watch(app_platform, this);
    // Subscribe before announcing: a runtime service that answers the
    // announcement with a start request at once must not find us deaf.
    QDBusConnection bus = QDBusConnection::systemBus();
    const QString service = QString::fromLatin1(runtime::service);
    const QString path = QString::fromLatin1(runtime::path);
    const QString interface = QString::fromLatin1(runtime::interface);
    // Each with the signature it must carry: the bus library drops a signal of
    // another shape unseen. Without it, Qt unpacks any payload into the
    // slot's type, and aborts (or worse) when it does not fit.
    // Each is confirmed with the bus: Qt does not tell when the bus refuses one.
    const auto rule = [&](const char *member, const QString &arg0 = QString()) {
        return signal_rule(service, path, interface, QString::fromLatin1(member), arg0);
    };
    watch->step("the subscription to app_start");
    bus.connect(service, path, interface, QString::fromLatin1(runtime::app_start),
                QString::fromLatin1(runtime::app_start_signature), this,
                SLOT(run_app_slot(QVariantList)));
    watch->confirm(runtime::app_start, rule(runtime::app_start));
    watch->step("the subscription to kill_app");
    bus.connect(service, path, interface, QString::fromLatin1(runtime::kill_app),
                QString::fromLatin1(runtime::kill_app_signature), this,
                SLOT(kill_app_slot(QStringList)));
    watch->confirm(runtime::kill_app, rule(runtime::kill_app));
    // A stop request carries a bare string, which the bus can match itself:
    // it then never wakes this daemon for another platform's stop.
    const QStringList stop_match = runtime::kill_daemon_match(app_platform);
    watch->step("the subscription to kill_daemon");
    bus.connect(service, path, interface, QString::fromLatin1(runtime::kill_daemon), stop_match,
                QString::fromLatin1(runtime::kill_daemon_signature), this,
                SLOT(kill_daemon_slot(QString)));
    watch->confirm(runtime::kill_daemon, rule(runtime::kill_daemon, stop_match.value(0)));

    // Before the announcement: a service that hears it may ask what runs.
    status_service::serve(app_platform);
    const QVariantList platform_status{app_platform, apppath, appargv};
    watch->step("the watch of the service's name");
    runtime::watch_presence(this);
    // The owner of the service's name: what the subscriptions above check a
    // signal's sender against, and what tells whether the service is there.
    watch->confirm("the owner of the service's name",
                   signal_rule(QStringLiteral("org.freedesktop.DBus"), QString(),
                               QStringLiteral("org.freedesktop.DBus"),
                               QStringLiteral("NameOwnerChanged"),
                               QString::fromLatin1(runtime::service)));
    watch->step("the check of the service's name");
    main_proxy = std::make_unique<runtime::proxy>();
    runtime::set_seen_present(main_proxy->is_valid());
    // Nothing more waits for the bus: the announcement is only queued.
    watch->started();
    if (!main_proxy->is_valid()) {
        qDebug() << main_proxy->error_text().constData();
        return;
    }
    main_proxy->post(runtime::daemon_ready, platform_status);
}

client_daemon::~client_daemon() = default;

void client_daemon::send_daemon_log(QString log)
{
    const runtime::call_proxy via(main_proxy.get());
    if (!via.is_valid()) {
        qDebug() << via.error_text().constData();
        return;
    }
    via.post(runtime::show_daemon_log, QVariantList{log});
}

std::unique_ptr<runner_reports> client_daemon::make_reports()
{
    return std::make_unique<runtime::reporter>();
}

void client_daemon::run_app_slot(QVariantList app_cmd)
{
    if (is_large_payload(app_cmd))
        trim_heap_soon();
    const std::optional<start_request> request = parse_start_request(app_cmd);
    if (!request) {
        qDebug() << "app_start ignored: expected [platform, path, arguments], got" << app_cmd;
        return;
    }
    if (request->platform != platform_and_app)
        return;
    if (container_stop::stopping()) {
        qDebug() << "app_start ignored: the daemon is stopping";
        return;
    }
    app_start_thread::start_runner(request->app, request->argv, this);
}

void client_daemon::kill_app_slot(QStringList app_info)
{
    if (is_large_payload({app_info}))
        trim_heap_soon();
    const QString target = app_info.value(0);
    const QString pid_text = app_info.value(1);
    // The kill is queued before the log line is sent: making the line's
    // proxy waits for the bus thread, and a fork storm is not to grow
    // meanwhile. Every daemon still sends the line, matching or not.
    // Elements past the pid are ignored: a newer service may send more.
    if (app_info.size() >= 2 && target == platform_and_app) {
        if (const std::optional<pid_t> pid = parse_kill_pid(pid_text))
            kill_all_sub_process(*pid);
        else
            qDebug() << "kill_app ignored: not a pid that may be killed:" << pid_text;
    }
    send_daemon_log(QStringLiteral("要杀死的app容器标识:") + target + QStringLiteral("pid:") +
                    pid_text);
    if (app_info.size() < 2)
        qDebug() << "kill_app ignored: expected [platform, pid], got" << app_info;
}

void client_daemon::kill_all_sub_process(pid_t pid)
{
    // A launch that has just died names its application still: the kill
    // reaches the instance relaunched since, if any, and stops relaunches.
    const pid_t reached = launches().kill_requested(pid);
    if (reached != pid)
        qDebug() << "kill of" << pid << "reaches its relaunch" << reached;
    // Its identity now: the kill may wait behind a slow one, and by then the
    // pid may hold another process.
    std::optional<process_id> target = identify(reached);
    const int read_error = errno;
    if (!target && read_error != ENOENT && read_error != ESRCH) {
        // No descriptor to read it with: a live launch is still the
        // application, which the kill thread checks again.
        if (launches().is_live(reached))
            target = process_id{reached, unknown_start_time};
        else
            qDebug() << "kill_app: cannot read the process" << reached << ":"
                     << std::strerror(read_error);
    } else if (!target) {
        qDebug() << "kill_app: no process" << reached;
    }
    if (!target)
        return;
    // Off this thread, even in a cgroup: the tree is frozen first, and a
    // root that left its cgroup is killed with the tree.
    tree_kills->enqueue(*target);
}

void client_daemon::kill_daemon_slot(QString app_platform)
{
    if (is_large_payload({app_platform}))
        trim_heap_soon();
    if (app_platform != platform_and_app)
        return;
    // As a container's first process, its end is the applications' end:
    // they are killed and reported first.
    if (container_stop *stop = container_stop::instance()) {
        stop->stop_now(0);
        return;
    }
    // End at once, without static destructors: runner threads may be inside the
    // bus library, and tearing it down under them can hang or crash the exit.
    // Nothing to flush: every message went out, or was dropped, as it was made.
    _exit(0);
}

container_stop::hooks client_daemon::stop_hooks()
{
    container_stop::hooks hooks;
    hooks.kill_tree = [this](pid_t root) { kill_all_sub_process(root); };
    hooks.all_reported = [this] { return running().lock().value() == 0; };
    hooks.flush = [] {
        // Messages of a connection reach the bus in order: once the bus has
        // answered this, it holds every report sent before it.
        const QDBusMessage ping = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
            QStringLiteral("org.freedesktop.DBus.Peer"), QStringLiteral("Ping"));
        QDBusConnection::systemBus().call(ping, QDBus::Block, 1000);
    };
    return hooks;
}
