#include "traywatch.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusServiceWatcher>
#include <QGuiApplication>
#if QT_VERSION_MAJOR < 6
#include <QX11Info>
#endif

#include <algorithm>
#include <cstdlib>

#include <xcb/xcb.h>

namespace {

const QString kWatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kWatcherPath = QStringLiteral("/StatusNotifierWatcher");

// Asks the watcher for a property; invalid when there is none on the bus.
QVariant watcherProperty(const char *name)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface()->isServiceRegistered(kWatcherService))
        return QVariant();
    QDBusInterface watcher(kWatcherService, kWatcherPath, kWatcherService, bus);
    return watcher.isValid() ? watcher.property(name) : QVariant();
}

// The watcher lists an item of this process: Qt names it
// org.kde.StatusNotifierItem-<pid>-<n>; some watchers list the sender instead.
bool itemRegistered()
{
    const QString ours =
        QStringLiteral("StatusNotifierItem-%1-").arg(QCoreApplication::applicationPid());
    const QString sender = QDBusConnection::sessionBus().baseService();
    const QStringList items = watcherProperty("RegisteredStatusNotifierItems").toStringList();
    return std::any_of(items.cbegin(), items.cend(), [&](const QString &item) {
        return item.contains(ours) || item.startsWith(sender);
    });
}

// Qt's own connection to the X server; null on another platform. Qt 5 hands
// it out through its X11 Extras, Qt 6 through the application's native interface.
xcb_connection_t *x11Connection()
{
#if QT_VERSION_MAJOR < 6
    return QX11Info::isPlatformX11() ? QX11Info::connection() : nullptr;
#else
    auto *x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
#endif
}

// Some client owns the X screen's system tray selection.
bool xembedTrayPresent()
{
    xcb_connection_t *connection = x11Connection();
    if (!connection)
        return false;
    // The screen that DISPLAY names, which is the application's.
    char *host = nullptr;
    int display = 0;
    int screen = 0;
    if (!xcb_parse_display(nullptr, &host, &display, &screen))
        return false;
    std::free(host);
    const QByteArray name = "_NET_SYSTEM_TRAY_S" + QByteArray::number(screen);
    xcb_intern_atom_reply_t *atom = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, false, quint16(name.size()), name.constData()),
        nullptr);
    if (!atom)
        return false;
    xcb_get_selection_owner_reply_t *owner = xcb_get_selection_owner_reply(
        connection, xcb_get_selection_owner(connection, atom->atom), nullptr);
    const bool owned = owner && owner->owner != XCB_NONE;
    std::free(owner);
    std::free(atom);
    return owned;
}

} // namespace

TrayWatch::TrayWatch(QObject *parent) : QObject(parent)
{
    xembedPoll.setInterval(1000);
    connect(&xembedPoll, &QTimer::timeout, this, &TrayWatch::check);
    itemPoll.setSingleShot(true);
    itemPoll.setInterval(300);
    connect(&itemPoll, &QTimer::timeout, this, &TrayWatch::checkItem);
}

bool TrayWatch::statusNotifierHostPresent()
{
    return watcherProperty("IsStatusNotifierHostRegistered").toBool();
}

bool TrayWatch::trayPresent()
{
    return xembedTrayPresent() || statusNotifierHostPresent();
}

void TrayWatch::start()
{
    if (watching)
        return;
    watching = true;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected()) {
        auto *services = new QDBusServiceWatcher(kWatcherService, bus,
                                                 QDBusServiceWatcher::WatchForRegistration, this);
        connect(services, &QDBusServiceWatcher::serviceRegistered, this, &TrayWatch::check);
        // A panel registers as host after the watcher is up, also when it restarts.
        bus.connect(kWatcherService, kWatcherPath, kWatcherService,
                    QStringLiteral("StatusNotifierHostRegistered"), this, SLOT(check()));
    }
    if (x11Connection())
        xembedPoll.start();
    check();
}

void TrayWatch::check()
{
    if (found) {
        itemPoll.start();
        return;
    }
    if (!watching || !trayPresent())
        return;
    found = true;
    xembedPoll.stop();
    Q_EMIT trayAppeared();
}

void TrayWatch::checkItem()
{
    if (statusNotifierHostPresent() && !itemRegistered())
        Q_EMIT itemLost();
}
