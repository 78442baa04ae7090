#include "process_table.h"

#include "decimal.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Fields after the name: state is the first, ppid the second, flags the
// seventh, start time the twentieth (fields 3, 4, 9 and 22 of proc(5)).
constexpr int ppid_field = 1;
constexpr int flags_field = 6;
constexpr int threads_field = 17;
constexpr int start_time_field = 19;
constexpr unsigned kernel_thread_flag = 0x00200000; // PF_KTHREAD
constexpr unsigned long long max_pid = 0x7fffffff;
constexpr unsigned long long max_unsigned = 0xffffffff;

// /proc, kept open: a freeze reads thousands of entries, and a path from
// the root costs a lookup more. A first try at the descriptor limit is not
// kept as a failure for good: the next try opens it. -1 when it cannot.
int proc_dir()
{
    static std::atomic<int> kept_fd{-1};
    const int fd = kept_fd.load();
    if (fd >= 0)
        return fd;
    int opened = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int expected = -1;
    if (opened >= 0 && !kept_fd.compare_exchange_strong(expected, opened)) {
        close(opened); // another thread's is kept
        opened = expected;
    }
    return opened;
}

std::optional<proc_stat> read_stat_of(int proc_fd, const char *pid_name)
{
    char path[64];
    std::snprintf(path, sizeof path, "%s/stat", pid_name);
    const int fd = openat(proc_fd, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt; // gone since the directory was read
    char text[1024];
    ssize_t n;
    do {
        n = read(fd, text, sizeof text);
    } while (n < 0 && errno == EINTR);
    close(fd);
    if (n <= 0) {
        errno = ESRCH; // a process that has died reads as nothing
        return std::nullopt;
    }
    return parse_proc_stat(text, static_cast<size_t>(n));
}

} // namespace

std::optional<proc_stat> parse_proc_stat(const char *text, size_t size)
{
    const char *end = text + size;
    const char *open = static_cast<const char *>(std::memchr(text, '(', size));
    const char *close = nullptr;
    for (const char *p = end; p != text; --p) {
        if (p[-1] == ')') {
            close = p - 1;
            break;
        }
    }
    if (!open || !close || close < open)
        return std::nullopt;

    const char *pid_end = open;
    while (pid_end != text && pid_end[-1] == ' ')
        --pid_end;
    const std::optional<unsigned long long> pid = parse_decimal(text, pid_end, max_pid);
    if (!pid || *pid == 0)
        return std::nullopt;

    // Blank-separated fields after the name.
    proc_stat result{static_cast<pid_t>(*pid), 0, 0, 0};
    const char *p = close + 1;
    for (int field = 0; field <= start_time_field; ++field) {
        while (p != end && *p == ' ')
            ++p;
        const char *field_end = p;
        while (field_end != end && *field_end != ' ' && *field_end != '\n')
            ++field_end;
        if (p == field_end)
            return std::nullopt;
        std::optional<unsigned long long> value;
        if (field == 0) {
            if (field_end - p != 1)
                return std::nullopt;
            result.state = *p;
        } else if (field == ppid_field) {
            if (!(value = parse_decimal(p, field_end, max_pid)))
                return std::nullopt;
            result.ppid = static_cast<pid_t>(*value);
        } else if (field == flags_field) {
            if (!(value = parse_decimal(p, field_end, max_unsigned)))
                return std::nullopt;
            result.flags = static_cast<unsigned>(*value);
        } else if (field == threads_field) {
            if (!(value = parse_decimal(p, field_end, max_unsigned)))
                return std::nullopt;
            result.threads = static_cast<unsigned>(*value);
        } else if (field == start_time_field) {
            if (!(value = parse_decimal(p, field_end)))
                return std::nullopt;
            result.start_time = *value;
        }
        p = field_end;
    }
    return result;
}

std::optional<proc_stat> read_proc_stat(pid_t pid)
{
    char name[16];
    std::snprintf(name, sizeof name, "%d", static_cast<int>(pid));
    const int proc_fd = proc_dir();
    if (proc_fd < 0)
        return std::nullopt;
    return read_stat_of(proc_fd, name);
}

std::optional<unsigned> threads_of(pid_t pid)
{
    // The task directory's link count is two plus its threads: one stat
    // call, where reading the stat file takes an open, a read and a close.
    char path[32];
    std::snprintf(path, sizeof path, "%d/task", static_cast<int>(pid));
    struct stat task;
    const int proc_fd = proc_dir();
    if (proc_fd < 0 || fstatat(proc_fd, path, &task, 0) != 0)
        return std::nullopt;
    return task.st_nlink > 2 ? static_cast<unsigned>(task.st_nlink - 2) : 0;
}

std::optional<process_id> identify(pid_t pid)
{
    const std::optional<proc_stat> process = read_proc_stat(pid);
    if (!process)
        return std::nullopt;
    return process_id{pid, process->start_time};
}

std::optional<pid_t> thread_group_of(pid_t tid)
{
    // /proc/TID/ answers for any thread, not only for a process's first:
    // only its status says which process the thread is part of.
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(tid));
    FILE *file = std::fopen(path, "re");
    if (!file)
        return std::nullopt;
    char line[256];
    std::optional<pid_t> group;
    while (!group && std::fgets(line, sizeof line, file)) {
        if (std::strncmp(line, "Tgid:", 5) != 0)
            continue;
        const char *begin = line + 5;
        while (*begin == '\t' || *begin == ' ')
            ++begin;
        const char *end = begin + std::strcspn(begin, "\n");
        if (const auto value = parse_decimal(begin, end, max_pid))
            group = static_cast<pid_t>(*value);
        else
            break;
    }
    std::fclose(file);
    return group;
}

bool is_kernel_thread(const proc_stat &process)
{
    return (process.flags & kernel_thread_flag) != 0;
}

bool is_frozen_state(char state)
{
    return state == 'T' || state == 't' || state == 'Z' || state == 'X' || state == 'x';
}

namespace {

// Appends the pids of one children file: decimal numbers, each followed by
// a blank.
void append_children(int fd, std::vector<pid_t> *children)
{
    std::string text; // most processes have a child or two: no allocation
    char chunk[4096];
    bool whole = true;
    ssize_t n;
    while ((n = read(fd, chunk, sizeof chunk)) != 0) {
        if (n < 0) {
            if (errno == EINTR)
                continue;
            whole = false; // the thread has gone meanwhile
            break;
        }
        text.append(chunk, static_cast<size_t>(n));
    }
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find_first_of(" \n", at);
        if (end == std::string::npos) {
            if (!whole)
                break; // a number the failed read may have cut short
            end = text.size();
        }
        const char *word = text.data();
        const std::optional<unsigned long long> pid = parse_decimal(word + at, word + end, max_pid);
        if (pid && *pid > 0)
            children->push_back(static_cast<pid_t>(*pid));
        at = end + 1;
    }
}

} // namespace

std::vector<pid_t> read_children(pid_t pid, bool *threads_stopped, unsigned threads)
{
    if (threads_stopped)
        *threads_stopped = true;
    std::vector<pid_t> children;
    char path[64];
    if (threads == 1) {
        std::snprintf(path, sizeof path, "%d/task/%d/children", static_cast<int>(pid),
                      static_cast<int>(pid));
        const int fd = openat(proc_dir(), path, O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            append_children(fd, &children);
            close(fd);
        }
        return children;
    }
    std::snprintf(path, sizeof path, "%d/task", static_cast<int>(pid));
    const int task_fd = openat(proc_dir(), path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (task_fd < 0)
        return children; // gone
    DIR *dir = fdopendir(task_fd);
    if (!dir) {
        close(task_fd);
        return children;
    }
    while (const dirent *entry = readdir(dir)) {
        if (entry->d_name[0] < '1' || entry->d_name[0] > '9')
            continue;
        char name[sizeof entry->d_name + 16];
        if (threads_stopped && std::atoi(entry->d_name) != pid) {
            // A thread that still runs may be inside fork().
            const std::optional<proc_stat> thread = read_stat_of(task_fd, entry->d_name);
            if (thread && !is_frozen_state(thread->state))
                *threads_stopped = false;
        }
        std::snprintf(name, sizeof name, "%s/children", entry->d_name);
        const int fd = openat(task_fd, name, O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue; // the thread ended since the directory was read
        append_children(fd, &children);
        close(fd);
    }
    closedir(dir);
    return children;
}
