// The tree listing parser on arbitrary lines: every candidate it returns is a
// non-empty run of ASCII digits no larger than the largest pid (checked here
// with Qt's own parser) that stands right after a "(" and is closed
// by a ")" or by the end of the line. (A ")" ahead of the last "(" makes the
// parser take the line's tail more than once; the kill dedups candidates.)
// On a line whose parentheses all enclose pids, it finds every one.
#include "process_tree.h"

#include <cstdint>
#include <cstdlib>

namespace {

bool is_pid_number(const QString &digits)
{
    bool ok = false;
    return digits.toULongLong(&ok, 10) <= 0x7fffffffULL && ok;
}

} // namespace

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
        if (!is_pid_number(pid))
            abort();
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
    // A line whose parentheses all enclose pids, as pstree prints for names
    // without any: every pid is found, in order.
    QStringList expected;
    bool plain = true;
    for (int i = 0; plain && i < line.size(); ++i) {
        if (line.at(i) == QLatin1Char(')'))
            plain = false;
        if (line.at(i) != QLatin1Char('('))
            continue;
        int end = i + 1;
        while (end < line.size() && line.at(end) >= QLatin1Char('0') &&
               line.at(end) <= QLatin1Char('9'))
            ++end;
        plain = end > i + 1 && end < line.size() && line.at(end) == QLatin1Char(')');
        if (plain && is_pid_number(line.mid(i + 1, end - i - 1)))
            expected.append(line.mid(i + 1, end - i - 1));
        i = end;
    }
    if (plain && pids != expected)
        abort();
    return 0;
}
