#include "container_stop.h"

#include "app_cgroup.h"
#include "cgroup_freeze.h"
#include "console_out.h"
#include "process_table.h"

#include <QDebug>
#include <QSocketNotifier>
#include <QTimer>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/signalfd.h>
#include <unistd.h>
#include <unordered_set>

namespace {

constexpr int default_stop_timeout_s = 5;
// After the kill: ends reported by then or not, the container's end must
// not hang on them.
constexpr int reports_wait_ms = 3000;
constexpr int poll_interval_ms = 10;

std::atomic<bool> stop_begun{false};
int stop_fd = -1;
container_stop *armed = nullptr;

sigset_t stop_signals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    return set;
}

// The children of the threads of this process, the main thread's or the others'.
std::vector<pid_t> children_of_threads(bool main_thread)
{
    std::vector<pid_t> children;
    DIR *dir = opendir("/proc/self/task");
    if (!dir) {
        qDebug() << "opendir /proc/self/task:" << std::strerror(errno);
        return children;
    }
    const pid_t self = getpid();
    while (const dirent *entry = readdir(dir)) {
        const pid_t tid = std::atoi(entry->d_name);
        if (tid <= 0 || (tid == self) != main_thread)
            continue;
        char path[64];
        std::snprintf(path, sizeof path, "/proc/self/task/%d/children", static_cast<int>(tid));
        if (FILE *file = std::fopen(path, "re")) {
            int pid;
            while (std::fscanf(file, "%d", &pid) == 1)
                children.push_back(pid);
            std::fclose(file);
        }
    }
    closedir(dir);
    return children;
}

// SIGTERM to every process of the applications: their trees, what is left
// of them below the main thread (orphans), and their cgroups. No freeze: a
// process that forks meanwhile has its child killed after the grace.
void terminate_applications()
{
    std::vector<pid_t> todo = application_roots();
    for (const pid_t root : todo) {
        const std::string dir = app_cgroup_dir(root);
        if (!dir.empty()) {
            for (const pid_t pid : read_cgroup_members(dir).processes)
                kill(pid, SIGTERM);
        }
    }
    const std::vector<pid_t> orphans = children_of_threads(true);
    todo.insert(todo.end(), orphans.begin(), orphans.end());
    std::unordered_set<pid_t> seen;
    while (!todo.empty()) {
        const pid_t pid = todo.back();
        todo.pop_back();
        if (!seen.insert(pid).second)
            continue;
        kill(pid, SIGTERM);
        for (const pid_t child : read_children(pid))
            todo.push_back(child);
    }
}

} // namespace

std::vector<pid_t> application_roots()
{
    return children_of_threads(false);
}

int stop_timeout_seconds(const char *text)
{
    if (!text || !*text)
        return default_stop_timeout_s;
    char *end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || value < 0 || value > 24 * 3600)
        return default_stop_timeout_s;
    return static_cast<int>(value);
}

bool container_stop::prepare()
{
    if (getpid() != 1)
        return false;
    const sigset_t set = stop_signals();
    const int err = pthread_sigmask(SIG_BLOCK, &set, nullptr);
    if (err != 0) {
        console::err("pthread_sigmask: %s; stop signals are ignored\n", std::strerror(err));
        return false;
    }
    stop_fd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (stop_fd < 0) {
        console::err("signalfd: %s; stop signals are ignored\n", std::strerror(errno));
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
        return false;
    }
    return true;
}

bool container_stop::stopping()
{
    return stop_begun.load(std::memory_order_acquire);
}

container_stop *container_stop::instance()
{
    return armed;
}

container_stop::container_stop(hooks daemon, QObject *parent)
    : QObject(parent), daemon(std::move(daemon))
{
    armed = this;
    auto *notifier = new QSocketNotifier(stop_fd, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] { on_signal(); });
}

void container_stop::on_signal()
{
    signalfd_siginfo info[4];
    ssize_t n;
    while ((n = read(stop_fd, info, sizeof info)) > 0) {
        for (size_t i = 0; i < static_cast<size_t>(n) / sizeof info[0]; ++i) {
            qDebug() << "stop signal" << strsignal(static_cast<int>(info[i].ssi_signo));
            // A second one during the grace: no more waiting.
            if (stopping())
                kill_remaining();
            else
                stop_in_order(0, true);
        }
    }
    if (n < 0 && errno != EAGAIN)
        qDebug() << "read signalfd:" << std::strerror(errno);
}

void container_stop::begin(int status, bool reported)
{
    stop_begun.store(true, std::memory_order_release);
    exit_status = status;
    deliver = reported;
    poll = new QTimer(this);
    connect(poll, &QTimer::timeout, this, [this] { check_done(); });
    poll->start(poll_interval_ms);
}

void container_stop::stop_in_order(int status, bool reported)
{
    if (stopping())
        return;
    begin(status, reported);
    const int seconds = stop_timeout_seconds(std::getenv("LAVROSK_STOP_TIMEOUT"));
    qDebug() << "stopping the applications; grace" << seconds << "s";
    terminate_applications();
    grace = new QTimer(this);
    grace->setSingleShot(true);
    grace->setTimerType(Qt::PreciseTimer); // a coarse one may end the grace early
    connect(grace, &QTimer::timeout, this, [this] { kill_remaining(); });
    grace->start(seconds * 1000);
    check_done();
}

void container_stop::stop_now(int status)
{
    if (!stopping())
        begin(status, true);
    kill_remaining();
    check_done();
}

void container_stop::kill_remaining()
{
    if (killing)
        return;
    killing = true;
    if (grace)
        grace->stop();
    for (const pid_t root : application_roots())
        daemon.kill_tree(root);
    last_resort = new QTimer(this);
    last_resort->setSingleShot(true);
    connect(last_resort, &QTimer::timeout, this, [this] {
        qDebug() << "application ends not all reported in time; exiting";
        _exit(exit_status);
    });
    last_resort->start(reports_wait_ms);
}

void container_stop::check_done()
{
    if (!daemon.all_reported())
        return;
    if (deliver)
        daemon.flush();
    // No static destructors: runner threads may still be inside the bus
    // library. The kernel ends whatever else is left in the namespace.
    _exit(exit_status);
}
