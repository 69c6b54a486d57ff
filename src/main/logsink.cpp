#include "logsink.h"

#include "globals.h"

#include <QDateTime>
#include <QFile>
#include <QMutex>
#include <QTextStream>

void outputMyMessage(QtMsgType type, const QMessageLogContext &context, const QString &msg)
{
    Q_UNUSED(type)
    Q_UNUSED(context)

    // Logging is switched on by placing the file beside the executable; the
    // sink never creates it.
    if (!QFile::exists(strLogFile))
        return;

    static QMutex mutex;
    QMutexLocker locker(&mutex);

    const QByteArray text = msg.toUtf8();
    QFile file(strLogFile);
    // A file that exists but cannot be written loses the line, quietly.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return;
    QTextStream stream(&file);
    stream << "[ "
           << QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss:zzz"))
           << "] " << text << "\r\n";
    stream.flush();
    file.flush();
    file.close();
}
