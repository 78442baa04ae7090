/* Builds a process tree for kill tests and benchmarks.
 *
 *   tree SHAPE N LOG [NAME [all|last]]
 *
 * SHAPE is "balanced" (each process has up to three children), "chain" (each
 * process the only child of the one before), "storm" (balanced, and every
 * process keeps forking short-lived children) or "daemon" (balanced, and every
 * fourth process leaves the tree as daemons do: its first process calls
 * setsid, forks and exits, so the member is reparented away from the tree). N is the number of processes,
 * the first being this one. Each process appends its pid to the file LOG once
 * it is in place, so a caller waits for N lines. Every process keeps LOG in
 * its command line, so all of them, storm children included, can be found in
 * /proc by it. NAME renames every process (all) or only the last one (last).
 *
 * Some processes sit in a process group or a session of their own, and some
 * ignore SIGTERM, as real applications do. A storm child that outlives its
 * parent stays (it would be an application's orphan), so it can be counted.
 * Every process ends by itself after a while, so a test that dies half-way
 * leaves nothing behind for long.
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

/* Seconds a process of the tree lives at most (SIGALRM ends it). */
enum { lifetime = 300 };

static void log_pid(const char *log)
{
    char line[32];
    int fd = open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    int n = snprintf(line, sizeof line, "%d\n", (int)getpid());
    if (write(fd, line, (size_t)n) != n)
        perror("tree: write");
    close(fd);
}

/* Short-lived children, for ever, one every 10 to 20 ms: each lives 1 to 5 ms
 * and ends, unless its parent is gone by then. */
static void storm(unsigned seed)
{
    const pid_t self = getpid();
    for (;;) {
        pid_t child = fork();
        if (child == 0) {
            alarm(lifetime);
            usleep(1000 + (unsigned)rand_r(&seed) % 4000);
            if (getppid() != self)
                for (;;)
                    pause();
            _exit(0);
        }
        while (waitpid(-1, NULL, WNOHANG) > 0) {
        }
        usleep(10000 + (unsigned)rand_r(&seed) % 10000);
    }
}

int main(int argc, char **argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: tree balanced|chain|storm|daemon N LOG [NAME [all|last]]\n");
        return 2;
    }
    const char *shape = argv[1];
    const int n = atoi(argv[2]);
    const char *log = argv[3];
    const char *name = argc >= 5 ? argv[4] : NULL;
    const int rename_all = argc < 6 || strcmp(argv[5], "last") != 0;
    const int chain = strcmp(shape, "chain") == 0;
    const int daemonize = strcmp(shape, "daemon") == 0;
    const int fanout = chain ? 1 : 3;

    /* Index of this process in the tree; its children are fanout*i+1 ... */
    int index = 0;
    for (int k = 1; k <= fanout; ++k) {
        const int child_index = fanout * index + k;
        if (child_index >= n)
            break;
        pid_t pid = fork();
        if (pid < 0) {
            perror("tree: fork");
            break;
        }
        if (pid == 0) {
            index = child_index;
            k = 0; /* now make this child's own children */
            if (daemonize && index % 4 == 3) {
                setsid();
                if (fork() != 0)
                    _exit(0); /* the middle process: the member lives on without it */
            }
        } else if (daemonize && child_index % 4 == 3) {
            waitpid(pid, NULL, 0);
        }
    }
    if (index % 3 == 1)
        setpgid(0, 0);
    else if (index % 5 == 3)
        setsid();
    if (index % 4 == 2)
        signal(SIGTERM, SIG_IGN);
    alarm(lifetime); /* not inherited: each process sets its own */
    if (name && (rename_all || index == n - 1))
        prctl(PR_SET_NAME, name, 0, 0, 0);
    log_pid(log);

    if (strcmp(shape, "storm") == 0)
        storm((unsigned)getpid());
    for (;;)
        pause();
}
