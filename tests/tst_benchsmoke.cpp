// Keeps the benchmark tools working: a short run of the load client against
// the service and against the floor server. No timing is checked.
#include "servicefixture.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

namespace {

QJsonObject runLoadClient(const QStringList &arguments, int *exitCode)
{
    QProcess client;
    client.start(QStringLiteral(KRV_LOADCLIENT), arguments);
    if (!client.waitForFinished(60000)) {
        client.kill();
        *exitCode = -1;
        return {};
    }
    *exitCode = client.exitCode();
    return QJsonDocument::fromJson(client.readAllStandardOutput()).object();
}

} // namespace

class BenchSmokeTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void loadClientDrivesTheService_data();
    void loadClientDrivesTheService();
    void floorServerAnswersWithItsFixedSize();
};

void BenchSmokeTest::loadClientDrivesTheService_data()
{
    QTest::addColumn<QString>("message");
    QTest::newRow("close_device") << R"({"cmd":"close_device"})";
    QTest::newRow("read_card_info") << R"({"cmd":"read_card_info"})";
}

void BenchSmokeTest::loadClientDrivesTheService()
{
    QFETCH(QString, message);
    ServiceFixture::Options options;
    options.card = QStringLiteral("A");
    ServiceFixture service(options);
    QVERIFY2(service.start(), qPrintable(service.error()));

    int exitCode = 0;
    runLoadClient({"--print-reply", "--message", R"({"cmd":"open_device"})"}, &exitCode);
    QCOMPARE(exitCode, 0);
    const QJsonObject result = runLoadClient(
        {"--connections", "3", "--seconds", "1", "--warmup", "0.2", "--message", message},
        &exitCode);
    QCOMPARE(exitCode, 0);
    QCOMPARE(result.value("connected").toInt(), 3);
    QCOMPARE(result.value("errors").toInt(), 0);
    QVERIFY(result.value("roundTrips").toInt() > 0);
    for (const char *key : {"rps", "p50_us", "p99_us", "max_us"})
        QVERIFY2(result.value(key).toDouble() > 0, key);
    QVERIFY(result.value("p50_us").toDouble() <= result.value("max_us").toDouble());
    QVERIFY(service.running());
}

void BenchSmokeTest::floorServerAnswersWithItsFixedSize()
{
    QProcess floor;
    floor.start(QStringLiteral(KRV_FLOORSERVER), {"--port", "30001", "--size", "777"});
    QVERIFY(floor.waitForStarted());
    QProcess client;
    QTRY_VERIFY_WITH_TIMEOUT(
        ([&client] {
            client.start(QStringLiteral(KRV_LOADCLIENT), {"--port", "30001", "--print-reply"});
            client.waitForFinished(10000);
            return client.exitCode() == 0;
        }()),
        10000);
    QCOMPARE(client.readAllStandardOutput(), QByteArray(777, 'x'));
    floor.terminate();
    QVERIFY(floor.waitForFinished());
}

QTEST_GUILESS_MAIN(BenchSmokeTest)
#include "tst_benchsmoke.moc"
