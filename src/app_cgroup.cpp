#include "app_cgroup.h"

#include "console_out.h"

#include <QCoreApplication>
#include <QDebug>
#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <mutex>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace {

std::string base_dir; // written once at start-up, before any runner exists
std::atomic<unsigned> serial{0};

// The current root process of every application in a cgroup, and the
// cgroup.kill file that ends it.
std::mutex registry_mutex;
std::unordered_map<pid_t, std::string> kill_files;

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

// Each cgroup is owned through an exclusive flock on its cgroup.procs, held
// by the daemon that made it until the cgroup is gone. A lock dies with its
// daemon, and it is seen from every pid namespace, where a pid is not.
bool take_ownership(int procs_fd)
{
    return flock(procs_fd, LOCK_EX | LOCK_NB) == 0;
}

// The pid in a name lavrosk-<pid>-<n>, or 0 for any other name.
pid_t owner_pid(const char *name)
{
    unsigned long pid = 0, n = 0;
    int used = 0;
    if (std::sscanf(name, "lavrosk-%lu-%lu%n", &pid, &n, &used) != 2 || name[used] != '\0' ||
        pid == 0 || pid > 0x7fffffff)
        return 0;
    return static_cast<pid_t>(pid);
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

// One cgroup a daemon no longer alive left behind: removed now if empty,
// otherwise once its processes have gone.
void remove_stale(const std::string &dir)
{
    const int procs = open((dir + "/cgroup.procs").c_str(), O_RDONLY | O_CLOEXEC);
    if (procs < 0) {
        if (errno != ENOENT) // ENOENT: another daemon starting has just removed it
            qDebug() << "open" << (dir + "/cgroup.procs").c_str() << ":" << std::strerror(errno);
        return;
    }
    if (!take_ownership(procs)) {
        close(procs); // a live daemon's
        return;
    }
    const int err = remove_cgroup_tree(dir);
    if (err == EBUSY && sweeper) {
        sweeper->watch(dir, procs);
        return;
    }
    if (err != 0)
        qDebug() << "stale cgroup" << dir.c_str() << "left in place: rmdir:" << std::strerror(err);
    close(procs);
}

// Cgroups of daemons that ended without removing them: with kill_daemon, or
// killed.
void remove_stale_cgroups()
{
    DIR *d = opendir(base_dir.c_str());
    if (!d) {
        qDebug() << "opendir" << base_dir.c_str() << ":" << std::strerror(errno);
        return;
    }
    std::vector<std::string> stale;
    while (const dirent *entry = readdir(d)) {
        const pid_t owner = owner_pid(entry->d_name);
        if (entry->d_type == DT_DIR && owner > 0 && !other_daemon_alive(owner))
            stale.push_back(base_dir + "/" + entry->d_name);
    }
    closedir(d);
    for (const std::string &dir : stale)
        remove_stale(dir);
}

// Whether the file at path is the one open as fd.
bool same_file(int fd, const std::string &path)
{
    struct stat open_file {
    }, named{};
    return fstat(fd, &open_file) == 0 && stat(path.c_str(), &named) == 0 &&
           open_file.st_dev == named.st_dev && open_file.st_ino == named.st_ino;
}

// Applications can join only a domain cgroup; a threaded one refuses
// processes, and so do the children of one made a threaded domain.
std::string cgroup_type_problem(const std::string &path)
{
    const int fd = open((path + "/cgroup.type").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::string("no cgroup.type: ") + std::strerror(errno);
    char type[64] = {};
    const ssize_t n = read(fd, type, sizeof type - 1);
    const int err = errno;
    close(fd);
    if (n < 0)
        return std::string("cgroup.type: ") + std::strerror(err);
    const std::string text(type, static_cast<size_t>(n));
    if (text != "domain\n")
        return "cgroup type is \"" + text.substr(0, text.find('\n')) + "\", not \"domain\"";
    return {};
}

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
    return cgroup_type_problem(path);
}

void configure_app_cgroups(const QByteArray &path)
{
    if (path.isEmpty())
        return;
    const std::string reason = cgroup_unusable_reason(path.constData());
    if (!reason.empty()) {
        console::err("LAVROSK_CGROUP=%s not used: %s; killing by process tree\n", path.constData(),
                     reason.c_str());
        return;
    }
    base_dir = path.toStdString();
    if (QCoreApplication::instance() && !sweeper)
        sweeper = new leftover_sweeper;
    remove_stale_cgroups();
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
        const std::string procs_path = dir + "/cgroup.procs";
        const int procs = open(procs_path.c_str(), O_WRONLY | O_CLOEXEC);
        if (procs < 0 && errno == ENOENT) {
            // Removed at once by a daemon starting, as stale: try another
            // name. The rmdir is for the odd case that it is still there.
            rmdir(dir.c_str());
            continue;
        }
        if (procs < 0) {
            qDebug() << "open" << procs_path.c_str() << ":" << std::strerror(errno)
                     << "; this application is killed by process tree";
            rmdir(dir.c_str());
            return nullptr;
        }
        // A daemon starting meanwhile may take the new, empty cgroup for a
        // stale one: whoever has the lock first keeps it, and one removed
        // before we locked it is no longer the file at its name.
        if (!take_ownership(procs) || !same_file(procs, procs_path)) {
            close(procs);
            continue;
        }
        return std::unique_ptr<app_cgroup>(new app_cgroup(dir, procs));
    }
    qDebug() << "no free cgroup name under" << base_dir.c_str();
    return nullptr;
}

app_cgroup::~app_cgroup()
{
    ended();
    // Removed before the lock goes with the descriptor.
    const int err = remove_cgroup_tree(dir);
    if (err == EBUSY && sweeper) {
        sweeper->watch(dir, procs); // processes that outlived the application
        return;
    }
    if (err != 0)
        qDebug() << "cgroup" << dir.c_str() << "left in place: rmdir:" << std::strerror(err);
    close(procs);
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
