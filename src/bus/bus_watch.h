// Ends a daemon that has no system bus. Such a daemon can never hear a
// request, and one left running would look like a working one.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class bus_watch : public QObject
{
    Q_OBJECT

public:
    // EX_UNAVAILABLE of <sysexits.h>; the manual page documents it.
    static constexpr int exit_status = 69;

    // Exits at once when the system bus is not connected; otherwise watches
    // the connection and exits as soon as it is lost. platform names the
    // daemon in the line it writes.
    bus_watch(const QString &platform, QObject *parent);

    // Exits as for a refused connection when the bus does not hold the match
    // rule of a subscription just made; subscription names it in the line.
    void confirm(const char *subscription, const QString &rule) const;

private slots:
    void disconnected();

private:
    [[noreturn]] void fail(const char *what, const QString &reason) const;

    const QByteArray platform;
};
