// The daemon object: identity, subscriptions and the three requests.
#pragma once

#include "container_stop.h"
#include "runner_client.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantList>

#include <memory>
#include <mutex>
#include <sys/types.h>

namespace runtime {
class proxy;
} // namespace runtime

class kill_worker;

class client_daemon : public QObject, public runner_client
{
    Q_OBJECT

public:
    client_daemon(QString app_platform, QString apppath, QStringList appargv);
    ~client_daemon() override;

    QString get_app_platform() const override { return platform_and_app; }
    // Forwards one line to the runtime service's log; callable from any thread.
    void send_daemon_log(QString log) override;
    running_count &running() override { return app_nums; }
    // Queues the kill of the tree (or application) of pid; callable from any thread.
    void kill_all_sub_process(pid_t pid) override;
    std::unique_ptr<runner_reports> make_reports() override;
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
    // Made once at start-up and never changed: shared, read-only, by the
    // calls of every thread while the service is known to be there.
    std::unique_ptr<runtime::proxy> main_proxy;
    // Tree kills run there, so that requests are served while one runs.
    std::unique_ptr<kill_worker> tree_kills;
    // The runners that have reported their application and not yet ended.
    running_count app_nums;

public:
    // Kept for those who know the daemon object by its members; the count
    // has a lock of its own, which is what runners take.
    std::mutex mutex;
};
