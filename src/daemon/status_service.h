// The daemon's answer to "what runs here": the status method, on a thread of
// its own at the priority the daemon was given, so that a flood of calls
// takes neither the main thread (starts and kills) nor its raised priority.
// Read-only, served from the launch registry under its short lock; it never
// waits for a runner.
#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <cstdint>
#include <memory>

class given_priority;

inline constexpr char status_path[] = "/com/quorl/runtime/daemon";
inline constexpr char status_interface[] = "com.quorl.runtime.daemon";

class status_service : public QObject
{
    Q_OBJECT

public:
    // Starts the thread and registers the object on the system bus
    // connection; says why when it cannot. It serves as long as the daemon runs.
    static void serve(QString platform);

    // Called through the generated adaptor, on the status thread.
    QVariantMap status(QList<QVariantMap> &applications);

private:
    explicit status_service(QString platform);
    ~status_service() override;

    const QString platform;
    const uint64_t started_usec;
    std::unique_ptr<given_priority> priority;
};
