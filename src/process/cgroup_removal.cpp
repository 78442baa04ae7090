#include "cgroup_removal.h"

#include "decimal.h"

#include <QCoreApplication>
#include <QDebug>
#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/types.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace {

// Removes dir and the cgroups an application made inside it, deepest
// first: a cgroup with children cannot go. 0, or the errno of the first
// failure (EBUSY while any of them holds a process).
int remove_cgroup_tree(const std::string &dir)
{
    if (DIR *d = opendir(dir.c_str())) {
        std::vector<std::string> children;
        while (const dirent *entry = readdir(d)) {
            if (entry->d_type == DT_DIR && std::strcmp(entry->d_name, ".") != 0 &&
                std::strcmp(entry->d_name, "..") != 0)
                children.push_back(dir + "/" + entry->d_name);
        }
        closedir(d);
        for (const std::string &child : children) {
            const int err = remove_cgroup_tree(child);
            if (err != 0 && err != ENOENT)
                return err;
        }
    } else if (errno == ENOENT) {
        return 0;
    }
    return rmdir(dir.c_str()) == 0 || errno == ENOENT ? 0 : errno;
}

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

    // Watches dir until it can be removed. Takes lock_fd, the descriptor
    // that holds dir's ownership lock, and closes it once dir is gone.
    void watch(const std::string &dir, int lock_fd)
    {
        const int wd =
            fd < 0 ? -1 : inotify_add_watch(fd, (dir + "/cgroup.events").c_str(), IN_MODIFY);
        if (wd < 0) {
            qDebug() << "cgroup" << dir.c_str()
                     << "left in place: inotify_add_watch:" << std::strerror(errno);
            close(lock_fd);
            return;
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            watched[wd] = {dir, lock_fd};
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
        const int err = remove_cgroup_tree(found->second.dir);
        if (err == 0) {
            close(found->second.lock_fd);
            watched.erase(found);
        } else if (err != EBUSY) {
            qDebug() << "rmdir" << found->second.dir.c_str() << ":" << std::strerror(err);
        }
    }

    struct leftover {
        std::string dir;
        int lock_fd;
    };
    int fd = -1;
    std::mutex mutex; // guards watched: runners add, the main thread removes
    std::unordered_map<int, leftover> watched;
};

leftover_sweeper *sweeper = nullptr; // set once at start-up

// The pid in a name lavrosk-<pid>-<n>, or 0 for any other name: one with a
// blank or a sign in it is none of ours.
pid_t owner_pid(const char *name)
{
    static const char prefix[] = "lavrosk-";
    if (std::strncmp(name, prefix, sizeof prefix - 1) != 0)
        return 0;
    const char *pid_text = name + sizeof prefix - 1;
    const char *dash = std::strchr(pid_text, '-');
    if (dash == nullptr || !parse_decimal(dash + 1, dash + std::strlen(dash)))
        return 0;
    const std::optional<unsigned long long> pid = parse_decimal(pid_text, dash, 0x7fffffff);
    return pid ? static_cast<pid_t>(*pid) : 0;
}

std::string command_name(const std::string &proc_dir)
{
    char name[64] = {};
    const int fd = open((proc_dir + "/comm").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    const ssize_t n = read(fd, name, sizeof name - 1);
    close(fd);
    return n > 0 ? std::string(name, static_cast<size_t>(n)) : std::string();
}

// Whether another daemon of ours runs as pid here. One that does may own the
// cgroup even without the lock (an older daemon takes none), so it is left
// alone; our own pid owns nothing yet.
bool other_daemon_alive(pid_t pid)
{
    static const std::string own_name = command_name("/proc/self");
    return pid != getpid() && !own_name.empty() &&
           command_name("/proc/" + std::to_string(pid)) == own_name;
}

// One cgroup a daemon no longer alive left behind, unless a live one holds it.
void remove_stale(const std::string &dir)
{
    const int procs = open((dir + "/cgroup.procs").c_str(), O_RDONLY | O_CLOEXEC);
    if (procs < 0) {
        if (errno != ENOENT) // ENOENT: another daemon starting has just removed it
            qDebug() << "open" << (dir + "/cgroup.procs").c_str() << ":" << std::strerror(errno);
        return;
    }
    if (!take_cgroup_ownership(procs)) {
        close(procs); // a live daemon's
        return;
    }
    remove_cgroup(dir, procs);
}

} // namespace

bool take_cgroup_ownership(int procs_fd)
{
    return flock(procs_fd, LOCK_EX | LOCK_NB) == 0;
}

void start_cgroup_sweeper()
{
    if (QCoreApplication::instance() && !sweeper)
        sweeper = new leftover_sweeper;
}

void remove_cgroup(const std::string &dir, int lock_fd)
{
    const int err = remove_cgroup_tree(dir);
    if (err == EBUSY && sweeper) {
        sweeper->watch(dir, lock_fd);
        return;
    }
    if (err != 0)
        qDebug() << "cgroup" << dir.c_str() << "left in place: rmdir:" << std::strerror(err);
    close(lock_fd);
}

void remove_stale_cgroups(const std::string &base)
{
    DIR *d = opendir(base.c_str());
    if (!d) {
        qDebug() << "opendir" << base.c_str() << ":" << std::strerror(errno);
        return;
    }
    std::vector<std::string> stale;
    while (const dirent *entry = readdir(d)) {
        const pid_t owner = owner_pid(entry->d_name);
        if (entry->d_type == DT_DIR && owner > 0 && !other_daemon_alive(owner))
            stale.push_back(base + "/" + entry->d_name);
    }
    closedir(d);
    for (const std::string &dir : stale)
        remove_stale(dir);
}
