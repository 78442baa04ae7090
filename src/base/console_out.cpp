#include "console_out.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QEvent>
#include <QString>
#include <QTimer>
#include <QtGlobal>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace console {

namespace {

using nowait::kind;
using nowait::target;

// Written once by setup(), before any other thread exists; read-only after.
target channels[2] = {{STDOUT_FILENO, kind::plain}, {STDERR_FILENO, kind::plain}};
bool any_shared = false;
// Serialises writes through a shared description with launches.
std::mutex shared_lock;

std::atomic<unsigned long> unreported[drop_causes];
constexpr std::chrono::seconds note_interval{1};
std::mutex note_lock;
std::chrono::steady_clock::time_point last_note; // under note_lock
std::atomic<bool> note_scheduled{false};

target own_channel(int fd)
{
    struct stat st {
    };
    if (fstat(fd, &st) != 0)
        return {fd, kind::plain};
    if (S_ISSOCK(st.st_mode))
        return {fd, kind::socket};
    if (!S_ISFIFO(st.st_mode) && !S_ISCHR(st.st_mode))
        return {fd, kind::plain};
    // Opening /proc/self/fd/N of a pipe, FIFO or terminal gives a new open
    // file description of the same file: O_NONBLOCK set on it is the
    // daemon's alone. Another user's pipe (EACCES), or a FIFO with no reader
    // (ENXIO), keeps the shared one.
    char path[32];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    const int own = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (own >= 0)
        return {own, kind::plain};
    any_shared = true;
    return {fd, kind::shared};
}

nowait::result write_line(const target &t, const char *data, size_t size)
{
    const int saved = errno;
    nowait::result r;
    if (t.how == kind::shared) {
        std::lock_guard<std::mutex> lock(shared_lock);
        r = nowait::write_now(t, data, size);
    } else {
        r = nowait::write_now(t, data, size);
    }
    errno = saved;
    return r;
}

const char *cause_text(int err)
{
    if (err == EAGAIN)
        return "nobody read them in time";
    return err == 0 ? "an unknown error" : std::strerror(err);
}

// "N lines of output dropped: CAUSE", or with each cause's share when
// there were several; the counts taken are zero after.
QByteArray take_note(unsigned long (&taken)[drop_causes])
{
    unsigned long total = 0;
    int causes = 0;
    for (int i = 0; i < drop_causes; ++i) {
        taken[i] = unreported[i].exchange(0);
        total += taken[i];
        causes += taken[i] != 0 ? 1 : 0;
    }
    if (total == 0)
        return {};
    QByteArray note =
        "lavrosk-daemon: " + QByteArray::number(qulonglong(total)) + " lines of output dropped: ";
    const char *separator = "";
    for (int i = 0; i < drop_causes; ++i) {
        if (taken[i] == 0)
            continue;
        note += separator;
        note += cause_text(i);
        if (causes > 1)
            note += " (" + QByteArray::number(qulonglong(taken[i])) + ")";
        separator = "; ";
    }
    return note + '\n';
}

void write_note()
{
    std::unique_lock<std::mutex> lock(note_lock, std::try_to_lock);
    if (!lock.owns_lock())
        return; // another thread is telling them
    last_note = std::chrono::steady_clock::now();
    unsigned long taken[drop_causes];
    const QByteArray note = take_note(taken);
    if (note.isEmpty())
        return;
    if (write_line(channels[1], note.constData(), static_cast<size_t>(note.size())).error != 0) {
        // Told when standard error takes lines again.
        for (int i = 0; i < drop_causes; ++i)
            unreported[i].fetch_add(taken[i]);
    }
}

bool drops_untold()
{
    for (const std::atomic<unsigned long> &n : unreported) {
        if (n.load(std::memory_order_relaxed) != 0)
            return true;
    }
    return false;
}

// Waits out the second on the event loop's thread, which every thread may
// post to.
class note_timer : public QObject
{
public:
    bool event(QEvent *e) override
    {
        if (e->type() != QEvent::User)
            return QObject::event(e);
        QTimer::singleShot(static_cast<int>(std::chrono::milliseconds(note_interval).count()), [] {
            note_scheduled.store(false);
            note_drops(); // a line may have told them meanwhile
        });
        return true;
    }
};
note_timer *timer_object = nullptr; // made on the event loop's thread, kept for good

void schedule_note()
{
    if (timer_object == nullptr || note_scheduled.exchange(true))
        return;
    QCoreApplication::postEvent(timer_object, new QEvent(QEvent::User));
}

void say(const target &t, const char *data, size_t size)
{
    const nowait::result r = write_line(t, data, size);
    if (r.error != 0)
        unreported[r.error > 0 && r.error < drop_causes ? r.error : 0].fetch_add(r.lost_lines);
    note_drops();
}

void say_formatted(const target &t, const char *format, va_list args)
{
    // Most lines fit on the stack; a longer one is made once on the heap.
    char line[512];
    va_list again;
    va_copy(again, args);
    const int size = std::vsnprintf(line, sizeof line, format, args);
    if (size < 0) {
        va_end(again);
        return;
    }
    if (static_cast<size_t>(size) < sizeof line) {
        say(t, line, static_cast<size_t>(size));
    } else {
        QByteArray long_line(size, '\0');
        std::vsnprintf(long_line.data(), static_cast<size_t>(size) + 1, format, again);
        say(t, long_line.constData(), static_cast<size_t>(size));
    }
    va_end(again);
}

void message_handler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const QByteArray line = qFormatLogMessage(type, context, message).toLocal8Bit() + '\n';
    say(channels[1], line.constData(), static_cast<size_t>(line.size()));
}

} // namespace

void setup()
{
    channels[0] = own_channel(STDOUT_FILENO);
    channels[1] = own_channel(STDERR_FILENO);
}

void out(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    say_formatted(channels[0], format, args);
    va_end(args);
}

void err(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    say_formatted(channels[1], format, args);
    va_end(args);
}

void err_errno(const char *what)
{
    const int saved = errno;
    err("%s: %s\n", what, std::strerror(saved));
    errno = saved;
}

void install_message_handler()
{
    timer_object = new note_timer;
    qInstallMessageHandler(message_handler);
}

nowait::target child_out()
{
    return channels[0];
}

nowait::target child_err()
{
    return channels[1];
}

std::unique_lock<std::mutex> hold_for_launch()
{
    return any_shared ? std::unique_lock<std::mutex>(shared_lock)
                      : std::unique_lock<std::mutex>(shared_lock, std::defer_lock);
}

std::atomic<unsigned long> *drop_counts()
{
    return unreported;
}

void note_drops()
{
    if (!drops_untold())
        return;
    std::chrono::steady_clock::duration since;
    {
        std::lock_guard<std::mutex> lock(note_lock);
        since = std::chrono::steady_clock::now() - last_note;
    }
    if (since >= note_interval)
        write_note();
    else
        schedule_note();
}

} // namespace console
