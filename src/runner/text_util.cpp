#include "text_util.h"

#include <cstring>

QByteArray exec_bytes(const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() > 0xff)
            return text.toUtf8();
    }
    return text.toLatin1();
}

QByteArray second_exec_path(const QString &path)
{
    const QByteArray utf8 = path.toUtf8();
    return utf8 == exec_bytes(path) ? QByteArray() : utf8;
}

QString app_name_of(const QString &app_shell)
{
    if (!app_shell.contains(QLatin1Char('/')))
        return app_shell;
    return app_shell.split(QLatin1Char('/')).last();
}

QString command_text(const QString &name, const QStringList &args)
{
    QString text = name;
    for (const QString &arg : args)
        text += QLatin1Char('~') + arg;
    return text;
}

int split_pieces(char *src, const char *separator, char **dest)
{
    if (src == nullptr || *src == '\0' || separator == nullptr || *separator == '\0')
        return 0;
    int count = 0;
    char *save = nullptr;
    // strtok_r: the scanning position stays in this call, so runners may split
    // at the same time.
    for (char *pNext = strtok_r(src, separator, &save); pNext != nullptr;
         pNext = strtok_r(nullptr, separator, &save))
        dest[count++] = pNext;
    return count;
}

int count_pieces(const QString &src, const QString &separator)
{
#if QT_VERSION >= QT_VERSION_CHECK(5, 14, 0)
    return src.split(separator, Qt::KeepEmptyParts, Qt::CaseSensitive).size();
#else
    return src.split(separator, QString::KeepEmptyParts, Qt::CaseSensitive).size();
#endif
}

QString reported_command(const QStringList &cmd_buff)
{
    const QString first = cmd_buff.value(0);
    if (first == QLatin1String("/bin/sh") || first == QLatin1String("/bin/bash")) {
        if (cmd_buff.size() > 1)
            return first.split(QLatin1Char('/')).last() + QLatin1Char(' ') + cmd_buff.at(1);
        return QString();
    }
    return first;
}
