#include "daemon_status.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCall>
#include <QFile>
#include <QJsonArray>
#include <QJsonValue>

#include <algorithm>
#include <time.h>

namespace {

const QString bus_service = QStringLiteral("org.freedesktop.DBus");
// Below the bus's limit of 128 calls of one connection awaiting a reply.
constexpr int calls_in_flight = 100;
constexpr int answer_timeout_ms = 5000;

// Sends make(i) for each i, at most calls_in_flight awaiting a reply at once,
// and hands each reply to take(i, reply).
template <typename Make, typename Take>
void call_all(QDBusConnection bus, int count, Make make, Take take)
{
    for (int first = 0; first < count; first += calls_in_flight) {
        const int end = std::min(count, first + calls_in_flight);
        QList<QDBusPendingCall> pending;
        for (int i = first; i < end; ++i)
            pending.append(bus.asyncCall(make(i), answer_timeout_ms));
        for (int i = first; i < end; ++i) {
            QDBusPendingCall &call = pending[i - first];
            call.waitForFinished();
            take(i, call.reply());
        }
    }
}

// The platform of a lavrosk-daemon process, from its command line; empty
// for any other process.
QString daemon_platform(uint pid)
{
    QFile file(QStringLiteral("/proc/%1/cmdline").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    const QList<QByteArray> words = file.readAll().split('\0');
    if (words.size() < 3 || !words.first().endsWith("lavrosk-daemon"))
        return QString();
    const QByteArray &program = words.first();
    if (program.size() > 14 && program.at(program.size() - 15) != '/')
        return QString();
    return QString::fromLatin1(words.at(1)); // as the daemon reads it
}

QJsonValue json_of(const QVariant &value)
{
    if (value.userType() == qMetaTypeId<QDBusArgument>())
        return QJsonValue::fromVariant(qdbus_cast<QVariantMap>(value));
    return QJsonValue::fromVariant(value);
}

QJsonObject json_map(const QVariantMap &map)
{
    QJsonObject object;
    for (auto it = map.begin(); it != map.end(); ++it)
        object.insert(it.key(), json_of(it.value()));
    return object;
}

QString duration(quint64 from_usec, quint64 now_usec)
{
    if (from_usec == 0 || now_usec < from_usec)
        return QStringLiteral("-");
    quint64 s = (now_usec - from_usec) / 1000000u;
    if (s < 60)
        return QStringLiteral("%1s").arg(s);
    if (s < 3600)
        return QStringLiteral("%1m%2s").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
    if (s < 86400)
        return QStringLiteral("%1h%2m").arg(s / 3600).arg(s / 60 % 60, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1d%2h").arg(s / 86400).arg(s / 3600 % 24);
}

QString memory_text(const QVariantMap &app)
{
    if (!app.contains(QStringLiteral("memory_bytes")))
        return QStringLiteral("-");
    const double mib = app.value(QStringLiteral("memory_bytes")).toULongLong() / 1048576.0;
    return QStringLiteral("%1M").arg(mib, 0, 'f', 1);
}

QStringList aligned(const QList<QStringList> &rows)
{
    QVector<int> widths;
    for (const QStringList &row : rows)
        for (int i = 0; i < row.size(); ++i) {
            if (widths.size() <= i)
                widths.append(0);
            widths[i] = std::max(widths[i], row.at(i).size());
        }
    QStringList lines;
    for (const QStringList &row : rows) {
        QString line;
        for (int i = 0; i < row.size(); ++i)
            line += i + 1 < row.size() ? row.at(i).leftJustified(widths[i] + 2) : row.at(i);
        lines.append(line);
    }
    return lines;
}

} // namespace

quint64 wall_clock_usec()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<quint64>(now.tv_sec) * 1000000u + static_cast<quint64>(now.tv_nsec) / 1000u;
}

QList<daemon_answer> ask_daemons(QDBusConnection bus, const QStringList &platforms)
{
    qDBusRegisterMetaType<QList<QVariantMap>>();
    QStringList names;
    for (const QString &name : bus.interface()->registeredServiceNames().value())
        if (name.startsWith(QLatin1Char(':')) && name != bus.baseService())
            names.append(name);

    QList<daemon_answer> found;
    call_all(
        bus, names.size(),
        [&](int i) {
            QDBusMessage call = QDBusMessage::createMethodCall(
                bus_service, QStringLiteral("/org/freedesktop/DBus"), bus_service,
                QStringLiteral("GetConnectionUnixProcessID"));
            call << names.at(i);
            return call;
        },
        [&](int i, const QDBusMessage &reply) {
            if (reply.type() != QDBusMessage::ReplyMessage)
                return; // gone since the list was made
            const QString platform = daemon_platform(reply.arguments().value(0).toUInt());
            if (platform.isEmpty() || (!platforms.isEmpty() && !platforms.contains(platform)))
                return;
            found.append(daemon_answer{names.at(i), platform, QString(), {}, {}});
        });

    call_all(
        bus, found.size(),
        [&](int i) {
            return QDBusMessage::createMethodCall(
                found.at(i).bus_name, QStringLiteral("/com/quorl/runtime/daemon"),
                QStringLiteral("com.quorl.runtime.daemon"), QStringLiteral("status"));
        },
        [&](int i, const QDBusMessage &reply) {
            daemon_answer &answer = found[i];
            if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 2) {
                answer.error = reply.errorMessage().isEmpty() ? QStringLiteral("no answer")
                                                              : reply.errorMessage();
                return;
            }
            answer.daemon = qdbus_cast<QVariantMap>(reply.arguments().at(0));
            answer.applications = qdbus_cast<QList<QVariantMap>>(reply.arguments().at(1));
        });
    std::stable_sort(
        found.begin(), found.end(),
        [](const daemon_answer &a, const daemon_answer &b) { return a.platform < b.platform; });
    return found;
}

QJsonObject answer_json(const daemon_answer &answer)
{
    QJsonObject object{{QStringLiteral("bus_name"), answer.bus_name}};
    if (!answer.error.isEmpty()) {
        object.insert(QStringLiteral("platform"), answer.platform);
        object.insert(QStringLiteral("error"), answer.error);
        return object;
    }
    QJsonArray applications;
    for (const QVariantMap &app : answer.applications)
        applications.append(json_map(app));
    object.insert(QStringLiteral("daemon"), json_map(answer.daemon));
    object.insert(QStringLiteral("applications"), applications);
    return object;
}

QStringList status_table(const QList<daemon_answer> &answers, quint64 now_usec)
{
    bool memory = false;
    for (const daemon_answer &answer : answers)
        memory |= !answer.daemon.value(QStringLiteral("cgroup_root")).toString().isEmpty();
    QStringList title{QStringLiteral("PLATFORM"), QStringLiteral("DAEMON"),
                      QStringLiteral("UP"),       QStringLiteral("APP"),
                      QStringLiteral("PID"),      QStringLiteral("STATE"),
                      QStringLiteral("UP"),       QStringLiteral("LAUNCHES"),
                      QStringLiteral("LAST END"), QStringLiteral("TASKS")};
    if (memory)
        title.append(QStringLiteral("MEMORY"));
    QList<QStringList> rows{title};
    for (const daemon_answer &answer : answers) {
        const QVariantMap &d = answer.daemon;
        const QStringList head{
            answer.platform,
            answer.error.isEmpty() ? d.value(QStringLiteral("pid")).toString() : answer.bus_name,
            duration(d.value(QStringLiteral("started_usec")).toULongLong(), now_usec)};
        if (!answer.error.isEmpty()) {
            rows.append(head + QStringList{QStringLiteral("(no answer: %1)").arg(answer.error)});
            continue;
        }
        if (answer.applications.isEmpty())
            rows.append(head + QStringList{QStringLiteral("-")});
        for (const QVariantMap &app : answer.applications) {
            const QString last_end = app.value(QStringLiteral("last_end")).toString();
            QStringList row = head;
            row << app.value(QStringLiteral("name")).toString()
                << app.value(QStringLiteral("pid")).toString()
                << app.value(QStringLiteral("state")).toString()
                << duration(app.value(QStringLiteral("since_usec")).toULongLong(), now_usec)
                << app.value(QStringLiteral("launches")).toString()
                << (last_end.isEmpty() ? QStringLiteral("-") : last_end)
                << app.value(QStringLiteral("tasks")).toString();
            if (memory)
                row << memory_text(app);
            rows.append(row);
        }
    }
    return aligned(rows);
}
