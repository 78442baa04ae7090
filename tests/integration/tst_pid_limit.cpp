// A kill when the application has used up every pid its container may have:
// the daemon can start neither a listing nor a thread, and still kills the
// whole tree. The daemon runs in a cgroup v1 "pids" directory of its own;
// skipped (exit status 77) where none can be made.
#include "harness.h"

#include <QtTest>

#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

const QString platform = QStringLiteral("shop@c1@0");
// Tasks the daemon may add to its own while the application runs.
constexpr int headroom = 30;

// A new directory in the cgroup v1 pids hierarchy, if there is one.
QString make_pids_cgroup()
{
    QFile mounts(QStringLiteral("/proc/self/mounts"));
    mounts.open(QIODevice::ReadOnly);
    for (const QByteArray &line : mounts.readAll().split('\n')) {
        const QList<QByteArray> field = line.split(' ');
        if (field.value(2) != "cgroup" || !field.value(3).split(',').contains("pids"))
            continue;
        const QString dir =
            QString::fromUtf8(field.value(1)) + QStringLiteral("/lavrosk-test-%1").arg(getpid());
        if (QDir().mkdir(dir))
            return dir;
    }
    return {};
}

QByteArray read_text(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed() : QByteArray();
}

bool write_text(const QString &path, const QByteArray &text)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

// Live processes whose command line holds tag: the tree, storm children included.
QList<pid_t> tagged(const QString &tag)
{
    QList<pid_t> pids;
    for (const QString &name : QDir(QStringLiteral("/proc")).entryList({"[0-9]*"}, QDir::Dirs)) {
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(name));
        if (cmdline.open(QIODevice::ReadOnly) && cmdline.readAll().contains(tag.toUtf8()) &&
            process_alive(name.toInt()))
            pids.append(name.toInt());
    }
    return pids;
}

} // namespace

class tst_pid_limit : public QObject
{
    Q_OBJECT

public:
    explicit tst_pid_limit(QString cgroup) : cgroup(std::move(cgroup)) {}

private:
    QString cgroup;
    QTemporaryDir dir;

private slots:
    // Every member keeps trying to fork, so the limit stays used up.
    void a_fork_bomb_at_the_pid_limit_dies_whole()
    {
        private_bus bus;
        QVERIFY(bus.ok());
        runtime_sim_process sim;
        daemon_process d({platform, QStringLiteral("/bin/true")});
        QVERIFY(sim.ok());
        QVERIFY(wait_until([&] { return sim.calls(QStringLiteral("daemon_ready")).size() == 1; }));
        QVERIFY(write_text(cgroup + QStringLiteral("/cgroup.procs"), QByteArray::number(d.pid())));
        const int limit = read_text(cgroup + QStringLiteral("/pids.current")).toInt() + headroom;
        QVERIFY(write_text(cgroup + QStringLiteral("/pids.max"), QByteArray::number(limit)));

        const QString log = dir.filePath(QStringLiteral("bomb.log"));
        sim.start_app(platform, QStringLiteral(LAVROSK_TREE_BIN), {"storm", "100", log});
        QVERIFY(wait_until(
            [&] { return read_text(cgroup + QStringLiteral("/pids.current")).toInt() >= limit; }));
        pid_t root = 0;
        QVERIFY(wait_until([&] {
            const QList<QJsonArray> reports = sim.payloads(QStringLiteral("set_app_status"));
            root = reports.isEmpty() ? 0 : status_list(reports.last()).value(2).toInt();
            return root > 0;
        }));
        QVERIFY(tagged(log).contains(root));
        sim.kill_app(platform, QString::number(root));
        // Orphaned storm children check for their parent within 5 ms.
        const bool all_gone = wait_until([&] { return tagged(log).isEmpty(); }, 20000);
        for (const pid_t pid : tagged(log))
            kill(pid, SIGKILL);
        QVERIFY(all_gone);
        QVERIFY(wait_until([&] { return sim.platform_stops() == 1; }));
        if (!d.err().contains("listing not run"))
            qWarning("the listing found a free pid this time: the kill went as usual");
    }
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QString cgroup = make_pids_cgroup();
    if (cgroup.isEmpty()) {
        std::printf("SKIP: no cgroup v1 pids hierarchy to make a directory in\n");
        return 77;
    }
    tst_pid_limit test(cgroup);
    const int result = QTest::qExec(&test, argc, argv);
    // The daemon has ended; whatever else is left there dies with it.
    for (const QByteArray &pid : read_text(cgroup + QStringLiteral("/cgroup.procs")).split('\n'))
        if (!pid.isEmpty())
            kill(pid.toInt(), SIGKILL);
    wait_until([&] { return rmdir(QFile::encodeName(cgroup).constData()) == 0; });
    return result;
}

#include "tst_pid_limit.moc"
