// The stand-in's text: the human line for each kind of record, and its
// command line.
#include "call_format.h"
#include "command_line.h"

#include <QJsonArray>
#include <QRegularExpression>
#include <QtTest>

namespace {

QJsonObject call(const char *method, const QJsonArray &payload)
{
    return {{"t", 10.5}, {"method", method}, {"sender", ":1.42"}, {"args", QJsonArray{payload}}};
}

QString strip_colors(QString text)
{
    return text.remove(QRegularExpression(QStringLiteral("\x1b\\[[0-9;]*m")));
}

// Column where the payload starts: after the message column and one blank.
constexpr int payload_column = time_width + 2 + from_width + 1 + message_width + 1;

} // namespace

class tst_sim_text : public QObject
{
    Q_OBJECT

private slots:
    void items_are_bare_or_quoted()
    {
        QCOMPARE(human_item(QStringLiteral("shop@c1@0")), QStringLiteral("shop@c1@0"));
        QCOMPARE(human_item(QStringLiteral("~~app增至：1~~")), QStringLiteral("~~app增至：1~~"));
        QCOMPARE(human_item(QString()), QStringLiteral("\"\""));
        QCOMPARE(human_item(QStringLiteral("a b")), QStringLiteral("\"a b\""));
        QCOMPARE(human_item(QStringLiteral("say \"x\"")), QStringLiteral("\"say \\\"x\\\"\""));
        QCOMPARE(human_item(QStringLiteral("C:\\x")), QStringLiteral("\"C:\\\\x\""));
        QCOMPARE(human_item(QJsonArray{"-x", "", "a b"}), QStringLiteral("[-x, \"\", \"a b\"]"));
        QCOMPARE(human_item(QJsonArray{}), QStringLiteral("[]"));
        QCOMPARE(human_item(7), QStringLiteral("7"));
    }

    void control_and_format_characters_are_escaped()
    {
        QCOMPARE(human_item(QStringLiteral("a\nb")), QStringLiteral("\"a\\nb\""));
        QCOMPARE(human_item(QStringLiteral("\x1b[31mred")), QStringLiteral("\"\\u001b[31mred\""));
        // A right-to-left override would show the rest of the line reversed.
        QCOMPARE(human_item(QString::fromUtf8("x\u202ey")), QStringLiteral("\"x\\u202ey\""));
        QCOMPARE(human_item(QString::fromUtf8("x\u2028y")), QStringLiteral("\"x\\u2028y\""));
        QCOMPARE(human_item(QStringLiteral("tab\there\r")), QStringLiteral("\"tab\\there\\r\""));
    }

    void a_hostile_log_line_stays_one_plain_line()
    {
        const QJsonObject record =
            call("show_daemon_log",
                 {QStringLiteral("ok\n  99.000  :1.1    set_app_status  x\x1b[2J %1")});
        const QString line = human_line(record, human_style{});
        QVERIFY(!line.contains(QLatin1Char('\n')));
        QVERIFY(!line.contains(QChar(0x1b)));
        QVERIFY2(line.endsWith(QStringLiteral("\\u001b[2J %1\"")), qPrintable(line));
    }

    void every_kind_of_record_is_aligned()
    {
        const human_style style{10.0, false};
        const QList<QJsonObject> records{
            call("daemon_ready", {"shop@c1@0", "/bin/sleep", QJsonArray{"30"}}),
            call("set_app_status", {QJsonArray{"c1", "sleep", "4242", "running", "/bin/sleep"}}),
            call("send_to_client_app_platform_status_slot", {"shop@c1@0:app stop"}),
            {{"t", 11.0}, {"signal", "kill_app"}, {"args", QJsonArray{"shop@c1@0", "4242"}}},
            {{"t", 11.0}, {"signal", "kill_daemon"}, {"args", "shop@c1@0"}},
            {{"t", 10.0}, {"event", "ready"}, {"service", "com.quorl.runtime"}},
            {{"t", 11.0},
             {"signal", "kill_daemon"},
             {"args", "shop@c1@0"},
             {"destination", ":1.4"}},
            {{"t", 11.0}, {"signal", "app_start"}, {"args", "x"}, {"destination", QJsonValue()}},
        };
        const QStringList expected_payloads{
            "shop@c1@0  /bin/sleep  [30]",
            "c1  sleep  4242  running  /bin/sleep",
            "\"shop@c1@0:app stop\"",
            "shop@c1@0  4242",
            "shop@c1@0",
            "service=com.quorl.runtime",
            "shop@c1@0",
            "x",
        };
        for (int i = 0; i < records.size(); ++i) {
            const QString line = human_line(records.at(i), style);
            QCOMPARE(line.mid(payload_column), expected_payloads.at(i));
            QCOMPARE(line.at(payload_column - 1), QLatin1Char(' '));
            QCOMPARE(line.at(payload_column - 2), QLatin1Char(' '));
            // With colours, the same text in the same columns.
            const QString colored = human_line(records.at(i), human_style{10.0, true});
            QVERIFY(colored.contains(QChar(0x1b)));
            QCOMPARE(strip_colors(colored), line);
        }
        QCOMPARE(human_line(records.at(0), style).left(time_width), QStringLiteral("   0.500"));
        QVERIFY(human_line(records.at(6), style).contains(">> kill_daemon -> :1.4  "));
        QVERIFY(human_line(records.at(7), style).contains(">> app_start -> all (not announced)"));
        QCOMPARE(human_header(style).indexOf(QStringLiteral("PAYLOAD")), payload_column);
    }

    void application_options_are_sent_on()
    {
        const sim_command_line cl = parse_sim_command_line(
            {"--json", "start", "p@c@0", "/bin/app", "--help", "--json", "-h", "--record"});
        QVERIFY(cl.error.isEmpty());
        QVERIFY(!cl.help);
        QVERIFY(cl.json);
        QVERIFY(cl.record_path.isEmpty());
        QCOMPARE(cl.words,
                 (QStringList{"start", "p@c@0", "/bin/app", "--help", "--json", "-h", "--record"}));
        // A negative pid is the request's business, not an option.
        QCOMPARE(parse_sim_command_line({"kill", "p@c@0", "-5"}).words,
                 (QStringList{"kill", "p@c@0", "-5"}));
    }

    void watch_options_go_around_the_verb()
    {
        sim_command_line cl = parse_sim_command_line({});
        QCOMPARE(cl.words, QStringList{"watch"});
        QVERIFY(cl.error.isEmpty());
        cl = parse_sim_command_line({"--no-reply", "watch", "--record", "/tmp/r", "--on-ready",
                                     "start p /bin/x", "--color=never", "--directed"});
        QVERIFY2(cl.error.isEmpty(), qPrintable(cl.error));
        QVERIFY(cl.directed);
        QVERIFY(!cl.reply);
        QCOMPARE(cl.record_path, QStringLiteral("/tmp/r"));
        QCOMPARE(cl.on_ready, QStringLiteral("start p /bin/x"));
        QCOMPARE(cl.color, QStringLiteral("never"));
        QVERIFY(parse_sim_command_line({"watch", "--help"}).help);
    }

    void unusable_command_lines_are_refused()
    {
        const QList<QStringList> bad{
            {"--on-ready"},
            {"--record"},
            {"--colour"},
            {"--color=sometimes"},
            {"watch", "extra"},
            {"launch", "p", "/x"},
            {"start", "p"},
            {"kill", "p"},
            {"kill", "p", "1", "2"},
            {"stop"},
            {"stop", "p", "q"},
        };
        for (const QStringList &args : bad)
            QVERIFY2(!parse_sim_command_line(args).error.isEmpty(), qPrintable(args.join(' ')));
    }
};

QTEST_APPLESS_MAIN(tst_sim_text)
#include "tst_sim_text.moc"
