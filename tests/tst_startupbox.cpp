// Start-up failures as a person at the desk meets them, on a real X display.
#include "servicefixture.h"
#include "wsclient.h"
#include "xdotool.h"

#include <QTest>

class StartupBoxTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QVERIFY2(qEnvironmentVariableIsSet("DISPLAY"), "needs an X display"); }
    void secondInstanceShowsBoxThenEndsWith252();
    void missingLibraryShowsNothing();
};

void StartupBoxTest::secondInstanceShowsBoxThenEndsWith252()
{
    ServiceFixture first;
    QVERIFY2(first.start(), qPrintable(first.error()));

    ServiceFixture second;
    second.setEnv(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    second.launch();
    const QStringList boxes = Xdotool::waitForWindows(QStringLiteral("^KRVI2VeravaWebSocket$"));
    QCOMPARE(boxes.size(), 1);
    // The box waits for the user: the process is still there.
    QVERIFY(second.running());
    QTRY_COMPARE(second.standardOutput(), QByteArray("No Available Ports Were Found\n"));

    QVERIFY(Xdotool::pressKey(boxes.first(), QStringLiteral("Return")));
    QVERIFY(second.waitForExit());
    QCOMPARE(second.exitCode(), 252);

    QVERIFY(first.running());
    WsClient client;
    QVERIFY(client.open());
    QVERIFY(
        client.request(QStringLiteral(R"({"cmd":"close_device"})")).contains("\"statuCode\": 0"));
}

void StartupBoxTest::missingLibraryShowsNothing()
{
    ServiceFixture::Options options;
    options.library.clear();
    ServiceFixture service(options);
    service.setEnv(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    const QStringList before = Xdotool::windows(QStringLiteral("."));
    service.launch();
    QVERIFY(service.waitForExit());
    QCOMPARE(service.exitCode(), 254);
    QCOMPARE(service.standardOutput(), QByteArray());
    QCOMPARE(Xdotool::windows(QStringLiteral(".")), before);
}

QTEST_GUILESS_MAIN(StartupBoxTest)
#include "tst_startupbox.moc"
