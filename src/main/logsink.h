#ifndef LOGSINK_H
#define LOGSINK_H

#include <QString>
#include <QtGlobal>

// The process's message handler: appends every message as one timestamped
// line, "[ yyyy-MM-dd hh:mm:ss:zzz] text" and CR LF, to the file named by
// strLogFile, but only while that file exists. Each line is opened, written,
// flushed and closed on its own, so lines survive a crash of the process.
void outputMyMessage(QtMsgType type, const QMessageLogContext &context, const QString &msg);

// True while the log file exists, that is while outputMyMessage writes lines.
// Asked before every request, from the thread that answers requests.
bool logFileExists();

// Text a peer chose (an Origin, a header), quoted, with control characters
// and quotes escaped: no line of the log can be forged or broken by it.
QString quotedForLog(const QString &text);

#endif // LOGSINK_H
