// Asking daemons what they run: finding every lavrosk-daemon on the bus
// without having seen its announcement, calling their status methods in
// parallel, and printing the answers.
#pragma once

#include <QDBusConnection>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <cstdio>

struct daemon_answer {
    QString bus_name;
    QString platform; // from its command line
    QString error;    // set when it did not answer
    QVariantMap daemon;
    QList<QVariantMap> applications;
};

// Every daemon on bus, or those of the platforms named, with its answer, in
// the order of their platforms.
QList<daemon_answer> ask_daemons(QDBusConnection bus, const QStringList &platforms);

// One JSON object per daemon: what it returned.
QJsonObject answer_json(const daemon_answer &answer);

// The table: one row per application (one per daemon that runs none), with
// its platform and daemon. now_usec: the wall clock the uptimes count to.
QStringList status_table(const QList<daemon_answer> &answers, quint64 now_usec);

quint64 wall_clock_usec();
