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

#include <atomic>
#include <cerrno>
#include <cstring>

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
    qint64 size = 0;      // as last seen, and what the service wrote since
    bool stopped = false; // at its bound, and it could not be renamed

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
    log = {fd, file.st_dev, file.st_ino, file.st_mode, file.st_uid, file.st_gid, file.st_size};
    return fd;
}

std::atomic<qint64> fileBound{qint64(32) << 20};

// Writes the bytes whole or not at all: after a short write (a full disk)
// the file is cut back to where they began, so the next line starts on its
// own.
void writeWhole(int fd, const QByteArray &bytes)
{
    const ssize_t written = ::write(fd, bytes.constData(), size_t(bytes.size()));
    if (written > 0 && written < bytes.size()) {
        const off_t end = ::lseek(fd, 0, SEEK_END);
        if (end >= written) {
            [[maybe_unused]] const int cut = ::ftruncate(fd, end - written);
        }
    }
}

QByteArray lineOf(const QString &text)
{
    // The text goes through UTF-8 and out in the locale's encoding, with no
    // byte-order mark: what a default text stream on the file writes.
    // Line and paragraph separators end a line in some viewers, and in a
    // page's text they would let it write what looks like a line of the
    // service's own: escaped, as a quoted text's control characters are.
    QString line = QString::fromUtf8(text.toUtf8());
    line.replace(QChar(0x2028), QLatin1String("\\u2028"))
        .replace(QChar(0x2029), QLatin1String("\\u2029"));
    return TextCodec::toLocal(QStringLiteral("[ ") + timestamp() + QStringLiteral("] ") + line +
                              QStringLiteral("\r\n"));
}

// The log has reached its bound: the full file becomes "<name>.1" and a new
// one with the same permissions takes its place. A symbolic link is left as
// the administrator made it, and a file that cannot be renamed stays: both
// are written no more until they are emptied or replaced.
int rotate(OpenLog &log, qint64 bound)
{
    const QByteArray path = QFile::encodeName(strLogFile);
    const QByteArray old = path + ".1";
    const QString size = bound % (1 << 20) == 0 ? QStringLiteral("%1 MiB").arg(bound >> 20)
                                                : QStringLiteral("%1 bytes").arg(bound);
    struct stat named;
    const bool linked = ::lstat(path.constData(), &named) == 0 && S_ISLNK(named.st_mode);
    if (!linked && ::rename(path.constData(), old.constData()) == 0) {
        const mode_t mode = log.mode & 0666;
        const uid_t owner = log.owner;
        const gid_t group = log.group;
        log.close();
        const int fd = ::open(path.constData(),
                              O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, mode);
        if (fd < 0)
            return -1;
        ::fchmod(fd, mode);
        if (::geteuid() == 0) {
            [[maybe_unused]] const int given = ::fchown(fd, owner, group);
        }
        writeWhole(fd, lineOf(QStringLiteral("The log reached its bound of %1: the lines "
                                             "before are in %2")
                                  .arg(size, QFile::decodeName(old))));
        return -1; // opened again, and its size taken, for the line itself
    }
    const QString why = linked ? QStringLiteral("it is a symbolic link")
                               : QString::fromLocal8Bit(std::strerror(errno));
    writeWhole(log.fd, lineOf(QStringLiteral("The log reached its bound of %1 and cannot be "
                                             "renamed to %2 (%3): no more lines are written "
                                             "until it is emptied or replaced")
                                  .arg(size, QFile::decodeName(old), why)));
    log.stopped = true;
    return -1;
}

// The message as one line's text: cut at LogLineChars characters.
QString boundedText(const QString &msg)
{
    if (msg.size() <= LogLineChars)
        return msg;
    int keep = LogLineChars;
    if (msg.at(keep - 1).isHighSurrogate())
        --keep;
    return msg.left(keep) +
           QStringLiteral(" [%1 more bytes left out]").arg(utf8Length(QStringView(msg).mid(keep)));
}

} // namespace

void outputMyMessage(QtMsgType type, const QMessageLogContext &context, const QString &msg)
{
    Q_UNUSED(type)
    Q_UNUSED(context)

    static QMutex mutex;
    static OpenLog log;
    QMutexLocker locker(&mutex);
    int fd = logDescriptor(log);
    if (fd < 0)
        return;
    const QByteArray bytes = lineOf(boundedText(msg));
    const qint64 bound = fileBound.load(std::memory_order_relaxed);
    if (log.size + bytes.size() > bound) {
        // Other writers may have changed the size: only the file's own
        // counts. A stopped file goes on once it has been emptied.
        struct stat file;
        if (::fstat(fd, &file) == 0)
            log.size = file.st_size;
        if (log.stopped && log.size + bytes.size() <= bound)
            log.stopped = false;
        if (log.stopped)
            return;
        if (log.size > 0 && log.size + bytes.size() > bound) {
            rotate(log, bound);
            fd = logDescriptor(log);
            if (fd < 0 || log.stopped)
                return;
        }
    }

    // One write, done before the lock is released: every line is with the
    // system when the handler returns, so a crash loses nothing.
    writeWhole(fd, bytes);
    log.size += bytes.size();
}

void setLogFileBound(qint64 bytes)
{
    fileBound.store(bytes, std::memory_order_relaxed);
}

qint64 utf8Length(QStringView text)
{
    qint64 bytes = 0;
    for (const QChar c : text)
        bytes += c.unicode() < 0x80 ? 1 : c.unicode() < 0x800 ? 2 : c.isSurrogate() ? 2 : 3;
    return bytes;
}

QString quotedForLog(const QString &text)
{
    QString quoted;
    QDebug(&quoted) << text;
    return quoted.trimmed();
}
