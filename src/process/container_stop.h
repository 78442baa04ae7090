// What a container's first process owes its applications (no bus here).
//
// The kernel drops every signal that the first process of a pid namespace
// has no handler for, and kills every process of the namespace when that
// process ends. So as pid 1 the daemon takes SIGTERM, SIGINT and SIGHUP as an
// orderly stop, and ends no way without ending its applications first, each
// reported as usual. Anywhere else none of this is armed.
#pragma once

#include <QObject>

#include <functional>
#include <sys/types.h>
#include <vector>

class QTimer;

class container_stop : public QObject
{
public:
    // Whether this process is the first of a pid namespace. If so, blocks
    // the stop signals in the calling thread, so that every thread made
    // afterwards has them blocked and they wait for the main thread's event
    // loop. Call on the main thread before any other thread exists.
    static bool prepare();
    // Whether a stop has begun: nothing is launched or relaunched any more.
    // Callable from any thread.
    static bool stopping();
    // The one instance once armed, or nullptr (not pid 1).
    static container_stop *instance();

    struct hooks {
        std::function<void(pid_t)> kill_tree; // queue the kill of one application
        std::function<bool()> all_reported;   // every application's end reported
        std::function<void()> flush;          // reports queued so far reach the bus
    };
    // Arms the stop on the main thread's event loop, after prepare() was true.
    container_stop(hooks daemon, QObject *parent);

    // SIGTERM to every application, then a kill of what remains once the
    // grace (LAVROSK_STOP_TIMEOUT seconds) is over; reported shows whether
    // the reports can still be delivered. Ends the process with status.
    void stop_in_order(int status, bool reported);
    // Kills every application at once, then ends with status once their ends
    // are reported.
    void stop_now(int status);

private:
    void on_signal();
    void begin(int status, bool reported);
    void kill_remaining();
    void check_done();

    hooks daemon;
    int exit_status = 0;
    bool deliver = true;
    bool killing = false;
    QTimer *grace = nullptr;
    QTimer *poll = nullptr;
    QTimer *last_resort = nullptr;
};

// The applications' roots: the children of every thread of this process but
// the main one, which holds only orphans. Exposed for the tests.
std::vector<pid_t> application_roots();
// Seconds of grace from the text of LAVROSK_STOP_TIMEOUT: a decimal number
// of seconds, or the default for anything else (empty, negative, not a number).
int stop_timeout_seconds(const char *text);
