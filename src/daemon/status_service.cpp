#include "status_service.h"

#include "app_cgroup.h"
#include "app_usage.h"
#include "launch_registry.h"
#include "own_priority.h"
#include "spread_over_cpus.h"
#include "status_adaptor.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMetaType>
#include <QDebug>
#include <QThread>

#include <unistd.h>

namespace {

// What an application uses now. Read after the registry's lock is
// released: a slow /proc never holds up a runner.
struct usage {
    unsigned tasks = 0;
    std::optional<uint64_t> memory_bytes;
};

usage usage_of(const application_status &app)
{
    if (app.info.cgroup.empty())
        return {tree_tasks(app.pid), std::nullopt};
    return {cgroup_tasks(app.info.cgroup), cgroup_memory(app.info.cgroup)};
}

// Each read of /proc takes microseconds, most of them in the kernel: a
// thousand applications are read on every processor at once.
constexpr size_t reads_per_thread = 64;

QVariantMap application_entry(const application_status &app, const usage &used)
{
    QVariantMap entry;
    entry.insert(QStringLiteral("name"), app.info.name);
    entry.insert(QStringLiteral("path"), app.info.path);
    entry.insert(QStringLiteral("arguments"), app.info.arguments);
    entry.insert(QStringLiteral("pid"), static_cast<uint>(app.pid));
    entry.insert(QStringLiteral("launches"), app.launches);
    entry.insert(QStringLiteral("since_usec"), static_cast<qulonglong>(app.since_usec));
    entry.insert(QStringLiteral("state"), QString::fromLatin1(state_name(app.state)));
    entry.insert(QStringLiteral("last_end"),
                 app.last_signal ? QStringLiteral("signal %1").arg(app.last_signal) : QString());
    entry.insert(QStringLiteral("tasks"), used.tasks);
    if (!app.info.cgroup.empty())
        entry.insert(QStringLiteral("cgroup"), QString::fromStdString(app.info.cgroup));
    if (used.memory_bytes)
        entry.insert(QStringLiteral("memory_bytes"), static_cast<qulonglong>(*used.memory_bytes));
    return entry;
}

} // namespace

status_service::status_service(QString platform)
    : QObject(nullptr), platform(std::move(platform)), started_usec(wall_clock_usec())
{
    new StatusAdaptor(this);
}

status_service::~status_service() = default;

void status_service::serve(QString platform)
{
    qDBusRegisterMetaType<QList<QVariantMap>>();
    auto *thread = new QThread(QCoreApplication::instance());
    thread->setObjectName(QStringLiteral("status"));
    auto *service = new status_service(std::move(platform));
    service->moveToThread(thread);
    QObject::connect(thread, &QThread::started, service,
                     [service] { service->priority = std::make_unique<given_priority>(); });
    QObject::connect(thread, &QThread::finished, service, &QObject::deleteLater);
    // Should the event loop ever return, the thread ends before the
    // application object goes.
    QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, thread,
                     [thread] {
                         thread->quit();
                         thread->wait();
                     });
    thread->start();
    // Calls reach the object on its thread; the bus thread hands them over.
    if (!QDBusConnection::systemBus().registerObject(QString::fromLatin1(status_path), service))
        qDebug() << "status not served: the object path" << status_path << "is taken";
}

QVariantMap status_service::status(QList<QVariantMap> &applications)
{
    const std::vector<application_status> apps = launches().snapshot();
    std::vector<usage> used(apps.size());
    spread_over_cpus(apps.size(), reads_per_thread,
                     [&apps, &used](size_t i) { used[i] = usage_of(apps[i]); });
    applications.clear();
    applications.reserve(static_cast<int>(apps.size()));
    for (size_t i = 0; i < apps.size(); ++i)
        applications.append(application_entry(apps[i], used[i]));
    QVariantMap daemon;
    daemon.insert(QStringLiteral("platform"), platform);
    daemon.insert(QStringLiteral("pid"), static_cast<uint>(getpid()));
    daemon.insert(QStringLiteral("started_usec"), static_cast<qulonglong>(started_usec));
    daemon.insert(QStringLiteral("cgroup_root"), QString::fromStdString(app_cgroup_root()));
    return daemon;
}
