#include "runtime_sim.h"

#include "call_format.h"
#include "runtime_adaptor.h"
#include "runtime_bus.h"
#include "typed_payload.h"

#include <QDBusMessage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>

#include <cstdio>
#include <iterator>

runtime_sim::runtime_sim(options opts)
    : opts(opts), bus(QStringLiteral("unattached")), origin(monotonic_seconds()),
      adaptor(new RuntimeAdaptor(this))
{
}

bool runtime_sim::attach(QDBusConnection bus, QString *error)
{
    this->bus = bus;
    // One rule for every name on the bus, not one per daemon: a bus takes
    // only so many match rules from one connection.
    bus.connect(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameOwnerChanged"), this,
                SLOT(name_owner_changed(QString, QString, QString)));
    if (!bus.registerObject(QString::fromLatin1(runtime::path), this)) {
        *error = QStringLiteral("cannot register %1: %2")
                     .arg(QLatin1String(runtime::path), bus.lastError().message());
        return false;
    }
    auto *control = new sim_control(this);
    if (!bus.registerObject(QString::fromLatin1(sim_control_path), control,
                            QDBusConnection::ExportScriptableSlots)) {
        *error =
            QStringLiteral("cannot register the control object: %1").arg(bus.lastError().message());
        return false;
    }
    return true;
}

void runtime_sim::print(QJsonObject record)
{
    if (!record.contains(QStringLiteral("t")))
        record.insert(QStringLiteral("t"), monotonic_seconds());
    const QByteArray json = QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n';
    const QByteArray line =
        opts.json ? json : human_line(record, human_style{origin, opts.color}).toUtf8() + '\n';
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stdout);
    std::fflush(stdout);
    if (opts.record) {
        std::fwrite(json.constData(), 1, static_cast<size_t>(json.size()), opts.record);
        std::fflush(opts.record);
    }
}

void runtime_sim::print_header()
{
    if (opts.json)
        return;
    const QByteArray line = human_header(human_style{origin, opts.color}).toUtf8() + '\n';
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stdout);
    std::fflush(stdout);
}

void runtime_sim::record_call(const char *method, const QVariantList &payload)
{
    const double t = monotonic_seconds();
    if (!opts.reply)
        setDelayedReply(true); // and never send it
    QJsonObject record{{QStringLiteral("t"), t},
                       {QStringLiteral("method"), QString::fromLatin1(method)},
                       {QStringLiteral("args"), QJsonArray{decode_argument(payload)}}};
    if (calledFromDBus())
        record.insert(QStringLiteral("sender"), message().service());
    print(record);
}

void runtime_sim::daemon_ready(const QVariantList &p)
{
    record_call(runtime::daemon_ready, p);
    if (calledFromDBus()) {
        QStringList &names = announced[p.value(0).toString()];
        if (!names.contains(message().service()))
            names.append(message().service());
    }
    if (!opts.on_ready.isEmpty())
        handle_line(opts.on_ready);
}
void runtime_sim::set_platform_app_status(const QVariantList &p)
{
    record_call(runtime::set_platform_app_status, p);
}
void runtime_sim::set_app_status(const QVariantList &p)
{
    record_call(runtime::set_app_status, p);
}
void runtime_sim::send_to_client_app_platform_status_slot(const QVariantList &p)
{
    record_call(runtime::send_to_client_app_platform_status_slot, p);
}
void runtime_sim::show_daemon_log(const QVariantList &p)
{
    record_call(runtime::show_daemon_log, p);
}

void runtime_sim::name_owner_changed(const QString &name, const QString &, const QString &new_owner)
{
    // A daemon that has gone can no longer be addressed; a new one of the same
    // platform announces itself again.
    if (!new_owner.isEmpty() || !name.startsWith(QLatin1Char(':')))
        return;
    for (auto it = announced.begin(); it != announced.end();) {
        it->removeAll(name);
        it = it->isEmpty() ? announced.erase(it) : std::next(it);
    }
}

void runtime_sim::send_signal(const QString &signal, const QVariant &argument,
                              const QJsonValue &shown, const QString &platform, bool directed)
{
    const QString path = QString::fromLatin1(runtime::path);
    const QString interface = QString::fromLatin1(runtime::interface);
    QJsonObject record{{QStringLiteral("signal"), signal}, {QStringLiteral("args"), shown}};
    const QStringList names = directed ? announced.value(platform) : QStringList();
    if (names.isEmpty()) {
        QDBusMessage message = QDBusMessage::createSignal(path, interface, signal);
        message << argument;
        bus.send(message);
        // Asked to direct it, but no daemon of this platform announced itself.
        if (directed)
            record.insert(QStringLiteral("destination"), QJsonValue::Null);
        print(record);
        return;
    }
    for (const QString &name : names) {
        QDBusMessage message = QDBusMessage::createTargetedSignal(name, path, interface, signal);
        message << argument;
        bus.send(message);
        record.insert(QStringLiteral("destination"), name);
        print(record);
    }
}

namespace {

QString canonical_signal(const QString &verb)
{
    if (verb == QLatin1String("start") || verb == QLatin1String(runtime::app_start))
        return QString::fromLatin1(runtime::app_start);
    if (verb == QLatin1String("kill") || verb == QLatin1String(runtime::kill_app))
        return QString::fromLatin1(runtime::kill_app);
    if (verb == QLatin1String("stop") || verb == QLatin1String(runtime::kill_daemon))
        return QString::fromLatin1(runtime::kill_daemon);
    return QString();
}

// JSON to the bus's types: strings stay strings, arrays of strings become
// string lists (as), other arrays variant lists (av), numbers int.
QVariant to_bus_value(const QJsonValue &value)
{
    if (value.isArray()) {
        const QJsonArray array = value.toArray();
        bool all_strings = true;
        QVariantList items;
        for (const QJsonValue &item : array) {
            all_strings = all_strings && item.isString();
            items.append(to_bus_value(item));
        }
        if (all_strings && !array.isEmpty()) {
            QStringList strings;
            for (const QJsonValue &item : array)
                strings.append(item.toString());
            return strings;
        }
        return items;
    }
    if (value.isDouble())
        return value.toInt();
    if (value.isBool())
        return value.toBool();
    return value.toString();
}

} // namespace

QString runtime_sim::emit_command(const QStringList &command, bool force_directed)
{
    const QString signal = canonical_signal(command.value(0));
    const QStringList args = command.mid(1);
    const bool directed = force_directed || opts.directed;
    if (signal == QLatin1String(runtime::app_start)) {
        if (args.size() < 2)
            return QStringLiteral("app_start needs PLATFORM PATH [ARG...]");
        const QVariantList payload{args.at(0), args.at(1), QStringList(args.mid(2))};
        send_signal(signal, payload, decode_argument(payload), args.at(0), directed);
        return QString();
    }
    if (signal == QLatin1String(runtime::kill_app)) {
        if (args.size() != 2)
            return QStringLiteral("kill_app needs PLATFORM PID");
        send_signal(signal, args, decode_argument(args), args.at(0), directed);
        return QString();
    }
    if (signal == QLatin1String(runtime::kill_daemon)) {
        if (args.size() != 1)
            return QStringLiteral("kill_daemon needs PLATFORM");
        send_signal(signal, args.at(0), args.at(0), args.at(0), directed);
        return QString();
    }
    return QStringLiteral("unknown command \"%1\"").arg(command.value(0));
}

QString runtime_sim::emit_raw(const QString &verb, const QJsonValue &payload)
{
    const QString signal = canonical_signal(verb);
    const QVariant value = to_bus_value(payload);
    if (signal == QLatin1String(runtime::app_start)) {
        QVariantList list;
        for (const QJsonValue &item : payload.toArray())
            list.append(to_bus_value(item));
        emit adaptor->app_start(list);
    } else if (signal == QLatin1String(runtime::kill_app)) {
        QStringList list;
        for (const QJsonValue &item : payload.toArray())
            list.append(item.toString());
        emit adaptor->kill_app(list);
    } else if (signal == QLatin1String(runtime::kill_daemon)) {
        emit adaptor->kill_daemon(payload.toString());
    } else {
        return QStringLiteral("unknown signal \"%1\"").arg(verb);
    }
    print({{QStringLiteral("signal"), signal}, {QStringLiteral("args"), payload}});
    return QString();
}

QString runtime_sim::emit_typed(const QString &verb, const QString &signature,
                                const QJsonValue &payload)
{
    const QString signal = canonical_signal(verb).isEmpty() ? verb : canonical_signal(verb);
    if (signal.isEmpty())
        return QStringLiteral("a signal name is needed");
    QDBusArgument arg;
    const QString error = write_typed(arg, signature, payload);
    if (!error.isEmpty())
        return error;
    QDBusMessage message = QDBusMessage::createSignal(
        QString::fromLatin1(runtime::path), QString::fromLatin1(runtime::interface), signal);
    message << QVariant::fromValue(arg);
    if (!QDBusConnection::systemBus().send(message))
        return QStringLiteral("cannot send: %1")
            .arg(QDBusConnection::systemBus().lastError().message());
    print({{QStringLiteral("signal"), signal},
           {QStringLiteral("signature"), signature},
           {QStringLiteral("args"), payload}});
    return QString();
}

QString runtime_sim::handle_line(const QString &line)
{
    const QString text = line.trimmed();
    if (text.isEmpty() || text.startsWith(QLatin1Char('#')))
        return QString();
    if (text.startsWith(QLatin1Char('[')) || text.startsWith(QLatin1Char('{'))) {
        QJsonParseError parse_error{};
        const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8(), &parse_error);
        if (doc.isNull())
            return QStringLiteral("bad JSON: %1").arg(parse_error.errorString());
        if (doc.isObject()) {
            const QJsonObject object = doc.object();
            if (object.contains(QStringLiteral("signature")))
                return emit_typed(object.value(QStringLiteral("signal")).toString(),
                                  object.value(QStringLiteral("signature")).toString(),
                                  object.value(QStringLiteral("payload")));
            return emit_raw(object.value(QStringLiteral("signal")).toString(),
                            object.value(QStringLiteral("payload")));
        }
        QStringList words;
        for (const QJsonValue &item : doc.array())
            words.append(item.toString());
        return emit_command(words);
    }
    return emit_command(text.split(QRegularExpression(QStringLiteral("\\s+"))));
}
