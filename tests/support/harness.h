// Test support: a private bus, the runtime stand-in and the daemon, each a
// real process that is stopped on every way out of a test.
#pragma once

#include <QDBusMessage>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <memory>
#include <sys/types.h>

// A QProcess that dies with the test: a crashed test leaves nothing behind.
class child_process : public QProcess
{
public:
    explicit child_process(QObject *parent = nullptr);
    ~child_process() override;
    void stop();

protected:
    void setupChildProcess() override;
};

// Which program serves the private bus: dbus-daemon, or dbus-broker when the
// environment holds LAVROSK_TEST_BUS=broker.
enum class bus_kind { dbus_daemon, dbus_broker };
bus_kind test_bus_kind();
// Why dbus-broker cannot be started here (a program missing); empty when it can.
QString broker_missing();

class journal_sink;

// A private system bus with the permissive config of the tests (or the config
// file given), reached by everything started afterwards through
// DBUS_SYSTEM_BUS_ADDRESS.
class private_bus
{
public:
    explicit private_bus(const QString &config = QString(), bus_kind kind = test_bus_kind());
    ~private_bus();
    bool ok() const { return !address.isEmpty(); }
    // Ends the bus, as a restart of the system bus does.
    void stop() { process.stop(); }
    // The bus's own process (dbus-daemon's; dbus-broker's launcher).
    pid_t pid() const { return static_cast<pid_t>(process.processId()); }
    QString address;

private:
    void start_dbus_daemon(const QString &config);
    void start_dbus_broker(const QString &config);
    QTemporaryDir dir;
    std::unique_ptr<journal_sink> journal;
    child_process process;
};

// lavrosk-runtime-sim --json: every call it records, as parsed records.
class runtime_sim_process
{
public:
    explicit runtime_sim_process(QStringList extra_args = {});
    ~runtime_sim_process();
    bool ok() const { return ready; }

    void send(const QString &line);
    // Emits app_start for platform with path and arguments (sent as JSON, so
    // blanks and empty arguments survive).
    void start_app(const QString &platform, const QString &path, const QStringList &args = {});
    void kill_app(const QString &platform, const QString &pid);
    void kill_daemon(const QString &platform);

    QList<QJsonObject> records();
    // Calls of one method, or of every method when method is empty.
    QList<QJsonObject> calls(const QString &method = QString());
    // The single list argument of each call of method (its payload).
    QList<QJsonArray> payloads(const QString &method);
    // Daemon log lines received through show_daemon_log, in order.
    QStringList daemon_logs();
    int emitted_count();
    // When the stand-in emitted its latest signal (its own clock, seconds); 0 before any.
    double last_signal_time();
    // Platform "stop" reports received so far.
    int platform_stops();
    void stop();

private:
    void read_output();
    child_process process;
    QByteArray pending;
    QList<QJsonObject> seen;
    bool ready = false;
};

class daemon_process
{
public:
    // env: extra environment variables for the daemon (and so its applications).
    explicit daemon_process(const QStringList &args, bool wait_ready = true,
                            const QStringList &env = {}, const QString &program = QString());
    ~daemon_process();
    child_process process;
    QByteArray out();
    QByteArray err();
    bool wait_exit(int timeout_ms = 10000);
    pid_t pid() const { return static_cast<pid_t>(process.processId()); }

private:
    QByteArray out_text;
    QByteArray err_text;
};

bool wait_until(const std::function<bool()> &done, int timeout_ms = 10000);

// Launches recorded by probes in the file named by PROBE_LOG: their pids, in order.
QList<pid_t> probe_launches(const QString &log_path);

// Whether anyone owns the runtime service's name on the private bus.
bool service_owned();

// Paths of the binaries under test.
QString daemon_binary();
QString sim_binary();
QString probe_binary();

// Environment for a daemon run out of descriptors: the sanitizer's type
// check needs a descriptor of its own, and is let off there.
QString sanitizer_env_without_descriptors();

// The payload's first element as a string list (status reports hold one).
QStringList status_list(const QJsonArray &payload);
// Whether a process exists and has not begun to exit.
bool process_alive(pid_t pid);
// The pids a tree helper wrote to its file, one a line.
QList<pid_t> pids_in_file(const QString &path);
// Live processes whose command line holds tag (a tree helper's file): every
// process of one tree, storm children included.
QList<pid_t> tagged_processes(const QString &tag);
// The pid of the application last reported running, once it is one of
// members: the report may come after the tree is in place. 0 if not in time.
pid_t reported_root(runtime_sim_process &sim, const QList<pid_t> &members);
// Number of threads of a process.
int thread_count(pid_t pid);
// Anonymous resident memory of a process, in kB (-1 when unknown).
long rss_anon_kb(pid_t pid);

// A call on the own bus name of the daemon whose pid is daemon (an error
// reply when it has none on the private bus).
QDBusMessage call_daemon(pid_t daemon, const QString &method, const QVariantList &args = {},
                         const QString &path = QStringLiteral("/com/quorl/runtime/daemon"));
// Its status answer; false when it gave none.
bool daemon_status(pid_t daemon, QVariantMap *about, QList<QVariantMap> *applications);

// A new directory in the first writable cgroup v2 mount, if it has
// cgroup.kill; empty when there is none.
QString make_test_cgroup();
// Kills whatever a failed test left in it, then removes it.
void remove_test_cgroup(const QString &base);
