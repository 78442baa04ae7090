// The kill's pure parts: the listing parser and /proc/PID/stat fields; and
// the kill's refusals and whole trees, in this process.
#include "app_usage.h"
#include "process_table.h"
#include "process_tree.h"

#include <QtTest>

#include <atomic>
#include <csignal>
#include <cstring>
#include <pthread.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

std::optional<proc_stat> stat_of(const char *text)
{
    return parse_proc_stat(text, std::strlen(text));
}

constexpr const char *threaded_parent_flag = "--threaded-parent";

// A process whose child was forked by its second thread: the kernel lists
// that child under the thread, not under the process. Writes the child's pid
// to fd, then waits.
[[noreturn]] void run_threaded_parent(int fd)
{
    pthread_t thread;
    pthread_create(
        &thread, nullptr,
        [](void *arg) -> void * {
            const pid_t grandchild = fork();
            if (grandchild == 0) {
                for (;;)
                    pause();
            }
            if (write(*static_cast<int *>(arg), &grandchild, sizeof grandchild) < 0)
                _exit(1);
            for (;;)
                pause();
        },
        &fd);
    for (;;)
        pause();
}

bool gone(pid_t pid)
{
    const std::optional<proc_stat> process = read_proc_stat(pid);
    return !process || process->state == 'Z' || process->state == 'X';
}

} // namespace

class tst_process_tree : public QObject
{
    Q_OBJECT

private slots:
    void listing_lines_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QStringList>("pids");
        QTest::newRow("two") << "a(100)-b(101)" << QStringList{"100", "101"};
        QTest::newRow("not digits, then digits") << "x(abc)(12)" << QStringList{"12"};
        QTest::newRow("empty parentheses") << "x()y()" << QStringList{};
        QTest::newRow("closing one first") << "x)y(12)" << QStringList{"12"};
        QTest::newRow("no closing one") << "x(12" << QStringList{};
        QTest::newRow("threads in braces")
            << QStringLiteral("app(100)─┬─child(102)\n") + QStringLiteral("         └─{app}(101)")
            << QStringList{"100", "102", "101"};
        QTest::newRow("a name that looks like a pid")
            << "s(4242)(300)" << QStringList{"4242", "300"};
        QTest::newRow("blank or sign inside") << "a( 12)(+3)(-4)(5 )" << QStringList{};
        QTest::newRow("digits of another script") << QStringLiteral("a(١٢)(7)") << QStringList{"7"};
        QTest::newRow("nested") << "a((12))(13)" << QStringList{"13"};
        QTest::newRow("larger than any pid")
            << "a(2147483648)(2147483647)" << QStringList{"2147483647"};
    }
    void listing_lines()
    {
        QFETCH(QString, line);
        QFETCH(QStringList, pids);
        QCOMPARE(pids_in_listing_line(line), pids);
    }

    void long_lines_are_parsed_whole()
    {
        QString line;
        QStringList expected;
        for (int i = 0; i < 400; ++i) {
            line += QStringLiteral("long-name-abcde(%1)───").arg(10000 + i);
            expected.append(QString::number(10000 + i));
        }
        QVERIFY(line.toUtf8().size() > 8192);
        QCOMPARE(pids_in_listing_line(line), expected);
        QCOMPARE(listing_command(4321), QByteArray("pstree -l -p 4321"));
    }

    void stat_fields()
    {
        const auto plain = stat_of("42 (sleep) S 7 42 42 0 -1 4194560 100 0 0 0 0 0 0 0 20 0 1 0 "
                                   "123456 8192 100 18446744073709551615\n");
        QVERIFY(plain);
        QCOMPARE(plain->pid, 42);
        QCOMPARE(plain->state, 'S');
        QCOMPARE(plain->ppid, 7);
        QCOMPARE(plain->start_time, 123456ULL);

        // The name is the process's own: it cannot move the fields.
        const auto hostile = stat_of("43 (evil) R 1 (9) T 5 43 43 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 "
                                     "0 777 0 0\n");
        QVERIFY(hostile);
        QCOMPARE(hostile->state, 'T');
        QCOMPARE(hostile->ppid, 5);
        QCOMPARE(hostile->start_time, 777ULL);

        for (const char *bad :
             {"", "42 sleep S 7", "42 (sleep) S", "x (a) S 1 1 1 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 5",
              "42 (a) SS 1 1 1 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 5",
              "42 (a) S -1 1 1 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 5",
              "0 (a) S 1 1 1 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 5"})
            QVERIFY2(!stat_of(bad), bad);
    }

    void frozen_states()
    {
        for (const char state : {'T', 't', 'Z', 'X'})
            QVERIFY(is_frozen_state(state));
        for (const char state : {'R', 'S', 'D', 'I', 'W', 'P'})
            QVERIFY(!is_frozen_state(state));
    }

    // A tree that holds the caller is refused before anything is stopped:
    // a stopped caller could not go on to send the SIGKILL.
    void a_tree_holding_the_caller_is_refused()
    {
        const kill_report report = kill_process_tree(getpid());
        QCOMPARE(report.signalled, 0);
        QCOMPARE(report.passes, 0);
    }

    // A root named by an identity its pid no longer holds (another start
    // time: the pid was reused), or by a thread's id, is left alone.
    void stale_identities_and_threads_are_refused()
    {
        const pid_t child = fork();
        if (child == 0) {
            for (;;)
                pause();
        }
        const std::optional<process_id> now = identify(child);
        QVERIFY(now);
        kill_report report = kill_identified_trees({{child, now->start_time + 1}});
        QCOMPARE(report.signalled, 0);
        QCOMPARE(kill(child, 0), 0);

        std::atomic<pid_t> tid{0};
        std::atomic<bool> done{false};
        std::thread thread([&] {
            tid = static_cast<pid_t>(syscall(SYS_gettid));
            while (!done)
                usleep(1000);
        });
        QVERIFY(QTest::qWaitFor([&] { return tid != 0; }, 5000));
        report = kill_process_tree(tid);
        done = true;
        thread.join();
        QCOMPARE(report.signalled, 0);
        QCOMPARE(report.passes, 0); // nothing was stopped

        report = kill_identified_trees({*now});
        QCOMPARE(report.signalled, 1);
        int status = 0;
        QCOMPARE(waitpid(child, &status, 0), child);
        QVERIFY(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    }

    void a_pid_with_no_process_kills_nothing()
    {
        const pid_t child = fork();
        if (child == 0)
            _exit(0);
        waitpid(child, nullptr, 0); // gone, and its pid not yet reused
        const kill_report report = kill_process_tree(child);
        QCOMPARE(report.listed, 0);
        QCOMPARE(report.signalled, 0);
    }

    void a_small_tree_dies_whole()
    {
        const pid_t root = fork();
        if (root == 0) {
            if (fork() == 0) {
                signal(SIGTERM, SIG_IGN);
                setsid();
                for (;;)
                    pause();
            }
            for (;;)
                pause();
        }
        // The grandchild is in place once the kernel lists it as the root's child.
        std::vector<pid_t> grandchildren;
        QVERIFY(
            QTest::qWaitFor([&] { return !(grandchildren = read_children(root)).empty(); }, 5000));
        const kill_report report = kill_process_tree(root);
        QCOMPARE(report.signalled, 2);
        QVERIFY(report.frozen);
        int status = 0;
        QCOMPARE(waitpid(root, &status, 0), root);
        QVERIFY(WIFSIGNALED(status));
        QCOMPARE(WTERMSIG(status), SIGKILL);
        QVERIFY(QTest::qWaitFor([&] { return gone(grandchildren.front()); }, 5000));
    }

    // Two trees in one call, one of them with a child of a second thread:
    // both die whole.
    void trees_killed_together_die_whole_with_their_threads_children()
    {
        int fds[2];
        QVERIFY(pipe(fds) == 0);
        const pid_t threaded = fork();
        if (threaded == 0) {
            // A fresh program: a forked copy of a threaded one may not start
            // threads under a sanitizer.
            const QByteArray fd = QByteArray::number(fds[1]);
            execl("/proc/self/exe", "tst_process_tree", threaded_parent_flag, fd.constData(),
                  (char *)nullptr);
            _exit(127);
        }
        close(fds[1]);
        pid_t grandchild = -1;
        QCOMPARE(read(fds[0], &grandchild, sizeof grandchild), ssize_t(sizeof grandchild));
        close(fds[0]);
        const pid_t plain = fork();
        if (plain == 0) {
            for (;;)
                pause();
        }
        // A status request counts the second thread's child as well.
        QCOMPARE(tree_tasks(threaded), 2u);
        QCOMPARE(tree_tasks(plain), 1u);
        const kill_report report = kill_process_trees({threaded, plain});
        QVERIFY(report.frozen);
        QCOMPARE(report.signalled, 3);
        for (const pid_t root : {threaded, plain}) {
            int status = 0;
            QCOMPARE(waitpid(root, &status, 0), root);
            QVERIFY(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
        }
        QVERIFY(QTest::qWaitFor([&] { return gone(grandchild); }, 5000));
        QCOMPARE(tree_tasks(threaded), 0u);
    }
};

int main(int argc, char **argv)
{
    if (argc == 3 && std::strcmp(argv[1], threaded_parent_flag) == 0)
        run_threaded_parent(std::atoi(argv[2]));
    QCoreApplication app(argc, argv);
    tst_process_tree test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_process_tree.moc"
