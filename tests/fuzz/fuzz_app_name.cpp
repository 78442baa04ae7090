// The application name and the executed path of an arbitrary path: the name
// holds no "/" and is all that follows the last one (the whole path when it
// holds none); the path is executed as Latin-1 bytes when it fits, else as
// UTF-8, and a second try in UTF-8 is offered exactly for the paths that fit
// Latin-1 and are not plain ASCII.
#include "text_util.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString path = QString::fromUtf8(reinterpret_cast<const char *>(data), int(size));
    const QString name = app_name_of(path);
    if (name.contains(QLatin1Char('/')) || !path.endsWith(name))
        abort();
    if (!path.contains(QLatin1Char('/')) && name != path)
        abort();
    // With a "/", the name is all that follows the last one (an empty name
    // would pass the checks above).
    if (path.contains(QLatin1Char('/')) &&
        (path.size() <= name.size() || path.at(path.size() - name.size() - 1) != QLatin1Char('/')))
        abort();

    bool ascii = true, latin1 = true;
    for (const QChar c : path) {
        ascii = ascii && c.unicode() < 0x80;
        latin1 = latin1 && c.unicode() <= 0xff;
    }
    const QByteArray first = exec_bytes(path);
    if (first != (latin1 ? path.toLatin1() : path.toUtf8()))
        abort();
    const QByteArray second = second_exec_path(path);
    if (latin1 && !ascii ? (second != path.toUtf8() || second == first) : !second.isEmpty())
        abort();
    return 0;
}
