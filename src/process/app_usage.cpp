#include "app_usage.h"

#include "process_table.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>
#include <unordered_set>
#include <vector>

namespace {

// A bound on the walk: a tree larger than this is reported at the bound
// rather than held up for.
constexpr size_t max_tree = 1u << 16;

// Applies each chunk of the file at path to take; false when it cannot be read.
template <typename Take> bool read_file(const std::string &path, Take take)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buffer[4096];
    ssize_t n;
    for (;;) {
        n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        take(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return n == 0;
}

} // namespace

unsigned tree_tasks(pid_t root)
{
    const std::optional<unsigned> threads_of_root = threads_of(root);
    if (!threads_of_root)
        return 0;
    // A pid seen twice (reused while the walk ran) is counted once.
    std::unordered_set<pid_t> seen{root};
    std::vector<pid_t> pending{root};
    while (!pending.empty() && seen.size() < max_tree) {
        const pid_t pid = pending.back();
        pending.pop_back();
        // The root's thread count is known; any other is listed.
        const unsigned threads = pid == root ? *threads_of_root : 0;
        for (const pid_t child : read_children(pid, nullptr, threads)) {
            if (seen.insert(child).second)
                pending.push_back(child);
        }
    }
    return static_cast<unsigned>(seen.size());
}

unsigned cgroup_tasks(const std::string &dir)
{
    unsigned lines = 0;
    read_file(dir + "/cgroup.procs", [&lines](const char *text, size_t size) {
        for (size_t i = 0; i < size; ++i)
            lines += text[i] == '\n';
    });
    return lines;
}

std::optional<uint64_t> cgroup_memory(const std::string &dir)
{
    std::string text;
    if (!read_file(dir + "/memory.current",
                   [&text](const char *chunk, size_t size) { text.append(chunk, size); }))
        return std::nullopt;
    char *end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
    if (errno != 0 || end == text.c_str())
        return std::nullopt;
    return value;
}
