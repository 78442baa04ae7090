#include "command_line.h"

namespace {

bool takes_options(const QStringList &words)
{
    return words.isEmpty() || words.first() == QLatin1String("watch") ||
           words.first() == QLatin1String("status");
}

} // namespace

sim_command_line parse_sim_command_line(const QStringList &args)
{
    sim_command_line cl;
    for (int i = 0; i < args.size(); ++i) {
        const QString &arg = args.at(i);
        if (!takes_options(cl.words) || !arg.startsWith(QLatin1Char('-'))) {
            cl.words.append(arg);
            continue;
        }
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            cl.help = true;
        } else if (arg == QLatin1String("--json")) {
            cl.json = true;
        } else if (arg == QLatin1String("--no-reply")) {
            cl.reply = false;
        } else if (arg == QLatin1String("--directed")) {
            cl.directed = true;
        } else if (arg == QLatin1String("--resync")) {
            cl.resync = true;
        } else if (arg == QLatin1String("--on-ready") || arg == QLatin1String("--record")) {
            if (i + 1 >= args.size()) {
                cl.error = QStringLiteral("%1 needs a value").arg(arg);
                return cl;
            }
            (arg == QLatin1String("--record") ? cl.record_path : cl.on_ready) = args.at(++i);
        } else if (arg.startsWith(QLatin1String("--color="))) {
            cl.color = arg.mid(8);
            if (cl.color != QLatin1String("auto") && cl.color != QLatin1String("always") &&
                cl.color != QLatin1String("never")) {
                cl.error = QStringLiteral("--color takes auto, always or never");
                return cl;
            }
        } else {
            cl.error = QStringLiteral("unknown option \"%1\"").arg(arg);
            return cl;
        }
    }
    if (cl.words.isEmpty())
        cl.words.append(QStringLiteral("watch"));
    const QString verb = cl.words.first();
    if (verb == QLatin1String("watch")) {
        if (cl.words.size() > 1)
            cl.error = QStringLiteral("watch takes no arguments");
    } else if (verb == QLatin1String("status")) {
        // Any platforms, or none for every daemon.
    } else if (verb == QLatin1String("start")) {
        if (cl.words.size() < 3)
            cl.error = QStringLiteral("start needs PLATFORM PATH [ARG...]");
    } else if (verb == QLatin1String("kill")) {
        if (cl.words.size() != 3)
            cl.error = QStringLiteral("kill needs PLATFORM PID");
    } else if (verb == QLatin1String("stop")) {
        if (cl.words.size() != 2)
            cl.error = QStringLiteral("stop needs PLATFORM");
    } else {
        cl.error = QStringLiteral("unknown command \"%1\"").arg(verb);
    }
    return cl;
}
