#include "process_table.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Fields after the name: state is the first, ppid the second, flags the
// seventh, start time the twentieth (fields 3, 4, 9 and 22 of proc(5)).
constexpr int ppid_field = 1;
constexpr int flags_field = 6;
constexpr int threads_field = 17;
constexpr int start_time_field = 19;
constexpr unsigned kernel_thread_flag = 0x00200000; // PF_KTHREAD

bool parse_number(const char *begin, const char *end, unsigned long long *value)
{
    if (begin == end)
        return false;
    unsigned long long v = 0;
    for (const char *p = begin; p != end; ++p) {
        if (*p < '0' || *p > '9')
            return false;
        v = v * 10 + static_cast<unsigned long long>(*p - '0');
    }
    *value = v;
    return true;
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
    if (n <= 0)
        return std::nullopt;
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

    unsigned long long pid = 0;
    const char *pid_end = open;
    while (pid_end != text && pid_end[-1] == ' ')
        --pid_end;
    if (!parse_number(text, pid_end, &pid) || pid == 0 || pid > 0x7fffffffULL)
        return std::nullopt;

    // Blank-separated fields after the name.
    proc_stat result{static_cast<pid_t>(pid), 0, 0, 0};
    const char *p = close + 1;
    for (int field = 0; field <= start_time_field; ++field) {
        while (p != end && *p == ' ')
            ++p;
        const char *field_end = p;
        while (field_end != end && *field_end != ' ' && *field_end != '\n')
            ++field_end;
        if (p == field_end)
            return std::nullopt;
        unsigned long long value = 0;
        if (field == 0) {
            if (field_end - p != 1)
                return std::nullopt;
            result.state = *p;
        } else if (field == ppid_field) {
            if (!parse_number(p, field_end, &value) || value > 0x7fffffffULL)
                return std::nullopt;
            result.ppid = static_cast<pid_t>(value);
        } else if (field == flags_field) {
            if (!parse_number(p, field_end, &value) || value > 0xffffffffULL)
                return std::nullopt;
            result.flags = static_cast<unsigned>(value);
        } else if (field == threads_field) {
            if (!parse_number(p, field_end, &value) || value > 0xffffffffULL)
                return std::nullopt;
            result.threads = static_cast<unsigned>(value);
        } else if (field == start_time_field) {
            if (!parse_number(p, field_end, &value))
                return std::nullopt;
            result.start_time = value;
        }
        p = field_end;
    }
    return result;
}

std::optional<proc_stat> read_proc_stat(pid_t pid)
{
    char name[16];
    std::snprintf(name, sizeof name, "%d", static_cast<int>(pid));
    // Kept open: a freeze reads thousands of stat files.
    static const int proc_fd = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (proc_fd < 0)
        return std::nullopt;
    return read_stat_of(proc_fd, name);
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
        if (std::strncmp(line, "Tgid:", 5) == 0)
            group = static_cast<pid_t>(std::atoi(line + 5));
    }
    std::fclose(file);
    return group;
}

std::vector<proc_stat> read_process_table()
{
    std::vector<proc_stat> table;
    const int proc_fd = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (proc_fd < 0) {
        std::perror("open /proc");
        return table;
    }
    DIR *dir = fdopendir(proc_fd);
    if (!dir) {
        std::perror("fdopendir /proc");
        close(proc_fd);
        return table;
    }
    while (const dirent *entry = readdir(dir)) {
        if (entry->d_name[0] < '1' || entry->d_name[0] > '9')
            continue; // not a process: ".", "self", "sys", ...
        if (const std::optional<proc_stat> stat = read_stat_of(proc_fd, entry->d_name))
            table.push_back(*stat);
    }
    closedir(dir);
    return table;
}

std::unordered_map<pid_t, proc_stat> tree_members(const std::vector<proc_stat> &table,
                                                  const process_ids &roots)
{
    std::unordered_multimap<pid_t, const proc_stat *> children;
    std::vector<const proc_stat *> todo;
    for (const proc_stat &entry : table) {
        children.emplace(entry.ppid, &entry);
        const auto root = roots.find(entry.pid);
        if (root != roots.end() && root->second == entry.start_time)
            todo.push_back(&entry);
    }
    std::unordered_map<pid_t, proc_stat> members;
    while (!todo.empty()) {
        const proc_stat *entry = todo.back();
        todo.pop_back();
        if (!members.emplace(entry->pid, *entry).second)
            continue; // reached twice: a root below another root
        const auto range = children.equal_range(entry->pid);
        for (auto child = range.first; child != range.second; ++child)
            todo.push_back(child->second);
    }
    return members;
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

// Appends the pids of one children file: decimal numbers separated by blanks.
void append_children(int fd, std::vector<pid_t> *children)
{
    char text[4096];
    unsigned long long value = 0;
    bool in_number = false;
    ssize_t n;
    while ((n = read(fd, text, sizeof text)) != 0) {
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return; // the thread has gone meanwhile
        }
        for (ssize_t i = 0; i < n; ++i) {
            if (text[i] >= '0' && text[i] <= '9') {
                value = value * 10 + static_cast<unsigned long long>(text[i] - '0');
                in_number = true;
            } else if (in_number) {
                if (value > 0 && value <= 0x7fffffffULL)
                    children->push_back(static_cast<pid_t>(value));
                value = 0;
                in_number = false;
            }
        }
    }
    if (in_number && value > 0 && value <= 0x7fffffffULL)
        children->push_back(static_cast<pid_t>(value));
}

} // namespace

std::vector<pid_t> read_children(pid_t pid, bool *threads_stopped, unsigned threads)
{
    if (threads_stopped)
        *threads_stopped = true;
    std::vector<pid_t> children;
    char path[64];
    if (threads == 1) {
        std::snprintf(path, sizeof path, "/proc/%d/task/%d/children", static_cast<int>(pid),
                      static_cast<int>(pid));
        const int fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            append_children(fd, &children);
            close(fd);
        }
        return children;
    }
    std::snprintf(path, sizeof path, "/proc/%d/task", static_cast<int>(pid));
    const int task_fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
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
