// The daemon's answer to "what runs here": the status method on its own bus
// connection. Read-only, served from the launch registry under its short
// lock; it never waits for a runner.
#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <cstdint>

inline constexpr char status_path[] = "/com/quorl/runtime/daemon";
inline constexpr char status_interface[] = "com.quorl.runtime.daemon";

class status_service : public QObject
{
    Q_OBJECT

public:
    // Registers itself on the system bus connection; says why when it cannot.
    status_service(QString platform, QObject *parent);

    // Called through the generated adaptor.
    QVariantMap status(QList<QVariantMap> &applications);

private:
    const QString platform;
    const uint64_t started_usec;
};
