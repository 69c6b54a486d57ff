// The real service under malformed frames, half-open connections and clients
// that vanish: after each, it still runs and a well-formed client is answered.
#include "rawwsclient.h"
#include "servicefixture.h"
#include "wsclient.h"

#include <QTcpSocket>
#include <QTest>

#include <memory>

#include <signal.h>

namespace {

const QByteArray kClose = R"({"cmd":"close_device"})";
const QString kClosed = QStringLiteral("{\n    \"cmd\": \"close_device\",\n    \"message\": "
                                       "\"关闭设备成功!\",\n    \"result\": 0,\n    "
                                       "\"statuCode\": 0\n}\n");

} // namespace

class AbuseTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(!ServiceFixture::portAccepts(), "port 35561 is taken");
        ServiceFixture::Options options;
        options.card = QStringLiteral("A");
        service = std::make_unique<ServiceFixture>(options);
        service->setEnv(QStringLiteral("KRSIM_READ_DELAY_MS"), QStringLiteral("300"));
        QVERIFY2(service->start(), qPrintable(service->error()));
    }
    void cleanupTestCase() { service.reset(); }
    // After every test: still there, and a newcomer is answered correctly.
    void cleanup()
    {
        QVERIFY(service->running());
        WsClient newcomer;
        QVERIFY(newcomer.open());
        QCOMPARE(newcomer.request(QString::fromUtf8(kClose)), kClosed);
    }

    void survivesBadFrames_data();
    void survivesBadFrames();
    void survivesHalfOpenHandshakes();
    void survivesClientsVanishingDuringASlowRead();
    void logSurvivesSigkill();

private:
    std::unique_ptr<ServiceFixture> service;
};

void AbuseTest::survivesBadFrames_data()
{
    using Raw = RawWsClient;
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("oneByteAtATime");
    QTest::addColumn<int>("closeCode"); // expected close code, 0: an answer instead

    QTest::newRow("text with invalid UTF-8")
        << Raw::frame(0x1, "{\"cmd\":\"\xff\xfe\"}") << false << 1007;
    QTest::newRow("unknown opcode") << Raw::frame(0x3, kClose) << false << 1002;
    QTest::newRow("reserved bits set") << Raw::frame(0x1, kClose, true, true, 0x4) << false << 1002;
    QTest::newRow("unmasked client frame") << Raw::frame(0x1, kClose, true, false) << false << -1;
    QTest::newRow("ping over 125 bytes") << Raw::frame(0x9, QByteArray(126, 'p')) << false << 1002;
    QTest::newRow("fragmented, ping between")
        << Raw::frame(0x1, R"({"cmd":)", false) + Raw::frame(0x9, "ping") +
               Raw::frame(0x0, R"("close_device"})", true)
        << false << 0;
    QTest::newRow("one byte at a time") << Raw::frame(0x1, kClose) << true << 0;
}

void AbuseTest::survivesBadFrames()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, oneByteAtATime);
    QFETCH(int, closeCode);

    RawWsClient client;
    QVERIFY(client.open(QStringLiteral("127.0.0.1"), ServiceFixture::port));
    if (oneByteAtATime) {
        for (char byte : bytes) {
            client.write(QByteArray(1, byte));
            QTest::qWait(5);
        }
    } else {
        client.write(bytes);
    }

    RawWsClient::Frame frame = client.readFrame(5000);
    if (frame.opcode == 0xA) // the pong for a ping between fragments
        frame = client.readFrame(5000);
    if (closeCode == 0) {
        QCOMPARE(frame.opcode, 0x1);
        QCOMPARE(QString::fromUtf8(frame.payload), kClosed);
    } else if (closeCode > 0) {
        QCOMPARE(frame.opcode, 0x8);
        QCOMPARE(frame.closeCode(), closeCode);
    }
    // Whatever the service made of it, the connection ends or stays usable.
    if (frame.opcode == 0x8)
        QVERIFY(client.waitForDisconnected());
}

void AbuseTest::survivesHalfOpenHandshakes()
{
    std::vector<std::unique_ptr<QTcpSocket>> stalled;
    for (int i = 0; i < 200; ++i) {
        stalled.push_back(std::make_unique<QTcpSocket>());
        stalled.back()->connectToHost(QStringLiteral("127.0.0.1"), ServiceFixture::port);
        QVERIFY(stalled.back()->waitForConnected(5000));
        stalled.back()->write("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n");
        stalled.back()->flush();
    }
    QTest::qWait(200);
    // cleanup() checks a newcomer while all 200 still hang.
    WsClient newcomer;
    QVERIFY(newcomer.open());
    QCOMPARE(newcomer.request(QString::fromUtf8(kClose)), kClosed);
}

void AbuseTest::survivesClientsVanishingDuringASlowRead()
{
    WsClient opener;
    QVERIFY(opener.open());
    QVERIFY(
        opener.request(QStringLiteral(R"({"cmd":"open_device"})")).contains("\"statuCode\": 0"));
    for (int i = 0; i < 5; ++i) {
        WsClient leaving;
        QVERIFY(leaving.open());
        leaving.send(QStringLiteral(R"({"cmd":"read_card_info"})"));
        QTest::qWait(20);
        leaving.socket.abort();
    }
    // The reads still run, one after another; the next client waits its turn.
    WsClient patient;
    QVERIFY(patient.open());
    const QString reply = patient.request(QStringLiteral(R"({"cmd":"read_card_info"})"), 30000);
    QVERIFY(reply.contains("\"statuCode\": 0"));
    QVERIFY(reply.contains("\"idType\": \"\""));
}

void AbuseTest::logSurvivesSigkill()
{
    // A service of its own, with the log on, killed without warning.
    service.reset();
    ServiceFixture::Options options;
    options.log = true;
    ServiceFixture logged(options);
    QVERIFY2(logged.start(), qPrintable(logged.error()));
    WsClient client;
    QVERIFY(client.open());
    constexpr int answered = 100;
    for (int i = 0; i < answered; ++i)
        QVERIFY(
            !client.request(QStringLiteral(R"({"cmd":"close_device","n":%1})").arg(i)).isNull());
    // Killed mid-flight: the log holds every line written up to then.
    QCOMPARE(::kill(pid_t(logged.pid()), SIGKILL), 0);
    logged.stop();

    const QByteArray log = logged.log();
    QVERIFY(log.endsWith("\r\n"));
    const QList<QByteArray> lines = log.split('\n');
    int responses = 0;
    for (const QByteArray &line : lines) {
        if (line.contains("processTextMessage response:")) {
            QVERIFY(line.endsWith("\"\r"));
            QVERIFY(line.contains(QStringLiteral("\\\"n\\\":%1,").arg(responses).toUtf8()));
            ++responses;
        }
    }
    QCOMPARE(responses, answered);

    // The shared service again, for cleanup() and the tests after.
    ServiceFixture::Options again;
    again.card = QStringLiteral("A");
    service = std::make_unique<ServiceFixture>(again);
    service->setEnv(QStringLiteral("KRSIM_READ_DELAY_MS"), QStringLiteral("300"));
    QVERIFY2(service->start(), qPrintable(service->error()));
}

QTEST_GUILESS_MAIN(AbuseTest)
#include "tst_abuse.moc"
