// The real service on an X display, driven as a person at the desk drives it:
// the tray icon, its menu, the exit confirmation and the about window.
// Run with an XEmbed system tray except for servesWithoutTray.
#include "servicefixture.h"
#include "wsclient.h"
#include "xdotool.h"

#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QTest>

#include <signal.h>

namespace {

const QString kCloseDevice = QStringLiteral(R"({"cmd":"close_device"})");

// The service's window that sits inside another window (the tray) rather
// than on the root window.
QString trayIconOf(qint64 pid)
{
    const QString root = Xdotool::root();
    for (const QString &window : Xdotool::windowsOf(pid)) {
        if (Xdotool::parentOf(window) != root)
            return window;
    }
    return QString();
}

// Waits until the tray has taken the icon in and it stays there: while the tray
// embeds it, the icon's window briefly moves between parents.
QString waitForTrayIcon(qint64 pid, int timeout = 10000)
{
    QDeadlineTimer deadline(timeout);
    QString previous;
    while (!deadline.hasExpired()) {
        const QString icon = trayIconOf(pid);
        if (!icon.isEmpty() && icon == previous)
            return icon;
        previous = icon;
        QTest::qWait(100);
    }
    return QString();
}

bool serves()
{
    WsClient client;
    return client.open() && client.request(kCloseDevice).contains("\"statuCode\": 0");
}

} // namespace

class DesktopTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QVERIFY2(qEnvironmentVariableIsSet("DISPLAY"), "needs an X display"); }
    void init()
    {
        service = std::make_unique<ServiceFixture>();
        service->setEnv(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    }
    void cleanup() { service.reset(); }

    void startsHiddenWithItsIconInTheTray();
    void exitAsksFirst_data();
    void exitAsksFirst();
    void aboutShowsTheFixedWindowAndCloseHidesIt();
    void aboutWindowScalesWithTheScreen_data();
    void aboutWindowScalesWithTheScreen();
    void startsQuietlyWithoutItsIcon();
    void servesWithoutTray();
    void iconAppearsWhenTheTrayStartsLate();

private:
    // Right-clicks the tray icon and picks the menu entry with the keyboard.
    bool pickFromTrayMenu(int entry);
    std::unique_ptr<ServiceFixture> service;
    QImage aboutAt96Dpi;
};

bool DesktopTest::pickFromTrayMenu(int entry)
{
    const QString icon = waitForTrayIcon(service->pid());
    if (icon.isEmpty() || !Xdotool::click(icon, 3))
        return false;
    // The menu is a new window of the service beside the icon.
    QDeadlineTimer deadline(10000);
    while (Xdotool::windowsOf(service->pid()).size() < 2 && !deadline.hasExpired())
        QTest::qWait(50);
    QStringList keys;
    for (int i = 0; i <= entry; ++i)
        keys.append(QStringLiteral("Down"));
    keys.append(QStringLiteral("Return"));
    bool ok = false;
    Xdotool::run(QStringList{QStringLiteral("key")} + keys, &ok);
    return ok;
}

void DesktopTest::startsHiddenWithItsIconInTheTray()
{
    QVERIFY2(service->start(), qPrintable(service->error()));
    const QString icon = waitForTrayIcon(service->pid());
    QVERIFY(!icon.isEmpty());
    QVERIFY(Xdotool::parentOf(icon) != Xdotool::root());
    // The about window stays hidden.
    QVERIFY(Xdotool::windows(QStringLiteral("^关于$")).isEmpty());
    QVERIFY(serves());
}

void DesktopTest::exitAsksFirst_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<bool>("ends");
    QTest::newRow("Yes (Return)") << "Return" << true;
    QTest::newRow("No (Escape)") << "Escape" << false;
    // A logout while the box is open ends the service all the same.
    QTest::newRow("SIGTERM meanwhile") << "SIGTERM" << true;
}

void DesktopTest::exitAsksFirst()
{
    QFETCH(QString, key);
    QFETCH(bool, ends);
    QVERIFY2(service->start(), qPrintable(service->error()));
    QVERIFY(!waitForTrayIcon(service->pid()).isEmpty());

    QVERIFY(pickFromTrayMenu(1));
    const QStringList boxes = Xdotool::waitForWindows(QStringLiteral("^提示$"));
    QCOMPARE(boxes.size(), 1);
    WsClient client;
    QVERIFY(client.open());
    if (key == QLatin1String("SIGTERM"))
        QVERIFY(service->sendSignal(SIGTERM));
    else
        QVERIFY(Xdotool::pressKey(boxes.first(), key));

    if (ends) {
        QVERIFY(client.waitForDisconnect());
        QCOMPARE(int(client.socket.closeCode()), 1001);
        QVERIFY(service->waitForExit());
        QCOMPARE(service->exitStatus(), QProcess::NormalExit);
        QCOMPARE(service->exitCode(), 0);
    } else {
        QTRY_VERIFY(Xdotool::windows(QStringLiteral("^提示$")).isEmpty());
        QVERIFY(service->running());
        QVERIFY(!waitForTrayIcon(service->pid()).isEmpty());
        QVERIFY(serves());
    }
}

void DesktopTest::aboutShowsTheFixedWindowAndCloseHidesIt()
{
    QVERIFY2(service->start(), qPrintable(service->error()));
    QVERIFY(!waitForTrayIcon(service->pid()).isEmpty());

    QVERIFY(pickFromTrayMenu(0));
    const QStringList windows = Xdotool::waitForWindows(QStringLiteral("^关于$"));
    QCOMPARE(windows.size(), 1);
    const QString window = windows.first();
    QCOMPARE(Xdotool::geometry(window).size(), QSize(426, 255));
    // Centred on the 1280 x 1024 screen as a 426 x 300 window.
    QCOMPARE(Xdotool::geometry(window).topLeft(), QPoint(427, 362));

    // Fixed size, and neither minimise nor maximise (Motif functions 8 and 16).
    const QString sizeHints = Xdotool::property(window, QStringLiteral("WM_NORMAL_HINTS"));
    QVERIFY2(sizeHints.contains("program specified minimum size: 426 by 255"),
             qPrintable(sizeHints));
    QVERIFY2(sizeHints.contains("program specified maximum size: 426 by 255"),
             qPrintable(sizeHints));
    const QString motif = Xdotool::property(window, QStringLiteral("_MOTIF_WM_HINTS"));
    const QStringList fields = motif.section(QLatin1Char('='), 1).split(QLatin1Char(','));
    QCOMPARE(fields.size(), 5);
    const uint functions = fields.at(1).trimmed().toUInt(nullptr, 16);
    QVERIFY2(functions != 0 && (functions & (8 | 16)) == 0, qPrintable(motif));

    // The close button has the focus: space presses it, and the window only hides.
    QVERIFY(Xdotool::pressKey(window, QStringLiteral("space")));
    QTRY_VERIFY(Xdotool::windows(QStringLiteral("^关于$")).isEmpty());
    QVERIFY(service->running());
    QVERIFY(serves());
}

void DesktopTest::aboutWindowScalesWithTheScreen_data()
{
    QTest::addColumn<int>("dpi"); // the desktop's Xft.dpi; 96 first, as the reference
    QTest::newRow("96 dpi") << 96;
    QTest::newRow("144 dpi") << 144;
    QTest::newRow("192 dpi") << 192;
}

void DesktopTest::aboutWindowScalesWithTheScreen()
{
    QFETCH(int, dpi);
    // Where the desktop's settings tell Qt the screen's density.
    const auto setDpi = [](int dpi) {
        return QProcess::execute(QStringLiteral("xprop"),
                                 {QStringLiteral("-root"), QStringLiteral("-f"),
                                  QStringLiteral("RESOURCE_MANAGER"), QStringLiteral("8s"),
                                  QStringLiteral("-set"), QStringLiteral("RESOURCE_MANAGER"),
                                  QStringLiteral("Xft.dpi:\t%1\n").arg(dpi)}) == 0;
    };
    QVERIFY(setDpi(dpi));
    QVERIFY2(service->start(), qPrintable(service->error()));
    QVERIFY(pickFromTrayMenu(0));
    const QStringList windows = Xdotool::waitForWindows(QStringLiteral("^关于$"));
    setDpi(96);
    QCOMPARE(windows.size(), 1);
    const QSize size = Xdotool::geometry(windows.first()).size();
    const qreal scale = dpi / 96.0;
    QVERIFY2(qAbs(size.width() - 426 * scale) <= 1 && qAbs(size.height() - 255 * scale) <= 1,
             qPrintable(QStringLiteral("%1 x %2").arg(size.width()).arg(size.height())));

    // The same window, only larger: brought back to 426 x 255 it looks as it
    // does at 96 dpi, with no line cut off or run over.
    QTest::qWait(500); // painted
    const QImage shot = QGuiApplication::primaryScreen()
                            ->grabWindow(windows.first().toULongLong())
                            .toImage()
                            .scaled(426, 255, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                            .convertToFormat(QImage::Format_Grayscale8);
    if (dpi == 96) {
        aboutAt96Dpi = shot;
        return;
    }
    QVERIFY(!aboutAt96Dpi.isNull());
    qint64 difference = 0;
    for (int y = 0; y < shot.height(); ++y) {
        for (int x = 0; x < shot.width(); ++x)
            difference += qAbs(qGray(shot.pixel(x, y)) - qGray(aboutAt96Dpi.pixel(x, y)));
    }
    const qreal mean = qreal(difference) / (426 * 255);
    QVERIFY2(mean < 4, qPrintable(QStringLiteral("mean difference %1 of 255").arg(mean)));
}

void DesktopTest::startsQuietlyWithoutItsIcon()
{
    QVERIFY(QFile::remove(service->path(QStringLiteral("logo.ico"))));
    {
        QFile log(service->path(QStringLiteral("krlog.txt")));
        QVERIFY(log.open(QIODevice::WriteOnly));
    }
    QVERIFY2(service->start(), qPrintable(service->error()));
    QVERIFY(!waitForTrayIcon(service->pid()).isEmpty());
    QVERIFY(serves());
    // Only the loader's two lines and the one request: no complaint about the icon.
    const QList<QByteArray> lines = service->log().split('\n');
    QVERIFY2(lines.size() == 2 + 4 + 1, service->log().constData());
    QVERIFY(lines.at(1).endsWith("LoadTerminalProtocolDll load ok\r"));
    QVERIFY(lines.at(2).contains("processTextMessage message:"));
}

void DesktopTest::servesWithoutTray()
{
    QVERIFY2(service->start(), qPrintable(service->error()));
    QTest::qWait(500);
    QVERIFY(service->running());
    QVERIFY(trayIconOf(service->pid()).isEmpty());
    QVERIFY(Xdotool::windows(QStringLiteral("^关于$")).isEmpty());
    QVERIFY(serves());
}

void DesktopTest::iconAppearsWhenTheTrayStartsLate()
{
    QVERIFY2(service->start(), qPrintable(service->error()));
    QTest::qWait(2000);
    QVERIFY(trayIconOf(service->pid()).isEmpty());
    QVERIFY(serves());

    // The panel of a session that starts its programs before it.
    QProcess tray;
    tray.start(qEnvironmentVariable("KRV_XEMBED_TRAY"), QStringList());
    QVERIFY(tray.waitForStarted());
    QVERIFY(!waitForTrayIcon(service->pid(), 15000).isEmpty());
    QVERIFY(pickFromTrayMenu(0));
    QCOMPARE(Xdotool::waitForWindows(QStringLiteral("^关于$")).size(), 1);
    tray.kill();
    tray.waitForFinished();
}

QTEST_MAIN(DesktopTest)
#include "tst_desktop.moc"
