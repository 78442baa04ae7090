// The argument vector from arbitrary strings: exactly one entry per argument,
// each the argument's bytes (Latin-1 when it fits, UTF-8 otherwise), and a
// terminating null; the command text joins the name and the arguments with
// one "~" each, so that pieces free of "~" can be cut apart again.
#include "child_launch.h"
#include "text_util.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Arguments separated by NUL bytes, read as UTF-8 (so any character may occur).
    const QList<QByteArray> raw =
        QByteArray(reinterpret_cast<const char *>(data), int(size)).split('\0');
    QStringList texts;
    QList<QByteArray> args;
    for (const QByteArray &piece : raw) {
        const QString text = QString::fromUtf8(piece);
        texts.append(text);
        args.append(exec_bytes(text));
    }
    const launch_plan plan(exec_bytes(texts.first()), args, QByteArray(), QByteArray());
    char *const *argv = plan.argv();
    for (int i = 0; i < args.size(); ++i) {
        if (argv[i] == nullptr || std::strcmp(argv[i], args.at(i).constData()) != 0)
            abort();
        // Back to the same text: one byte per character when it fits, else UTF-8.
        bool latin1 = true;
        for (const QChar c : texts.at(i))
            latin1 = latin1 && c.unicode() <= 0xff;
        const QByteArray bytes(argv[i]);
        if ((latin1 ? QString::fromLatin1(bytes) : QString::fromUtf8(bytes)) != texts.at(i))
            abort();
    }
    if (argv[args.size()] != nullptr)
        abort();
    // The command text: the name and each argument, one "~" before each
    // argument. Where no piece holds a "~", cutting it at every "~" gives the
    // pieces back, empty ones included.
    const QString name = app_name_of(texts.first());
    const QStringList pieces = QStringList{name} + texts.mid(1);
    const QString text = command_text(name, texts.mid(1));
    int tildes = 0;
    for (const QString &piece : pieces)
        tildes += piece.count(QLatin1Char('~'));
    if (text.count(QLatin1Char('~')) != tildes + pieces.size() - 1)
        abort();
    if (tildes == 0 && text.split(QLatin1Char('~')) != pieces)
        abort();
    return 0;
}
