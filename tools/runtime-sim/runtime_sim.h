// lavrosk-runtime-sim: a stand-in for the runtime service. It owns the
// service's name, records every call a daemon makes and emits the service's
// three signals on request.
#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QStringList>
#include <QVariantList>

#include <cstdio>

class RuntimeAdaptor;

class runtime_sim : public QObject, protected QDBusContext
{
    Q_OBJECT

public:
    struct options {
        bool json = false;      // one JSON object per line instead of aligned text
        bool reply = true;      // false: take every call and never answer it
        QString on_ready;       // an input line to act on the moment daemon_ready arrives
        bool color = false;     // ANSI colours in the aligned text
        FILE *record = nullptr; // also every record as a JSON line here (not owned)
        bool directed = false;  // send each signal only to the daemons of its platform
    };

    explicit runtime_sim(options opts);

    // Registers the service object and the control object on bus.
    bool attach(QDBusConnection bus, QString *error);

    // Emits one signal. command: [verb, arguments...] with the verbs app_start
    // (or start), kill_app (or kill), kill_daemon (or stop). Directed (always
    // with force_directed, else as the options say), it goes to each daemon
    // that announced the platform, and to every daemon when none did. Returns
    // an error text, empty on success.
    QString emit_command(const QStringList &command, bool force_directed = false);
    // Emits one signal with a payload given as JSON, for payloads a well-formed
    // command cannot express. Returns an error text, empty on success.
    QString emit_raw(const QString &signal, const QJsonValue &payload);
    // Emits one signal whose payload is written as the D-Bus type signature,
    // whatever the contract says the signal carries. Returns an error text.
    QString emit_typed(const QString &signal, const QString &signature, const QJsonValue &payload);

    // One line of input: words, a JSON array of words, or a JSON object
    // {"signal": name, "payload": value[, "signature": D-Bus signature]}.
    QString handle_line(const QString &line);

    void print(QJsonObject record);
    // The column titles of the aligned text; nothing with --json.
    void print_header();

    // The five methods of the contract, called through the generated adaptor.
    void daemon_ready(const QVariantList &platform_status);
    void set_platform_app_status(const QVariantList &platform_status);
    void set_app_status(const QVariantList &platform_status);
    void send_to_client_app_platform_status_slot(const QVariantList &app_status);
    void show_daemon_log(const QVariantList &daemon_log);

private slots:
    void name_owner_changed(const QString &name, const QString &old_owner,
                            const QString &new_owner);

private:
    void record_call(const char *method, const QVariantList &payload);
    // Sends signal with its one argument, directed or to every daemon, and
    // prints one record per message sent.
    void send_signal(const QString &signal, const QVariant &argument, const QJsonValue &shown,
                     const QString &platform, bool directed);

    options opts;
    QDBusConnection bus;
    // Unique bus names of the daemons that announced each platform, while
    // they stay connected.
    QHash<QString, QStringList> announced;
    double origin; // shown as time 0 in the aligned text
    RuntimeAdaptor *adaptor;
};

// The control interface: lets a second invocation of the tool ask the running
// one, which owns the service name, to emit a signal (daemons accept signals
// only from the owner).
class sim_control : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.quorl.runtime.sim")

public:
    explicit sim_control(runtime_sim *sim) : QObject(sim), sim(sim) {}

public slots:
    Q_SCRIPTABLE QString emit_signal(const QStringList &command)
    {
        return sim->emit_command(command);
    }
    // The same, sent only to the daemons that announced the platform.
    Q_SCRIPTABLE QString emit_directed(const QStringList &command)
    {
        return sim->emit_command(command, true);
    }

private:
    runtime_sim *sim;
};

inline constexpr char sim_control_path[] = "/com/quorl/runtime/sim";
inline constexpr char sim_control_interface[] = "com.quorl.runtime.sim";
