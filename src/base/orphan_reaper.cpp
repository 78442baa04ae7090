#include "orphan_reaper.h"

#include <QCoreApplication>
#include <QDebug>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

int sigchld_fd = -1;

// Every ended child of this thread, whatever its kind (__WALL): reparented
// orphans may have been made by clone with another exit signal.
void reap_ended_children()
{
    for (;;) {
        const pid_t pid = waitpid(-1, nullptr, WNOHANG | __WALL | __WNOTHREAD);
        if (pid > 0)
            continue;
        if (pid < 0 && errno == EINTR)
            continue;
        if (pid < 0 && errno != ECHILD)
            qDebug() << "waitpid:" << std::strerror(errno);
        return;
    }
}

// Empties the descriptor: pending SIGCHLDs merge into one, so each wake-up
// reaps all that has ended rather than one child per signal.
void on_sigchld()
{
    signalfd_siginfo info[16];
    while (read(sigchld_fd, info, sizeof info) > 0) {
    }
    if (errno != EAGAIN)
        qDebug() << "read signalfd:" << std::strerror(errno);
    reap_ended_children();
}

} // namespace

bool prepare_orphan_reaping()
{
    int subreaper = 0;
    if (getpid() != 1) {
        if (prctl(PR_GET_CHILD_SUBREAPER, &subreaper) != 0) {
            qDebug() << "prctl(PR_GET_CHILD_SUBREAPER):" << std::strerror(errno);
            return false;
        }
        if (!subreaper)
            return false;
    }
    sigset_t sigchld;
    sigemptyset(&sigchld);
    sigaddset(&sigchld, SIGCHLD);
    const int err = pthread_sigmask(SIG_BLOCK, &sigchld, nullptr);
    if (err != 0) {
        qDebug() << "pthread_sigmask:" << std::strerror(err) << "; orphans are not reaped";
        return false;
    }
    sigchld_fd = signalfd(-1, &sigchld, SFD_NONBLOCK | SFD_CLOEXEC);
    if (sigchld_fd < 0) {
        qDebug() << "signalfd:" << std::strerror(errno) << "; orphans are not reaped";
        pthread_sigmask(SIG_UNBLOCK, &sigchld, nullptr);
        return false;
    }
    return true;
}

void start_orphan_reaper()
{
    auto *notifier =
        new QSocketNotifier(sigchld_fd, QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, [] { on_sigchld(); });
    // Orphans that ended before the notifier was in place.
    reap_ended_children();
}
