// The tree listing parser on arbitrary lines: every candidate it returns is a
// non-empty run of ASCII digits that stands right after a "(" and is closed
// by a ")" or by the end of the line. (A ")" ahead of the last "(" makes the
// parser take the line's tail more than once; the kill dedups candidates.)
#include "process_tree.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString line = QString::fromUtf8(reinterpret_cast<const char *>(data), int(size));
    const QStringList pids = pids_in_listing_line(line);
    for (const QString &pid : pids) {
        if (pid.isEmpty())
            abort();
        for (const QChar c : pid) {
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                abort();
        }
        int at = 0;
        for (;;) {
            at = line.indexOf(QLatin1Char('(') + pid, at);
            if (at < 0)
                abort();
            const int after = at + 1 + pid.size();
            if (after == line.size() || line.at(after) == QLatin1Char(')'))
                break;
            ++at;
        }
    }
    return 0;
}
