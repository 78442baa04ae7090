// The application name of an arbitrary path: no "/" in it, and the path ends
// with it right after a "/" (the whole path when it holds no "/").
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
    // The command text keeps the name whole at its start.
    if (!command_text(name, {path, QString()}).startsWith(name))
        abort();
    return 0;
}
