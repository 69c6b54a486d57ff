#include "logsink.h"

#include <QDebug>

#include "globals.h"
#include "textcodec.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QMutex>
#include <QPointer>
#include <QSocketNotifier>
#include <QThread>

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

} // namespace

namespace {

// Whether the log file exists is asked before every request: without the
// file, the request's lines are not even built. A look-up of the path cost a
// tenth of the service's time for "close_device" (9.7 against 8.7 µs of
// processor time a round trip, 10 connections, 2026-12-10). Instead the
// file's folder is watched (inotify) from the event loop, and the path looked
// up again when an event names the file. Without a watch (no inotify instance
// left, the folder itself moved or removed), or while the file is a symbolic
// link (its target can change out of sight), every call looks up the path.
class LogFileWatch
{
public:
    void start()
    {
        descriptor = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (descriptor < 0)
            return;
        notifier =
            new QSocketNotifier(descriptor, QSocketNotifier::Read, QCoreApplication::instance());
        QObject::connect(notifier, &QSocketNotifier::activated, notifier, [this] { takeEvents(); });
    }

    bool exists(const QString &file)
    {
        if (file != watchedFile)
            watch(file);
        if (folder < 0 || !notifier || linked)
            return lookUp();
        return found;
    }

private:
    // A new path (the policy changed it) is watched by the same instance, so
    // the watch keeps its place in the event loop's turn.
    void watch(const QString &file)
    {
        watchedFile = file;
        path = QFile::encodeName(file);
        const int slash = path.lastIndexOf('/');
        name = path.mid(slash + 1);
        if (folder >= 0)
            inotify_rm_watch(descriptor, folder);
        folder = -1;
        if (descriptor >= 0)
            folder =
                inotify_add_watch(descriptor, slash >= 0 ? path.left(slash + 1).constData() : ".",
                                  IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                      IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR);
        // Looked up once the watch is in place: a change in between is an event.
        lookUp();
    }

    bool lookUp()
    {
        struct stat file;
        const bool named = ::lstat(path.constData(), &file) == 0;
        linked = named && S_ISLNK(file.st_mode);
        found = linked ? ::access(path.constData(), F_OK) == 0 : named;
        return found;
    }

    void takeEvents()
    {
        alignas(inotify_event) char buffer[4096];
        bool named = false;
        for (;;) {
            const ssize_t got = ::read(descriptor, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0 && errno != EAGAIN) {
                // Not to be woken for it again and again: look up from now on.
                notifier->setEnabled(false);
                folder = -1;
            }
            if (got <= 0)
                break;
            for (const char *at = buffer; at < buffer + got;) {
                const auto *event = reinterpret_cast<const inotify_event *>(at);
                at += sizeof *event + event->len;
                // Events were lost: the file may have changed.
                named = named || (event->mask & IN_Q_OVERFLOW);
                if (event->wd != folder)
                    continue; // a folder watched before the policy changed the path
                if (event->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF))
                    folder = -1; // the folder went: the path is looked up from now on
                else if (event->len > 0 && name == event->name)
                    named = true;
            }
        }
        if (named)
            lookUp();
    }

    int descriptor = -1;
    int folder = -1;                    // the watch on the file's folder
    QPointer<QSocketNotifier> notifier; // goes with the application
    QString watchedFile;
    QByteArray path;
    QByteArray name;
    bool found = false;
    bool linked = false;
};

LogFileWatch *logWatch = nullptr; // used on the thread that started it only

QThread *watchingThread = nullptr;

} // namespace

void watchLogFile()
{
    static LogFileWatch watch;
    watch.start();
    logWatch = &watch;
    watchingThread = QThread::currentThread();
}

bool logFileExists()
{
    // The thread compared by pointer, the application object not asked: a
    // sanitizer build checks the object behind such a call through a pipe,
    // and with the process out of descriptors it took the application for a
    // broken object and ended the service.
    if (logWatch && QThread::currentThread() == watchingThread)
        return logWatch->exists(strLogFile);
    return QFile::exists(strLogFile);
}

namespace {

// The log file as it was last opened, kept open between lines: a look-up of
// the path per line tells whether it is still the same file, instead of an
// open, a close and two more calls (log present, "close_device" with 10
// connections: 0.22 of the floor with a fresh open per line).
struct OpenLog
{
    int fd = -1;
    dev_t device = 0;
    ino_t inode = 0;
    mode_t mode = 0;
    uid_t owner = 0;
    gid_t group = 0;

    bool isFile(const struct stat &file) const
    {
        return fd >= 0 && file.st_dev == device && file.st_ino == inode && file.st_mode == mode &&
               file.st_uid == owner && file.st_gid == group;
    }
    void close()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
};

// The descriptor for the file now at the log's path, or -1 when there is none
// or it is no regular file.
int logDescriptor(OpenLog &log)
{
    // Logging is switched on by placing the file beside the executable: with
    // no file the message goes nowhere, and the sink never creates the file.
    // Only a regular file (or a symbolic link to one) is written: a FIFO is
    // never opened (it could block the open or a write), a device or a folder
    // neither.
    const QByteArray path = QFile::encodeName(strLogFile);
    struct stat file;
    if (::stat(path.constData(), &file) != 0 || !S_ISREG(file.st_mode)) {
        log.close();
        return -1;
    }
    // A file removed and made again may get the inode number back: the one
    // still open must have a name left.
    struct stat held;
    if (log.isFile(file) && ::fstat(log.fd, &held) == 0 && held.st_nlink > 0)
        return log.fd;
    // Another file, or the same one with other owners or permissions: opened
    // again, so a file that cannot be written loses the line, quietly. Opening
    // without blocking and checking again after the open covers a FIFO put in
    // its place in between.
    log.close();
    const int fd =
        ::open(path.constData(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return -1;
    if (::fstat(fd, &file) != 0 || !S_ISREG(file.st_mode)) {
        ::close(fd);
        return -1;
    }
    log = {fd, file.st_dev, file.st_ino, file.st_mode, file.st_uid, file.st_gid};
    return fd;
}

} // namespace

void outputMyMessage(QtMsgType type, const QMessageLogContext &context, const QString &msg)
{
    Q_UNUSED(type)
    Q_UNUSED(context)

    static QMutex mutex;
    static OpenLog log;
    QMutexLocker locker(&mutex);
    const int fd = logDescriptor(log);
    if (fd < 0)
        return;

    // The text goes through UTF-8 and out in the locale's encoding, with no
    // byte-order mark: what a default text stream on the file writes.
    const QString line = QStringLiteral("[ ") + timestamp() + QStringLiteral("] ") +
                         QString::fromUtf8(msg.toUtf8()) + QStringLiteral("\r\n");
    const QByteArray bytes = TextCodec::toLocal(line);

    // One write, done before the lock is released: every line is with the
    // system when the handler returns, so a crash loses nothing. A line is
    // written whole or not at all: after a short write (a full disk) the file
    // is cut back to where the line began, so the next line starts on its own.
    const ssize_t written = ::write(fd, bytes.constData(), size_t(bytes.size()));
    if (written > 0 && written < bytes.size()) {
        const off_t end = ::lseek(fd, 0, SEEK_END);
        if (end >= written) {
            [[maybe_unused]] const int cut = ::ftruncate(fd, end - written);
        }
    }
}

QString quotedForLog(const QString &text)
{
    QString quoted;
    QDebug(&quoted) << text;
    return quoted.trimmed();
}
