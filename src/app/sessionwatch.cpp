#include "sessionwatch.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDateTime>
#include <QDebug>

namespace {

const QString kLogind = QStringLiteral("org.freedesktop.login1");
const QString kManagerPath = QStringLiteral("/org/freedesktop/login1");
const QString kManager = QStringLiteral("org.freedesktop.login1.Manager");
const QString kSession = QStringLiteral("org.freedesktop.login1.Session");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");

QDBusMessage ask(const QString &path, const QString &interface, const QString &method,
                 const QVariantList &arguments)
{
    QDBusMessage call = QDBusMessage::createMethodCall(kLogind, path, interface, method);
    call.setArguments(arguments);
    return QDBusConnection::systemBus().call(call, QDBus::Block, SessionWatch::CallTimeoutMs);
}

} // namespace

SessionWatch::SessionWatch(QObject *parent) : QObject(parent)
{
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected())
        return;
    // The session the desktop was started in; a service started some other
    // way asks by its process.
    const QString id = qEnvironmentVariable("XDG_SESSION_ID");
    const QDBusMessage found =
        id.isEmpty() ? ask(kManagerPath, kManager, QStringLiteral("GetSessionByPID"),
                           {uint(QCoreApplication::applicationPid())})
                     : ask(kManagerPath, kManager, QStringLiteral("GetSession"), {id});
    if (found.type() != QDBusMessage::ReplyMessage || found.arguments().isEmpty()) {
        qDebug().noquote() << "No login session is known for this service (" +
                                  found.errorMessage() + "): it serves whichever session is active";
        return;
    }
    sessionPath = found.arguments().constFirst().value<QDBusObjectPath>().path();
    bus.connect(kLogind, sessionPath, kProperties, QStringLiteral("PropertiesChanged"), this,
                SLOT(propertiesChanged(QString, QVariantMap, QStringList)));
    readActive();
    qDebug().noquote() << "Login session" << sessionPath
                       << (isActive ? "is at the screen" : "is not at the screen");
}

void SessionWatch::readActive()
{
    const QDBusMessage reply =
        ask(sessionPath, kProperties, QStringLiteral("Get"), {kSession, QStringLiteral("Active")});
    // A session logind no longer answers for is not at the screen.
    setActive(reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
              reply.arguments().constFirst().value<QDBusVariant>().variant().toBool());
}

void SessionWatch::propertiesChanged(const QString &interface, const QVariantMap &changed,
                                     const QStringList &invalidated)
{
    if (interface != kSession)
        return;
    if (changed.contains(QStringLiteral("Active")))
        setActive(changed.value(QStringLiteral("Active")).toBool());
    else if (invalidated.contains(QStringLiteral("Active")))
        readActive();
}

void SessionWatch::setActive(bool active)
{
    if (active == isActive)
        return;
    isActive = active;
    Q_EMIT activeChanged(active);
}

bool SessionWatch::userLoggedIn(uint uid)
{
    if (!known())
        return false;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const auto cached = users.constFind(uid);
    if (cached != users.constEnd() && now - cached->at < UserCacheMs)
        return cached->loggedIn;
    // logind knows a user only while they have a session (or lingering).
    const QDBusMessage reply = ask(kManagerPath, kManager, QStringLiteral("GetUser"), {uid});
    const bool loggedIn = reply.type() == QDBusMessage::ReplyMessage;
    users.insert(uid, {loggedIn, now});
    return loggedIn;
}
