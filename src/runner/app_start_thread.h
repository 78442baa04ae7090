// A runner: one thread that launches, supervises and reports one application.
#pragma once

#include <QString>
#include <QStringList>
#include <QThread>

#include <atomic>
#include <memory>
#include <sys/types.h>

class app_cgroup;
class client_daemon;
class launch_plan;
namespace runtime {
class proxy;
class call_proxy;
class post_hold;
} // namespace runtime

// Runners that have reported their application and not yet ended; changed and
// read only under client_daemon::mutex.
extern int app_nums;

class app_start_thread : public QThread
{
public:
    app_start_thread(QString app_shell_path, QStringList argv, client_daemon *client);
    ~app_start_thread() override;

    // Serves one start request: on a runner thread that waits for one, or
    // on a new one. Called on the main thread.
    static void start_runner(const QString &app_shell_path, const QStringList &argv,
                             client_daemon *client);

    QString get_app_name(QString app_shell);
    void split(char *src, const char *separator, char **dest);
    int split_num(QString src, QString separator);
    void send_to_client_app_platform_status(QString msg);

protected:
    void run() override;

private:
    // The first log line of every request.
    static void log_request(client_daemon *client, const QString &app_shell_path);
    static void report_not_served(client_daemon *client, const QString &app_shell_path,
                                  const QString &why);
    void serve(std::unique_ptr<runtime::proxy> &kept_proxy);
    void count_in(runtime::proxy &serviceInterface, const QStringList &list);
    pid_t supervise(const launch_plan &plan, runtime::post_hold &held,
                    runtime::proxy &serviceInterface, const QString &container_name,
                    const QString &dst_cmd);
    void kill_relaunched(pid_t pid);
    void report_app_status(runtime::proxy &serviceInterface, const QStringList &list);
    void finish(runtime::proxy &serviceInterface, const QString &app_platform,
                const QString &container_name, pid_t last_pid);
    void send_final_report_again(runtime::call_proxy &serviceInterface1, const QStringList &list,
                                 const QString &why);

    QString app_shell;
    QString app_name;
    QStringList argv_all;
    client_daemon *clients;
    app_cgroup *cgroup = nullptr; // this application's, while run() runs; or none
    unsigned long runner_id = 0;  // in launches(), while it supervises
    // Set by the thread as it ends. Qt orders the thread's end before the
    // destructor through locks ThreadSanitizer cannot see; reading this in
    // the destructor shows it that order (a thread that served several
    // requests has rewritten the members above).
    std::atomic<bool> ended{false};
};
