// A runner: one thread that launches, supervises and reports one application.
#pragma once

#include <QString>
#include <QStringList>
#include <QThread>

#include <atomic>
#include <memory>
#include <sys/types.h>

class app_cgroup;
class launch_plan;
class runner_client;
class runner_reports;

class app_start_thread : public QThread
{
public:
    app_start_thread(QString app_shell_path, QStringList argv, runner_client *client);
    ~app_start_thread() override;

    // Serves one start request: on a runner thread that waits for one, or
    // on a new one. Called on the main thread.
    static void start_runner(const QString &app_shell_path, const QStringList &argv,
                             runner_client *client);

    QString get_app_name(QString app_shell);
    void split(char *src, const char *separator, char **dest);
    int split_num(QString src, QString separator);
    void send_to_client_app_platform_status(QString msg);

protected:
    void run() override;

private:
    // The first log line of every request.
    static QString request_line(const QString &app_shell_path);
    static void report_not_served(runner_client *client, const QString &app_shell_path,
                                  const QString &why);
    void serve();
    void count_in(const QStringList &list);
    pid_t supervise(const launch_plan &plan, const QString &container_name, const QString &dst_cmd);
    void kill_relaunched(pid_t pid);
    void report_app_status(const QStringList &list);
    void finish(const QString &app_platform, const QString &container_name, pid_t last_pid);
    static void send_final_report_again(runner_client *client, const QStringList &list,
                                        const QString &why);
    // Through this runner's reports while it has them, in their order.
    void log_line(const QString &line);

    QString app_shell;
    QString app_name;
    QStringList argv_all;
    runner_client *clients;
    runner_reports *reports = nullptr; // this thread's, while run() runs
    app_cgroup *cgroup = nullptr;      // this application's, while run() runs; or none
    unsigned long runner_id = 0;       // in launches(), while it supervises
    // Set by the thread as it ends. Qt orders the thread's end before the
    // destructor through locks ThreadSanitizer cannot see; reading this in
    // the destructor shows it that order (a thread that served several
    // requests has rewritten the members above).
    std::atomic<bool> ended{false};
};
