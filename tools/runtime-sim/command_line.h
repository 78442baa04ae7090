// The stand-in's command line, read without touching the bus.
#pragma once

#include <QString>
#include <QStringList>

struct sim_command_line {
    bool help = false;
    bool json = false;     // --json: one JSON object per line on standard output
    bool reply = true;     // --no-reply: take every call and never answer it
    bool directed = false; // --directed: each signal to the daemons of its platform
    bool resync = false;   // --resync: a watch first asks every daemon what runs
    QString on_ready;      // --on-ready LINE
    QString record_path;   // --record FILE: every record also as a JSON line in FILE
    QString color = QStringLiteral("auto"); // --color=auto|always|never
    // "watch" and nothing else, "status" and platforms, or a verb (start,
    // kill, stop) and its words.
    QStringList words;
    QString error; // set when the command line cannot be used
};

// Options come before the verb, and for watch also after it. Every word after
// start, kill or stop belongs to the request: an application argument such as
// "--help" or "--json" is sent on, never taken as an option.
sim_command_line parse_sim_command_line(const QStringList &args);
