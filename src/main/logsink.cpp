#include "logsink.h"

#include "globals.h"
#include "textcodec.h"

#include <QDateTime>
#include <QFile>
#include <QMutex>

#include <cerrno>

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
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

// Whether the log file exists, asked before every request. A look-up by path
// costs a walk through every folder in it; instead the file's folder is
// watched with inotify and the file looked up again only when an event names
// it. The kernel queues the event before the system call that creates,
// removes or renames the file returns, so the answer is always current.
// Without a watch, or for a file that is a symbolic link (its target can
// change out of sight), every call looks the file up. The folder is the
// executable's, whose path has no symbolic links left in it, or the one the
// administrator's policy names.
class LogFileWatch
{
public:
    bool exists(const QString &file)
    {
        if (file != watchedFile)
            watch(file);
        if (descriptor >= 0 && !linked) {
            if (takeEvents())
                lookUp();
            return found;
        }
        return lookUp();
    }

private:
    void watch(const QString &file)
    {
        stop();
        watchedFile = file;
        path = QFile::encodeName(file);
        name = path.mid(path.lastIndexOf('/') + 1);
        const QByteArray folder = path.left(path.lastIndexOf('/') + 1);
        descriptor = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (descriptor >= 0 &&
            inotify_add_watch(descriptor, folder.isEmpty() ? "." : folder.constData(),
                              IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF |
                                  IN_MOVE_SELF | IN_ONLYDIR) < 0)
            stop();
        // Looked up after the watch is in place: a change in between is an event.
        lookUp();
    }

    void stop()
    {
        if (descriptor >= 0)
            ::close(descriptor);
        descriptor = -1;
    }

    bool lookUp()
    {
        struct stat file;
        linked = ::lstat(path.constData(), &file) == 0 && S_ISLNK(file.st_mode);
        found = ::access(path.constData(), F_OK) == 0;
        return found;
    }

    // Takes the queued events; true when one may concern the file.
    bool takeEvents()
    {
        alignas(inotify_event) char buffer[4096];
        bool named = false;
        for (;;) {
            const ssize_t got = ::read(descriptor, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0 && errno == EAGAIN)
                return named;
            if (got <= 0) {
                stop();
                return true;
            }
            for (const char *at = buffer; at < buffer + got;) {
                const auto *event = reinterpret_cast<const inotify_event *>(at);
                if (event->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_Q_OVERFLOW)) {
                    // The folder went away, or events were lost: look up from now on.
                    stop();
                    return true;
                }
                if (event->len > 0 && name == event->name)
                    named = true;
                at += sizeof *event + event->len;
            }
        }
    }

    QString watchedFile;
    QByteArray path;
    QByteArray name;
    int descriptor = -1;
    bool found = false;
    bool linked = false;
};

} // namespace

bool logFileExists()
{
    static LogFileWatch watch;
    return watch.exists(strLogFile);
}

void outputMyMessage(QtMsgType type, const QMessageLogContext &context, const QString &msg)
{
    Q_UNUSED(type)
    Q_UNUSED(context)

    // Logging is switched on by placing the file beside the executable. Opening
    // it without O_CREAT is the existence check: with no file the message goes
    // nowhere, and the sink never creates the file. A file that exists but
    // cannot be written loses the line, quietly. Only a regular file (or a
    // symbolic link to one) is written: opening without blocking makes a FIFO
    // with no reader fail at once instead of waiting for one, and one with a
    // reader, a device or a folder is refused after the open.
    const int fd = ::open(QFile::encodeName(strLogFile).constData(),
                          O_WRONLY | O_APPEND | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return;
    struct stat file;
    if (::fstat(fd, &file) != 0 || !S_ISREG(file.st_mode)) {
        ::close(fd);
        return;
    }

    static QMutex mutex;
    QMutexLocker locker(&mutex);

    // The text goes through UTF-8 and out in the locale's encoding, with no
    // byte-order mark: what a default text stream on the file writes.
    const QString line = QStringLiteral("[ ") + timestamp() + QStringLiteral("] ") +
                         QString::fromUtf8(msg.toUtf8()) + QStringLiteral("\r\n");
    const QByteArray bytes = TextCodec::toLocal(line);

    // One write, and closed before the lock is released: every line is with
    // the system when the handler returns, so a crash loses nothing. A line is
    // written whole or not at all: after a short write (a full disk) the file
    // is cut back to where the line began, so the next line starts on its own.
    const off_t before = ::lseek(fd, 0, SEEK_END);
    if (::write(fd, bytes.constData(), size_t(bytes.size())) != bytes.size() && before >= 0) {
        [[maybe_unused]] const int cut = ::ftruncate(fd, before);
    }
    ::close(fd);
}
