#include "app_cgroup.h"

#include <QCoreApplication>
#include <QDebug>
#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/magic.h>
#include <mutex>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>
#include <unordered_map>

namespace {

std::string base_dir; // written once at start-up, before any runner exists
std::atomic<unsigned> serial{0};

// The current root process of every application in a cgroup, and the
// cgroup.kill file that ends it.
std::mutex registry_mutex;
std::unordered_map<pid_t, std::string> kill_files;

// Cgroups whose runner has ended while processes were still in them. The
// kernel marks cgroup.events modified when "populated" changes, so an
// inotify watch on it says when to try again: no polling.
class leftover_sweeper
{
public:
    leftover_sweeper()
    {
        fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd < 0) {
            qDebug() << "inotify_init1:" << std::strerror(errno)
                     << "; cgroups left populated are not removed";
            return;
        }
        auto *notifier =
            new QSocketNotifier(fd, QSocketNotifier::Read, QCoreApplication::instance());
        QObject::connect(notifier, &QSocketNotifier::activated, [this] { on_events(); });
    }

    // From a runner's thread: watch dir until it can be removed.
    void watch(const std::string &dir)
    {
        const int wd = inotify_add_watch(fd, (dir + "/cgroup.events").c_str(), IN_MODIFY);
        if (wd < 0) {
            qDebug() << "cgroup" << dir.c_str()
                     << "left in place: inotify_add_watch:" << std::strerror(errno);
            return;
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            watched[wd] = dir;
        }
        // It may have emptied before the watch was in place.
        try_remove(wd);
    }

private:
    void on_events()
    {
        alignas(inotify_event) char buffer[4096];
        ssize_t n;
        while ((n = read(fd, buffer, sizeof buffer)) > 0) {
            for (char *at = buffer; at < buffer + n;) {
                const auto *event = reinterpret_cast<const inotify_event *>(at);
                if (event->mask & IN_MODIFY)
                    try_remove(event->wd);
                at += sizeof(inotify_event) + event->len;
            }
        }
    }

    // Removes the cgroup if it holds no process any more. Its watch goes
    // with it (the kernel drops the watch of a removed file).
    void try_remove(int wd)
    {
        std::lock_guard<std::mutex> lock(mutex);
        const auto found = watched.find(wd);
        if (found == watched.end())
            return;
        if (rmdir(found->second.c_str()) == 0 || errno == ENOENT)
            watched.erase(found);
        else if (errno != EBUSY)
            qDebug() << "rmdir" << found->second.c_str() << ":" << std::strerror(errno);
    }

    int fd = -1;
    std::mutex mutex; // guards watched: runners add, the main thread removes
    std::unordered_map<int, std::string> watched;
};

leftover_sweeper *sweeper = nullptr; // set once at start-up

} // namespace

std::string cgroup_unusable_reason(const char *path)
{
    struct stat st {
    };
    if (stat(path, &st) != 0)
        return std::strerror(errno);
    if (!S_ISDIR(st.st_mode))
        return "not a directory";
    struct statfs fs {
    };
    if (statfs(path, &fs) != 0)
        return std::string("statfs: ") + std::strerror(errno);
    if (fs.f_type != CGROUP2_SUPER_MAGIC)
        return "not a cgroup v2 directory";
    if (access(path, W_OK) != 0)
        return std::string("not writable: ") + std::strerror(errno);
    if (access((std::string(path) + "/cgroup.kill").c_str(), W_OK) != 0)
        return std::string("no writable cgroup.kill: ") + std::strerror(errno);
    return {};
}

void configure_app_cgroups(const QByteArray &path)
{
    if (path.isEmpty())
        return;
    const std::string reason = cgroup_unusable_reason(path.constData());
    if (!reason.empty()) {
        std::fprintf(stderr, "LAVROSK_CGROUP=%s not used: %s; killing by process tree\n",
                     path.constData(), reason.c_str());
        return;
    }
    base_dir = path.toStdString();
    if (QCoreApplication::instance() && !sweeper)
        sweeper = new leftover_sweeper;
}

bool app_cgroups_enabled()
{
    return !base_dir.empty();
}

std::unique_ptr<app_cgroup> app_cgroup::create()
{
    if (base_dir.empty())
        return nullptr;
    // The daemon's pid keeps apart the cgroups of daemons sharing the
    // directory; one left by an earlier daemon of the same pid is skipped.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string dir = base_dir + "/lavrosk-" + std::to_string(getpid()) + "-" +
                                std::to_string(serial.fetch_add(1));
        if (mkdir(dir.c_str(), 0755) != 0) {
            if (errno == EEXIST)
                continue;
            qDebug() << "mkdir" << dir.c_str() << ":" << std::strerror(errno)
                     << "; this application is killed by process tree";
            return nullptr;
        }
        const int procs = open((dir + "/cgroup.procs").c_str(), O_WRONLY | O_CLOEXEC);
        if (procs < 0) {
            qDebug() << "open" << (dir + "/cgroup.procs").c_str() << ":" << std::strerror(errno)
                     << "; this application is killed by process tree";
            rmdir(dir.c_str());
            return nullptr;
        }
        return std::unique_ptr<app_cgroup>(new app_cgroup(dir, procs));
    }
    qDebug() << "no free cgroup name under" << base_dir.c_str();
    return nullptr;
}

app_cgroup::~app_cgroup()
{
    ended();
    close(procs);
    if (rmdir(dir.c_str()) == 0)
        return;
    if (errno == EBUSY && sweeper)
        sweeper->watch(dir); // processes that outlived the application
    else
        qDebug() << "cgroup" << dir.c_str() << "left in place: rmdir:" << std::strerror(errno);
}

void app_cgroup::launched(pid_t pid)
{
    std::lock_guard<std::mutex> lock(registry_mutex);
    if (root > 0)
        kill_files.erase(root);
    root = pid;
    kill_files[root] = dir + "/cgroup.kill";
}

void app_cgroup::ended()
{
    std::lock_guard<std::mutex> lock(registry_mutex);
    if (root > 0)
        kill_files.erase(root);
    root = -1;
}

std::string app_cgroup_dir(pid_t root)
{
    std::lock_guard<std::mutex> lock(registry_mutex);
    const auto found = kill_files.find(root);
    if (found == kill_files.end())
        return {};
    return found->second.substr(0, found->second.rfind('/'));
}

bool kill_app_cgroup(pid_t root)
{
    // The write happens under the lock, so the cgroup cannot be removed
    // meanwhile; it only marks the processes, it does not wait for them.
    std::lock_guard<std::mutex> lock(registry_mutex);
    const auto found = kill_files.find(root);
    if (found == kill_files.end())
        return false;
    const int fd = open(found->second.c_str(), O_WRONLY | O_CLOEXEC);
    const bool killed = fd >= 0 && write(fd, "1", 1) == 1;
    const int err = errno;
    if (fd >= 0)
        close(fd);
    if (!killed) {
        qDebug() << "write" << found->second.c_str() << ":" << std::strerror(err)
                 << "; killing by process tree";
        return false;
    }
    qDebug() << "cgroup of" << root << "killed:" << found->second.c_str();
    return true;
}
