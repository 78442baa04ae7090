// The runner's pure helpers: names, command text, splitting, reported
// command, decimal numbers, request checks, wait statuses, and the contract's
// method names.
#include "decimal.h"
#include "request.h"
#include "runtime_bus.h"
#include "runtime_proxy.h"
#include "text_util.h"
#include "wait_status.h"

#include <QDBusArgument>
#include <QtTest>

#include <csignal>
#include <cstring>
#include <vector>

class tst_text : public QObject
{
    Q_OBJECT

    static QStringList split_all(QByteArray text, const char *separator)
    {
        std::vector<char *> dest(static_cast<size_t>(text.size()) + 1, nullptr);
        const int n = split_pieces(text.data(), separator, dest.data());
        QStringList pieces;
        for (int i = 0; i < n; ++i)
            pieces.append(QString::fromLatin1(dest[static_cast<size_t>(i)]));
        // Nothing is written past the pieces found.
        if (dest[static_cast<size_t>(n)] != nullptr)
            pieces.append(QStringLiteral("<written past the end>"));
        return pieces;
    }

private slots:
    void app_name()
    {
        QCOMPARE(app_name_of("/usr/bin/foo"), QStringLiteral("foo"));
        QCOMPARE(app_name_of("./start.sh"), QStringLiteral("start.sh"));
        QCOMPARE(app_name_of("foo"), QStringLiteral("foo"));
        QCOMPARE(app_name_of("/"), QString());
        QCOMPARE(app_name_of("/opt/app/"), QString());
        QCOMPARE(app_name_of(QString()), QString());
        QCOMPARE(app_name_of("/opt/应用/bin/运行"), QStringLiteral("运行"));
    }

    void command_text_joins_with_single_tildes()
    {
        QCOMPARE(command_text("foo", {"-x", "a b"}), QStringLiteral("foo~-x~a b"));
        QCOMPARE(command_text("foo", {}), QStringLiteral("foo"));
        QCOMPARE(command_text("foo", {"", "~"}), QStringLiteral("foo~~~"));
    }

    void split_works_like_strtok()
    {
        QCOMPARE(split_all("foo~-x~a b", "~"), (QStringList{"foo", "-x", "a b"}));
        QCOMPARE(split_all("~~a~~b~", "~"), (QStringList{"a", "b"}));
        QCOMPARE(split_all("", "~"), QStringList{});
        QCOMPARE(split_all("~~~", "~"), QStringList{});
        QCOMPARE(split_all("a~b", ""), QStringList{});
        QCOMPARE(split_all("a~b c", "~ "), (QStringList{"a", "b", "c"}));
        std::vector<char *> dest(2, nullptr);
        QCOMPARE(split_pieces(nullptr, "~", dest.data()), 0);
        QVERIFY(dest[0] == nullptr);
    }

    void count_pieces_keeps_empty_ones()
    {
        QCOMPARE(count_pieces("a~b~", "~"), 3);
        QCOMPARE(count_pieces("", "~"), 1);
        QCOMPARE(count_pieces("a~~b", "~~"), 2);
        QCOMPARE(count_pieces("a~b", "X"), 1);
    }

    void reported_command_rule()
    {
        QCOMPARE(reported_command({"/bin/bash", "/srv/run.sh", "x"}),
                 QStringLiteral("bash /srv/run.sh"));
        QCOMPARE(reported_command({"/bin/sh", "/opt/app/start.sh", "-q"}),
                 QStringLiteral("sh /opt/app/start.sh"));
        QCOMPARE(reported_command({"/bin/sh"}), QString());
        QCOMPARE(reported_command({"/bin/bash"}), QString());
        QCOMPARE(reported_command({"/usr/bin/sh", "x"}), QStringLiteral("/usr/bin/sh"));
        QCOMPARE(reported_command({"/BIN/SH", "x"}), QStringLiteral("/BIN/SH"));
        QCOMPARE(reported_command({"/opt/app"}), QStringLiteral("/opt/app"));
    }

    void exec_bytes_prefers_latin1()
    {
        // Latin-1 text keeps one byte per character, so command-line bytes round-trip.
        const QByteArray raw("/opt/\xe4\xbd\xa0/\xff");
        QCOMPARE(exec_bytes(QString::fromLatin1(raw)), raw);
        // Wider text is UTF-8, never "?".
        QCOMPARE(exec_bytes(QStringLiteral("/opt/应用/bin/run")),
                 QStringLiteral("/opt/应用/bin/run").toUtf8());
        QVERIFY(!exec_bytes(QStringLiteral("x\u20acy")).contains('?'));
        QCOMPARE(exec_bytes(QString()), QByteArray());
    }

    void wait_status_classification()
    {
        const wait_result exited = classify_wait_status(3 << 8);
        QCOMPARE(int(exited.kind), int(child_end::exited));
        QCOMPARE(exited.value, 3);
        const wait_result segv = classify_wait_status(SIGSEGV);
        QCOMPARE(int(segv.kind), int(child_end::signaled));
        QCOMPARE(segv.value, SIGSEGV);
        // The core-dump bit is not part of the signal.
        const wait_result core = classify_wait_status(SIGSEGV | 0x80);
        QCOMPARE(int(core.kind), int(child_end::signaled));
        QCOMPARE(core.value, SIGSEGV);
        // Stopped (0x7f in the low bits) is neither an exit nor a death.
        QCOMPARE(int(classify_wait_status((SIGSTOP << 8) | 0x7f).kind), int(child_end::other));
        QCOMPARE(int(classify_wait_status(0xffff).kind), int(child_end::other));
    }

    void restarts_are_bounded_and_never_after_sigkill()
    {
        int ends = 0;
        QVERIFY(!restart_after_signal(SIGKILL, &ends));
        QCOMPARE(ends, 0);
        QVERIFY(restart_after_signal(SIGTERM, &ends));
        QVERIFY(restart_after_signal(SIGSEGV, &ends));
        QVERIFY(restart_after_signal(SIGTERM, &ends));
        QVERIFY(!restart_after_signal(SIGTERM, &ends));
        QCOMPARE(ends, max_launches);
    }

    void start_requests_are_checked()
    {
        const auto ok = parse_start_request({"p@c@0", "/bin/x", QStringList{"a", ""}});
        QVERIFY(ok);
        QCOMPARE(ok->platform, QStringLiteral("p@c@0"));
        QCOMPARE(ok->app, QStringLiteral("/bin/x"));
        QCOMPARE(ok->argv, (QStringList{"a", ""}));
        QVERIFY(parse_start_request({"p", "/bin/x", QStringList{}}));
        QVERIFY(!parse_start_request({}));
        QVERIFY(!parse_start_request({"p", "/bin/x"}));
        QVERIFY(!parse_start_request({"p", 5, QStringList{}}));
        QVERIFY(!parse_start_request({"p", "/bin/x", "a"}));
        QVERIFY(!parse_start_request({QStringList{"p"}, "/bin/x", QStringList{}}));
    }

    // Every number the daemon reads from outside goes through it.
    void decimal_numbers()
    {
        const auto parse = [](const char *text, unsigned long long max = ~0ULL) {
            return parse_decimal(text, text + std::strlen(text), max);
        };
        using number = std::optional<unsigned long long>;
        QCOMPARE(parse("0"), number(0));
        QCOMPARE(parse("007"), number(7));
        QCOMPARE(parse("18446744073709551615"), number(~0ULL));
        QCOMPARE(parse("255", 255), number(255));
        for (const char *bad : {"", "18446744073709551616", "99999999999999999999", "-1", "+1",
                                " 1", "1 ", "1a", "\xb1", "\xb9"})
            QVERIFY2(!parse(bad), bad);
        QVERIFY(!parse("256", 255));
        QVERIFY(!parse("1", 0));
        const QString wide = QStringLiteral("12٣");
        QVERIFY(!parse_decimal(wide.utf16(), wide.utf16() + wide.size()));
        QCOMPARE(parse_decimal(wide.utf16(), wide.utf16() + 2), number(12));
    }

    void large_payloads_are_seen_wherever_they_are()
    {
        const QString big(40 * 1024, QLatin1Char('x')); // 80 KiB as text
        QStringList many;
        for (int i = 0; i < 5000; ++i)
            many.append(QStringLiteral("abcdefgh"));
        QVERIFY(!is_large_payload({"p@c@0", "/bin/x", QStringList{"a", ""}}));
        QVERIFY(!is_large_payload({"p@c@0", 42, QStringList{}}));
        QVERIFY(is_large_payload({"p@c@0", big, QStringList{}}));
        QVERIFY(is_large_payload({"p@c@0", "/bin/x", QStringList{"a", big}}));
        QVERIFY(is_large_payload({"p@c@0", "/bin/x", many}));
        QVERIFY(is_large_payload({"p", QVariantList{QVariantList{big}}}));
        QVERIFY(is_large_payload({"p", QByteArray(70 * 1024, 'x')}));
        // A type no request carries: its size is unknown, so it counts.
        QVERIFY(is_large_payload({"p", QVariant::fromValue(QDBusArgument())}));
    }

    void kill_pids_are_checked()
    {
        QCOMPARE(parse_kill_pid("2"), std::optional<pid_t>(2));
        QCOMPARE(parse_kill_pid("2147483647"), std::optional<pid_t>(2147483647));
        for (const char *bad : {"", "0", "1", "-1", "+5", " 5", "5 ", "12x", "abc", "2147483648",
                                "99999999999999999999", "٣"})
            QVERIFY2(!parse_kill_pid(QString::fromUtf8(bad)), bad);
    }

    // The names the daemon calls are methods of the proxy generated from the contract.
    void method_names_match_the_contract()
    {
        const QMetaObject &proxy = ComQuorlRuntimeInterfaceInterface::staticMetaObject;
        for (const char *method :
             {runtime::daemon_ready, runtime::set_platform_app_status, runtime::set_app_status,
              runtime::send_to_client_app_platform_status_slot, runtime::show_daemon_log}) {
            const QByteArray signature = QByteArray(method) + "(QVariantList)";
            QVERIFY2(proxy.indexOfMethod(signature.constData()) >= 0, method);
        }
        QVERIFY(proxy.indexOfSignal("app_start(QVariantList)") >= 0);
        QVERIFY(proxy.indexOfSignal("kill_app(QStringList)") >= 0);
        QVERIFY(proxy.indexOfSignal("kill_daemon(QString)") >= 0);
        QCOMPARE(QString::fromLatin1(ComQuorlRuntimeInterfaceInterface::staticInterfaceName()),
                 QString::fromLatin1(runtime::interface));
    }
};

QTEST_GUILESS_MAIN(tst_text)
#include "tst_text.moc"
