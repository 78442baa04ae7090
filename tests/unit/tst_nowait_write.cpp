// The one writer of the daemon's lines and its children's: what a full or
// closed pipe loses is counted in lines, and a shared description is left as
// it was found.
#include "nowait_write.h"

#include <QtTest>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

class tst_nowait_write : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { std::signal(SIGPIPE, SIG_IGN); }

    // A pipe with room for part of three lines: the first goes out whole,
    // the second is cut, so two are lost; a closed one loses all and says why.
    void lost_lines()
    {
        for (const nowait::kind how : {nowait::kind::plain, nowait::kind::shared}) {
            int p[2];
            QCOMPARE(pipe2(p, O_CLOEXEC), 0);
            const int room = fcntl(p[1], F_SETPIPE_SZ, 4096);
            QVERIFY(room >= 4096);
            if (how == nowait::kind::plain)
                QCOMPARE(fcntl(p[1], F_SETFL, O_NONBLOCK), 0);
            const QByteArray text =
                QByteArray(room - 1000, 'a') + '\n' + QByteArray(2000, 'b') + "\nabc\n";
            const nowait::target t{p[1], how};
            nowait::result r = nowait::write_now(t, text.constData(), size_t(text.size()));
            QCOMPARE(r.error, EAGAIN);
            QCOMPARE(r.lost_lines, size_t(2));
            QByteArray read_back(room + 1, '\0');
            QCOMPARE(read(p[0], read_back.data(), size_t(room + 1)), ssize_t(room));
            // Blocking again, as the applications that share it expect.
            if (how == nowait::kind::shared)
                QCOMPARE(fcntl(p[1], F_GETFL) & O_NONBLOCK, 0);
            close(p[0]);
            r = nowait::write_now(t, text.constData(), size_t(text.size()));
            QCOMPARE(r.error, EPIPE);
            QCOMPARE(r.lost_lines, size_t(3));
            close(p[1]);
        }
    }
};

QTEST_GUILESS_MAIN(tst_nowait_write)
#include "tst_nowait_write.moc"
