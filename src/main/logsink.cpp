#include "logsink.h"

#include "globals.h"

#include <QDateTime>
#include <QFile>
#include <QMutex>
#include <QTextCodec>

#include <fcntl.h>
#include <unistd.h>

namespace {

// "yyyy-MM-dd hh:mm:ss:zzz" in local time. The part up to the seconds is
// worked out once per second: converting to local time makes the C library
// look at the time zone file, and the log may write thousands of lines a
// second. Zone offsets are whole seconds, so the milliseconds carry over.
QString timestamp()
{
    static qint64 cachedSecond = -1;
    static QString cachedPrefix;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const qint64 second = now / 1000;
    if (second != cachedSecond) {
        cachedSecond = second;
        cachedPrefix = QDateTime::fromMSecsSinceEpoch(second * 1000)
                           .toString(QStringLiteral("yyyy-MM-dd hh:mm:ss:"));
    }
    return cachedPrefix + QStringLiteral("%1").arg(now % 1000, 3, 10, QLatin1Char('0'));
}

} // namespace

bool logFileExists()
{
    // A plain access() call: QFile::exists builds a file-info object around a
    // stat, and this check runs for every request.
    return ::access(QFile::encodeName(strLogFile).constData(), F_OK) == 0;
}

void outputMyMessage(QtMsgType type, const QMessageLogContext &context, const QString &msg)
{
    Q_UNUSED(type)
    Q_UNUSED(context)

    // Logging is switched on by placing the file beside the executable. Opening
    // it without O_CREAT is the existence check: with no file the message goes
    // nowhere, and the sink never creates the file. A file that exists but
    // cannot be written loses the line, quietly.
    const int fd =
        ::open(QFile::encodeName(strLogFile).constData(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0)
        return;

    static QMutex mutex;
    QMutexLocker locker(&mutex);

    // The text goes through UTF-8 and out in the locale's encoding, with no
    // byte-order mark: what a default text stream on the file writes.
    const QString line = QStringLiteral("[ ") + timestamp() + QStringLiteral("] ") +
                         QString::fromUtf8(msg.toUtf8()) + QStringLiteral("\r\n");
    const QByteArray bytes = QTextCodec::codecForLocale()->fromUnicode(line);

    // One write, and closed before the lock is released: every line is with
    // the system when the handler returns, so a crash loses nothing.
    const char *data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, size_t(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            break;
        data += written;
        left -= written;
    }
    ::close(fd);
}
