#ifndef SESSIONWATCH_H
#define SESSIONWATCH_H

#include <QHash>
#include <QObject>
#include <QString>
#include <QVariantMap>

// Whether this process's login session is the one at the screen, as logind
// tells it on the system bus (org.freedesktop.login1): the session named by
// XDG_SESSION_ID, else the one this process belongs to, and its Active
// property, followed as it changes. On a desk shared by several clerks only
// the active session's service serves. Without logind, or when it does not
// know this process, the session counts as active for good.
class SessionWatch : public QObject
{
    Q_OBJECT

public:
    // How long a question to logind may take before it counts as unanswered.
    static constexpr int CallTimeoutMs = 1000;
    // How long logind's answer whether a user is logged in is reused: a page
    // of another clerk that retries costs one question per interval.
    static constexpr int UserCacheMs = 10000;

    explicit SessionWatch(QObject *parent = nullptr);

    // Whether logind answered for this process's session.
    bool known() const { return !sessionPath.isEmpty(); }
    bool active() const { return isActive; }
    // Whether the user (not this process's own) is logged in with logind: a
    // program of theirs is another clerk's.
    bool userLoggedIn(uint uid);

Q_SIGNALS:
    void activeChanged(bool active);

private Q_SLOTS:
    void propertiesChanged(const QString &interface, const QVariantMap &changed,
                           const QStringList &invalidated);

private:
    void readActive();
    void setActive(bool active);

    QString sessionPath;
    bool isActive = true;
    struct Answer
    {
        bool loggedIn;
        qint64 at;
    };
    QHash<uint, Answer> users;
};

#endif // SESSIONWATCH_H
