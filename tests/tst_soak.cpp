// Many clients, many mixed commands, a slow and sometimes failing reader:
// every request is answered once, to its sender, in order, and memory settles.
// CI runs a reduced count; the full run:
//   KRV_SOAK_COMMANDS=2000 KRV_SOAK_CYCLES=10000 ctest --test-dir build -R tst_soak
#include "processmemory.h"
#include "servicefixture.h"
#include "wsclient.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <memory>

namespace {

// AddressSanitizer holds freed memory back, so resident memory says nothing
// about leaks in that build; LeakSanitizer and the fuzzers look there instead.
#ifdef __SANITIZE_ADDRESS__
constexpr bool kMemoryComparable = false;
#else
constexpr bool kMemoryComparable = true;
#endif

int setting(const char *name, int fallback)
{
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(name, &ok);
    return ok && value > 0 ? value : fallback;
}

// One client's closed loop with a few requests in flight, checking each reply
// against the request it must answer.
class SoakClient : public QObject
{
public:
    SoakClient(int id, int commands, int *answeredTotal)
        : id(id), commands(commands), total(answeredTotal)
    {
        connect(&client.socket, &QWebSocket::textMessageReceived, this, &SoakClient::received);
    }

    bool open() { return client.open(); }
    void start()
    {
        for (int i = 0; i < 8 && sent < commands; ++i)
            sendNext();
    }
    bool done() const { return answered == commands; }
    QString error;

private:
    // Six kinds of request, in turn.
    QString request(int k) const
    {
        static const char *commandsByKind[] = {"open_device", "read_card_info", "close_device",
                                               "bogus"};
        switch (k % 6) {
        case 4:
            return QStringLiteral(R"({"c":%1,"k":%2})").arg(id).arg(k);
        case 5:
            return QStringLiteral("not json %1 %2").arg(id).arg(k);
        default:
            return QStringLiteral(R"({"cmd":"%1","c":%2,"k":%3})")
                .arg(commandsByKind[k % 6])
                .arg(id)
                .arg(k);
        }
    }

    void sendNext() { client.send(request(sent++)); }

    void received(const QString &text)
    {
        const int k = answered++;
        ++*total;
        if (error.isEmpty())
            check(k, text);
        if (sent < commands)
            sendNext();
    }

    void check(int k, const QString &text)
    {
        if (k % 6 == 5) {
            if (text != QLatin1String("{\n}\n"))
                error = QStringLiteral("reply %1: %2").arg(k).arg(text);
            return;
        }
        const QJsonObject reply = QJsonDocument::fromJson(text.toUtf8()).object();
        if (reply.value("c").toInt(-1) != id || reply.value("k").toInt(-1) != k) {
            error = QStringLiteral("client %1 expected reply %2, got %3").arg(id).arg(k).arg(text);
            return;
        }
        const int code = reply.value("statuCode").toInt(99);
        const bool fine = (k % 6 == 0 && code == 0) || (k % 6 == 1 && (code == 0 || code == -3)) ||
                          (k % 6 == 2 && code == 0) || (k % 6 == 3 && code == -4) ||
                          (k % 6 == 4 && !reply.contains("statuCode"));
        if (!fine)
            error = QStringLiteral("reply %1 has the wrong status: %2").arg(k).arg(text);
    }

    WsClient client;
    const int id;
    const int commands;
    int *total;
    int sent = 0;
    int answered = 0;
};

} // namespace

class SoakTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void answersEveryRequestInOrderAndSettles();
    void connectCycleLeavesNoGrowth();
};

void SoakTest::answersEveryRequestInOrderAndSettles()
{
    const int clients = 50;
    const int commands = setting("KRV_SOAK_COMMANDS", 200);
    ServiceFixture::Options options;
    options.card = QStringLiteral("J");
    ServiceFixture service(options);
    service.setEnv(QStringLiteral("KRSIM_READ_DELAY_MS"), QStringLiteral("1"));
    service.setEnv(QStringLiteral("KRSIM_READ_FAIL_EVERY"), QStringLiteral("7"));
    QVERIFY2(service.start(), qPrintable(service.error()));

    int answered = 0;
    std::vector<std::unique_ptr<SoakClient>> all;
    for (int i = 0; i < clients; ++i) {
        all.push_back(std::make_unique<SoakClient>(i, commands, &answered));
        QVERIFY(all.back()->open());
    }
    for (auto &client : all)
        client->start();

    QTRY_VERIFY_WITH_TIMEOUT(answered >= 1000, 120000);
    const qint64 settled = residentKiB(service.pid());
    auto finished = [&all] {
        for (auto &client : all) {
            if (!client->done())
                return false;
        }
        return true;
    };
    QTRY_VERIFY_WITH_TIMEOUT(finished(), 600000);
    QTest::qWait(200);
    QCOMPARE(answered, clients * commands);
    for (auto &client : all)
        QVERIFY2(client->error.isEmpty(), qPrintable(client->error));

    const qint64 after = residentKiB(service.pid());
    QVERIFY(service.running());
    if (!kMemoryComparable)
        QSKIP("resident memory is not comparable in a sanitizer build");
    QVERIFY2(after - settled < 6 * 1024,
             qPrintable(QStringLiteral("%1 KiB after 1000 commands, %2 KiB at the end")
                            .arg(settled)
                            .arg(after)));
}

void SoakTest::connectCycleLeavesNoGrowth()
{
    const int cycles = setting("KRV_SOAK_CYCLES", 1000);
    ServiceFixture service;
    QVERIFY2(service.start(), qPrintable(service.error()));
    const QString command = QStringLiteral(R"({"cmd":"close_device"})");
    qint64 settled = 0;
    for (int i = 0; i < cycles; ++i) {
        WsClient client;
        QVERIFY(client.open());
        QVERIFY(client.request(command).contains("\"statuCode\": 0"));
        client.close();
        QVERIFY(client.waitForDisconnect());
        if (i == qMin(200, cycles / 5))
            settled = residentKiB(service.pid());
    }
    QTest::qWait(200);
    const qint64 after = residentKiB(service.pid());
    if (!kMemoryComparable)
        QSKIP("resident memory is not comparable in a sanitizer build");
    QVERIFY2(after - settled < 3 * 1024,
             qPrintable(QStringLiteral("%1 KiB settled, %2 KiB after %3 cycles")
                            .arg(settled)
                            .arg(after)
                            .arg(cycles)));
}

QTEST_GUILESS_MAIN(SoakTest)
#include "tst_soak.moc"
