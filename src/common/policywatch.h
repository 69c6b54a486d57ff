#ifndef POLICYWATCH_H
#define POLICYWATCH_H

#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <optional>

#include "policy.h"

class QSocketNotifier;

// Follows the administrator's policy while the service runs, however the file
// is placed (written, renamed over, linked through links); what it holds
// decides. A change that only narrows applies once the file is whole (closed
// by its writer, renamed or linked into place); any other (lifting, a file
// still being written or removed, one that cannot be honoured: the last good
// policy stays, one line in the log) once it has stayed so for SteadyMs, so
// that a file rewritten in place never lets anyone in half-way.
class PolicyWatch : public QObject
{
    Q_OBJECT

public:
    // The events of one save come together.
    static constexpr int SettleMs = 200;
    static constexpr int SteadyMs = 2000;

    explicit PolicyWatch(QObject *parent = nullptr);
    ~PolicyWatch() override;

Q_SIGNALS:
    // A new policy is in force; where the server listens has changed with it.
    void applied(bool listenChanged);
    // A change was not applied, for this reason (said once for each reason).
    void refused(const QString &why);

private:
    // Watches every folder on the way to the file: the configuration
    // folders, the service's folder in each, and the folder of every link's
    // target, each for the one name in it that matters.
    void watchAgain();
    void readEvents();
    void reload();
    void apply(const Policy &next);

    int inotify = -1;
    QSocketNotifier *notifier = nullptr;
    QHash<int, QSet<QByteArray>> names; // by watch: the names that matter
    bool whole = false; // since the last reading: the file was closed, renamed, linked or removed
    QTimer settle;
    QTimer steady;
    std::optional<Policy> pending; // what waits to have stayed the same
    QString lastRefusal;
};

#endif // POLICYWATCH_H
