#include "own_priority.h"

#include <QDebug>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Enough to be served before a crowd of ordinary processes, well short of
// the kill thread's real-time priority. Nice is per thread on Linux.
constexpr int raise_steps = 10;

int given = 0;
bool raised = false;

id_t this_thread()
{
    return static_cast<id_t>(syscall(SYS_gettid));
}

} // namespace

void raise_own_priority()
{
    errno = 0;
    given = getpriority(PRIO_PROCESS, this_thread());
    if (errno != 0) {
        qDebug() << "getpriority:" << std::strerror(errno);
        return;
    }
    const int wanted = std::max(given - raise_steps, -20);
    if (wanted == given)
        return;
    // Refused without CAP_SYS_NICE (or a high enough RLIMIT_NICE): the
    // daemon then runs as it was started.
    if (setpriority(PRIO_PROCESS, this_thread(), wanted) != 0) {
        qDebug() << "own priority not raised:" << std::strerror(errno);
        return;
    }
    raised = true;
}

const int *nice_to_restore()
{
    return raised ? &given : nullptr;
}

given_priority::given_priority()
{
    if (!raised)
        return;
    errno = 0;
    own = getpriority(PRIO_PROCESS, this_thread());
    lowered = errno == 0 && own != given && setpriority(PRIO_PROCESS, this_thread(), given) == 0;
}

given_priority::~given_priority()
{
    if (lowered && setpriority(PRIO_PROCESS, this_thread(), own) != 0)
        qDebug() << "setpriority:" << std::strerror(errno);
}

int kill_priority::start_thread(void *(*run)(void *), void *arg)
{
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    cpu_set_t cpus;
    const int here = sched_getcpu();
    if (here >= 0 && pthread_getaffinity_np(pthread_self(), sizeof cpus, &cpus) == 0 &&
        CPU_ISSET(here, &cpus) && CPU_COUNT(&cpus) > 1) {
        CPU_CLR(here, &cpus);
        pthread_attr_setaffinity_np(&attributes, sizeof cpus, &cpus);
    }
    sched_param param{};
    param.sched_priority = sched_get_priority_min(SCHED_FIFO);
    pthread_attr_setinheritsched(&attributes, PTHREAD_EXPLICIT_SCHED);
    pthread_attr_setschedpolicy(&attributes, SCHED_FIFO);
    pthread_attr_setschedparam(&attributes, &param);
    pthread_t thread;
    int err = pthread_create(&thread, &attributes, run, arg);
    if (err == EPERM) {
        // Without the right to it: the thread sets nice -20 on itself instead.
        pthread_attr_setinheritsched(&attributes, PTHREAD_INHERIT_SCHED);
        err = pthread_create(&thread, &attributes, run, arg);
    }
    pthread_attr_destroy(&attributes);
    return err;
}

void kill_priority::raise()
{
    if (raised)
        return;
    // The lowest real-time priority: above every ordinary process, however
    // many a storm has made, and only while the freeze lasts (the kernel
    // keeps a share of each second for ordinary processes even so).
    // The usual one is the main thread's: this thread may have been made
    // at the raised one already.
    old_policy = sched_getscheduler(getpid());
    if (old_policy >= 0 && sched_getparam(getpid(), &old_param) == 0) {
        sched_param param{};
        param.sched_priority = sched_get_priority_min(SCHED_FIFO);
        if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0) {
            raised = true;
            return;
        }
    }
    // Without the right to it: nice -20 (the highest priority of an ordinary
    // thread) for this thread alone.
    tid = static_cast<int>(syscall(SYS_gettid));
    errno = 0;
    old_nice = getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
    if (errno != 0) {
        qDebug() << "getpriority:" << std::strerror(errno);
        return;
    }
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(tid), -20) != 0) {
        qDebug() << "setpriority:" << std::strerror(errno) << "; freezing at the usual priority";
        return;
    }
    niced = true;
}

void kill_priority::restore()
{
    if (raised) {
        raised = false;
        const int err = pthread_setschedparam(pthread_self(), old_policy, &old_param);
        if (err != 0)
            qDebug() << "pthread_setschedparam:" << std::strerror(err);
    }
    if (niced) {
        niced = false;
        if (setpriority(PRIO_PROCESS, static_cast<id_t>(tid), old_nice) != 0)
            qDebug() << "setpriority:" << std::strerror(errno);
    }
}
