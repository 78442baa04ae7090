#include "console_out.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace console {

namespace {

struct channel {
    int fd;
    bool socket; // sent with send(): a socket's description may be shared
};

// Written once by setup(), before any other thread exists; read-only after.
channel channels[2] = {{STDOUT_FILENO, false}, {STDERR_FILENO, false}};
std::atomic<unsigned long> dropped_lines{0};
std::atomic<unsigned long> unreported_drops{0};

// Opening /proc/self/fd/N of a pipe, FIFO or terminal gives a new open file
// description of the same file: O_NONBLOCK set on it is the daemon's alone.
channel own_channel(int fd, const char *name)
{
    struct stat st {
    };
    if (fstat(fd, &st) != 0)
        return {fd, false};
    if (S_ISSOCK(st.st_mode))
        return {fd, true};
    // A regular file never blocks a writer.
    if (!S_ISFIFO(st.st_mode) && !S_ISCHR(st.st_mode))
        return {fd, false};
    char path[32];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    const int own = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (own < 0) {
        // A pipe with no reader left (ENXIO) fails writes at once anyway.
        std::fprintf(stderr, "lavrosk-daemon: open %s for %s: %s\n", path, name,
                     std::strerror(errno));
        return {fd, false};
    }
    return {own, false};
}

// One write, never waiting: true when all of it went out.
bool write_now(const channel &c, const char *data, size_t size)
{
    ssize_t n;
    do {
        n = c.socket ? send(c.fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL)
                     : write(c.fd, data, size);
    } while (n < 0 && errno == EINTR);
    if (n == static_cast<ssize_t>(size))
        return true;
    // A line cut short (longer than the pipe's room) still ends its line, so
    // that the next one is not glued to it.
    if (n > 0 && data[size - 1] == '\n')
        (void)write_now(c, "\n", 1);
    return false;
}

// Says how many lines were lost, once standard error takes lines again.
void report_drops()
{
    const unsigned long n = unreported_drops.exchange(0);
    if (n == 0)
        return;
    char note[120];
    const int size = std::snprintf(note, sizeof note,
                                   "lavrosk-daemon: %lu lines of output dropped: nobody read "
                                   "them in time\n",
                                   n);
    if (!write_now(channels[1], note, static_cast<size_t>(size)))
        unreported_drops.fetch_add(n);
}

void say(const channel &c, const char *data, size_t size)
{
    if (!write_now(c, data, size)) {
        dropped_lines.fetch_add(1);
        unreported_drops.fetch_add(1);
        return;
    }
    report_drops();
}

void say_formatted(const channel &c, const char *format, va_list args)
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
        say(c, line, static_cast<size_t>(size));
    } else {
        QByteArray long_line(size, '\0');
        std::vsnprintf(long_line.data(), static_cast<size_t>(size) + 1, format, again);
        say(c, long_line.constData(), static_cast<size_t>(size));
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
    channels[0] = own_channel(STDOUT_FILENO, "standard output");
    channels[1] = own_channel(STDERR_FILENO, "standard error");
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
    qInstallMessageHandler(message_handler);
}

int child_out_fd()
{
    return channels[0].fd;
}

int child_err_fd()
{
    return channels[1].fd;
}

unsigned long dropped()
{
    return dropped_lines.load();
}

} // namespace console
