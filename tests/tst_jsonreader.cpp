// Requests are parsed as Qt parses them, without the memory that Qt's parser
// loses on repeated keys.
#include "jsonreader.h"

#include <QFile>
#include <QJsonDocument>
#include <QTest>

namespace {

// Resident memory of this process in KiB.
qint64 residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

} // namespace

class JsonReaderTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void parsesAsQtDoes_data();
    void parsesAsQtDoes();
    void repeatedKeysDoNotGrowMemory();
};

void JsonReaderTest::parsesAsQtDoes_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<bool>("rewritten");

    QTest::newRow("plain request")
        << QByteArray(R"({"cmd":"open_device","tag":[1,{"a":2}]})") << false;
    QTest::newRow("repeated number") << QByteArray(R"({"a":1,"a":2})") << true;
    QTest::newRow("repeated array") << QByteArray(R"({"a":[1],"b":0,"a":[2]})") << true;
    QTest::newRow("repeated object, three times")
        << QByteArray(R"({ "a" : {"x":1} , "a":{"y":[2]},"a" : 3 })") << true;
    QTest::newRow("repeated cmd") << QByteArray(R"({"cmd":"close_device","cmd":"open_device"})")
                                  << true;
    QTest::newRow("escaped key equals plain key") << QByteArray(R"({"\u0061":[1],"a":2})") << true;
    QTest::newRow("keys differing by escape")
        << QByteArray(R"({"a\"":[1],"a":2,"a\\":3})") << false;
    QTest::newRow("repeat inside a repeated member")
        << QByteArray(R"({"o":{"k":[1],"k":[2]},"o":{"k":[3],"k":4}})") << true;
    QTest::newRow("repeat inside an array") << QByteArray(R"([{"k":[1],"k":2},{"k":3}])") << true;
    QTest::newRow("strings with brackets and quotes")
        << QByteArray(R"({"s":"{[\"]}","s":"}",",":",",",":1})") << true;
    QTest::newRow("unicode keys") << QByteArray(R"({"中":[1],"中":2,"𠮷":3})") << true;
    QTest::newRow("unparsable: left alone") << QByteArray(R"({"a":[1],"a":[2],)") << false;
    QTest::newRow("unbalanced: left alone") << QByteArray(R"({"a":[1],"a":[2]]})") << false;
    QTest::newRow("unterminated string") << QByteArray(R"({"a":"x)") << false;
    QTest::newRow("not JSON") << QByteArray("hello") << false;
}

void JsonReaderTest::parsesAsQtDoes()
{
    QFETCH(QByteArray, json);
    QFETCH(bool, rewritten);
    QCOMPARE(JsonReader::parseObject(json), QJsonDocument::fromJson(json).object());
    const QByteArray kept = JsonReader::withoutRepeatedKeys(json);
    QCOMPARE(kept != json, rewritten);
    QCOMPARE(QJsonDocument::fromJson(kept).toJson(), QJsonDocument::fromJson(json).toJson());
}

void JsonReaderTest::repeatedKeysDoNotGrowMemory()
{
    // Each message repeats a key whose value is a large array: Qt's parser
    // alone loses about its size on every message.
    QByteArray message = "{";
    const QByteArray array = '[' + QByteArray("1,").repeated(2000) + "1]";
    for (int i = 0; i < 8; ++i)
        message += "\"k\":" + array + ',';
    message += "\"cmd\":\"close_device\"}";

    for (int i = 0; i < 50; ++i)
        JsonReader::parseObject(message);
    const qint64 before = residentKiB();
    for (int i = 0; i < 2000; ++i)
        QVERIFY(JsonReader::parseObject(message).contains(QLatin1String("k")));
    const qint64 growth = residentKiB() - before;
    // Without the fix this grows by well over 100 MiB.
    QVERIFY2(growth < 16 * 1024, qPrintable(QStringLiteral("grew by %1 KiB").arg(growth)));
}

QTEST_GUILESS_MAIN(JsonReaderTest)
#include "tst_jsonreader.moc"
