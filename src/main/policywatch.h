#ifndef POLICYWATCH_H
#define POLICYWATCH_H

#include <QFileSystemWatcher>
#include <QObject>
#include <QString>
#include <QTimer>

// Follows the administrator's policy while the service runs, so that a fleet
// of desks takes a new one without a logout. A changed file (or folder) is
// read again once it has been quiet for SettleMs; a valid policy applies from
// then on (the next connection, the next log line), one that cannot be
// honoured leaves the last good one in force, with one line in the log.
class PolicyWatch : public QObject
{
    Q_OBJECT

public:
    static constexpr int SettleMs = 500;

    explicit PolicyWatch(QObject *parent = nullptr);

Q_SIGNALS:
    // A new policy is in force; where the server listens has changed with it.
    void applied(bool listenChanged);
    // A change was not applied, for this reason (said once for each reason).
    void refused(const QString &why);

private:
    void watchAgain();
    void reload();

    QFileSystemWatcher watcher;
    QTimer settle;
    QString lastRefusal;
};

#endif // POLICYWATCH_H
