// Ends a daemon that has no system bus. Such a daemon can never hear a
// request, and one left running would look like a working one.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <memory>

class startup_deadline;

class bus_watch : public QObject
{
    Q_OBJECT

public:
    // EX_UNAVAILABLE of <sysexits.h>; the manual page documents it.
    static constexpr int exit_status = 69;

    // The bound of start-up, the bus's own default timeout of a call.
    static constexpr int startup_limit_ms = 25000;

    // Exits at once when the system bus is not connected; otherwise watches
    // the connection and exits as soon as it is lost. platform names the
    // daemon in the line it writes. Start-up is bounded from here: past
    // startup_limit_ms it exits as for a lost bus, naming the step.
    bus_watch(const QString &platform, QObject *parent);
    ~bus_watch() override;

    // The step of start-up that waits for the bus now (a literal), as the
    // exit line would name it, e.g. "the subscription to app_start".
    void step(const char *what) const;
    // Start-up is over: no deadline from here on.
    void started();

    // Exits as for a refused connection when the bus does not hold the match
    // rule of a subscription just made; subscription names it in the line.
    void confirm(const char *subscription, const QString &rule) const;

private slots:
    void disconnected();

private:
    [[noreturn]] void fail(const char *what, const QString &reason) const;

    const QByteArray platform;
    std::unique_ptr<startup_deadline> deadline;
};
