// The real service on a desktop whose tray is a D-Bus StatusNotifierItem host
// (KDE Plasma and the like), on a private session bus. This test stands in for
// the panel: it is the StatusNotifierWatcher and the notification server, and
// it reads and clicks the service's menu through com.canonical.dbusmenu.
#include "servicefixture.h"
#include "wsclient.h"
#include "xdotool.h"

#include <QDBusAbstractAdaptor>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QTest>

#include <memory>

#include <unistd.h>

namespace {

const QString kWatcher = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kNotifications = QStringLiteral("org.freedesktop.Notifications");

struct MenuEntry
{
    int id;
    QString label;
};

// The reply to a call to the service, this test's own objects answering the
// service meanwhile. Not QDBus::BlockWithGui: Qt 5 misses a reply that lands
// just before its loop starts, and then waits for ever.
QDBusMessage await(const QDBusPendingCall &call)
{
    QDeadlineTimer deadline(30000);
    while (!call.isFinished() && !deadline.hasExpired())
        QTest::qWait(10);
    return call.reply();
}

// One node of a dbusmenu layout, (ia{sv}av), and its children.
void readLayout(const QDBusArgument &node, QList<MenuEntry> &entries)
{
    int id = 0;
    QVariantMap properties;
    node.beginStructure();
    node >> id >> properties;
    node.beginArray();
    while (!node.atEnd()) {
        QDBusVariant child;
        node >> child;
        readLayout(child.variant().value<QDBusArgument>(), entries);
    }
    node.endArray();
    node.endStructure();
    if (properties.contains(QStringLiteral("label")))
        entries.append({id, properties.value(QStringLiteral("label")).toString()});
}

} // namespace

// The panel's watcher: records the items that register.
class Watcher : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ registered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)

public:
    explicit Watcher(QObject *parent) : QDBusAbstractAdaptor(parent) {}
    bool hostRegistered() const { return true; }
    QStringList registered() const { return items; }
    int protocolVersion() const { return 0; }

    QStringList items;
    QStringList senders;

public Q_SLOTS:
    void RegisterStatusNotifierItem(const QString &service, const QDBusMessage &message)
    {
        items.append(service);
        senders.append(message.service());
        Q_EMIT StatusNotifierItemRegistered(service);
    }
    void RegisterStatusNotifierHost(const QString &) {}

Q_SIGNALS:
    void StatusNotifierItemRegistered(const QString &service);
    void StatusNotifierHostRegistered();
};

// The notification server: records what the balloon says.
class Notifications : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    explicit Notifications(QObject *parent) : QDBusAbstractAdaptor(parent) {}
    QStringList received; // "summary|body"

public Q_SLOTS:
    uint Notify(const QString &, uint, const QString &, const QString &summary, const QString &body,
                const QStringList &, const QVariantMap &, int)
    {
        received.append(summary + QLatin1Char('|') + body);
        return uint(received.size());
    }
    QStringList GetCapabilities() { return {QStringLiteral("body")}; }
    void CloseNotification(uint) {}
    void GetServerInformation(QString &name, QString &vendor, QString &version,
                              QString &protocolVersion)
    {
        name = vendor = QStringLiteral("test");
        version = protocolVersion = QStringLiteral("1.2");
    }
};

class StatusNotifierTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void registersWithTheWatcher_data();
    void registersWithTheWatcher();
    void menuOpensTheAboutWindowAndAsksBeforeExit();
    void iconReturnsAfterEveryPanelRestart();
    void greysWhileAnotherSessionHasTheReader();

private:
    void startPanel();
    QList<MenuEntry> menu();
    // The item's icon of that name, as its panel reads it: (width, height, ARGB) each.
    QList<QByteArray> pixmaps(const QString &property);
    bool click(int id);
    // The text of the item's tooltip.
    QString toolTip();

    QDBusConnection bus = QDBusConnection::sessionBus();
    QObject watcherObject, notificationsObject;
    Watcher *watcher = nullptr;
    Notifications *notifications = nullptr;
    std::unique_ptr<ServiceFixture> service;
};

void StatusNotifierTest::initTestCase()
{
    QVERIFY2(qEnvironmentVariableIsSet("DISPLAY"), "needs an X display");
    QVERIFY2(bus.isConnected(), "needs a private session bus");
    watcher = new Watcher(&watcherObject);
    notifications = new Notifications(&notificationsObject);
    QVERIFY(bus.registerObject(QStringLiteral("/StatusNotifierWatcher"), &watcherObject));
    QVERIFY(
        bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &notificationsObject));
}

void StatusNotifierTest::init()
{
    watcher->items.clear();
    watcher->senders.clear();
    notifications->received.clear();
    service = std::make_unique<ServiceFixture>();
    service->setEnv(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
}

void StatusNotifierTest::cleanup()
{
    service.reset();
    bus.unregisterService(kWatcher);
    bus.unregisterService(kNotifications);
}

void StatusNotifierTest::startPanel()
{
    QVERIFY(bus.registerService(kNotifications));
    QVERIFY(bus.registerService(kWatcher));
}

QList<MenuEntry> StatusNotifierTest::menu()
{
    QDBusInterface item(watcher->senders.value(0), QStringLiteral("/StatusNotifierItem"),
                        QStringLiteral("org.kde.StatusNotifierItem"), bus);
    const QString path = item.property("Menu").value<QDBusObjectPath>().path();
    QDBusInterface menu(watcher->senders.value(0), path, QStringLiteral("com.canonical.dbusmenu"),
                        bus);
    const QDBusMessage reply =
        await(menu.asyncCall(QStringLiteral("GetLayout"), 0, -1, QStringList()));
    QList<MenuEntry> entries;
    if (reply.type() == QDBusMessage::ReplyMessage && reply.arguments().size() == 2)
        readLayout(reply.arguments().at(1).value<QDBusArgument>(), entries);
    return entries;
}

QList<QByteArray> StatusNotifierTest::pixmaps(const QString &property)
{
    const QDBusMessage reply =
        bus.call(QDBusMessage::createMethodCall(
                     watcher->senders.value(0), QStringLiteral("/StatusNotifierItem"),
                     QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"))
                 << QStringLiteral("org.kde.StatusNotifierItem") << property);
    QList<QByteArray> images;
    if (reply.type() != QDBusMessage::ReplyMessage)
        return images;
    const QDBusArgument list =
        reply.arguments().value(0).value<QDBusVariant>().variant().value<QDBusArgument>();
    list.beginArray();
    while (!list.atEnd()) {
        int width = 0, height = 0;
        QByteArray argb;
        list.beginStructure();
        list >> width >> height >> argb;
        list.endStructure();
        images.append(QByteArray::number(width) + 'x' + QByteArray::number(height) + argb);
    }
    list.endArray();
    return images;
}

bool StatusNotifierTest::click(int id)
{
    QDBusInterface item(watcher->senders.value(0), QStringLiteral("/StatusNotifierItem"),
                        QStringLiteral("org.kde.StatusNotifierItem"), bus);
    const QString path = item.property("Menu").value<QDBusObjectPath>().path();
    QDBusInterface menuObject(watcher->senders.value(0), path,
                              QStringLiteral("com.canonical.dbusmenu"), bus);
    const QDBusMessage reply =
        await(menuObject.asyncCall(QStringLiteral("Event"), id, QStringLiteral("clicked"),
                                   QVariant::fromValue(QDBusVariant(QString())), 0u));
    return reply.type() == QDBusMessage::ReplyMessage;
}

void StatusNotifierTest::registersWithTheWatcher_data()
{
    QTest::addColumn<int>("panelDelay"); // ms after the service's start; -1: before it
    QTest::newRow("panel already there") << -1;
    QTest::newRow("panel starts 2 s later") << 2000;
}

void StatusNotifierTest::registersWithTheWatcher()
{
    QFETCH(int, panelDelay);
    if (panelDelay < 0)
        startPanel();
    QVERIFY2(service->start(), qPrintable(service->error()));
    if (panelDelay >= 0) {
        QTest::qWait(panelDelay);
        QVERIFY(watcher->items.isEmpty());
        startPanel();
    }
    QTRY_COMPARE_WITH_TIMEOUT(watcher->items.size(), 1, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(
        notifications->received,
        QStringList{QStringLiteral("KRVI2VeravaWebSocket|Program Started Successfully")}, 10000);
    QStringList labels;
    for (const MenuEntry &entry : menu())
        labels.append(entry.label);
    QCOMPARE(labels, (QStringList{QStringLiteral("关于"), QStringLiteral("退出")}));
    // While the balloon shows, the item keeps its icon and its tooltip says
    // the service's state, not the balloon's text.
    QDBusInterface item(watcher->senders.value(0), QStringLiteral("/StatusNotifierItem"),
                        QStringLiteral("org.kde.StatusNotifierItem"), bus);
    QCOMPARE(item.property("Status").toString(), QStringLiteral("Active"));
    QVERIFY(!pixmaps(QStringLiteral("IconPixmap")).isEmpty());
    QVERIFY(!toolTip().contains(QStringLiteral("Program Started Successfully")));
}

void StatusNotifierTest::menuOpensTheAboutWindowAndAsksBeforeExit()
{
    startPanel();
    QVERIFY2(service->start(), qPrintable(service->error()));
    QTRY_COMPARE_WITH_TIMEOUT(watcher->items.size(), 1, 10000);
    const QList<MenuEntry> entries = menu();
    QCOMPARE(entries.size(), 2);

    QVERIFY(click(entries.at(0).id));
    const QStringList about = Xdotool::waitForWindows(QStringLiteral("^关于$"));
    QCOMPARE(about.size(), 1);
    QCOMPARE(Xdotool::geometry(about.first()).size(), QSize(426, 255));

    QVERIFY(click(entries.at(1).id));
    const QStringList boxes = Xdotool::waitForWindows(QStringLiteral("^提示$"));
    QCOMPARE(boxes.size(), 1);
    QVERIFY(Xdotool::pressKey(boxes.first(), QStringLiteral("Escape")));
    QTRY_VERIFY(Xdotool::windows(QStringLiteral("^提示$")).isEmpty());
    QVERIFY(service->running());
    WsClient client;
    QVERIFY(client.open());
    QVERIFY(
        client.request(QStringLiteral(R"({"cmd":"close_device"})")).contains("\"statuCode\": 0"));
}

void StatusNotifierTest::iconReturnsAfterEveryPanelRestart()
{
    startPanel();
    QVERIFY2(service->start(), qPrintable(service->error()));
    QTRY_COMPARE_WITH_TIMEOUT(watcher->items.size(), 1, 10000);
    for (int restart = 1; restart <= 10; ++restart) {
        QVERIFY(bus.unregisterService(kWatcher));
        bus.unregisterObject(QStringLiteral("/StatusNotifierWatcher"));
        watcher->items.clear();
        watcher->senders.clear();
        // The panel comes back: it takes the watcher's name a moment before it
        // answers on it, so the item's own registration meets no object.
        QVERIFY(bus.registerService(kWatcher));
        QTest::qWait(100);
        QVERIFY(bus.registerObject(QStringLiteral("/StatusNotifierWatcher"), &watcherObject));
        Q_EMIT watcher->StatusNotifierHostRegistered();
        QTRY_VERIFY2_WITH_TIMEOUT(!watcher->items.isEmpty(),
                                  qPrintable(QStringLiteral("restart %1").arg(restart)), 5000);
    }
    QCOMPARE(menu().size(), 2);
}

QString StatusNotifierTest::toolTip()
{
    const QDBusMessage reply =
        bus.call(QDBusMessage::createMethodCall(
                     watcher->senders.value(0), QStringLiteral("/StatusNotifierItem"),
                     QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"))
                 << QStringLiteral("org.kde.StatusNotifierItem") << QStringLiteral("ToolTip"));
    // (icon name, icon pixmaps, title, text)
    const QDBusArgument tip =
        reply.arguments().value(0).value<QDBusVariant>().variant().value<QDBusArgument>();
    QString icon, title, text;
    tip.beginStructure();
    tip >> icon;
    tip.beginArray();
    while (!tip.atEnd()) {
        int width = 0, height = 0;
        QByteArray argb;
        tip.beginStructure();
        tip >> width >> height >> argb;
        tip.endStructure();
    }
    tip.endArray();
    tip >> title >> text;
    tip.endStructure();
    return title + text;
}

void StatusNotifierTest::greysWhileAnotherSessionHasTheReader()
{
    if (::getuid() != 0)
        QSKIP("another user's service holds the port: needs root");
    ServiceFixture::Options options;
    options.user = 65534;
    ServiceFixture others(options);
    QVERIFY2(others.start(), qPrintable(others.error()));
    startPanel();
    service->launch();
    QTRY_COMPARE_WITH_TIMEOUT(watcher->items.size(), 1, 10000);
    // A tooltip read that fails (empty) says neither; waited for once seen,
    // as QTRY's check after its wait would read the tooltip once more.
    const auto tipSaysWaiting = [this](bool waiting) {
        const QString tip = toolTip();
        return !tip.isEmpty() && tip.contains(QStringLiteral("读卡器正由另一会话使用")) == waiting;
    };
    // At once: the start's balloon, shown for 10 s, must not hold the tooltip.
    QVERIFY(QTest::qWaitFor([&] { return tipSaysWaiting(true); }, 5000));
    const QList<QByteArray> greyed = pixmaps(QStringLiteral("IconPixmap"));
    // The other session's service ends: this one serves, in colour.
    others.stop();
    QVERIFY(QTest::qWaitFor([&] { return tipSaysWaiting(false); }, 5000));
    QVERIFY(!greyed.isEmpty());
    QVERIFY(pixmaps(QStringLiteral("IconPixmap")) != greyed);
    QVERIFY(ServiceFixture::answersHandshake(QDeadlineTimer(10000)));
}

QTEST_MAIN(StatusNotifierTest)
#include "tst_statusnotifier.moc"
