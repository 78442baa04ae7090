#include "app_cgroup.h"
#include "child_launch.h"
#include "client_daemon.h"
#include "console_out.h"
#include "container_stop.h"
#include "fd_limit.h"
#include "orphan_reaper.h"
#include "own_priority.h"
#include "standard_fds.h"

#include <QCoreApplication>
#include <QDebug>

#include <csignal>
#include <cstdio>
#include <malloc.h>

namespace {

// One character per byte, so the bytes come back exactly when the text is
// turned into bytes again for execv.
QString from_arg(const char *arg)
{
    return QString::fromLatin1(arg);
}

// What the daemon's own output can raise must not end or stop it: a reader
// gone (SIGPIPE: the write fails instead), a file at its size limit
// (SIGXFSZ), a terminal with tostop while in the background (SIGTTOU; SIGTTIN
// likewise). Applications start with every signal at its default, as the
// child resets them all.
void ignore_output_signals()
{
    for (const int sig : {SIGPIPE, SIGXFSZ, SIGTTOU, SIGTTIN}) {
        if (std::signal(sig, SIG_IGN) == SIG_ERR)
            std::perror("signal");
    }
}

} // namespace

int main(int argc, char **argv)
{
    // Before anything opens a descriptor: a closed 0, 1 or 2 must not be
    // taken by a file of ours.
    if (!fill_standard_fds())
        return 1;
    // Before any thread exists, so that none of them takes the SIGCHLD.
    const bool reaps_orphans = prepare_orphan_reaping();
    const bool first_process = container_stop::prepare();
    ignore_output_signals();
    // Every message of the daemon is one write that never waits for a
    // reader, the usage line included.
    console::setup();
    if (argc < 3) {
        console::out(
            "命令格式为---lavrosk-daemon app名@容器名@is_root app命令路径 参数1 参数2...\n");
        return -1;
    }
    console::install_message_handler();
    raise_fd_limit();
    if (!fd_limit_enough())
        return 71;
    // Before the first thread (the bus library's), which inherits it.
    raise_own_priority();

    qDebug() << "目标文件名称: " << __FILE__ << "目标行数编号: " << __LINE__
             << "目标函数名称: " << __func__;
    qDebug() << argc;
    qDebug() << argv[1];
    qDebug() << argv[2];

    // Runner threads never run an event loop. Qt's own dispatcher costs each
    // far less memory than a GLib main context, which stays cached after the
    // thread has gone. The applications must not inherit the setting.
    if (qEnvironmentVariableIsEmpty("QT_NO_THREADED_GLIB")) {
        qputenv("QT_NO_THREADED_GLIB", "1");
        launch_plan::hide_variable("QT_NO_THREADED_GLIB");
    }

    // One malloc arena: runner threads allocate little and mostly wait, and
    // per-thread arenas would keep what a peak of runners left in them.
    mallopt(M_ARENA_MAX, 1);

    const QString app_platform = from_arg(argv[1]);
    const QString apppath = from_arg(argv[2]);
    QStringList appargv;
    for (int i = 3; i < argc; ++i)
        appargv.append(from_arg(argv[i]));

    QCoreApplication app(argc, argv);
    if (reaps_orphans)
        start_orphan_reaper();
    configure_app_cgroups(qgetenv("LAVROSK_CGROUP"));
    client_daemon daemon(app_platform, apppath, appargv);
    if (first_process)
        new container_stop(daemon.stop_hooks(), &app);
    return app.exec();
}
