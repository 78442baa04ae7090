#include "own_priority.h"

#include <QDebug>

#include <algorithm>
#include <cerrno>
#include <cstring>
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
