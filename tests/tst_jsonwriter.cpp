// The reply writer must give exactly the bytes of Qt's own JSON writer.
#include "cardobject.h"
#include "cardrecord.h"
#include "jsonwriter.h"
#include "testfiles.h"
#include "textcodec.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QTest>

#include <array>
#include <cmath>
#include <limits>

namespace {

using Format = JsonWriter::Format;

// A member set in the object, as a value that Qt can insert too.
struct Set
{
    QLatin1String key;
    QJsonValue value;
};

// What Qt writes for the object with the members inserted into it.
template <size_t N>
QByteArray qtReply(QJsonObject object, const std::array<Set, N> &members, Format format)
{
    for (const Set &member : members)
        object.insert(member.key, member.value);
    return QJsonDocument(object).toJson(format == Format::Compact ? QJsonDocument::Compact
                                                                  : QJsonDocument::Indented);
}

JsonWriter::Member member(const Set &set)
{
    return {set.key, [&set](JsonWriter &out) {
                if (set.value.isString())
                    out.value(set.value.toString()); // the overload replies use for texts
                else
                    out.value(set.value);
            }};
}

// What the writer writes, as UTF-8 bytes for comparing with Qt's.
template <size_t N, size_t... I>
QByteArray written(const QJsonObject &object, const std::array<Set, N> &members, Format format,
                   std::index_sequence<I...>)
{
    return JsonWriter::write(object, {member(members[I])...}, format).toUtf8();
}
template <size_t N>
QByteArray written(const QJsonObject &object, const std::array<Set, N> &members, Format format)
{
    return written(object, members, format, std::make_index_sequence<N>());
}

QString randomString(QRandomGenerator &random)
{
    // Control characters, quotes, backslashes, Latin-1, CJK, pairs and lone surrogates.
    static const QVector<ushort> pool = {0x0,    0x1,    0x8,    0x9,    0xa,    0xc,    0xd,
                                         0x1f,   '"',    '\\',   '/',    'a',    'Z',    ' ',
                                         0x7f,   0x80,   0xe9,   0x7ff,  0x800,  0x4e2d, 0xfffd,
                                         0xffff, 0xd842, 0xdfb7, 0xd800, 0xdc00, 0x2028};
    // Empty, never null: Qt 6.8 crashes inserting a null key into an object
    // that holds a key beyond Latin-1 (the service's keys come parsed).
    QString text = QStringLiteral("");
    const int length = random.bounded(8);
    for (int i = 0; i < length; ++i)
        text.append(QChar(pool[random.bounded(pool.size())]));
    return text;
}

QJsonValue randomValue(QRandomGenerator &random, int depth);

QJsonObject randomObject(QRandomGenerator &random, int depth)
{
    QJsonObject object;
    const int size = random.bounded(depth > 2 ? 2 : 6);
    for (int i = 0; i < size; ++i)
        object.insert(randomString(random), randomValue(random, depth + 1));
    return object;
}

QJsonValue randomValue(QRandomGenerator &random, int depth)
{
    static const double numbers[] = {0, -0.0, 1, -4, 0.1, 1e6, 1e15,
                                     // Past 2^53, written in full by both Qts
                                     // (Qt 6 writes 1e16 itself as 1e+16).
                                     1e16 + 2, 1e21, 1.5e300, 2.5, -1e-7, 123456789012345678.0,
                                     18446744073709551616.0, 36893488147419103232.0,
                                     std::numeric_limits<double>::infinity()};
    switch (random.bounded(depth > 3 ? 4 : 6)) {
    case 0:
        return QJsonValue(random.bounded(2) == 1);
    case 1:
        return QJsonValue(numbers[random.bounded(int(std::size(numbers)))]);
    case 2:
        return QJsonValue(randomString(random));
    case 3:
        return QJsonValue(QJsonValue::Null);
    case 4: {
        QJsonArray array;
        const int size = random.bounded(4);
        for (int i = 0; i < size; ++i)
            array.append(randomValue(random, depth + 1));
        return array;
    }
    default:
        return randomObject(random, depth);
    }
}

} // namespace

Q_DECLARE_METATYPE(JsonWriter::Format)

class JsonWriterTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void matchesQt_data();
    void matchesQt();
    void matchesQtOnRandomObjects_data();
    void matchesQtOnRandomObjects();
    void writesCardsFromRecordsAsQt_data();
    void writesCardsFromRecordsAsQt();
};

void JsonWriterTest::matchesQt_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<JsonWriter::Format>("format");
    const QList<QByteArray> requests = {
        "{}",
        R"({"cmd":"close_device"})",
        R"({"cmd":"read_card_info","tag":"页面-1","statuCode":"x","result":[1,{"a":null}]})",
        R"({"a":{},"b":[],"c":{"d":{"e":[[]]}},"zz":true,"aa":false})",
        // Integers that doubles hold exactly: Qt 6 reads the others exactly
        // where Qt 5 rounded them (the service writes what Qt 5 did).
        R"({"n":[0,-0,1e6,1e16,1e21,0.1,123456789012345680,18446744073709551616,36893488147419103232]})",
        R"({"s":"\u0000\u001f\"\\\/\b\f\n\r\t\u007f\u00e9\u4e2d\ud842\udfb7\ud800 \udc00"})",
        R"({"message":1,"read_result":2,"result":3,"statuCode":4,"stat":5,"rf":6,"n":7})",
        R"({"ÿ":1,"中":2,"𠮷":3,"~":4,"":5,"Message":6})",
    };
    for (const QByteArray &request : requests) {
        QTest::newRow(request.left(40) + " indented") << request << Format::Indented;
        QTest::newRow(request.left(40) + " compact") << request << Format::Compact;
    }
}

void JsonWriterTest::matchesQt()
{
    QFETCH(QByteArray, json);
    QFETCH(JsonWriter::Format, format);
    QJsonParseError error;
    const QJsonObject request = QJsonDocument::fromJson(json, &error).object();
    QCOMPARE(error.error, QJsonParseError::NoError);

    const std::array<Set, 0> none{};
    QCOMPARE(written(request, none, format), qtReply(request, none, format));
    const QJsonObject card{{"name", "吕𠮷晨"}, {"photo", "/9j/4AAQ"}, {"idType", ""}};
    const QString message = QStringLiteral("读取证件信息成功!\"\\\n𠮷");
    const std::array<Set, 4> members = {{
        {QLatin1String("message"), message},
        {QLatin1String("read_result"), card},
        {QLatin1String("result"), 0},
        {QLatin1String("statuCode"), -3},
    }};
    QCOMPARE(written(request, members, format), qtReply(request, members, format));
    const std::array<Set, 1> empty = {{{QLatin1String("read_result"), QJsonObject()}}};
    QCOMPARE(written(request, empty, format), qtReply(request, empty, format));
}

void JsonWriterTest::matchesQtOnRandomObjects_data()
{
    QTest::addColumn<JsonWriter::Format>("format");
    QTest::newRow("indented") << Format::Indented;
    QTest::newRow("compact") << Format::Compact;
}

void JsonWriterTest::matchesQtOnRandomObjects()
{
    QFETCH(JsonWriter::Format, format);
    QRandomGenerator random(20261207);
    for (int i = 0; i < 3000; ++i) {
        const QJsonObject object = randomObject(random, 0);
        const QString message = randomString(random);
        const std::array<Set, 3> members = {{
            {QLatin1String("message"), message},
            {QLatin1String("result"), randomValue(random, 3)},
            {QLatin1String("statuCode"), -4},
        }};
        const QByteArray mine = written(object, members, format);
        const QByteArray qt = qtReply(object, members, format);
        if (mine != qt)
            QFAIL(qPrintable(QStringLiteral("object %1 differs:\n%2\nQt:\n%3")
                                 .arg(i)
                                 .arg(QString::fromUtf8(mine.toPercentEncoding()),
                                      QString::fromUtf8(qt.toPercentEncoding()))));
    }
}

void JsonWriterTest::writesCardsFromRecordsAsQt_data()
{
    // The record's ASCII tail is written from its own bytes, eight at a time
    // where none needs escaping: put each byte that does at every place in a
    // word, in a tail after decoded text and in a record that is all tail.
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<char>("special");
    const QByteArray gb18030Head =
        toGb18030(QStringLiteral("A:张三::男::汉:19900101:北京市:110101199001011234:"));
    const QByteArray asciiHead = "A:ZHANG SAN::M::HAN:19900101:BEIJING:110101199001011234:";
    for (char special : {'"', '\\', '\x01', '\t', '\x1f', '\x7f', '/', ' '}) {
        const QByteArray name = QByteArray::number(uchar(special), 16);
        QTest::newRow("after text, byte 0x" + name) << gb18030Head << special;
        QTest::newRow("all ASCII, byte 0x" + name) << asciiHead << special;
    }
}

void JsonWriterTest::writesCardsFromRecordsAsQt()
{
    QFETCH(QByteArray, head);
    QFETCH(char, special);
    for (int at = 0; at < 20; ++at) {
        QByteArray photo(24, 'Q');
        photo[at] = special;
        // The photo twice: once where field 14 is read, once past it.
        const QByteArray record = head + "公安局:20200101:20300101::" + photo + ":" + photo;
        const CardText card = CardText::decode(record);
        QVERIFY(card.recognised());
        for (Format format : {Format::Indented, Format::Compact}) {
            const QByteArray mine = writtenCard(card, format);
            // Qt writes what it reads from it the same way, byte for byte.
            const QJsonDocument parsed = QJsonDocument::fromJson(mine);
            QCOMPARE(mine, parsed.toJson(format == Format::Compact ? QJsonDocument::Compact
                                                                   : QJsonDocument::Indented));
            QCOMPARE(parsed.object().value("card").toObject().value("photo").toString(),
                     QString::fromLatin1(photo));
        }
    }
}

QTEST_GUILESS_MAIN(JsonWriterTest)
#include "tst_jsonwriter.moc"
