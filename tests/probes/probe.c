/* A tiny application for the daemon to supervise in tests and benchmarks.
 * Every mode first appends a "launch" line to $PROBE_LOG (when set) with its
 * pid and the monotonic time, so tests count launches from outside; the
 * signal mode adds a "raise" line right before it raises the signal.
 *
 *   probe exit N                 exit with status N
 *   probe signal SIG N STATE [SECONDS]
 *                                die by SIG on the first N launches (counted in
 *                                the file STATE), then exit 0 (after SECONDS)
 *   probe argv FILE              write argc, each argv[i], the open fds, the
 *                                signal state, whether standard output is
 *                                non-blocking and the environment to FILE,
 *                                then exit 0
 *   probe wait FILE [SECONDS]    exit 0 once FILE exists (at most SECONDS, 60)
 *   probe gate-signal FILE SIG N STATE [SECONDS]
 *                                wait for FILE, then behave as "signal"
 *   probe traced FILE            trace itself (PTRACE_TRACEME), take the
 *                                SIGCHLD of a child and a SIGUSR1 of its own,
 *                                log "ready", wait for FILE, then execute
 *                                itself as "exit 0"
 *   probe vfork-stop             vfork a child that stops itself before it
 *                                executes anything: the parent waits in the
 *                                kernel for good, and never shows stopped
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double now(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

/* One line "EVENT PID TIME MODE [ARG]" in $PROBE_LOG, ARG being the mode's
 * first argument; the time is taken first. */
static void log_event(const char *event, const char *mode, const char *arg)
{
    const double t = now();
    const char *path = getenv("PROBE_LOG");
    if (!path)
        return;
    FILE *f = fopen(path, "a");
    if (!f)
        return;
    fprintf(f, "%s %d %.9f %s %s\n", event, (int)getpid(), t, mode, arg ? arg : "");
    fclose(f);
}

static volatile sig_atomic_t got_usr1;

static void on_usr1(int sig)
{
    (void)sig;
    got_usr1 = 1;
}

static void wait_for_file(const char *path, double seconds)
{
    const double limit = now() + seconds;
    while (access(path, F_OK) != 0 && now() < limit)
        usleep(2000);
}

/* Each signal stops it for its tracer, the daemon, which must let it go on
 * with that signal; so must the trap of the exec at the end. */
static int traced(char **argv)
{
    if (ptrace(PTRACE_TRACEME, 0, NULL, NULL) != 0)
        return 3;
    if (fork() == 0)
        _exit(0);
    wait(NULL);
    signal(SIGUSR1, on_usr1);
    raise(SIGUSR1);
    if (!got_usr1)
        return 4;
    log_event("ready", "traced", argv[2]);
    wait_for_file(argv[2], 60.0);
    execl("/proc/self/exe", argv[0], "exit", "0", (char *)NULL);
    return 5;
}

static int bump_counter(const char *path)
{
    int n = 0;
    FILE *f = fopen(path, "r");
    if (f) {
        if (fscanf(f, "%d", &n) != 1)
            n = 0;
        fclose(f);
    }
    f = fopen(path, "w");
    if (f) {
        fprintf(f, "%d\n", n + 1);
        fclose(f);
    }
    return n;
}

static int write_argv(const char *path, int argc, char **argv)
{
    FILE *f = fopen(path, "w");
    if (!f)
        return 1;
    fprintf(f, "argc %d\n", argc);
    /* Each argument as hex, so blanks, "~" and any byte survive the trip. */
    for (int i = 0; i < argc; ++i) {
        fprintf(f, "arg ");
        for (const unsigned char *p = (const unsigned char *)argv[i]; *p; ++p)
            fprintf(f, "%02x", *p);
        fprintf(f, "\n");
    }
    DIR *d = opendir("/proc/self/fd");
    int own = d ? dirfd(d) : -1;
    struct dirent *e;
    while (d && (e = readdir(d))) {
        if (e->d_name[0] == '.' || atoi(e->d_name) == own || atoi(e->d_name) == fileno(f))
            continue;
        fprintf(f, "fd %s\n", e->d_name);
    }
    if (d)
        closedir(d);
    sigset_t mask;
    sigprocmask(SIG_SETMASK, NULL, &mask);
    int blocked = 0, handled = 0;
    for (int sig = 1; sig < NSIG; ++sig) {
        struct sigaction sa;
        if (sigismember(&mask, sig) == 1)
            ++blocked;
        if (sigaction(sig, NULL, &sa) == 0 && sa.sa_handler != SIG_DFL)
            ++handled;
    }
    fprintf(f, "blocked %d\nhandled %d\n", blocked, handled);
    /* Standard output as the application writes to it: blocking or not. */
    const int flags = fcntl(STDOUT_FILENO, F_GETFL);
    fprintf(f, "stdout-nonblock %d\n", flags >= 0 && (flags & O_NONBLOCK) ? 1 : 0);
    extern char **environ;
    for (char **e = environ; *e; ++e)
        fprintf(f, "env %s\n", *e);
    fclose(f);
    return 0;
}

int main(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    const char *mode = argv[1];
    log_event("launch", mode, argv[2]);
    if (!strcmp(mode, "exit") && argc >= 3)
        return atoi(argv[2]);
    if (!strcmp(mode, "gate-signal") && argc >= 6) {
        wait_for_file(argv[2], 60.0);
        mode = "signal";
        argv += 1;
        argc -= 1;
    }
    if (!strcmp(mode, "signal") && argc >= 5) {
        if (bump_counter(argv[4]) < atoi(argv[3])) {
            struct rlimit none = {0, 0};
            setrlimit(RLIMIT_CORE, &none);
            signal(atoi(argv[2]), SIG_DFL);
            log_event("raise", mode, NULL);
            raise(atoi(argv[2]));
            pause();
        }
        if (argc >= 6)
            sleep((unsigned)atoi(argv[5]));
        return 0;
    }
    if (!strcmp(mode, "traced") && argc >= 3)
        return traced(argv);
    if (!strcmp(mode, "argv") && argc >= 3)
        return write_argv(argv[2], argc, argv);
    if (!strcmp(mode, "vfork-stop")) {
        /* Raw system calls only: the child shares the parent's memory. */
        if (vfork() == 0) {
            syscall(SYS_kill, syscall(SYS_getpid), SIGSTOP);
            _exit(0);
        }
        return 0;
    }
    if (!strcmp(mode, "wait") && argc >= 3) {
        wait_for_file(argv[2], argc >= 4 ? atof(argv[3]) : 60.0);
        return 0;
    }
    return 2;
}
