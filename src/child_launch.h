// Forking and executing one application. Everything the child needs is
// prepared here beforehand, so that between fork and execv it runs only
// async-signal-safe calls: another thread of the daemon may hold a lock (in
// malloc, stdio or the bus library) at the moment of the fork.
#pragma once

#include <QByteArray>
#include <QList>

#include <sys/types.h>
#include <vector>

class launch_plan
{
public:
    // path: the bytes given to execv; args: the whole argument vector, argv[0]
    // first; out_text and err_text: written by the child to standard output
    // and standard error before it executes the path.
    launch_plan(QByteArray path, QList<QByteArray> args, QByteArray out_text, QByteArray err_text);
    launch_plan(const launch_plan &) = delete;
    launch_plan &operator=(const launch_plan &) = delete;

    // Forks and executes. Returns the child's pid, or -1 with errno set when
    // fork failed. A child whose exec fails reports it on standard error and
    // ends with status 127.
    pid_t spawn() const;

    // Executed when path is not found (ENOENT); empty for none.
    void set_second_path(QByteArray second) { second_path = std::move(second); }

    const char *path() const { return exec_path.constData(); }
    char *const *argv() const { return arg_pointers.data(); }

    // Keeps a variable the daemon set for itself out of every application's
    // environment: applications get the environment the daemon was given.
    static void hide_variable(const char *name);

    // An open cgroup.procs: the child joins that cgroup before anything
    // else. A child that cannot join ends with exec_failed_status instead of
    // running where a kill of its cgroup would miss it. -1: no cgroup.
    void set_cgroup_procs_fd(int fd) { cgroup_procs_fd = fd; }

private:
    [[noreturn]] void run_child() const;

    QByteArray exec_path;
    QByteArray second_path;
    QList<QByteArray> arg_storage;
    std::vector<char *> arg_pointers;
    std::vector<char *> env_pointers; // into environ, which nobody changes after start-up
    QByteArray out_text;
    QByteArray err_text;
    int fd_limit;
    int cgroup_procs_fd = -1;
};

// The exit status of a child that could not execute its command, as a shell
// uses it.
inline constexpr int exec_failed_status = 127;
