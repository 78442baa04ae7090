#include "cgroup_freeze.h"

#include <QDebug>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

// Appends every decimal number of the file at path (blank or newline separated).
void read_numbers(const std::string &path, std::vector<pid_t> *out)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return; // the directory went away meanwhile
    char text[4096];
    long long value = -1;
    ssize_t n;
    while ((n = read(fd, text, sizeof text)) != 0) {
        if (n < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (ssize_t i = 0; i < n; ++i) {
            if (text[i] >= '0' && text[i] <= '9') {
                value = (value < 0 ? 0 : value * 10) + (text[i] - '0');
            } else if (value >= 0) {
                out->push_back(static_cast<pid_t>(value));
                value = -1;
            }
        }
    }
    if (value >= 0)
        out->push_back(static_cast<pid_t>(value));
    close(fd);
}

bool shows_frozen(int fd)
{
    char text[256];
    const ssize_t n = pread(fd, text, sizeof text - 1, 0);
    if (n <= 0)
        return false;
    text[n] = '\0';
    return std::strstr(text, "frozen 1") != nullptr;
}

void collect(const std::string &dir, cgroup_members *members, int depth)
{
    std::vector<pid_t> processes;
    read_numbers(dir + "/cgroup.procs", &processes);
    members->processes.insert(processes.begin(), processes.end());
    read_numbers(dir + "/cgroup.threads", &members->threads);
    // Cgroups the application made inside its own: cgroup.kill reaches them.
    DIR *listing = depth < 64 ? opendir(dir.c_str()) : nullptr;
    if (!listing)
        return;
    while (const dirent *entry = readdir(listing)) {
        if (entry->d_type == DT_DIR && entry->d_name[0] != '.')
            collect(dir + "/" + entry->d_name, members, depth + 1);
    }
    closedir(listing);
}

} // namespace

bool set_cgroup_frozen(const std::string &dir, bool frozen)
{
    const std::string path = dir + "/cgroup.freeze";
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    const bool written = fd >= 0 && write(fd, frozen ? "1" : "0", 1) == 1;
    const int err = errno;
    if (fd >= 0)
        close(fd);
    if (!written)
        qDebug() << "write" << path.c_str() << ":" << std::strerror(err);
    return written;
}

bool wait_cgroup_frozen(const std::string &dir, int timeout_ms)
{
    const int fd = open((dir + "/cgroup.events").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    // The kernel wakes a poll for POLLPRI on every change of the file.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    bool frozen = shows_frozen(fd);
    while (!frozen) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0)
            break;
        pollfd watch{fd, POLLPRI, 0};
        if (poll(&watch, 1, static_cast<int>(left)) < 0 && errno != EINTR)
            break;
        frozen = shows_frozen(fd);
    }
    close(fd);
    return frozen;
}

cgroup_members read_cgroup_members(const std::string &dir)
{
    cgroup_members members;
    collect(dir, &members, 0);
    return members;
}

std::vector<pid_t> children_outside(const cgroup_members &members)
{
    std::vector<pid_t> outside;
    char path[64];
    for (const pid_t tid : members.threads) {
        // /proc/TID/task/TID works for any thread, not only a process's first.
        std::snprintf(path, sizeof path, "/proc/%d/task/%d/children", static_cast<int>(tid),
                      static_cast<int>(tid));
        std::vector<pid_t> children;
        read_numbers(path, &children);
        for (const pid_t child : children) {
            if (!members.processes.count(child))
                outside.push_back(child);
        }
    }
    return outside;
}
