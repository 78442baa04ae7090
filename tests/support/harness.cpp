#include "harness.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMetaType>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonDocument>
#include <QTest>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <sstream>
#include <sys/prctl.h>
#include <unistd.h>

child_process::child_process(QObject *parent) : QProcess(parent) {}

child_process::~child_process()
{
    stop();
}

void child_process::stop()
{
    if (state() == QProcess::NotRunning)
        return;
    // SIGTERM first: dbus-daemon removes its socket on the way out.
    ::kill(static_cast<pid_t>(processId()), SIGTERM);
    if (!waitForFinished(2000)) {
        ::kill(static_cast<pid_t>(processId()), SIGKILL);
        waitForFinished(5000);
    }
}

void child_process::setupChildProcess()
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
}

bool wait_until(const std::function<bool()> &done, int timeout_ms)
{
    return QTest::qWaitFor(done, timeout_ms);
}

QString daemon_binary()
{
    return QStringLiteral(LAVROSK_DAEMON_BIN);
}
QString sim_binary()
{
    return QStringLiteral(LAVROSK_SIM_BIN);
}
QString probe_binary()
{
    return QStringLiteral(LAVROSK_PROBE_BIN);
}

QString sanitizer_env_without_descriptors()
{
    return QStringLiteral("UBSAN_OPTIONS=") + qEnvironmentVariable("UBSAN_OPTIONS") +
           QStringLiteral(":suppressions=" LAVROSK_UBSAN_NO_DESCRIPTORS);
}

bool service_owned()
{
    QDBusConnectionInterface *bus = QDBusConnection::systemBus().interface();
    return bus && bus->isServiceRegistered(QStringLiteral("com.quorl.runtime"));
}

runtime_sim_process::runtime_sim_process(QStringList extra_args)
{
    // A stand-in left over from an earlier test would fool this one.
    if (!wait_until([] { return !service_owned(); }, 5000))
        return;
    QObject::connect(&process, &QProcess::readyReadStandardOutput, [this] { read_output(); });
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(sim_binary(), QStringList{QStringLiteral("--json")} + extra_args);
    ready = wait_until(
        [&] {
            for (const QJsonObject &r : seen)
                if (r.value(QStringLiteral("event")) == QLatin1String("ready"))
                    return true;
            return false;
        },
        10000);
}

runtime_sim_process::~runtime_sim_process()
{
    stop();
}

void runtime_sim_process::stop()
{
    process.stop();
}

void runtime_sim_process::read_output()
{
    pending.append(process.readAllStandardOutput());
    int end;
    while ((end = pending.indexOf('\n')) >= 0) {
        const QJsonDocument doc = QJsonDocument::fromJson(pending.left(end));
        pending.remove(0, end + 1);
        if (doc.isObject())
            seen.append(doc.object());
    }
}

void runtime_sim_process::send(const QString &line)
{
    process.write(line.toUtf8() + '\n');
    process.waitForBytesWritten(5000);
}

void runtime_sim_process::start_app(const QString &platform, const QString &path,
                                    const QStringList &args)
{
    QJsonArray words{QStringLiteral("app_start"), platform, path};
    for (const QString &arg : args)
        words.append(arg);
    send(QString::fromUtf8(QJsonDocument(words).toJson(QJsonDocument::Compact)));
}

void runtime_sim_process::kill_app(const QString &platform, const QString &pid)
{
    send(QString::fromUtf8(QJsonDocument(QJsonArray{QStringLiteral("kill_app"), platform, pid})
                               .toJson(QJsonDocument::Compact)));
}

void runtime_sim_process::kill_daemon(const QString &platform)
{
    send(QString::fromUtf8(QJsonDocument(QJsonArray{QStringLiteral("kill_daemon"), platform})
                               .toJson(QJsonDocument::Compact)));
}

QList<QJsonObject> runtime_sim_process::records()
{
    QCoreApplication::processEvents();
    read_output();
    return seen;
}

QList<QJsonObject> runtime_sim_process::calls(const QString &method)
{
    QList<QJsonObject> result;
    for (const QJsonObject &r : records()) {
        if (!r.contains(QStringLiteral("method")))
            continue;
        if (method.isEmpty() || r.value(QStringLiteral("method")).toString() == method)
            result.append(r);
    }
    return result;
}

QList<QJsonArray> runtime_sim_process::payloads(const QString &method)
{
    QList<QJsonArray> result;
    for (const QJsonObject &r : calls(method))
        result.append(r.value(QStringLiteral("args")).toArray().at(0).toArray());
    return result;
}

QStringList runtime_sim_process::daemon_logs()
{
    QStringList lines;
    for (const QJsonArray &payload : payloads(QStringLiteral("show_daemon_log")))
        lines.append(payload.at(0).toString());
    return lines;
}

int runtime_sim_process::emitted_count()
{
    int n = 0;
    for (const QJsonObject &r : records())
        n += r.contains(QStringLiteral("signal")) ? 1 : 0;
    return n;
}

double runtime_sim_process::last_signal_time()
{
    const QList<QJsonObject> all = records();
    for (auto it = all.crbegin(); it != all.crend(); ++it)
        if (it->contains(QStringLiteral("signal")))
            return it->value(QStringLiteral("t")).toDouble();
    return 0;
}

int runtime_sim_process::platform_stops()
{
    int n = 0;
    for (const QJsonArray &p : payloads(QStringLiteral("set_platform_app_status")))
        n += status_list(p).value(1) == QLatin1String("stop") ? 1 : 0;
    return n;
}

QStringList status_list(const QJsonArray &payload)
{
    QStringList list;
    for (const QJsonValue &v : payload.at(0).toArray())
        list.append(v.toString());
    return list;
}

daemon_process::daemon_process(const QStringList &args, bool wait_ready, const QStringList &env,
                               const QString &program)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const QString &pair : env)
        environment.insert(pair.section(QLatin1Char('='), 0, 0), pair.section(QLatin1Char('='), 1));
    process.setProcessEnvironment(environment);
    // Applications that read standard input see its end, not a test's pipe.
    process.setStandardInputFile(QProcess::nullDevice());
    if (program.isEmpty()) {
        process.start(daemon_binary(), args);
    } else {
        process.start(program, args);
    }
    process.waitForStarted(5000);
    if (wait_ready) {
        // Started: its four start-up lines are out before it joins the bus.
        wait_until([&] { return err().count('\n') >= 4; }, 5000);
    }
}

daemon_process::~daemon_process()
{
    process.stop();
}

QByteArray daemon_process::out()
{
    out_text.append(process.readAllStandardOutput());
    return out_text;
}

QByteArray daemon_process::err()
{
    err_text.append(process.readAllStandardError());
    return err_text;
}

bool daemon_process::wait_exit(int timeout_ms)
{
    // Ended in time once it is exiting; then reaped, which on a loaded host
    // can take the kernel seconds more (tearing down its memory).
    const pid_t id = pid();
    const bool done = process.state() == QProcess::NotRunning ||
                      (wait_until([&] { return !process_alive(id); }, timeout_ms) &&
                       (process.state() == QProcess::NotRunning || process.waitForFinished(60000)));
    out();
    err();
    return done;
}

bool process_alive(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    if (!stat)
        return false;
    std::string line;
    std::getline(stat, line);
    const auto close = line.rfind(')');
    if (close == std::string::npos)
        return false;
    // Past the name: the state, five numbers, then the flags. PF_EXITING
    // (0x4) is set once it has begun to exit and runs no more of its code.
    std::istringstream fields(line.substr(close + 1));
    std::string state, skip;
    unsigned long flags = 0;
    fields >> state >> skip >> skip >> skip >> skip >> skip >> flags;
    return fields && state != "Z" && state != "X" && !(flags & 0x4);
}

QList<pid_t> pids_in_file(const QString &path)
{
    QFile file(path);
    QList<pid_t> pids;
    if (file.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : file.readAll().split('\n'))
            if (!line.isEmpty())
                pids.append(line.toInt());
    }
    return pids;
}

QList<pid_t> tagged_processes(const QString &tag)
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

pid_t reported_root(runtime_sim_process &sim, const QList<pid_t> &members)
{
    pid_t root = 0;
    wait_until([&] {
        const QList<QJsonArray> reports = sim.payloads(QStringLiteral("set_app_status"));
        root = reports.isEmpty() ? 0 : status_list(reports.last()).value(2).toInt();
        return members.contains(root);
    });
    return members.contains(root) ? root : 0;
}

int thread_count(pid_t pid)
{
    return QDir(QStringLiteral("/proc/%1/task").arg(pid))
        .entryList(QDir::Dirs | QDir::NoDotAndDotDot)
        .size();
}

QList<pid_t> probe_launches(const QString &log_path)
{
    QList<pid_t> pids;
    QFile file(log_path);
    if (!file.open(QIODevice::ReadOnly))
        return pids;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const QList<QByteArray> words = line.split(' ');
        if (words.size() >= 2 && words.at(0) == "launch")
            pids.append(static_cast<pid_t>(words.at(1).toInt()));
    }
    return pids;
}

long rss_anon_kb(pid_t pid)
{
    QFile file(QStringLiteral("/proc/%1/status").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : file.readAll().split('\n'))
        if (line.startsWith("RssAnon:"))
            return line.mid(8).simplified().split(' ').value(0).toLong();
    return -1;
}

QDBusMessage call_daemon(pid_t daemon, const QString &method, const QVariantList &args,
                         const QString &path)
{
    QDBusConnection bus = QDBusConnection::systemBus();
    QString name;
    for (const QString &candidate : bus.interface()->registeredServiceNames().value())
        if (candidate.startsWith(QLatin1Char(':')) &&
            bus.interface()->servicePid(candidate).value() == static_cast<uint>(daemon))
            name = candidate;
    QDBusMessage call = QDBusMessage::createMethodCall(
        name, path, QStringLiteral("com.quorl.runtime.daemon"), method);
    call.setArguments(args);
    return bus.call(call, QDBus::Block, 5000);
}

bool daemon_status(pid_t daemon, QVariantMap *about, QList<QVariantMap> *applications)
{
    qDBusRegisterMetaType<QList<QVariantMap>>();
    const QDBusMessage reply = call_daemon(daemon, QStringLiteral("status"));
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 2)
        return false;
    *about = qdbus_cast<QVariantMap>(reply.arguments().at(0));
    *applications = qdbus_cast<QList<QVariantMap>>(reply.arguments().at(1));
    return true;
}

QString make_test_cgroup()
{
    QFile mounts(QStringLiteral("/proc/self/mounts"));
    mounts.open(QIODevice::ReadOnly);
    for (const QByteArray &line : mounts.readAll().split('\n')) {
        const QList<QByteArray> field = line.split(' ');
        const QString dir =
            QString::fromUtf8(field.value(1)) + QStringLiteral("/lavrosk-test-%1").arg(getpid());
        if (field.value(2) == "cgroup2" && QDir().mkdir(dir)) {
            if (QFile::exists(dir + QStringLiteral("/cgroup.kill")))
                return dir;
            QDir().rmdir(dir);
        }
    }
    return {};
}

void remove_test_cgroup(const QString &base)
{
    QFile kill_file(base + QStringLiteral("/cgroup.kill"));
    if (kill_file.open(QIODevice::WriteOnly))
        kill_file.write("1");
    kill_file.close();
    wait_until([&] {
        // Deepest first: a cgroup with children cannot go.
        QStringList dirs;
        QDirIterator it(base, QDir::Dirs | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
        while (it.hasNext())
            dirs.append(it.next());
        std::sort(dirs.begin(), dirs.end(),
                  [](const QString &a, const QString &b) { return a.size() > b.size(); });
        for (const QString &d : dirs)
            rmdir(QFile::encodeName(d).constData());
        return rmdir(QFile::encodeName(base).constData()) == 0;
    });
}
