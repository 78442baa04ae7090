// Built without sanitizer instrumentation (see src/CMakeLists.txt): the child
// runs this code in the daemon's memory, where a sanitizer's bookkeeping would
// be a write to memory the daemon owns.
#include "child_launch.h"

#include "console_out.h"
#include "fd_limit.h"
#include "own_priority.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <mutex>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#ifdef __GLIBC__
// glibc's own name for clone, which no sanitizer wraps. ThreadSanitizer wraps
// clone as a fork and redoes its own bookkeeping in the child, which with
// CLONE_VM is the daemon's: it aborts there.
extern "C" int __clone(int (*fn)(void *), void *stack, int flags, void *arg, ...);
#define lavrosk_clone __clone
#else
#define lavrosk_clone clone
#endif

namespace {

// Room for the child's few small frames, with a wide margin.
constexpr size_t child_stack_size = 16 * 1024;

// The kernel's signal set is NSIG - 1 bits wide.
constexpr size_t kernel_sigset_size = (NSIG - 1) / 8;
const unsigned long all_signals[4] = {~0UL, ~0UL, ~0UL, ~0UL};
const unsigned long no_signals[4] = {};
// A kernel sigaction of all zeros is SIG_DFL with no flags and an empty mask,
// whatever the architecture's field order.
const unsigned long default_action[8] = {};
// SIG_IGN is 1, in the handler field, which comes first on the architectures
// served here (x86, arm, riscv; not mips or alpha).
const unsigned long ignore_action[8] = {reinterpret_cast<unsigned long>(SIG_IGN)};

QByteArray hidden_variable; // "NAME=", or empty

// What every launch shares, made once.
struct launch_context {
    std::vector<char *> env; // into environ, which nobody changes after start-up
    int fd_limit;
    const rlimit *given_fd_limit; // to restore in the application; or nullptr
    const int *given_nice;        // likewise
    nowait::target out;
    nowait::target err;
    // The system's text for each errno, for the child to report a failed exec
    // as perror would; empty where the C library has none.
    launch_plan::error_text error_texts[launch_plan::error_text_count];
};

launch_context make_context()
{
    launch_context c;
    for (char **entry = environ; *entry != nullptr; ++entry) {
        if (hidden_variable.isEmpty() ||
            std::strncmp(*entry, hidden_variable.constData(),
                         static_cast<size_t>(hidden_variable.size())) != 0)
            c.env.push_back(*entry);
    }
    c.env.push_back(nullptr);

    rlimit limit{};
    c.fd_limit = (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
                     ? static_cast<int>(limit.rlim_cur)
                     : 65536;
    c.given_fd_limit = fd_limit_to_restore();
    c.given_nice = nice_to_restore();
    c.out = console::child_out();
    c.err = console::child_err();

    for (int err = 0; err < launch_plan::error_text_count; ++err) {
        char buf[64];
        // GNU strerror_r: a static text, or buf for a number it does not know.
        const char *text = strerror_r(err, buf, sizeof buf);
        c.error_texts[err] = text == buf ? launch_plan::error_text{nullptr, 0}
                                         : launch_plan::error_text{text, std::strlen(text)};
    }
    return c;
}

const launch_context &context()
{
    static const launch_context c = make_context();
    return c;
}

// The child's system calls, all raw. The C library's wrappers of write,
// close, sigaction, sigprocmask and _exit are where sanitizers hook in. errno
// is the launching thread's (same memory, same thread pointer); that thread
// is suspended until the child has executed or ended, and spawn() restores it.
// A line the child could not write is counted with the daemon's own: a
// lock-free atomic add is one instruction on memory the child shares.
void say(const nowait::target &to, std::atomic<unsigned long> *drops, const char *data, size_t size)
{
    const nowait::result r = nowait::write_now(to, data, size);
    if (r.error != 0)
        drops[r.error < console::drop_causes ? r.error : 0].fetch_add(r.lost_lines,
                                                                      std::memory_order_relaxed);
}

// A line built in place, without the C library.
struct line_buffer {
    char text[256];
    size_t size = 0;

    // Leaves room for end_line().
    void add(const char *data, size_t n)
    {
        for (size_t i = 0; i < n && size < sizeof text - 1; ++i)
            text[size++] = data[i];
    }
    void end_line() { text[size++] = '\n'; }
    void add_number(int value)
    {
        char digits[12];
        size_t at = sizeof digits;
        unsigned v = value < 0 ? 0U - static_cast<unsigned>(value) : static_cast<unsigned>(value);
        do {
            digits[--at] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v != 0);
        if (value < 0)
            digits[--at] = '-';
        add(digits + at, sizeof digits - at);
    }
};

// Closes the descriptors from through last, where they exist.
void close_span(unsigned from, unsigned last, int fd_limit)
{
    if (from > last)
        return;
    bool closed = false;
#ifdef SYS_close_range
    closed = syscall(SYS_close_range, from, last, 0U) == 0;
#endif
    for (unsigned fd = from; !closed && fd <= last && fd < static_cast<unsigned>(fd_limit); ++fd)
        syscall(SYS_close, fd);
}

// Closes every descriptor from 3 up but keep_a and keep_b, the daemon's own
// descriptions of its standard streams: the child's lines go there until the
// exec, which closes them (close-on-exec).
void close_all_but(int keep_a, int keep_b, int fd_limit)
{
    const unsigned keep[2] = {static_cast<unsigned>(keep_a < keep_b ? keep_a : keep_b),
                              static_cast<unsigned>(keep_a < keep_b ? keep_b : keep_a)};
    unsigned from = 3;
    for (const unsigned fd : keep) {
        if (fd >= from) {
            close_span(from, fd - 1, fd_limit);
            from = fd + 1;
        }
    }
    close_span(from, ~0U, fd_limit);
}

int child_entry(void *plan)
{
    static_cast<const launch_plan *>(plan)->run_child();
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

    const launch_context &shared = context();
    child_path = exec_path.constData();
    child_argv = arg_pointers.data();
    child_envp = shared.env.data();
    child_out = out_text.constData();
    child_out_size = static_cast<size_t>(out_text.size());
    child_err = err_text.constData();
    child_err_size = static_cast<size_t>(err_text.size());
    child_error_texts = shared.error_texts;
    fd_limit = shared.fd_limit;
    given_fd_limit = shared.given_fd_limit;
    given_nice = shared.given_nice;
    out_to = shared.out;
    err_to = shared.err;
    drops = console::drop_counts();
}

void launch_plan::hide_variable(const char *name)
{
    hidden_variable = QByteArray(name) + '=';
}

pid_t launch_plan::spawn() const
{
    // The child's stack lies in this frame: this thread does not run again
    // until the child has executed or ended.
    alignas(16) char stack[child_stack_size];

    // No handler may run in a child that shares the daemon's memory: every
    // signal stays blocked from before the clone until the child has reset
    // the dispositions. Raw, so that the C library's own signals are blocked too.
    unsigned long saved_mask[4] = {};
    syscall(SYS_rt_sigprocmask, SIG_SETMASK, all_signals, saved_mask, kernel_sigset_size);
    const int saved_errno = errno;
    // Until the child has executed: it must not run the application with
    // O_NONBLOCK set by one of the daemon's lines on a shared description.
    std::unique_lock<std::mutex> launch_hold = console::hold_for_launch();

    pid_t pid = lavrosk_clone(child_entry, stack + sizeof stack, CLONE_VM | CLONE_VFORK | SIGCHLD,
                              const_cast<launch_plan *>(this));
    if (pid < 0 && (errno == ENOSYS || errno == EINVAL)) {
        // An emulator or sandbox that does not offer these flags: a plain
        // fork runs the same child, whose dropped lines then go uncounted
        // (its own copy of the counts).
        pid = fork();
        if (pid == 0)
            run_child();
    }

    const int result_errno = pid < 0 ? errno : saved_errno;
    if (launch_hold.owns_lock())
        launch_hold.unlock();
    syscall(SYS_rt_sigprocmask, SIG_SETMASK, saved_mask, nullptr, kernel_sigset_size);
    console::note_drops();
    errno = result_errno;
    return pid;
}

void launch_plan::run_child() const
{
    // First, so that whatever the child does next is inside the cgroup.
    if (cgroup_procs_fd >= 0 && syscall(SYS_write, cgroup_procs_fd, "0", 1) != 1) {
        constexpr char prefix[] = "Err on joining the cgroup: ";
        fail(prefix, sizeof prefix - 1, errno);
    }
    say(out_to, drops, child_out, child_out_size);
    say(err_to, drops, child_err, child_err_size);

    // The lines above may have left a SIGPIPE (reader gone) or a SIGXFSZ
    // (file at its size limit) pending, which would end the child once
    // unblocked: ignoring a pending signal discards it. Only the child's own.
    for (const int sig : {SIGPIPE, SIGXFSZ})
        syscall(SYS_rt_sigaction, sig, ignore_action, nullptr, kernel_sigset_size);
    // The application starts as if from a clean shell: default dispositions
    // first, so that unblocking cannot run one of the daemon's handlers.
    for (int sig = 1; sig < NSIG; ++sig)
        syscall(SYS_rt_sigaction, sig, default_action, nullptr, kernel_sigset_size);
    syscall(SYS_rt_sigprocmask, SIG_SETMASK, no_signals, nullptr, kernel_sigset_size);

    // Nothing of the daemon's beyond the standard streams: not the bus
    // connection, not a listing pipe a concurrent kill has open.
    close_all_but(out_to.fd, err_to.fd, fd_limit);
    // The descriptor limit and the priority the daemon was given, not the
    // ones it raised for itself.
    if (given_fd_limit != nullptr)
        syscall(SYS_prlimit64, 0, RLIMIT_NOFILE, given_fd_limit, nullptr);
    if (given_nice != nullptr)
        syscall(SYS_setpriority, PRIO_PROCESS, 0, *given_nice);

    syscall(SYS_execve, child_path, child_argv, child_envp);
    if (errno == ENOENT && child_second_path != nullptr)
        syscall(SYS_execve, child_second_path, child_argv, child_envp);

    constexpr char prefix[] = "Err on execv: ";
    fail(prefix, sizeof prefix - 1, errno);
}

// perror's text, from the table made before the launch, in one write, then
// the end.
void launch_plan::fail(const char *prefix, size_t prefix_size, int err) const
{
    // Signals are at their defaults by now: a SIGPIPE or SIGXFSZ from this
    // line would turn a failed exec into a death by signal, relaunched.
    syscall(SYS_rt_sigprocmask, SIG_SETMASK, all_signals, nullptr, kernel_sigset_size);
    line_buffer line;
    line.add(prefix, prefix_size);
    const error_text reason =
        err >= 0 && err < error_text_count ? child_error_texts[err] : error_text{nullptr, 0};
    if (reason.text != nullptr) {
        line.add(reason.text, reason.size);
    } else {
        constexpr char unknown[] = "Unknown error ";
        line.add(unknown, sizeof unknown - 1);
        line.add_number(err);
    }
    line.end_line();
    say(err_to, drops, line.text, line.size);
    for (;;)
        syscall(SYS_exit_group, exec_failed_status);
}
