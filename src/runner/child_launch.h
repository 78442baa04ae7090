// Launching one application. The child is started vfork-style: it shares the
// daemon's memory and runs on a stack of its own until it executes the
// application, while only the launching thread waits. So everything the child
// needs is prepared here beforehand, and between the launch and execve it
// makes raw system calls only: no lock, no allocation, no write to memory the
// daemon owns but a lock-free count of the lines it could not write. Another thread of the daemon
// may hold a lock (in malloc, stdio or the bus library) at any moment.
#pragma once

#include <QByteArray>
#include <QList>

#include "nowait_write.h"

#include <atomic>
#include <cstddef>
#include <sys/types.h>
#include <vector>

class launch_plan
{
public:
    // path: the bytes given to execve; args: the whole argument vector, argv[0]
    // first; out_text and err_text: written by the child to standard output
    // and standard error before it executes the path.
    launch_plan(QByteArray path, QList<QByteArray> args, QByteArray out_text, QByteArray err_text);
    launch_plan(const launch_plan &) = delete;
    launch_plan &operator=(const launch_plan &) = delete;

    // Starts the child. Returns its pid, or -1 with errno set when no child
    // could be made. A child whose exec fails reports it on standard error and
    // ends with status 127. errno is left as it was on success.
    pid_t spawn() const;

    // Executed when path is not found (ENOENT); empty for none.
    void set_second_path(QByteArray second)
    {
        second_path = std::move(second);
        child_second_path = second_path.isEmpty() ? nullptr : second_path.constData();
    }

    const char *path() const { return exec_path.constData(); }
    char *const *argv() const { return arg_pointers.data(); }

    // Keeps a variable the daemon set for itself out of every application's
    // environment: applications get the environment the daemon was given.
    // Call before the first plan is made.
    static void hide_variable(const char *name);

    // An open cgroup.procs: the child joins that cgroup before anything
    // else. A child that cannot join ends with exec_failed_status instead of
    // running where a kill of its cgroup would miss it. -1: no cgroup.
    void set_cgroup_procs_fd(int fd) { cgroup_procs_fd = fd; }

    // Child side; public only for the entry point of the new process.
    [[noreturn]] void run_child() const;

    struct error_text {
        const char *text;
        size_t size;
    };
    static constexpr int error_text_count = 256;

private:
    [[noreturn]] void fail(const char *prefix, size_t prefix_size, int err) const;

    QByteArray exec_path;
    QByteArray second_path;
    QList<QByteArray> arg_storage;
    std::vector<char *> arg_pointers;
    QByteArray out_text;
    QByteArray err_text;

    // The child's view: plain pointers and sizes, read without calling a
    // single function of the containers above.
    const char *child_path;
    const char *child_second_path = nullptr;
    char *const *child_argv;
    char *const *child_envp;
    const char *child_out;
    size_t child_out_size;
    const char *child_err;
    size_t child_err_size;
    const error_text *child_error_texts;
    int fd_limit;
    const struct rlimit *given_fd_limit;
    const int *given_nice;
    nowait::target out_to;
    nowait::target err_to;
    std::atomic<unsigned long> *drops;
    int cgroup_procs_fd = -1;
};

// The exit status of a child that could not execute its command, as a shell
// uses it.
inline constexpr int exec_failed_status = 127;
