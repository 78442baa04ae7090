// The least a Qt daemon can do with app_start: a yardstick for the runner
// benchmark. Subscribes like lavrosk-daemon and, for a request naming its
// platform, vforks and executes the path with the arguments from the main
// thread. No thread, no report, no log. Prints "ready" once subscribed.
//   bench_qt_vfork PLATFORM
#include <QCoreApplication>
#include <QDBusConnection>
#include <QStringList>
#include <QVariantList>

#include <csignal>
#include <cstdio>
#include <unistd.h>
#include <vector>

class starter : public QObject
{
    Q_OBJECT

public:
    explicit starter(QString platform) : platform(std::move(platform)) {}

public slots:
    void start(const QVariantList &request)
    {
        if (request.size() < 3 || request.at(0).toString() != platform)
            return;
        const QByteArray path = request.at(1).toString().toUtf8();
        QList<QByteArray> args{path};
        for (const QString &arg : request.at(2).toStringList())
            args.append(arg.toUtf8());
        std::vector<char *> argv;
        for (QByteArray &arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        if (vfork() == 0) {
            execv(path.constData(), argv.data());
            _exit(127);
        }
    }

private:
    const QString platform;
};

int main(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    std::signal(SIGCHLD, SIG_IGN); // children are reaped by the kernel
    QCoreApplication app(argc, argv);
    starter s(QString::fromLocal8Bit(argv[1]));
    if (!QDBusConnection::systemBus().connect(
            QStringLiteral("com.quorl.runtime"), QStringLiteral("/com/quorl/runtime"),
            QStringLiteral("com.quorl.runtime.interface"), QStringLiteral("app_start"), &s,
            SLOT(start(QVariantList))))
        return 1;
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}

#include "qt_vfork_daemon.moc"
