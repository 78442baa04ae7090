#include "app_start_thread.h"

#include "app_cgroup.h"
#include "child_launch.h"
#include "child_wait.h"
#include "console_out.h"
#include "container_stop.h"
#include "idle_dispatcher.h"
#include "launch_registry.h"
#include "runner_client.h"
#include "runner_pool.h"
#include "runner_reports.h"
#include "text_util.h"
#include "trace.h"
#include "wait_status.h"

#include <QDebug>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <malloc.h>
#include <memory>
#include <mutex>
#include <optional>
#include <sched.h>

namespace {

const QString status_running = QStringLiteral("running");
const QString status_stop = QStringLiteral("stop");

// A list as the debug stream writes it, for a child that may not use the
// debug stream itself.
QByteArray debug_line(const QStringList &list)
{
    QString text;
    QDebug(&text) << list;
    return text.trimmed().toUtf8() + '\n';
}

// A few runner threads wait up to two seconds for the next request: a start
// then skips making a thread, and a burst's threads are gone soon after it.
runner_pool pool(4, std::chrono::milliseconds(2000));

} // namespace

app_start_thread::app_start_thread(QString app_shell_path, QStringList argv, runner_client *client)
    : QThread(nullptr), app_shell(app_shell_path), argv_all(argv), clients(client)
{
}

app_start_thread::~app_start_thread()
{
    (void)ended.load(std::memory_order_acquire);
}

QString app_start_thread::request_line(const QString &app_shell_path)
{
    return QStringLiteral("~~~~~~~~~app_shell=") + app_shell_path + QStringLiteral("~~~~~~~~~~");
}

void app_start_thread::start_runner(const QString &app_shell_path, const QStringList &argv,
                                    runner_client *client)
{
    if (auto *waiting = pool.claim()) {
        pool.give(waiting, runner_request{app_shell_path, argv});
        return;
    }
    auto *runner = new app_start_thread(app_shell_path, argv, client);
    // Nothing refers to a runner once its thread has ended; release it then.
    connect(runner, &QThread::finished, runner, &QObject::deleteLater);
    // A runner's thread leaves its freed memory in malloc's arenas; hand it
    // back, so that a daemon which once ran many applications shrinks again.
    connect(runner, &QObject::destroyed, [] { malloc_trim(0); });
    // Set before start(): Qt's own would make a descriptor, and abort the
    // daemon when none is left.
    runner->setEventDispatcher(new idle_dispatcher);
    runner->start(QThread::InheritPriority);
    if (!runner->isRunning() && !runner->isFinished()) {
        // No thread could be made: nothing was reported or counted yet.
        client->send_daemon_log(request_line(app_shell_path));
        report_not_served(client, app_shell_path, QStringLiteral("no thread could be made"));
        delete runner;
    }
}

// A start request that launched nothing: the service hears it in its log, and
// has the platform "stop" when no application runs, as after the last one ends.
void app_start_thread::report_not_served(runner_client *client, const QString &app_shell_path,
                                         const QString &why)
{
    qDebug() << "app_start not served:" << why << app_shell_path;
    client->send_daemon_log(QStringLiteral("~~~~~~~~~app_start failed: ") + app_shell_path +
                            QStringLiteral(": ") + why + QStringLiteral("~~~~~~~~~"));
    // Checked before the lock: a check may wait.
    const std::unique_ptr<end_reports> reports = client->make_reports()->check_for_end();
    // Under the lock, as every platform report: no runner counts in meanwhile.
    const auto counted = client->running().lock();
    if (counted.value() == 0 && reports->service_present())
        reports->platform_status({client->get_app_platform(), status_stop});
}

void app_start_thread::run()
{
    const std::unique_ptr<runner_reports> own_reports = clients->make_reports();
    reports = own_reports.get();
    for (;;) {
        serve();
        std::optional<runner_request> next = pool.wait_for_next();
        if (!next) {
            reports = nullptr;
            ended.store(true, std::memory_order_release);
            return;
        }
        app_shell = std::move(next->app_shell);
        argv_all = std::move(next->argv);
        app_name.clear();
    }
}

// One application, from the "running" report to the end sequence.
void app_start_thread::serve()
{
    const QString app_platform = clients->get_app_platform();
    // A platform string without a second "@" field has no container name; it
    // is reported as empty rather than refused, as the identity is never checked.
    const QString container_name = app_platform.split(QLatin1Char('@')).value(1);
    const QStringList list{app_platform, status_running};

    if (!reports->connect()) {
        qDebug() << reports->error_text().constData();
        qDebug() << "service connect failed";
        return;
    }
    // What is reported before the launch goes out right after the clone, in
    // the same order: the launch does not wait behind the wake-ups it causes.
    reports->hold();
    log_line(request_line(app_shell));
    count_in(list);

    const QByteArray app_cmd = exec_bytes(app_shell);
    LAVROSK_TRACE_AS("run") << app_shell << app_cmd.constData();
    QString app_argc = get_app_name(app_shell);
    app_name = app_argc;
    app_argc = command_text(app_argc, argv_all);
    qDebug() << app_argc;

    // The vector is built from the strings themselves, not by cutting the
    // command text: an empty argument or one holding "~" reaches the
    // application whole.
    QList<QByteArray> args{exec_bytes(app_name)};
    for (const QString &arg : argv_all)
        args.append(exec_bytes(arg));
    console::out("%s\n", args.first().constData());
    launch_plan plan(app_cmd, args,
                     QByteArray("子进程启动成功\n") + "app_cmd is [" + app_cmd + "]\n",
                     debug_line(argv_all));
    // Latin-1 bytes first: a path from the command line comes back as the
    // bytes it was. A service's "/opt/app/café" is a file named in UTF-8.
    plan.set_second_path(second_exec_path(app_shell));
    // Made before the first launch, kept for every relaunch, removed when
    // this runner ends (or once the processes that outlived it have gone).
    const std::unique_ptr<app_cgroup> own_cgroup = app_cgroup::create();
    cgroup = own_cgroup.get();
    if (cgroup)
        plan.set_cgroup_procs_fd(cgroup->procs_fd());

    // Reported as the application's command: the request's own text.
    const QString dst_cmd = reported_command(QStringList{app_shell} + argv_all);
    runner_id = launches().add(application_info{app_name, app_shell, argv_all,
                                                cgroup ? cgroup->path() : std::string(),
                                                cgroup ? cgroup->kill_fd() : -1});
    const pid_t pid = supervise(plan, container_name, dst_cmd);
    launches().remove(runner_id);
    finish(app_platform, container_name, pid);
    cgroup = nullptr;
}

// Reports the platform "running" and counts this runner in.
void app_start_thread::count_in(const QStringList &list)
{
    int count;
    {
        // The "running" report and the count move together, so a platform
        // "stop" from the runner that took the count to zero can never be
        // delivered after this "running". The report is held until the
        // launch (a failure to send it is logged then); it still goes out
        // before any other runner can post a "stop", as none can while this
        // one is counted.
        auto counted = clients->running().lock();
        reports->platform_status(list);
        count = counted.raise();
    }
    log_line(QStringLiteral("~~~~~~~~~app增至：") + QString::number(count) +
             QStringLiteral("~~~~~~~~~"));
}

// Launches, waits and relaunches after a death by signal (SIGKILL aside), at
// most max_launches times. Returns the pid of the last launch still to be
// reported stopped, or -1.
pid_t app_start_thread::supervise(const launch_plan &plan, const QString &container_name,
                                  const QString &dst_cmd)
{
    int i_flag = 0;
    pid_t ended_pid = -1; // a launch that ended by a signal, not yet reported stopped
    for (;;) {
        if (container_stop::stopping())
            return ended_pid; // a container's first process ends: nothing more starts
        const pid_t pid = plan.spawn();
        const int spawn_errno = errno;
        // The application first: its runner was woken on the core the new
        // program runs on, and would take it for the reports below. They
        // wait at most a time slice, and keep their order.
        if (pid > 0)
            sched_yield();
        reports->release();
        // The stop of the launch before goes out once its relaunch has
        // started: the reports keep their order, and the relaunch does not
        // wait behind them. A relaunch that cannot fork reports nothing more.
        if (ended_pid > 0) {
            report_app_status({container_name, app_name, QString::number(ended_pid), status_stop});
        }
        if (pid < 0) {
            console::err("错误！");
            qDebug() << "fork:" << std::strerror(spawn_errno);
            // The end sequence follows, with the platform "stop" if nothing
            // else runs; this line says why.
            log_line(QStringLiteral("~~~~~~~~~app launch failed: ") + app_shell +
                     QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(spawn_errno)) +
                     QStringLiteral("~~~~~~~~~"));
            return -1;
        }
        // Known as the cgroup's root before the runtime service learns the pid.
        if (launches().launched(runner_id, pid))
            kill_relaunched(pid);
        report_app_status(
            {container_name, app_name, QString::number(pid), status_running, dst_cmd});
        int status = 0;
        const pid_t wait_pid = wait_for_end(pid, &status);
        launches().ended(runner_id);
        if (wait_pid < 0) {
            console::err_errno("不存在子进程");
            status = 0;
        }
        const wait_result end = classify_wait_status(status);
        if (end.kind == child_end::exited) {
            console::out("子进程正常退出 ， 进程号为【%d】, 退出值为【%d】\n", wait_pid, end.value);
            return pid;
        }
        if (end.kind == child_end::other) {
            console::out("其他情况引起子进程状态改变 ， 不做处理\n");
            return pid;
        }
        if (!restart_after_signal(end.value, &i_flag))
            return pid;
        // A kill that named this launch as it died ends the application here.
        if (!launches().relaunching(runner_id, end.value))
            return pid;
        console::out("子进程异常退出 ， 进程号为【%d】 , 信号编号为【%d】\n", wait_pid, end.value);
        console::out("正在重新启动子进程\n");
        ended_pid = pid;
    }
}

// The application was killed while this launch was being made: it goes the
// way of every kill (queued for the kill thread; callable from any thread).
void app_start_thread::kill_relaunched(pid_t pid)
{
    qDebug() << "killed while relaunched:" << pid;
    clients->kill_all_sub_process(pid);
}

// The end sequence. last_pid is -1 when the last launch never started (fork
// failed) or was already reported stopped.
void app_start_thread::finish(const QString &app_platform, const QString &container_name,
                              pid_t last_pid)
{
    reports->release(); // sent at the launch; nothing may stay held past this request
    send_to_client_app_platform_status(app_platform + QStringLiteral(":app stop"));
    if (last_pid > 0)
        report_app_status({container_name, app_name, QString::number(last_pid), status_stop});

    const QStringList list{app_platform, status_stop};
    // Made before the lock: a proxy made while the service is not known to be
    // there waits for the bus thread. The log lines go through it too.
    const std::unique_ptr<end_reports> serviceInterface1 = reports->check_for_end();
    running_count &count = clients->running();
    // As with the "running" report in count_in(): the decrement and a platform
    // "stop" are ordered against another runner's start. Every call here only
    // queues a message; the answer is awaited off this thread.
    auto counted = count.lock();
    const int remaining = counted.lower();
    serviceInterface1->log(QStringLiteral("~~~~~~~~~app剩余：") + QString::number(remaining) +
                           QStringLiteral("~~~~~~~~~"));
    if (remaining != 0)
        return;
    serviceInterface1->log(QStringLiteral("~~~~~~~~~传给服务端的容器hash表的key值：") +
                           list.first() + QStringLiteral("~~~~~~~~~"));
    if (!serviceInterface1->service_present()) {
        qDebug() << serviceInterface1->error_text().constData();
        qDebug() << "connect error !";
        return;
    }
    // The one call whose answer is awaited (the runtime service has the
    // platform's "stop" before it hears more of this daemon), but not here:
    // this thread is free for the next request once it is sent.
    runner_client *client = clients;
    serviceInterface1->send_final(
        list, [client, list](const QString &why) { send_final_report_again(client, list, why); });
}

// The bus refused the platform's "stop" (at most 128 calls of a connection
// may await a reply there): it goes again flagged "no reply expected", which
// the limit does not count. On the main thread.
void app_start_thread::send_final_report_again(runner_client *client, const QStringList &list,
                                               const QString &why)
{
    // Made before the lock; a report sent with no check makes no proxy.
    const std::unique_ptr<runner_reports> reports = client->make_reports();
    // Under the lock, as the first attempt: a runner that has counted in since
    // has reported the platform "running", and a "stop" after it would be false.
    const auto counted = client->running().lock();
    if (counted.value() != 0) {
        qDebug().noquote().nospace() << "platform stop refused by the bus (" << why
                                     << "), not sent again: an application runs again";
        return;
    }
    qDebug().noquote().nospace() << "platform stop refused by the bus (" << why
                                 << "), sent again without awaiting a reply";
    reports->platform_status(list);
}

void app_start_thread::report_app_status(const QStringList &list)
{
    LAVROSK_TRACE_AS("run") << "list valu is :" << list;
    reports->app_status(list);
}

void app_start_thread::log_line(const QString &line)
{
    if (reports)
        reports->log(line);
    else
        clients->send_daemon_log(line);
}

QString app_start_thread::get_app_name(QString app_shell)
{
    if (!app_shell.contains(QLatin1Char('/')))
        return app_shell;
    const QString name = app_name_of(app_shell);
    LAVROSK_TRACE() << name;
    log_line(QStringLiteral("~~~~~~~~~app_name：") + name + QStringLiteral("~~~~~~~~~"));
    return name;
}

void app_start_thread::split(char *src, const char *separator, char **dest)
{
    split_pieces(src, separator, dest);
}

int app_start_thread::split_num(QString src, QString separator)
{
    const int count = count_pieces(src, separator);
    console::out("分割后的字符串个数为【%d]\n", count);
    log_line(QStringLiteral("~~~~~~~~~") + src + QStringLiteral("~~~~~~~~~"));
    return count;
}

void app_start_thread::send_to_client_app_platform_status(QString msg)
{
    if (reports)
        reports->platform_message(msg);
    else
        clients->make_reports()->platform_message(msg);
}
