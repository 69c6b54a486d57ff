#include "policywatch.h"

#include "globals.h"
#include "logsink.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>

#include <cerrno>
#include <utility>

#include <sys/inotify.h>
#include <unistd.h>

namespace {

// Events that end a change: the writer closed the file, a name was renamed,
// linked or removed, or the folder itself went. A change seen only as
// modifications is still being written.
constexpr quint32 WholeEvents = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE |
                                IN_DELETE | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;

// Where a symbolic link points, made absolute; empty when the path is no link.
QString linkTarget(const QString &path)
{
    QByteArray target(4096, '\0');
    const ssize_t got =
        ::readlink(QFile::encodeName(path).constData(), target.data(), size_t(target.size()));
    if (got <= 0 || got >= target.size())
        return QString();
    const QString next = QFile::decodeName(target.left(int(got)));
    return QDir::cleanPath(QDir::isAbsolutePath(next)
                               ? next
                               : QFileInfo(path).absolutePath() + QLatin1Char('/') + next);
}

} // namespace

PolicyWatch::PolicyWatch(QObject *parent) : QObject(parent)
{
    settle.setSingleShot(true);
    settle.setInterval(SettleMs);
    connect(&settle, &QTimer::timeout, this, &PolicyWatch::reload);
    steady.setSingleShot(true);
    steady.setInterval(SteadyMs);
    connect(&steady, &QTimer::timeout, this, &PolicyWatch::reload);
    inotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotify < 0) {
        qWarning().noquote() << "The policy cannot be followed while the service runs:"
                             << QString::fromLocal8Bit(strerror(errno));
        return;
    }
    notifier = new QSocketNotifier(inotify, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &PolicyWatch::readEvents);
    watchAgain();
}

PolicyWatch::~PolicyWatch()
{
    if (inotify >= 0)
        ::close(inotify);
}

void PolicyWatch::watchAgain()
{
    QList<QPair<QString, QString>> wanted; // folder, name
    for (const QString &folder : Policy::folders()) {
        const QString own = folder + QStringLiteral("/krvi2veravawebsocket");
        wanted.append({folder, QStringLiteral("krvi2veravawebsocket")});
        wanted.append({own, QStringLiteral("policy.conf")});
        // Every link on the way (the alternatives pattern: a link to a link
        // that is switched), up to the system's own limit of hops.
        QString path = own + QStringLiteral("/policy.conf");
        for (int hop = 0; hop < 40; ++hop) {
            path = linkTarget(path);
            if (path.isEmpty())
                break;
            const QFileInfo target(path);
            wanted.append({target.absolutePath(), target.fileName()});
        }
    }
    // Watched again each time: a folder made, replaced or moved away since
    // is then watched where it is now (a watch follows the folder, not its
    // name); one watched already keeps its watch.
    QHash<int, QSet<QByteArray>> now;
    for (const auto &entry : wanted) {
        const int watch = ::inotify_add_watch(inotify, QFile::encodeName(entry.first).constData(),
                                              WholeEvents | IN_MODIFY | IN_ONLYDIR);
        if (watch >= 0)
            now[watch].insert(QFile::encodeName(entry.second));
    }
    for (auto it = names.cbegin(); it != names.cend(); ++it) {
        if (!now.contains(it.key()))
            ::inotify_rm_watch(inotify, it.key());
    }
    names = now;
}

void PolicyWatch::readEvents()
{
    alignas(inotify_event) char buffer[16384];
    bool relevant = false;
    for (;;) {
        const ssize_t got = ::read(inotify, buffer, sizeof buffer);
        if (got <= 0)
            break;
        for (ssize_t at = 0; at < got;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
            at += ssize_t(sizeof(inotify_event) + event->len);
            const auto watch = names.constFind(event->wd);
            if (watch == names.cend())
                continue; // a watch let go of
            // An event of the folder itself has no name.
            if (event->len > 0 && !watch->contains(QByteArray(event->name)))
                continue;
            relevant = true;
            if (event->mask & WholeEvents)
                whole = true;
        }
    }
    if (relevant)
        settle.start();
}

void PolicyWatch::reload()
{
    watchAgain();
    const bool closed = std::exchange(whole, false);
    Policy next;
    const bool read = next.load();
    if (read && next == policy) {
        pending.reset();
        steady.stop();
        lastRefusal.clear();
        return;
    }
    // A whole file that lets no one new in applies at once.
    if (read && closed && next.narrows(policy)) {
        pending.reset();
        steady.stop();
        apply(next);
        return;
    }
    if (!pending || *pending != next) {
        pending = next;
        steady.start();
        return;
    }
    if (steady.isActive())
        return;
    pending.reset();
    if (read) {
        apply(next);
        return;
    }
    if (next.why() != lastRefusal) {
        lastRefusal = next.why();
        qWarning().noquote() << "The changed policy is not applied; the last good one stays:"
                             << next.why();
        Q_EMIT refused(next.why());
    }
}

void PolicyWatch::apply(const Policy &next)
{
    lastRefusal.clear();
    const bool listenChanged = next.listenAddresses() != policy.listenAddresses();
    policy = next;
    strLogFile = policy.logFileOr(ExePath + QStringLiteral("krlog.txt"));
    setLogFileBound(qint64(policy.logSizeMiB()) << 20);
    qDebug().noquote()
        << (policy.file().isEmpty()
                ? QStringLiteral("The policy file is gone: nothing is restricted")
                : QStringLiteral("The policy %1 applies from now on").arg(policy.file()));
    Q_EMIT applied(listenChanged);
}
