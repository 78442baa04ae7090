// The daemon object: identity, subscriptions and the three requests.
#pragma once

#include "container_stop.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantList>

#include <memory>
#include <mutex>
#include <sys/types.h>

namespace runtime {
class call_proxy;
class proxy;
class thread_proxy_scope;
} // namespace runtime

class kill_worker;

class client_daemon : public QObject
{
    Q_OBJECT

public:
    client_daemon(QString app_platform, QString apppath, QStringList appargv);
    ~client_daemon() override;

    QString get_app_platform() const { return platform_and_app; }
    // Forwards one line to the runtime service's log; callable from any thread.
    void send_daemon_log(QString log);
    // The same through a proxy made beforehand: sends without a wait, so it
    // may be called under a lock.
    static void send_daemon_log(runtime::call_proxy &via, const QString &log);
    // Queues the kill of the tree (or application) of pid; callable from any thread.
    void kill_all_sub_process(pid_t pid);
    // What a container's first process needs of the daemon to stop in order.
    container_stop::hooks stop_hooks();

public slots:
    void run_app_slot(QVariantList app_cmd);
    void kill_app_slot(QStringList app_info);
    void kill_daemon_slot(QString app_platform);

private:
    int appnum;
    const QString platform_and_app;
    const QString app_path;
    const QStringList app_argv;
    // Shared by the calls made on the main thread.
    std::unique_ptr<runtime::proxy> main_proxy;
    std::unique_ptr<runtime::thread_proxy_scope> main_scope;
    // Tree kills run there, so that requests are served while one runs.
    std::unique_ptr<kill_worker> tree_kills;

public:
    // Guards app_nums. A std::mutex rather than a QMutex: ThreadSanitizer sees
    // its ordering, so a real race on the count is never lost among false ones.
    std::mutex mutex;
};
