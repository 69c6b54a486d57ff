// The command protocol from outside: the real service with the simulator,
// whole replies compared byte for byte.
#include "rawwsclient.h"
#include "servicefixture.h"
#include "wsclient.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <memory>

#include <sys/socket.h>

namespace {

// Field 14 (the photo) of a sample card, as the card object must carry it.
QString samplePhoto(const QString &kind)
{
    QFile file(QStringLiteral(KRV_OUTPUT_DIR "/cards/card-%1.txt").arg(kind));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll()).trimmed().section(QLatin1Char(':'), 14, 14);
}

QString readSuccess(const QString &card)
{
    return QStringLiteral("{\n"
                          "    \"cmd\": \"read_card_info\",\n"
                          "    \"message\": \"读取证件信息成功!\",\n"
                          "    \"read_result\": {\n%1    },\n"
                          "    \"result\": 0,\n"
                          "    \"statuCode\": 0\n"
                          "}\n")
        .arg(card);
}

const QString kCardA =
    QStringLiteral("        \"address\": \"北京市海淀区示例路100号模拟小区3号楼2单元501室\",\n"
                   "        \"birthday\": \"19900307\",\n"
                   "        \"chineseName\": \"\",\n"
                   "        \"dn\": \"\",\n"
                   "        \"effectDate\": \"20200115\",\n"
                   "        \"englishName\": \"\",\n"
                   "        \"expireDate\": \"20400115\",\n"
                   "        \"gender\": \"男\",\n"
                   "        \"idCardVersion\": \"\",\n"
                   "        \"idNum\": \"990000199003071236\",\n"
                   "        \"idType\": \"\",\n"
                   "        \"issueOrg\": \"示例市公安局模拟分局\",\n"
                   "        \"name\": \"吕𠮷晨\",\n"
                   "        \"nation\": \"汉\",\n"
                   "        \"nationCode\": \"\",\n"
                   "        \"passNo\": \"\",\n"
                   "        \"passNum\": \"\",\n"
                   "        \"photo\": \"%1\",\n"
                   "        \"photoLen\": \"\",\n"
                   "        \"photoMagick\": \"\"\n");

const QString kCardJ =
    QStringLiteral("        \"address\": \"广东省示例市虚构区样本大道88号㐀栋\",\n"
                   "        \"birthday\": \"19850612\",\n"
                   "        \"chineseName\": \"\",\n"
                   "        \"dn\": \"\",\n"
                   "        \"effectDate\": \"20230901\",\n"
                   "        \"englishName\": \"\",\n"
                   "        \"expireDate\": \"20280901\",\n"
                   "        \"gender\": \"女\",\n"
                   "        \"idCardVersion\": \"\",\n"
                   "        \"idNum\": \"990000198506120028\",\n"
                   "        \"idType\": \"J\",\n"
                   "        \"issueOrg\": \"示例市公安局\",\n"
                   "        \"name\": \"陈美玲\",\n"
                   "        \"nation\": \"\",\n"
                   "        \"nationCode\": \"\",\n"
                   "        \"passNo\": \"01\",\n"
                   "        \"passNum\": \"H00000001\",\n"
                   "        \"photo\": \"%1\",\n"
                   "        \"photoLen\": \"\",\n"
                   "        \"photoMagick\": \"\"\n");

const QString kCardI = QStringLiteral("        \"address\": \"\",\n"
                                      "        \"birthday\": \"19920220\",\n"
                                      "        \"chineseName\": \"安娜·示例\",\n"
                                      "        \"dn\": \"\",\n"
                                      "        \"effectDate\": \"20240301\",\n"
                                      "        \"englishName\": \"SAMPLE ANNA MARIA\",\n"
                                      "        \"expireDate\": \"20340301\",\n"
                                      "        \"gender\": \"女\",\n"
                                      "        \"idCardVersion\": \"02\",\n"
                                      "        \"idNum\": \"UTO990092022011\",\n"
                                      "        \"idType\": \"I\",\n"
                                      "        \"issueOrg\": \"示例移民管理局\",\n"
                                      "        \"name\": \"\",\n"
                                      "        \"nation\": \"\",\n"
                                      "        \"nationCode\": \"UTO\",\n"
                                      "        \"passNo\": \"\",\n"
                                      "        \"passNum\": \"\",\n"
                                      "        \"photo\": \"%1\",\n"
                                      "        \"photoLen\": \"\",\n"
                                      "        \"photoMagick\": \"\"\n");

QString unknown(const QString &cmdJson)
{
    return QStringLiteral(
               "{\n    \"cmd\": %1,\n    \"message\": \"未知命令\",\n    \"result\": -4,\n"
               "    \"statuCode\": -4\n}\n")
        .arg(cmdJson);
}

QString readFailure(const QString &code)
{
    return QStringLiteral("{\n    \"cmd\": \"read_card_info\",\n    \"message\": "
                          "\"读取证件信息失败，错误代码：%1\",\n    \"result\": -3,\n"
                          "    \"statuCode\": -3\n}\n")
        .arg(code);
}

const QString kOpen = QStringLiteral(R"({"cmd":"open_device"})");
const QString kClose = QStringLiteral(R"({"cmd":"close_device"})");
const QString kRead = QStringLiteral(R"({"cmd":"read_card_info"})");
const QString kOpened = QStringLiteral("{\n    \"cmd\": \"open_device\",\n    \"message\": "
                                       "\"连接设备成功!\",\n    \"statuCode\": 0\n}\n");
const QString kClosed = QStringLiteral("{\n    \"cmd\": \"close_device\",\n    \"message\": "
                                       "\"关闭设备成功!\",\n    \"result\": 0,\n    "
                                       "\"statuCode\": 0\n}\n");

QStringList readLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

} // namespace

class ProtocolTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QVERIFY2(!ServiceFixture::portAccepts(), "port 35561 is taken"); }

    void answersEachRequest_data();
    void answersEachRequest();
    void readsRecordsAsTheLibraryLeavesThem_data();
    void readsRecordsAsTheLibraryLeavesThem();
    void callsTheLibraryWithItsArguments();
    void answersOnlyTheSender();
    void answersPipelinedRequestsInOrder();
    void slowPeerGetsWholeFramesInOrder_data();
    void slowPeerGetsWholeFramesInOrder();
    void slowReaderDelaysButLosesNothing();
    void logsEachStep();
};

void ProtocolTest::answersEachRequest_data()
{
    QTest::addColumn<QStringList>("environment"); // simulator controls, NAME=value
    QTest::addColumn<QByteArray>("card");         // card.txt content; "-" for none
    QTest::addColumn<QStringList>("before");      // sent first, replies not checked
    QTest::addColumn<QString>("request");
    QTest::addColumn<QString>("expected");

    const QByteArray noCard("-");
    auto sample = [](const QString &kind) {
        QFile file(QStringLiteral(KRV_OUTPUT_DIR "/cards/card-%1.txt").arg(kind));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };

    QTest::newRow("open: 0") << QStringList() << noCard << QStringList() << kOpen << kOpened;
    QTest::newRow("open: positive is success")
        << QStringList{"KRSIM_OPEN_RESULT=3"} << noCard << QStringList() << kOpen << kOpened;
    QTest::newRow("open: negative")
        << QStringList{"KRSIM_OPEN_RESULT=-5"} << noCard << QStringList() << kOpen
        << QStringLiteral("{\n    \"cmd\": \"open_device\",\n    \"message\": "
                          "\"连接设备失败，错误代码：-5\",\n    \"statuCode\": -2\n}\n");
    QTest::newRow("open: large negative")
        << QStringList{"KRSIM_OPEN_RESULT=-9223372036854775807"} << noCard << QStringList() << kOpen
        << QStringLiteral("{\n    \"cmd\": \"open_device\",\n    \"message\": "
                          "\"连接设备失败，错误代码：-9223372036854775807\",\n"
                          "    \"statuCode\": -2\n}\n");
    QTest::newRow("close: success")
        << QStringList() << noCard << QStringList{kOpen} << kClose << kClosed;
    QTest::newRow("close: success whatever the library says")
        << QStringList{"KRSIM_CLOSE_RESULT=-7"} << noCard << QStringList() << kClose << kClosed;

    QTest::newRow("read: no card")
        << QStringList() << noCard << QStringList{kOpen} << kRead << readFailure("1");
    QTest::newRow("read: device not open")
        << QStringList() << sample("A") << QStringList() << kRead << readFailure("2");
    QTest::newRow("read: injected failure") << QStringList{"KRSIM_READ_RESULT=-1"} << sample("A")
                                            << QStringList{kOpen} << kRead << readFailure("-1");
    QTest::newRow("read: large 64-bit failure")
        << QStringList{"KRSIM_READ_RESULT=4294967296"} << sample("A") << QStringList{kOpen} << kRead
        << readFailure("4294967296");
    QTest::newRow("read: most negative")
        << QStringList{"KRSIM_READ_RESULT=-9223372036854775808"} << sample("A")
        << QStringList{kOpen} << kRead << readFailure("-9223372036854775808");
    QTest::newRow("read: sample A") << QStringList() << sample("A") << QStringList{kOpen} << kRead
                                    << readSuccess(kCardA.arg(samplePhoto("A")));
    QTest::newRow("read: sample J") << QStringList() << sample("J") << QStringList{kOpen} << kRead
                                    << readSuccess(kCardJ.arg(samplePhoto("J")));
    QTest::newRow("read: sample I") << QStringList() << sample("I") << QStringList{kOpen} << kRead
                                    << readSuccess(kCardI.arg(samplePhoto("I")));
    QTest::newRow("read: empty record")
        << QStringList() << QByteArray() << QStringList{kOpen} << kRead << readSuccess(QString());
    QTest::newRow("read: unrecognised record")
        << QStringList() << QByteArray("X:名::男::汉::1:2:3:4:5:6::P") << QStringList{kOpen}
        << kRead << readSuccess(QString());
    QTest::newRow("read: lower-case kind")
        << QStringList() << QByteArray("a:名::男::汉::1:2:3:4:5:6::P") << QStringList{kOpen}
        << kRead << readSuccess(QString());

    QTest::newRow("unknown: upper case")
        << QStringList() << noCard << QStringList() << R"({"cmd":"OPEN_DEVICE"})"
        << unknown("\"OPEN_DEVICE\"");
    QTest::newRow("unknown: trailing space")
        << QStringList() << noCard << QStringList() << R"({"cmd":"open_device "})"
        << unknown("\"open_device \"");
    QTest::newRow("unknown: number")
        << QStringList() << noCard << QStringList() << R"({"cmd":5})" << unknown("5");
    QTest::newRow("unknown: null")
        << QStringList() << noCard << QStringList() << R"({"cmd":null})" << unknown("null");
    QTest::newRow("unknown: empty")
        << QStringList() << noCard << QStringList() << R"({"cmd":""})" << unknown("\"\"");
    QTest::newRow("unknown: object")
        << QStringList() << noCard << QStringList() << R"({"cmd":{"a":1}})"
        << unknown("{\n        \"a\": 1\n    }");

    QTest::newRow("no cmd: object back unchanged")
        << QStringList() << noCard << QStringList() << R"({"id":3})"
        << QStringLiteral("{\n    \"id\": 3\n}\n");
    QTest::newRow("no cmd: members sorted, nesting kept")
        << QStringList() << noCard << QStringList() << R"({"z":[1,"两"],"a":{"b":true}})"
        << QStringLiteral("{\n    \"a\": {\n        \"b\": true\n    },\n    \"z\": [\n        1,\n"
                          "        \"两\"\n    ]\n}\n");
    QTest::newRow("no cmd: not JSON")
        << QStringList() << noCard << QStringList() << "hello" << QStringLiteral("{\n}\n");
    QTest::newRow("no cmd: array")
        << QStringList() << noCard << QStringList() << "[1,2]" << QStringLiteral("{\n}\n");
    QTest::newRow("no cmd: empty text")
        << QStringList() << noCard << QStringList() << "" << QStringLiteral("{\n}\n");

    QTest::newRow("members: statuCode replaced, tag kept")
        << QStringList() << noCard << QStringList()
        << R"({"cmd":"close_device","statuCode":"x","tag":"页面-1"})"
        << QStringLiteral(
               "{\n    \"cmd\": \"close_device\",\n    \"message\": \"关闭设备成功!\",\n"
               "    \"result\": 0,\n    \"statuCode\": 0,\n    \"tag\": \"页面-1\"\n}\n");
    QTest::newRow("members: open keeps a result it was sent")
        << QStringList() << noCard << QStringList() << R"({"cmd":"open_device","result":"mine"})"
        << QStringLiteral("{\n    \"cmd\": \"open_device\",\n    \"message\": \"连接设备成功!\",\n"
                          "    \"result\": \"mine\",\n    \"statuCode\": 0\n}\n");
    QTest::newRow("members: read_result sent with a failing read comes back")
        << QStringList{"KRSIM_READ_RESULT=5"} << noCard << QStringList()
        << R"({"cmd":"read_card_info","read_result":1})"
        << QStringLiteral("{\n    \"cmd\": \"read_card_info\",\n    \"message\": "
                          "\"读取证件信息失败，错误代码：5\",\n    \"read_result\": 1,\n"
                          "    \"result\": -3,\n    \"statuCode\": -3\n}\n");
}

void ProtocolTest::answersEachRequest()
{
    QFETCH(QStringList, environment);
    QFETCH(QByteArray, card);
    QFETCH(QStringList, before);
    QFETCH(QString, request);
    QFETCH(QString, expected);

    ServiceFixture service;
    for (const QString &setting : environment)
        service.setEnv(setting.section('=', 0, 0), setting.section('=', 1));
    if (card != "-")
        service.putCardText(card);
    QVERIFY2(service.start(), qPrintable(service.error()));

    WsClient client;
    QVERIFY(client.open());
    for (const QString &text : before)
        QVERIFY(!client.request(text).isNull());
    QCOMPARE(client.request(request), expected);
}

void ProtocolTest::readsRecordsAsTheLibraryLeavesThem_data()
{
    QTest::addColumn<QByteArray>("record"); // raw bytes the library writes
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("photo");

    // A faulty library that fills all 10240 bytes and writes no NUL.
    const QByteArray head("A:FULL::M:::::::::::");
    QTest::newRow("no NUL in the whole buffer") << head + QByteArray(10240 - head.size(), 'P')
                                                << "FULL" << QString(10240 - head.size(), 'P');
    QTest::newRow("bytes that are not GB18030") << QByteArray("A:X\xff\x81\x20::M:::::::::::P")
                                                << QString::fromUtf8("X\uFFFD\uFFFD ") << "P";
}

void ProtocolTest::readsRecordsAsTheLibraryLeavesThem()
{
    QFETCH(QByteArray, record);
    QFETCH(QString, name);
    QFETCH(QString, photo);
    ServiceFixture service;
    service.putRawCard(record);
    QVERIFY2(service.start(), qPrintable(service.error()));
    WsClient client;
    QVERIFY(client.open());
    QCOMPARE(client.request(kOpen), kOpened);
    const QJsonObject reply = QJsonDocument::fromJson(client.request(kRead).toUtf8()).object();
    QCOMPARE(reply.value("statuCode").toInt(-99), 0);
    const QJsonObject card = reply.value("read_result").toObject();
    QCOMPARE(card.size(), 20);
    QCOMPARE(card.value("name").toString(), name);
    QCOMPARE(card.value("photo").toString(), photo);
    QVERIFY(service.running());
}

void ProtocolTest::callsTheLibraryWithItsArguments()
{
    ServiceFixture::Options options;
    options.card = QStringLiteral("A");
    ServiceFixture service(options);
    const QString calls = service.path(QStringLiteral("calls.txt"));
    service.setEnv(QStringLiteral("KRSIM_CALL_LOG"), calls);
    QVERIFY2(service.start(), qPrintable(service.error()));

    WsClient client;
    QVERIFY(client.open());
    QCOMPARE(client.request(kOpen), kOpened);
    QVERIFY(client.request(kRead).contains("\"statuCode\": 0"));
    // A shorter record after a longer one: the buffer must be zeroed afresh.
    service.putCardText("J:短");
    QVERIFY(client.request(kRead).contains("\"name\": \"短\""));
    QCOMPARE(client.request(kClose), kClosed);
    const QString upperCase = QStringLiteral(R"({"cmd":"OPEN_DEVICE"})");
    QVERIFY(client.request(upperCase).contains("-4"));
    const QString noCmd = QStringLiteral(R"({"id":1})");
    QVERIFY(client.request(noCmd).contains("\"id\": 1"));

    // Unknown commands and messages without "cmd" reach no entry point.
    const QStringList expected = {
        R"(OpenDevice("USB", "0400C35A", "") -> 0)",
        "IdReadCard(0, 1, <10240 zero bytes>, 0) -> 0",
        "IdReadCard(0, 1, <10240 zero bytes>, 0) -> 0",
        "CloseDevice() -> 0",
    };
    QCOMPARE(readLines(calls), expected);
}

void ProtocolTest::answersOnlyTheSender()
{
    ServiceFixture service;
    QVERIFY2(service.start(), qPrintable(service.error()));
    std::vector<std::unique_ptr<WsClient>> clients;
    for (int i = 0; i < 4; ++i) {
        clients.push_back(std::make_unique<WsClient>());
        QVERIFY(clients.back()->open());
    }
    for (int i = 0; i < 4; ++i)
        clients[size_t(i)]->send(QStringLiteral(R"({"cmd":"close_device","client":%1})").arg(i));
    for (int i = 0; i < 4; ++i)
        QVERIFY(clients[size_t(i)]->waitForReplies(1));
    QTest::qWait(100);
    for (int i = 0; i < 4; ++i) {
        QCOMPARE(clients[size_t(i)]->replies.size(), 1);
        QVERIFY(
            clients[size_t(i)]->replies.first().contains(QStringLiteral("\"client\": %1,").arg(i)));
    }
}

void ProtocolTest::answersPipelinedRequestsInOrder()
{
    ServiceFixture::Options options;
    options.card = QStringLiteral("J");
    ServiceFixture service(options);
    QVERIFY2(service.start(), qPrintable(service.error()));
    WsClient client;
    QVERIFY(client.open());
    const QStringList commands = {"open_device", "read_card_info", "close_device", "bogus"};
    for (int i = 0; i < 200; ++i)
        client.send(QStringLiteral(R"({"cmd":"%1","seq":%2})").arg(commands[i % 4]).arg(i));
    QVERIFY(client.waitForReplies(200, 30000));
    QTest::qWait(100);
    QCOMPARE(client.replies.size(), 200);
    for (int i = 0; i < 200; ++i) {
        const QString &reply = client.replies.at(i);
        QVERIFY2(reply.contains(QStringLiteral("\"seq\": %1,\n").arg(i)),
                 qPrintable(reply.left(200)));
        QVERIFY(reply.contains(QStringLiteral("\"cmd\": \"%1\"").arg(commands[i % 4])));
    }
}

void ProtocolTest::slowPeerGetsWholeFramesInOrder_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<int>("padBytes"); // echoed back in the reply
    QTest::addColumn<int>("requests"); // their replies: megabytes, more than the system holds
    QTest::newRow("card reads, through the reader host")
        << QStringLiteral("read_card_info") << 0 << 2000;
    QTest::newRow("70 KB echoes, answered at once") << QStringLiteral("bogus") << 70 * 1024 << 240;
}

void ProtocolTest::slowPeerGetsWholeFramesInOrder()
{
    // A peer that leaves its replies unread for a while, then takes them
    // while it goes on sending requests and pings: what the system could not
    // take waits in the service, and every later reply and pong must queue
    // behind it, not cut into a frame half sent.
    QFETCH(QString, command);
    QFETCH(int, padBytes);
    QFETCH(int, requests);
    ServiceFixture::Options options;
    options.card = QStringLiteral("J");
    ServiceFixture service(options);
    QVERIFY2(service.start(), qPrintable(service.error()));
    RawWsClient client;
    QVERIFY(client.open(QStringLiteral("127.0.0.1"), ServiceFixture::port));
    // The system takes little, so that the rest waits in the service.
    const int small = 128 * 1024;
    QCOMPARE(::setsockopt(int(client.socket.socketDescriptor()), SOL_SOCKET, SO_RCVBUF, &small,
                          sizeof small),
             0);
    client.write(RawWsClient::frame(0x1, kOpen.toUtf8()));

    const int pings = 40, pingEvery = requests / pings;
    const QString pad =
        padBytes ? QStringLiteral(R"(,"pad":"%1")").arg(QString(padBytes, 'p')) : QString();
    int sent = 0, texts = 0, pongs = 0;
    const QDeadlineTimer deadline(30000);
    while ((texts <= requests || pongs < pings) && !deadline.hasExpired()) {
        // Within the requests the service lets wait (1024; past it, 1008):
        // a slow machine carries them out at its own pace.
        if (sent < requests && sent + 1 - texts < 1024) {
            const QString request = QStringLiteral(R"({"cmd":"%1","seq":%2%3})");
            client.write(RawWsClient::frame(0x1, request.arg(command).arg(sent).arg(pad).toUtf8()));
            if (sent % pingEvery == 0)
                client.write(RawWsClient::frame(0x9, QByteArray::number(sent)));
            if (++sent == requests / 2)
                QTest::qWait(300); // the service fills what the system takes, and more
            if (sent < requests / 2)
                continue;
        }
        const RawWsClient::Frame frame = client.readFrame(1);
        if (frame.opcode == 0xA) {
            QCOMPARE(frame.payload, QByteArray::number(pongs++ * pingEvery));
        } else if (frame.opcode != -1) {
            QVERIFY2(frame.opcode == 0x1, frame.payload.constData()); // a close says why
            QVERIFY(frame.fin);
            const QByteArray seq = "\"seq\": " + QByteArray::number(texts - 1) + ",\n";
            QVERIFY2(texts == 0 || (frame.payload.contains(seq) && frame.payload.endsWith("}\n")),
                     frame.payload.left(200).constData());
            ++texts;
        }
    }
    QCOMPARE(texts, requests + 1);
    QCOMPARE(pongs, pings);
}

void ProtocolTest::slowReaderDelaysButLosesNothing()
{
    ServiceFixture::Options options;
    options.card = QStringLiteral("I");
    ServiceFixture service(options);
    service.setEnv(QStringLiteral("KRSIM_READ_DELAY_MS"), QStringLiteral("400"));
    QVERIFY2(service.start(), qPrintable(service.error()));

    WsClient reader, others[3];
    QVERIFY(reader.open());
    for (WsClient &other : others)
        QVERIFY(other.open());
    QCOMPARE(reader.request(kOpen), kOpened);

    // Record the order in which replies arrive across all clients.
    QStringList arrivals;
    auto track = [&arrivals](const QString &who, WsClient &client) {
        QObject::connect(&client.socket, &QWebSocket::textMessageReceived, &client,
                         [&arrivals, who] { arrivals.append(who); });
    };
    track(QStringLiteral("reader"), reader);
    for (int i = 0; i < 3; ++i)
        track(QStringLiteral("other%1").arg(i), others[i]);

    reader.send(kRead);
    QTest::qWait(50); // the read is under way in the service
    for (WsClient &other : others)
        other.send(kClose);

    QVERIFY(reader.waitForReplies(2));
    for (WsClient &other : others)
        QVERIFY(other.waitForReplies(1));
    QTest::qWait(100);
    QCOMPARE(arrivals.size(), 4);
    QCOMPARE(arrivals.first(), QStringLiteral("reader"));
    QCOMPARE(reader.replies.last(), readSuccess(kCardI.arg(samplePhoto("I"))));
    for (WsClient &other : others)
        QCOMPARE(other.replies, QStringList{kClosed});
}

void ProtocolTest::logsEachStep()
{
    ServiceFixture::Options options;
    options.log = true;
    ServiceFixture service(options);
    service.setEnv(QStringLiteral("KRSIM_OPEN_RESULT"), QStringLiteral("-5"));
    QVERIFY2(service.start(), qPrintable(service.error()));
    WsClient client;
    QVERIFY(client.open());
    const QString quoted = QStringLiteral(R"({"cmd":"open_device","say":"a\"b\\c"})");
    QVERIFY(!client.request(quoted).isNull());
    QVERIFY(!client.request(QStringLiteral("hello")).isNull());

    QStringList texts;
    for (const QByteArray &line : service.log().split('\n')) {
        if (!line.isEmpty())
            texts.append(QString::fromUtf8(line.mid(27).chopped(1)));
    }
    const QStringList expected = {
        "LoadTerminalProtocolDll DllFileName: \"" +
            service.path(QStringLiteral("libCommonInterface.so")) + "\"",
        "LoadTerminalProtocolDll load ok",
        R"(processTextMessage message: "{\"cmd\":\"open_device\",\"say\":\"a\\\"b\\\\c\"}")",
        "processTextMessage message contains cmd",
        R"(processTextMessage cmd: "open_device")",
        R"(processTextMessage response: "{\"cmd\":\"open_device\",\"message\":\"连接设备失败，错误代码：-5\",\"say\":\"a\\\"b\\\\c\",\"statuCode\":-2}")",
        R"(processTextMessage message: "hello")",
        "processTextMessage message not contains cmd",
    };
    QCOMPARE(texts, expected);
}

QTEST_GUILESS_MAIN(ProtocolTest)
#include "tst_protocol.moc"
