// Launching one application. The child is started vfork-style: it shares the
// daemon's memory and runs on a stack of its own until it executes the
// application, while only the launching thread waits. So everything the child
// needs is prepared here beforehand, and between the launch and execve it
// makes raw system calls only: no lock, no allocation, no write to memory the
// daemon owns. Another thread of the daemon may hold a lock (in malloc, stdio
// or the bus library) at any moment.
#pragma once

#include <QByteArray>
#include <QList>

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

    const char *path() const { return exec_path.constData(); }
    char *const *argv() const { return arg_pointers.data(); }

    // Keeps a variable the daemon set for itself out of every application's
    // environment: applications get the environment the daemon was given.
    // Call before the first plan is made.
    static void hide_variable(const char *name);

    // Child side; public only for the entry point of the new process.
    [[noreturn]] void run_child() const;

    struct error_text {
        const char *text;
        size_t size;
    };
    static constexpr int error_text_count = 256;

private:
    QByteArray exec_path;
    QList<QByteArray> arg_storage;
    std::vector<char *> arg_pointers;
    QByteArray out_text;
    QByteArray err_text;

    // The child's view: plain pointers and sizes, read without calling a
    // single function of the containers above.
    const char *child_path;
    char *const *child_argv;
    char *const *child_envp;
    const char *child_out;
    size_t child_out_size;
    const char *child_err;
    size_t child_err_size;
    const error_text *child_error_texts;
    int fd_limit;
};

// The exit status of a child that could not execute its command, as a shell
// uses it.
inline constexpr int exec_failed_status = 127;
