#include "app_cgroup.h"

#include "cgroup_removal.h"
#include "console_out.h"
#include "launch_registry.h"

#include <QDebug>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace {

std::string base_dir; // written once at start-up, before any runner exists
std::atomic<unsigned> serial{0};

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
    start_cgroup_sweeper();
    remove_stale_cgroups(base_dir);
}

bool app_cgroups_enabled()
{
    return !base_dir.empty();
}

const std::string &app_cgroup_root()
{
    return base_dir;
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
        if (!take_cgroup_ownership(procs) || !same_file(procs, procs_path)) {
            close(procs);
            continue;
        }
        const int kill = open((dir + "/cgroup.kill").c_str(), O_WRONLY | O_CLOEXEC);
        if (kill < 0) {
            qDebug() << "open" << (dir + "/cgroup.kill").c_str() << ":" << std::strerror(errno)
                     << "; this application is killed by process tree";
            remove_cgroup(dir, procs);
            return nullptr;
        }
        return std::unique_ptr<app_cgroup>(new app_cgroup(dir, procs, kill));
    }
    qDebug() << "no free cgroup name under" << base_dir.c_str();
    return nullptr;
}

app_cgroup::~app_cgroup()
{
    close(kill);
    // Later if processes outlived the application; the lock goes last.
    remove_cgroup(dir, procs);
}

std::string app_cgroup_dir(pid_t root)
{
    return launches().cgroup_of(root);
}

bool kill_app_cgroup(pid_t root)
{
    const std::string dir = launches().cgroup_of(root);
    switch (launches().kill_cgroup(root)) {
    case cgroup_kill_result::not_in_cgroup:
        return false;
    case cgroup_kill_result::failed:
        qDebug() << "write" << (dir + "/cgroup.kill").c_str() << ":" << std::strerror(errno)
                 << "; killing by process tree";
        return false;
    case cgroup_kill_result::killed:
        break;
    }
    qDebug() << "cgroup of" << root << "killed:" << dir.c_str();
    return true;
}
