#ifndef LOGSINK_H
#define LOGSINK_H

#include <QString>
#include <QtGlobal>

// The process's message handler: appends every message as one timestamped
// line, "[ yyyy-MM-dd hh:mm:ss:zzz] text" and CR LF, to the file named by
// strLogFile, but only while that file exists. Each line is one write, done
// before the handler returns, so lines survive a crash of the process.
void outputMyMessage(QtMsgType type, const QMessageLogContext &context, const QString &msg);

// A line keeps at most so many characters of its message (a card read's
// reply, about 9,000, fits whole); the rest is left out, and the line says
// how many bytes.
constexpr int LogLineChars = 16 * 1024;

// The log file's bound in bytes: a line that would take it past the bound
// goes to a new file, the full one renamed with ".1" added (the one before
// it is replaced). Where it cannot be renamed, logging stops with one line
// saying so, until the file is emptied or replaced.
void setLogFileBound(qint64 bytes);

// The bytes of the text in UTF-8.
qint64 utf8Length(QStringView text);

// True while the log file exists, that is while outputMyMessage writes lines.
// Asked before every request.
bool logFileExists();

// From now on logFileExists(), asked on the application's thread, follows the
// file from the event loop instead of looking up its path each time. Called
// before any client connects: the watch then comes ahead of the clients in
// each turn of the loop, so a file placed before a request was sent is seen
// before the request is answered.
void watchLogFile();

// Text a peer chose (an Origin, a header), quoted, with control characters
// and quotes escaped: no line of the log can be forged or broken by it.
QString quotedForLog(const QString &text);

#endif // LOGSINK_H
