// Text helpers of the runner that need neither the bus nor a process.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// Bytes for execv. Text wholly within Latin-1 keeps one byte per character, so
// bytes that came in on the command line go back out unchanged; anything wider
// is encoded as UTF-8 rather than collapsed to "?".
QByteArray exec_bytes(const QString &text);

// The path to execute when exec_bytes(path) names no file: its UTF-8 form,
// for a path wholly within Latin-1 that is not plain ASCII; empty otherwise.
QByteArray second_exec_path(const QString &path);

// The last "/"-separated piece of a command path, or the path itself when it
// holds no "/". A path ending in "/" gives the empty name.
QString app_name_of(const QString &app_shell);

// The command text: the name and each argument, joined by single "~".
QString command_text(const QString &name, const QStringList &args);

// Cuts src in place into the pieces between runs of separator characters, as
// strtok does, storing a pointer to each piece in dest (not null-terminated).
// dest must have room for every piece. Returns the number of pieces.
int split_pieces(char *src, const char *separator, char **dest);

// Number of pieces of src split at every whole separator, empty pieces kept.
int count_pieces(const QString &src, const QString &separator);

// The command as reported to the runtime service, from the command path
// followed by the arguments: "sh X" / "bash X" for /bin/sh or /bin/bash with a
// first argument X, empty for either shell alone, otherwise the path.
QString reported_command(const QStringList &cmd_buff);
