#include "child_launch.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

void write_all(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        data += n;
        size -= static_cast<size_t>(n);
    }
}

QByteArray hidden_variable; // "NAME=", or empty

void write_text(int fd, const char *text)
{
    write_all(fd, text, std::strlen(text));
}

} // namespace

launch_plan::launch_plan(QByteArray path, QList<QByteArray> args, QByteArray out, QByteArray err)
    : exec_path(std::move(path)), arg_storage(std::move(args)), out_text(std::move(out)),
      err_text(std::move(err))
{
    arg_pointers.reserve(static_cast<size_t>(arg_storage.size()) + 1);
    for (QByteArray &arg : arg_storage)
        arg_pointers.push_back(arg.data());
    arg_pointers.push_back(nullptr);

    for (char **entry = environ; *entry != nullptr; ++entry) {
        if (hidden_variable.isEmpty() || !QByteArray(*entry).startsWith(hidden_variable))
            env_pointers.push_back(*entry);
    }
    env_pointers.push_back(nullptr);

    rlimit limit{};
    fd_limit = (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
                   ? static_cast<int>(limit.rlim_cur)
                   : 65536;
}

void launch_plan::hide_variable(const char *name)
{
    hidden_variable = QByteArray(name) + '=';
}

pid_t launch_plan::spawn() const
{
    const pid_t pid = fork();
    if (pid == 0)
        run_child();
    return pid;
}

void launch_plan::run_child() const
{
    // First, so that whatever the child does next is inside the cgroup.
    if (cgroup_procs_fd >= 0 && write(cgroup_procs_fd, "0", 1) != 1) {
        const char *reason = strerrordesc_np(errno);
        write_text(STDERR_FILENO, "Err on joining the cgroup: ");
        write_text(STDERR_FILENO, reason ? reason : "Unknown error");
        write_text(STDERR_FILENO, "\n");
        _exit(exec_failed_status);
    }
    write_all(STDOUT_FILENO, out_text.constData(), static_cast<size_t>(out_text.size()));
    write_all(STDERR_FILENO, err_text.constData(), static_cast<size_t>(err_text.size()));

    // The application starts as if from a clean shell: default dispositions
    // first, so that unblocking cannot run one of the daemon's handlers.
    struct sigaction dfl {
    };
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    for (int sig = 1; sig < NSIG; ++sig)
        sigaction(sig, &dfl, nullptr); // fails harmlessly for SIGKILL, SIGSTOP, reserved ones
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);

    // Nothing of the daemon's beyond the standard streams: not the bus
    // connection, not a listing pipe a concurrent kill has open.
    if (syscall(SYS_close_range, 3U, ~0U, 0U) != 0) {
        for (int fd = 3; fd < fd_limit; ++fd)
            close(fd);
    }

    execve(exec_path.constData(), arg_pointers.data(), env_pointers.data());
    if (errno == ENOENT && !second_path.isEmpty())
        execve(second_path.constData(), arg_pointers.data(), env_pointers.data());

    // perror's text, without stdio: strerrordesc_np reads a static table.
    const int err = errno;
    const char *reason = strerrordesc_np(err);
    write_text(STDERR_FILENO, "Err on execv: ");
    write_text(STDERR_FILENO, reason ? reason : "Unknown error");
    write_text(STDERR_FILENO, "\n");
    _exit(exec_failed_status);
}
