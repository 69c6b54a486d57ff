// A desk shared by two clerks, each with their own service run as their own
// user (through setpriv, so the test runs as root), and a stand-in for logind
// on a private system bus that says whose session is at the screen.
#include "servicefixture.h"

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWebSocket>

#include <memory>

#include <pwd.h>
#include <signal.h>
#include <unistd.h>

namespace {

const QString kLogind = QStringLiteral("org.freedesktop.login1");
// Clerk A and clerk B: two users every Debian system has (the bus asks the
// user database for a user's groups, so made-up ids will not do).
int kClerk[2];

// logind's session object: its Active property, changed by the test.
class Session : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Session")
    Q_PROPERTY(bool Active MEMBER active)

public:
    bool active = false;
};

// logind's manager: finds a session by its id and a user by uid.
class Logind : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")

public:
    Session sessions[2];

public Q_SLOTS:
    QDBusObjectPath GetSession(const QString &id)
    {
        if (id != QLatin1String("A") && id != QLatin1String("B"))
            sendErrorReply(QStringLiteral("org.freedesktop.login1.NoSuchSession"), id);
        return QDBusObjectPath(QStringLiteral("/org/freedesktop/login1/session/") + id);
    }
    QDBusObjectPath GetUser(uint uid)
    {
        if (uid != uint(kClerk[0]) && uid != uint(kClerk[1]))
            sendErrorReply(QStringLiteral("org.freedesktop.login1.NoSuchUser"), QString());
        return QDBusObjectPath(QStringLiteral("/org/freedesktop/login1/user/_%1").arg(uid));
    }
};

} // namespace

class ShareDeskTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void servesTheSessionAtTheScreen_data();
    void servesTheSessionAtTheScreen();

private:
    // Makes the clerk's session (0 or 1) the one at the screen, as logind
    // announces a switch.
    void bringToScreen(int clerk);
    // The user whose program listens on the port, -1 for none.
    static long portHolder();
    // A page of the clerk's user; what it got: the close code or "open".
    static QString clerksPage(int clerk);

    QTemporaryDir busDir;
    QProcess bus;
    QString busAddress;
    Logind logind;
};

void ShareDeskTest::initTestCase()
{
    if (::getuid() != 0)
        QSKIP("runs the clerks' services as two other users: needs root");
    const passwd *a = ::getpwnam("daemon");
    QVERIFY(a);
    kClerk[0] = int(a->pw_uid);
    const passwd *b = ::getpwnam("nobody");
    QVERIFY(b);
    kClerk[1] = int(b->pw_uid);
    QVERIFY2(!ServiceFixture::portAccepts(), "something else already listens on 35561");
    QFile::setPermissions(busDir.path(), QFile::permissions(busDir.path()) | QFile::ExeOther);
    QFile config(busDir.filePath(QStringLiteral("bus.conf")));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write(
        QStringLiteral("<busconfig><type>system</type><listen>unix:path=%1/socket</listen>"
                       "<auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/>"
                       "<allow own=\"*\"/><allow send_destination=\"*\"/>"
                       "<allow receive_sender=\"*\"/></policy></busconfig>")
            .arg(busDir.path())
            .toUtf8());
    config.close();
    bus.start(QStringLiteral("dbus-daemon"),
              {QStringLiteral("--config-file=") + config.fileName(), QStringLiteral("--nofork"),
               QStringLiteral("--print-address")});
    QVERIFY2(bus.waitForReadyRead(10000), "dbus-daemon did not start");
    busAddress = QString::fromUtf8(bus.readLine().trimmed());
    QDBusConnection connection = QDBusConnection::connectToBus(busAddress, kLogind);
    QVERIFY2(connection.isConnected(), qPrintable(connection.lastError().message()));
    QVERIFY(connection.registerService(kLogind));
    QVERIFY(connection.registerObject(QStringLiteral("/org/freedesktop/login1"), &logind,
                                      QDBusConnection::ExportAllSlots));
    for (const char *id : {"A", "B"})
        QVERIFY(connection.registerObject(
            QStringLiteral("/org/freedesktop/login1/session/") + QLatin1String(id),
            &logind.sessions[*id - 'A'], QDBusConnection::ExportAllProperties));
}

void ShareDeskTest::cleanupTestCase()
{
    QDBusConnection::disconnectFromBus(kLogind);
    bus.kill();
    bus.waitForFinished();
}

void ShareDeskTest::bringToScreen(int clerk)
{
    for (int i = 0; i < 2; ++i) {
        if (logind.sessions[i].active == (i == clerk))
            continue;
        logind.sessions[i].active = i == clerk;
        QDBusMessage changed = QDBusMessage::createSignal(
            QStringLiteral("/org/freedesktop/login1/session/") + QLatin1Char('A' + i),
            QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("PropertiesChanged"));
        changed << QStringLiteral("org.freedesktop.login1.Session")
                << QVariantMap{{QStringLiteral("Active"), i == clerk}} << QStringList();
        QDBusConnection(kLogind).send(changed);
    }
}

long ShareDeskTest::portHolder()
{
    const QList<ServiceFixture::Listener> listeners = ServiceFixture::listeners();
    return listeners.isEmpty() ? -1 : listeners.first().user;
}

QString ShareDeskTest::clerksPage(int clerk)
{
    // A handshake, then whatever comes: a close frame's first four bytes.
    const QString script = QStringLiteral(
        "exec 3<>/dev/tcp/127.0.0.1/35561 && printf 'GET / HTTP/1.1\\r\\nHost: localhost\\r\\n"
        "Upgrade: websocket\\r\\nConnection: Upgrade\\r\\nSec-WebSocket-Key: "
        "dGhlIHNhbXBsZSBub25jZQ==\\r\\nSec-WebSocket-Version: 13\\r\\n\\r\\n' >&3 && "
        "timeout 3 cat <&3 | od -An -tx1 | tr -d '\\n'");
    QProcess page;
    const QString id = QString::number(kClerk[clerk]);
    page.start(QStringLiteral("setpriv"),
               {QStringLiteral("--reuid=") + id, QStringLiteral("--regid=") + id,
                QStringLiteral("--clear-groups"), QStringLiteral("bash"), QStringLiteral("-c"),
                script});
    // The stand-in logind answers the service meanwhile: wait in the event loop.
    QEventLoop loop;
    QObject::connect(&page, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), &loop,
                     &QEventLoop::quit);
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    loop.exec();
    const QString bytes = QString::fromLatin1(page.readAllStandardOutput());
    const QRegularExpressionMatch close =
        QRegularExpression(QStringLiteral("0d 0a 0d 0a 88 [0-9a-f]{2} ([0-9a-f]{2}) ([0-9a-f]{2})"))
            .match(bytes);
    return close.hasMatch()
               ? QString::number((close.captured(1) + close.captured(2)).toInt(nullptr, 16))
               : QStringLiteral("open");
}

void ShareDeskTest::servesTheSessionAtTheScreen_data()
{
    // Steps, in order: "A+" brings clerk A's session to the screen; "startA"
    // starts A's service; "servesA": within a few seconds A's service holds the
    // port and answers; "waitsB": B's service runs without the port; "page"
    // opens a page of the test's own; "4001": every page open is closed with
    // that code; "endA": A logs out (SIGTERM, status 0); "againA": a second
    // start of A's service ends with 252; "pageB": a page of B's user is closed
    // with 4001.
    QTest::addColumn<bool>("logindThere");
    QTest::addColumn<QString>("steps");
    QTest::newRow("login while another session serves")
        << true << "A+ startA servesA page B+ startB 4001 servesB";
    QTest::newRow("switch back and forth")
        << true << "A+ startA startB servesA waitsB page B+ 4001 servesB page A+ 4001 servesA";
    QTest::newRow("logout of the serving session")
        << true << "A+ startA startB servesA endA B+ servesB";
    QTest::newRow("the other clerk's page") << true << "A+ startA startB servesA pageB";
    QTest::newRow("no logind: the port when it comes free")
        << false << "startA servesA startB waitsB endA servesB";
    QTest::newRow("second start in the same session") << true << "A+ startA servesA againA servesA";
}

void ShareDeskTest::servesTheSessionAtTheScreen()
{
    QFETCH(bool, logindThere);
    QFETCH(QString, steps);
    bringToScreen(-1);
    std::unique_ptr<ServiceFixture> services[2];
    std::vector<std::unique_ptr<QWebSocket>> pages;
    const auto launch = [&](int clerk) {
        ServiceFixture::Options options;
        options.user = kClerk[clerk];
        options.log = true;
        auto service = std::make_unique<ServiceFixture>(options);
        service->setEnv(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"),
                        logindThere ? busAddress : QStringLiteral("unix:path=/nonexistent"));
        service->setEnv(QStringLiteral("XDG_SESSION_ID"), QString(QLatin1Char('A' + clerk)));
        service->launch();
        return service;
    };
    for (const QString &step : steps.split(QLatin1Char(' '))) {
        const int clerk = step.endsWith(QLatin1Char('B')) ? 1 : 0;
        // A failed step shows what each clerk's service has logged by then.
        const auto what = [&] {
            QByteArray said = QStringLiteral("step %1 of: %2").arg(step, steps).toUtf8();
            for (int i : {0, 1}) {
                if (services[i])
                    said += "\n--- clerk " + QByteArray(1, char('A' + i)) + "'s log:\n" +
                            services[i]->log();
            }
            return said;
        };
        if (step.endsWith(QLatin1Char('+'))) {
            bringToScreen(step.startsWith(QLatin1Char('B')) ? 1 : 0);
        } else if (step.startsWith(QLatin1String("start"))) {
            services[clerk] = launch(clerk);
        } else if (step.startsWith(QLatin1String("serves"))) {
            // Holding the port is not enough: a service starting up probes the
            // port by listening on it for a moment. Generous for a start under
            // emulation; a switch takes a moment.
            const bool serves = QTest::qWaitFor(
                [&] {
                    return portHolder() == kClerk[clerk] &&
                           ServiceFixture::answersHandshake(QDeadlineTimer(2000));
                },
                30000);
            QVERIFY2(serves, what().constData());
        } else if (step.startsWith(QLatin1String("waits"))) {
            QTest::qWait(1000);
            QVERIFY2(services[clerk]->running(), services[clerk]->standardOutput().constData());
            QVERIFY2(portHolder() != kClerk[clerk], what().constData());
        } else if (step == QLatin1String("page")) {
            pages.push_back(std::make_unique<QWebSocket>());
            pages.back()->open(QUrl(QStringLiteral("ws://127.0.0.1:35561")));
            QTRY_COMPARE(pages.back()->state(), QAbstractSocket::ConnectedState);
        } else if (step == QLatin1String("4001")) {
            for (const auto &page : pages) {
                QTRY_COMPARE_WITH_TIMEOUT(page->state(), QAbstractSocket::UnconnectedState, 10000);
                QCOMPARE(int(page->closeCode()), 4001);
            }
            pages.clear();
        } else if (step.startsWith(QLatin1String("end"))) {
            QVERIFY(services[clerk]->sendSignal(SIGTERM));
            QVERIFY(services[clerk]->waitForExit());
            QCOMPARE(services[clerk]->exitCode(), 0);
        } else if (step.startsWith(QLatin1String("again"))) {
            const auto second = launch(clerk);
            QVERIFY2(second->waitForExit(), what().constData());
            QCOMPARE(second->exitCode(), 252);
            QCOMPARE(second->standardOutput(), QByteArray("No Available Ports Were Found\n"));
        } else if (step == QLatin1String("pageB")) {
            QCOMPARE(clerksPage(clerk), QStringLiteral("4001"));
        } else {
            QFAIL(what().constData());
        }
    }
    // The waiting one first, so that the holder's end frees the port for good.
    for (int clerk : {0, 1}) {
        if (services[clerk] && portHolder() != kClerk[clerk])
            services[clerk].reset();
    }
}

QTEST_MAIN(ShareDeskTest)
#include "tst_sharedesk.moc"
