// The private system bus of the tests: dbus-daemon, or dbus-broker started the
// way a host without systemd as pid 1 can start it.
#include "harness.h"

#include <QDBusConnection>
#include <QDir>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

// dbus-broker's launcher refuses to run without a journal. This datagram
// socket takes its place: a thread drains it (a full socket would block the
// launcher) and keeps the messages, which say why a bus did not start.
class journal_sink
{
public:
    explicit journal_sink(const QString &path)
    {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        const QByteArray name = QFile::encodeName(path);
        if (size_t(name.size()) >= sizeof addr.sun_path) {
            qWarning("journal sink: path too long: %s", name.constData());
            return;
        }
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0 || pipe2(wake, O_CLOEXEC) != 0) {
            qWarning("journal sink: %s: %s", fd < 0 ? "socket" : "pipe2", std::strerror(errno));
            return;
        }
        std::memcpy(addr.sun_path, name.constData(), size_t(name.size()));
        if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
            qWarning("journal sink: bind %s: %s", name.constData(), std::strerror(errno));
            return;
        }
        drain = std::thread([this] { run(); });
    }
    ~journal_sink()
    {
        if (drain.joinable()) {
            const char byte = 0;
            if (write(wake[1], &byte, 1) != 1)
                qWarning("journal sink: write: %s", std::strerror(errno));
            drain.join();
        }
        for (int f : {fd, wake[0], wake[1]})
            if (f >= 0)
                close(f);
    }
    bool ok() const { return drain.joinable(); }
    QStringList messages()
    {
        std::lock_guard<std::mutex> hold(lock);
        return seen;
    }

private:
    void run()
    {
        QByteArray buffer(1 << 16, '\0');
        pollfd fds[2] = {{fd, POLLIN, 0}, {wake[0], POLLIN, 0}};
        for (;;) {
            if (poll(fds, 2, -1) < 0) {
                if (errno == EINTR)
                    continue;
                qWarning("journal sink: poll: %s", std::strerror(errno));
                return;
            }
            if (fds[1].revents)
                return;
            const ssize_t n = recv(fd, buffer.data(), size_t(buffer.size()), MSG_DONTWAIT);
            if (n <= 0)
                continue;
            // Journal fields, one per line; the MESSAGE is what a reader wants.
            for (const QByteArray &line : buffer.left(int(n)).split('\n'))
                if (line.startsWith("MESSAGE=")) {
                    std::lock_guard<std::mutex> hold(lock);
                    seen.append(QString::fromUtf8(line.mid(8)));
                }
        }
    }
    int fd = -1;
    int wake[2] = {-1, -1};
    std::thread drain;
    std::mutex lock;
    QStringList seen;
};

bus_kind test_bus_kind()
{
    return qgetenv("LAVROSK_TEST_BUS") == "broker" ? bus_kind::dbus_broker : bus_kind::dbus_daemon;
}

QString broker_missing()
{
    for (const char *program : {"dbus-broker-launch", "systemd-socket-activate", "unshare"})
        if (QStandardPaths::findExecutable(QString::fromLatin1(program)).isEmpty())
            return QStringLiteral("%1 is not installed").arg(QLatin1String(program));
    return QString();
}

private_bus::private_bus(const QString &config, bus_kind kind)
{
    const QString file = config.isEmpty() ? QStringLiteral(LAVROSK_BUS_CONF) : config;
    if (kind == bus_kind::dbus_broker)
        start_dbus_broker(file);
    else
        start_dbus_daemon(file);
    if (ok())
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", address.toUtf8());
}

private_bus::~private_bus()
{
    // The bus first: the launcher may log until it ends.
    process.stop();
}

void private_bus::start_dbus_daemon(const QString &config)
{
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start(QStringLiteral("dbus-daemon"),
                  {QStringLiteral("--config-file=") + config, QStringLiteral("--nofork"),
                   QStringLiteral("--print-address=1")});
    if (!process.waitForStarted(5000))
        return;
    if (!wait_until([&] { return process.canReadLine(); }, 5000))
        return;
    address = QString::fromUtf8(process.readLine()).trimmed();
}

// The launcher takes its listening socket from socket activation, reaches its
// own bus through DBUS_SYSTEM_BUS_ADDRESS, and logs to the journal socket: a
// private mount namespace puts the sink at that path, leaving the host's alone.
void private_bus::start_dbus_broker(const QString &config)
{
    const QString missing = broker_missing();
    if (!missing.isEmpty() || !dir.isValid() ||
        !QDir(dir.path()).mkpath(QStringLiteral("run/journal"))) {
        qWarning("dbus-broker: %s", qPrintable(missing.isEmpty() ? dir.errorString() : missing));
        return;
    }
    QFile::setPermissions(dir.path(), QFile::permissions(dir.path()) | QFileDevice::ExeOther |
                                          QFileDevice::ExeGroup);
    journal.reset(new journal_sink(dir.filePath(QStringLiteral("run/journal/socket"))));
    if (!journal->ok())
        return;
    const QString socket = dir.filePath(QStringLiteral("bus"));
    const QString bus_address = QStringLiteral("unix:path=") + socket;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.start(
        QStringLiteral("unshare"),
        {QStringLiteral("-m"), QStringLiteral("--propagation"), QStringLiteral("private"),
         QStringLiteral("sh"), QStringLiteral("-c"),
         QStringLiteral("mount --bind \"$0\" /run/systemd && exec systemd-socket-activate "
                        "-l \"$1\" -E DBUS_SYSTEM_BUS_ADDRESS=\"$2\" dbus-broker-launch "
                        "--scope system --config-file \"$3\""),
         dir.filePath(QStringLiteral("run")), socket, bus_address, config});
    if (!process.waitForStarted(5000))
        return;
    // The launcher starts on the first connection; ready once a client is
    // served. A bus that will not start (a bad config) never serves one.
    // Open to every user, as the system bus is: some tests run a daemon as nobody.
    const QFileDevice::Permissions everyone = QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                              QFileDevice::ReadGroup | QFileDevice::WriteGroup |
                                              QFileDevice::ReadOther | QFileDevice::WriteOther;
    const QString probe = QStringLiteral("lavrosk-bus-probe");
    const bool served = wait_until(
        [&] {
            const bool connected = QFile::setPermissions(socket, everyone) &&
                                   QDBusConnection::connectToBus(bus_address, probe).isConnected();
            QDBusConnection::disconnectFromBus(probe);
            return connected || process.state() == QProcess::NotRunning;
        },
        10000);
    if (served && process.state() == QProcess::Running) {
        address = bus_address;
        return;
    }
    qWarning("dbus-broker did not start: %s",
             qPrintable(journal->messages().join(QStringLiteral("; "))));
    process.stop();
}
