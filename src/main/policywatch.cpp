#include "policywatch.h"

#include "globals.h"
#include "logsink.h"
#include "policy.h"

#include <QDebug>
#include <QFileInfo>

PolicyWatch::PolicyWatch(QObject *parent) : QObject(parent)
{
    settle.setSingleShot(true);
    settle.setInterval(SettleMs);
    connect(&settle, &QTimer::timeout, this, &PolicyWatch::reload);
    // Editors and configuration management replace a file rather than
    // write it: a change of the folder counts too.
    connect(&watcher, &QFileSystemWatcher::fileChanged, &settle, qOverload<>(&QTimer::start));
    connect(&watcher, &QFileSystemWatcher::directoryChanged, &settle, qOverload<>(&QTimer::start));
    watchAgain();
}

void PolicyWatch::watchAgain()
{
    QStringList paths;
    for (const QString &folder : Policy::folders()) {
        const QString own = folder + QStringLiteral("/krvi2veravawebsocket");
        for (const QString &path : {folder, own, own + QStringLiteral("/policy.conf")}) {
            if (QFileInfo::exists(path))
                paths.append(path);
        }
    }
    const QStringList watched = watcher.files() + watcher.directories();
    if (!watched.isEmpty())
        watcher.removePaths(watched);
    if (!paths.isEmpty())
        watcher.addPaths(paths);
}

void PolicyWatch::reload()
{
    watchAgain();
    Policy next;
    if (!next.load()) {
        if (next.why() != lastRefusal) {
            lastRefusal = next.why();
            qWarning().noquote() << "The changed policy is not applied; the last good one stays:"
                                 << next.why();
            Q_EMIT refused(next.why());
        }
        return;
    }
    lastRefusal.clear();
    if (next == policy)
        return;
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
