// Launch, supervision, restart and reports of the runner, driven through the
// real daemon with probe applications.
#include "harness.h"

#include <QtTest>

#include <csignal>

namespace {

const QString running = QStringLiteral("running");
const QString stop = QStringLiteral("stop");

// One status call as the runtime service saw it: method and status list.
struct status_call {
    QString method;
    QStringList list;
    bool operator==(const status_call &o) const { return method == o.method && list == o.list; }
};

// Tasks (threads) whose real user is uid: what RLIMIT_NPROC counts.
int tasks_of_uid(uint uid)
{
    int tasks = 0;
    for (const QString &pid : QDir("/proc").entryList({"[0-9]*"}, QDir::Dirs)) {
        QFile status("/proc/" + pid + "/status");
        if (!status.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("Uid:") &&
                line.mid(4).simplified().split(' ').value(0).toUInt() == uid)
                tasks += thread_count(pid.toInt());
        }
    }
    return tasks;
}

} // namespace

Q_DECLARE_METATYPE(status_call)

class tst_runner : public QObject
{
    Q_OBJECT

    QScopedPointer<private_bus> bus;
    QTemporaryDir dir;
    const QString platform = QStringLiteral("shop@c1@0");
    const QString platform_status = QStringLiteral("set_platform_app_status");
    const QString app_status = QStringLiteral("set_app_status");
    const QString app_stop_msg = QStringLiteral("send_to_client_app_platform_status_slot");

    QString path(const QString &name) const { return dir.filePath(name); }

    // The status calls, in the order the runtime service received them.
    static QList<status_call> status_calls(runtime_sim_process &sim)
    {
        QList<status_call> result;
        for (const QJsonObject &call : sim.calls()) {
            const QString method = call.value("method").toString();
            const QJsonValue arg = call.value("args").toArray().at(0).toArray().at(0);
            if (method == QLatin1String("set_platform_app_status") ||
                method == QLatin1String("set_app_status")) {
                QStringList list;
                for (const QJsonValue &v : arg.toArray())
                    list.append(v.toString());
                result.append({method, list});
            } else if (method == QLatin1String("send_to_client_app_platform_status_slot")) {
                result.append({method, {arg.toString()}});
            }
        }
        return result;
    }

    bool platform_stopped(runtime_sim_process &sim, int times = 1)
    {
        return wait_until([&] { return sim.platform_stops() >= times; });
    }

    // Runs one application to its end in a fresh daemon; returns its status calls.
    // With inherit_ignored, the daemon starts with SIGUSR1 and SIGHUP ignored,
    // as a careless parent might leave them.
    QList<status_call> run_to_end(const QString &app, const QStringList &args,
                                  daemon_process **out = nullptr, bool inherit_ignored = false)
    {
        runtime_sim_process sim;
        if (!sim.ok())
            return {};
        const QStringList env{QStringLiteral("PROBE_LOG=") + path("launches")};
        auto *d = inherit_ignored
                      ? new daemon_process({"-c", "trap '' USR1 HUP; exec \"$0\" \"$@\"",
                                            daemon_binary(), platform, "/bin/true"},
                                           true, env, QStringLiteral("/bin/bash"))
                      : new daemon_process({platform, QStringLiteral("/bin/true")}, true, env);
        wait_until([&] { return sim.calls(QStringLiteral("daemon_ready")).size() == 1; });
        sim.start_app(platform, app, args);
        platform_stopped(sim);
        const QList<status_call> calls = status_calls(sim);
        d->out();
        d->err();
        if (out)
            *out = d;
        else
            delete d;
        return calls;
    }

    QList<status_call> expected_end(pid_t pid, const QString &name = QStringLiteral("probe"))
    {
        return {{app_stop_msg, {platform + QStringLiteral(":app stop")}},
                {app_status, {"c1", name, QString::number(pid), stop}},
                {platform_status, {platform, stop}}};
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        bus.reset(new private_bus);
        QVERIFY(bus->ok());
    }
    void init()
    {
        QFile::remove(path("launches"));
        QFile::remove(path("state"));
    }

    void normal_exit_is_not_restarted()
    {
        runtime_sim_process sim;
        QVERIFY(sim.ok());
        daemon_process d({platform, QStringLiteral("/bin/true")}, true,
                         {QStringLiteral("PROBE_LOG=") + path("launches")});
        QVERIFY(wait_until([&] { return sim.calls(QStringLiteral("daemon_ready")).size() == 1; }));
        sim.start_app(platform, probe_binary(), {"exit", "3"});
        QVERIFY(platform_stopped(sim));
        const QList<pid_t> launches = probe_launches(path("launches"));
        QCOMPARE(launches.size(), 1);
        const QString pid = QString::number(launches.first());
        const QList<status_call> expected{
            {platform_status, {platform, running}},
            {app_status, {"c1", "probe", pid, running, probe_binary()}}};
        QCOMPARE(status_calls(sim), expected + expected_end(launches.first()));
        QVERIFY(wait_until([&] { return d.out().contains("退出值为【3】"); }));
        QVERIFY(d.out().contains(
            QStringLiteral("子进程正常退出 ， 进程号为【%1】, 退出值为【3】\n").arg(pid).toUtf8()));
        QVERIFY(d.out().contains(QByteArray("probe\n子进程启动成功\napp_cmd is [") +
                                 probe_binary().toUtf8() + "]\n"));

        // The daemon's log lines, with their exact markers.
        const QStringList logs = sim.daemon_logs();
        QCOMPARE(logs, (QStringList{
                           QStringLiteral("~~~~~~~~~app_shell=") + probe_binary() +
                               QStringLiteral("~~~~~~~~~~"),
                           QStringLiteral("~~~~~~~~~app增至：1~~~~~~~~~"),
                           QStringLiteral("~~~~~~~~~app_name：probe~~~~~~~~~"),
                           QStringLiteral("~~~~~~~~~app剩余：0~~~~~~~~~"),
                           QStringLiteral("~~~~~~~~~传给服务端的容器hash表的key值：") + platform +
                               QStringLiteral("~~~~~~~~~"),
                       }));
        // Location trace lines of the launch and of each report.
        const QString err = QString::fromUtf8(d.err());
        QVERIFY(
            err.contains(QStringLiteral("目标函数名称: run 日志: \"%1\" %1").arg(probe_binary())));
        QVERIFY(err.contains(QStringLiteral("目标函数名称: get_app_name 日志: \"probe\"")));
        QVERIFY(err.contains(QStringLiteral("目标函数名称: run 日志: list valu is : (\"c1\", "
                                            "\"probe\", \"%1\", \"running\", \"%2\")")
                                 .arg(pid, probe_binary())));
        QVERIFY(err.contains(QStringLiteral("\"probe~exit~3\"")));
    }

    void crash_is_restarted_in_contract_order()
    {
        const QList<status_call> calls =
            run_to_end(probe_binary(), {"signal", QString::number(SIGSEGV), "1", path("state")});
        const QList<pid_t> launches = probe_launches(path("launches"));
        QCOMPARE(launches.size(), 2);
        const QString a = QString::number(launches.at(0));
        const QString b = QString::number(launches.at(1));
        const QList<status_call> expected{
            {platform_status, {platform, running}},
            {app_status, {"c1", "probe", a, running, probe_binary()}},
            {app_status, {"c1", "probe", a, stop}},
            {app_status, {"c1", "probe", b, running, probe_binary()}}};
        QCOMPARE(calls, expected + expected_end(launches.at(1)));
    }

    void four_deaths_by_signal_end_the_runner()
    {
        daemon_process *d = nullptr;
        const QList<status_call> calls = run_to_end(
            probe_binary(), {"signal", QString::number(SIGTERM), "100", path("state")}, &d);
        QScopedPointer<daemon_process> owner(d);
        const QList<pid_t> launches = probe_launches(path("launches"));
        QCOMPARE(launches.size(), 4);
        QList<status_call> expected{{platform_status, {platform, running}}};
        for (int i = 0; i < 4; ++i) {
            const QString pid = QString::number(launches.at(i));
            expected.append({app_status, {"c1", "probe", pid, running, probe_binary()}});
            if (i < 3)
                expected.append({app_status, {"c1", "probe", pid, stop}});
        }
        QCOMPARE(calls, expected + expected_end(launches.last()));
        const QString out = QString::fromUtf8(d->out());
        QCOMPARE(out.count(QStringLiteral("子进程异常退出")), 3);
        QCOMPARE(out.count(QStringLiteral("正在重新启动子进程\n")), 3);
        QVERIFY(out.contains(QStringLiteral("子进程异常退出 ， 进程号为【%1】 , 信号编号为【15】\n")
                                 .arg(launches.first())));
    }

    void sigkill_is_never_restarted()
    {
        const QList<status_call> calls =
            run_to_end(probe_binary(), {"signal", QString::number(SIGKILL), "100", path("state")});
        const QList<pid_t> launches = probe_launches(path("launches"));
        QCOMPARE(launches.size(), 1);
        QCOMPARE(calls.size(), 5);
        QCOMPARE(calls.mid(2), expected_end(launches.first()));
    }

    void failed_exec_is_a_failure_not_restarted()
    {
        daemon_process *d = nullptr;
        const QList<status_call> calls = run_to_end(QStringLiteral("/nonexistent/app"), {"x"}, &d);
        QScopedPointer<daemon_process> owner(d);
        QCOMPARE(calls.size(), 5);
        QCOMPARE(calls.at(1).list.mid(0, 2), (QStringList{"c1", "app"}));
        const QString pid = calls.at(1).list.at(2);
        QCOMPARE(calls.mid(2), expected_end(pid.toInt(), QStringLiteral("app")));
        QVERIFY(d->err().contains("Err on execv: No such file or directory\n"));
        QVERIFY(
            d->out().contains(QStringLiteral("进程号为【%1】, 退出值为【127】").arg(pid).toUtf8()));
    }

    void reported_command_data()
    {
        QTest::addColumn<QString>("app");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("reported");
        QTest::newRow("bash script")
            << "/bin/bash" << QStringList{"/srv/run.sh", "x"} << "bash /srv/run.sh";
        QTest::newRow("sh alone") << "/bin/sh" << QStringList{} << "";
        QTest::newRow("sh elsewhere")
            << "/usr/bin/sh" << QStringList{"-c", "exit 0"} << "/usr/bin/sh";
    }
    void reported_command()
    {
        QFETCH(QString, app);
        QFETCH(QStringList, args);
        QFETCH(QString, reported);
        const QList<status_call> calls = run_to_end(app, args);
        QCOMPARE(calls.size(), 5);
        QCOMPARE(calls.at(1).list.size(), 5);
        QCOMPARE(calls.at(1).list.at(4), reported);
    }

    // The application sees exactly [name] + the request's arguments, and
    // nothing of the daemon's: no descriptor beyond 0-2, no blocked or
    // handled signal. Its path may hold any text.
    void application_gets_exact_argv_and_a_clean_start()
    {
        const QString odd_dir = path(QStringLiteral("应用 é"));
        QVERIFY(QDir().mkpath(odd_dir));
        const QString app = odd_dir + QStringLiteral("/探针");
        QFile::remove(app);
        QVERIFY(QFile::copy(probe_binary(), app));
        QFile::setPermissions(app, QFile::ExeOwner | QFile::ReadOwner);
        const QStringList args{"argv", path("argv"), "a b", "", "~", "x~y", "中文", "é", "  "};
        const QList<status_call> calls = run_to_end(app, args, nullptr, true);
        QCOMPARE(calls.size(), 5);
        QFile file(path("argv"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QStringList seen_args, fds;
        QByteArray blocked, handled;
        QStringList env;
        for (const QByteArray &line : file.readAll().split('\n')) {
            if (line.startsWith("arg "))
                seen_args.append(QString::fromLatin1(line.mid(4)));
            else if (line.startsWith("fd "))
                fds.append(QString::fromLatin1(line.mid(3)));
            else if (line.startsWith("blocked "))
                blocked = line.mid(8);
            else if (line.startsWith("handled "))
                handled = line.mid(8);
            else if (line.startsWith("env "))
                env.append(QString::fromUtf8(line.mid(4)));
        }
        // Bytes as executed: Latin-1 text one byte per character, wider text UTF-8.
        QStringList expected_args;
        for (const QString &arg : QStringList{"探针"} + args) {
            bool latin1 = true;
            for (const QChar c : arg)
                latin1 = latin1 && c.unicode() <= 0xff;
            expected_args.append(
                QString::fromLatin1((latin1 ? arg.toLatin1() : arg.toUtf8()).toHex()));
        }
        QCOMPARE(seen_args, expected_args);
        fds.sort();
        QCOMPARE(fds, (QStringList{"0", "1", "2"}));
        QCOMPARE(blocked, QByteArray("0"));
        QCOMPARE(handled, QByteArray("0"));
        // The daemon's environment, without what the daemon set for itself.
        QVERIFY(env.contains("PROBE_LOG=" + path("launches")));
        QVERIFY(env.filter("QT_NO_THREADED_GLIB").isEmpty());
        QCOMPARE(calls.at(1).list.at(1), QStringLiteral("探针"));
        QCOMPARE(calls.at(1).list.at(4), app);
    }

    void runners_share_one_count()
    {
        runtime_sim_process sim;
        QVERIFY(sim.ok());
        daemon_process d({platform, QStringLiteral("/bin/true")});
        QVERIFY(wait_until([&] { return sim.calls(QStringLiteral("daemon_ready")).size() == 1; }));
        const QString gate = path("gate");
        QFile::remove(gate);
        sim.start_app(platform, probe_binary(), {"wait", gate});
        QVERIFY(
            wait_until([&] { return sim.daemon_logs().contains("~~~~~~~~~app增至：1~~~~~~~~~"); }));
        sim.start_app(platform, probe_binary(), {"wait", gate});
        QVERIFY(
            wait_until([&] { return sim.daemon_logs().contains("~~~~~~~~~app增至：2~~~~~~~~~"); }));
        QFile(gate).open(QIODevice::WriteOnly);
        QVERIFY(platform_stopped(sim));
        const QStringList remaining = sim.daemon_logs().filter(QStringLiteral("app剩余："));
        QCOMPARE(remaining,
                 (QStringList{"~~~~~~~~~app剩余：1~~~~~~~~~", "~~~~~~~~~app剩余：0~~~~~~~~~"}));
        QCOMPARE(sim.daemon_logs().filter(QStringLiteral("key值")).size(), 1);
        QCOMPARE(status_calls(sim).last(), (status_call{platform_status, {platform, stop}}));

        // Idle again but alive: a later start counts from one.
        QFile::remove(gate);
        sim.start_app(platform, probe_binary(), {"exit", "0"});
        QVERIFY(platform_stopped(sim, 2));
        QCOMPARE(sim.daemon_logs().filter(QStringLiteral("app增至：1~")).size(), 2);
        QCOMPARE(status_calls(sim).size(), 2 * 2 + 2 * 2 + 1 + 5);
    }

    // 200 starts as fast as the stand-in can send them, then all told to end
    // at once: no launch lost or doubled, every count seen once, one
    // platform "stop" after everything else, and no thread left behind.
    void flood_of_starts()
    {
        const int n = 200;
        runtime_sim_process sim;
        QVERIFY(sim.ok());
        daemon_process d({platform, QStringLiteral("/bin/true")}, true,
                         {QStringLiteral("PROBE_LOG=") + path("launches")});
        QVERIFY(wait_until([&] { return sim.calls(QStringLiteral("daemon_ready")).size() == 1; }));
        const int idle_threads = thread_count(d.pid());
        const QString gate = path("flood-gate");
        QFile::remove(gate);
        QString lines;
        const QString line = QStringLiteral("[\"app_start\", \"%1\", \"%2\", \"wait\", \"%3\"]\n")
                                 .arg(platform, probe_binary(), gate);
        for (int i = 0; i < n; ++i)
            lines += line;
        sim.send(lines.chopped(1));
        QVERIFY(wait_until([&] { return probe_launches(path("launches")).size() == n; }, 60000));
        QVERIFY(wait_until([&] { return sim.payloads(app_status).size() == n; }, 30000));
        QCOMPARE(thread_count(d.pid()), idle_threads + n);
        QFile(gate).open(QIODevice::WriteOnly);
        QVERIFY(wait_until(
            [&] { return sim.daemon_logs().filter(QStringLiteral("app剩余：")).size() == n; },
            60000));
        QVERIFY(platform_stopped(sim));

        const QList<pid_t> launches = probe_launches(path("launches"));
        QCOMPARE(QSet<pid_t>(launches.begin(), launches.end()).size(), n);
        QSet<QString> raised, remaining;
        for (const QString &log : sim.daemon_logs()) {
            if (log.contains(QStringLiteral("app增至：")))
                raised.insert(log);
            if (log.contains(QStringLiteral("app剩余：")))
                remaining.insert(log);
        }
        QCOMPARE(raised.size(), n);
        QCOMPARE(remaining.size(), n);
        QVERIFY(raised.contains(QStringLiteral("~~~~~~~~~app增至：%1~~~~~~~~~").arg(n)));
        QVERIFY(remaining.contains(QStringLiteral("~~~~~~~~~app剩余：0~~~~~~~~~")));

        const QList<status_call> calls = status_calls(sim);
        int running_reports = 0, stop_reports = 0, platform_stops = 0;
        QSet<QString> running_pids;
        for (const status_call &c : calls) {
            if (c.method == app_status && c.list.value(3) == running) {
                ++running_reports;
                running_pids.insert(c.list.at(2));
            }
            stop_reports += (c.method == app_status && c.list.value(3) == stop) ? 1 : 0;
            platform_stops += (c.method == platform_status && c.list.value(1) == stop) ? 1 : 0;
        }
        QCOMPARE(running_reports, n);
        QCOMPARE(running_pids.size(), n);
        QCOMPARE(stop_reports, n);
        QCOMPARE(platform_stops, 1);
        QCOMPARE(calls.last(), (status_call{platform_status, {platform, stop}}));
        QVERIFY(wait_until([&] { return thread_count(d.pid()) == idle_threads; }));
    }

    // A daemon that cannot fork: the count goes back to zero and the platform
    // is reported stopped; no application is reported running.
    void failed_fork_releases_the_count()
    {
        if (QStandardPaths::findExecutable("setpriv").isEmpty() ||
            QStandardPaths::findExecutable("prlimit").isEmpty())
            QSKIP("needs setpriv and prlimit (util-linux)");
        runtime_sim_process sim;
        QVERIFY(sim.ok());
        // As user nobody; once it is up, limited to the tasks that user has
        // plus one: room for a runner thread, none for the runner's fork.
        // (A process may lower the limits of another of its own user's.)
        const QStringList as_nobody{"--reuid=65534", "--regid=65534", "--clear-groups"};
        daemon_process d(as_nobody + QStringList{daemon_binary(), platform, "/bin/true"}, true, {},
                         QStandardPaths::findExecutable("setpriv"));
        QVERIFY(wait_until([&] { return sim.calls(QStringLiteral("daemon_ready")).size() == 1; }));
        const QString limit = QString::number(tasks_of_uid(65534) + 1);
        QCOMPARE(
            QProcess::execute("setpriv",
                              as_nobody + QStringList{"prlimit", "--pid", QString::number(d.pid()),
                                                      "--nproc=" + limit + ":" + limit}),
            0);
        sim.start_app(platform, probe_binary(), {"exit", "0"});
        QVERIFY(platform_stopped(sim));
        const QList<status_call> expected{{platform_status, {platform, running}},
                                          {app_stop_msg, {platform + QStringLiteral(":app stop")}},
                                          {platform_status, {platform, stop}}};
        QCOMPARE(status_calls(sim), expected);
        QVERIFY(sim.daemon_logs().contains("~~~~~~~~~app剩余：0~~~~~~~~~"));
        QVERIFY(wait_until([&] { return d.err().contains("错误！"); }));
    }
};

QTEST_GUILESS_MAIN(tst_runner)
#include "tst_runner.moc"
