#include "cardobject.h"
#include "cardrecord.h"
#include "testfiles.h"
#include "textcodec.h"

#include <QJsonObject>
#include <QTest>

using Fields = QMap<QString, QString>;
Q_DECLARE_METATYPE(Fields)

namespace {

const QStringList kAllKeys = {
    "address",    "birthday",    "chineseName",   "dn",     "effectDate", "englishName",
    "expireDate", "gender",      "idCardVersion", "idNum",  "idType",     "issueOrg",
    "name",       "nation",      "nationCode",    "passNo", "passNum",    "photo",
    "photoLen",   "photoMagick",
};

QByteArray gb18030(const QString &text)
{
    return toGb18030(text);
}

// Fields 0..14 joined by ":"; field 0 is the kind letter.
QString record(const QStringList &fields)
{
    return fields.join(QLatin1Char(':'));
}

// Checks that card has exactly the twenty keys, all strings, with the given
// non-empty values and every other key empty.
void verifyCard(const QJsonObject &card, const Fields &expected)
{
    QCOMPARE(card.keys(), kAllKeys);
    for (const QString &key : kAllKeys) {
        QVERIFY2(card.value(key).isString(), qPrintable(key));
        QCOMPARE(card.value(key).toString(), expected.value(key));
    }
}

} // namespace

class CardRecordTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void decodesEachKind_data();
    void decodesEachKind();
    void keepsFieldsVerbatim_data();
    void keepsFieldsVerbatim();
    void rejectsUnknownKinds_data();
    void rejectsUnknownKinds();
    void shortRecordLeavesMissingKeysEmpty();
    void invalidBytesBecomeReplacementCharacters();
    void decodesLikeTheCodec_data();
    void decodesLikeTheCodec();
    void recordEndsAtFirstNulOrBufferEnd_data();
    void recordEndsAtFirstNulOrBufferEnd();
};

void CardRecordTest::decodesEachKind_data()
{
    QTest::addColumn<QString>("record");
    QTest::addColumn<Fields>("expected");

    // 𠮷 (U+20BB7) and 㐀 (U+3400) take four bytes in GB18030.
    QTest::newRow("A: resident card")
        << record({"A", "吕𠮷晨", "unused", "男", "x", "汉", "unused", "19900307",
                   "北京市海淀区示例路100号", "990000199003071236", "示例市公安局", "20200115",
                   "20400115", "unused", "UEhPVE8="})
        << Fields{{"name", "吕𠮷晨"},
                  {"gender", "男"},
                  {"nation", "汉"},
                  {"birthday", "19900307"},
                  {"address", "北京市海淀区示例路100号"},
                  {"idNum", "990000199003071236"},
                  {"issueOrg", "示例市公安局"},
                  {"effectDate", "20200115"},
                  {"expireDate", "20400115"},
                  {"photo", "UEhPVE8="}};

    QTest::newRow("J: residence permit")
        << record({"J", "陈美玲", "unused", "女", "x", "unused", "H00000001", "19850612",
                   "广东省示例市㐀栋", "990000198506120028", "示例市公安局", "20230901", "20280901",
                   "01", "iVBORw0KGgo="})
        << Fields{{"idType", "J"},
                  {"name", "陈美玲"},
                  {"gender", "女"},
                  {"passNum", "H00000001"},
                  {"birthday", "19850612"},
                  {"address", "广东省示例市㐀栋"},
                  {"idNum", "990000198506120028"},
                  {"issueOrg", "示例市公安局"},
                  {"effectDate", "20230901"},
                  {"expireDate", "20280901"},
                  {"passNo", "01"},
                  {"photo", "iVBORw0KGgo="}};

    QTest::newRow("I: permanent residence")
        << record({"I", "安娜·示例", "SAMPLE ANNA", "女", "x", "UTO", "unused", "19920220",
                   "unused", "UTO990092022011", "示例移民管理局", "20240301", "20340301", "02",
                   "/9j/4AAQ"})
        << Fields{{"idType", "I"},
                  {"chineseName", "安娜·示例"},
                  {"englishName", "SAMPLE ANNA"},
                  {"gender", "女"},
                  {"nationCode", "UTO"},
                  {"birthday", "19920220"},
                  {"idNum", "UTO990092022011"},
                  {"issueOrg", "示例移民管理局"},
                  {"effectDate", "20240301"},
                  {"expireDate", "20340301"},
                  {"idCardVersion", "02"},
                  {"photo", "/9j/4AAQ"}};
}

void CardRecordTest::decodesEachKind()
{
    QFETCH(QString, record);
    QFETCH(Fields, expected);
    verifyCard(cardObject(gb18030(record)), expected);
}

void CardRecordTest::keepsFieldsVerbatim_data()
{
    QTest::addColumn<QString>("record");
    QTest::addColumn<Fields>("expected");

    QTest::newRow("empty field keeps later positions")
        << "A:王五::男::汉::19900101:地址:0001:机关:20200101:20300101::P"
        << Fields{{"name", "王五"},           {"gender", "男"},
                  {"nation", "汉"},           {"birthday", "19900101"},
                  {"address", "地址"},        {"idNum", "0001"},
                  {"issueOrg", "机关"},       {"effectDate", "20200101"},
                  {"expireDate", "20300101"}, {"photo", "P"}};
    QTest::newRow("empty gender stays empty")
        << "A:王五:::::::::::::P" << Fields{{"name", "王五"}, {"photo", "P"}};
    QTest::newRow("spaces and leading zeros kept")
        << "A: 王五 ::  男::汉::00010101: 地址 :0000000000000000X0:机关 :0:  :: P "
        << Fields{{"name", " 王五 "},       {"gender", "  男"},    {"nation", "汉"},
                  {"birthday", "00010101"}, {"address", " 地址 "}, {"idNum", "0000000000000000X0"},
                  {"issueOrg", "机关 "},    {"effectDate", "0"},   {"expireDate", "  "},
                  {"photo", " P "}};
    QTest::newRow("only the first character of field 0 counts")
        << "Ixyz:名:EN:M::UTO::19900101::N1:机关:1:2:03:P"
        << Fields{{"idType", "I"},     {"chineseName", "名"},   {"englishName", "EN"},
                  {"gender", "M"},     {"nationCode", "UTO"},   {"birthday", "19900101"},
                  {"idNum", "N1"},     {"issueOrg", "机关"},    {"effectDate", "1"},
                  {"expireDate", "2"}, {"idCardVersion", "03"}, {"photo", "P"}};
    QTest::newRow("fields past 14 ignored")
        << "J:名::F:::P6:7:8:9:10:11:12:13:14:15:16:17"
        << Fields{{"idType", "J"},      {"name", "名"},       {"gender", "F"},  {"passNum", "P6"},
                  {"birthday", "7"},    {"address", "8"},     {"idNum", "9"},   {"issueOrg", "10"},
                  {"effectDate", "11"}, {"expireDate", "12"}, {"passNo", "13"}, {"photo", "14"}};
    QTest::newRow("a colon inside a field shifts later positions")
        << "A:名::男::汉::19900101:路:1号:N:机关:1:2::P"
        << Fields{
               {"name", "名"},      {"gender", "男"}, {"nation", "汉"},  {"birthday", "19900101"},
               {"address", "路"},   {"idNum", "1号"}, {"issueOrg", "N"}, {"effectDate", "机关"},
               {"expireDate", "1"}, {"photo", ""}};
}

void CardRecordTest::keepsFieldsVerbatim()
{
    QFETCH(QString, record);
    QFETCH(Fields, expected);
    verifyCard(cardObject(gb18030(record)), expected);
}

void CardRecordTest::rejectsUnknownKinds_data()
{
    QTest::addColumn<QString>("record");
    QTest::newRow("empty record") << "";
    QTest::newRow("only colons") << "::::::::::::::";
    QTest::newRow("lower-case a") << "a:名::男::汉::1:2:3:4:5:6::P";
    QTest::newRow("lower-case j") << "j:名::男::汉::1:2:3:4:5:6::P";
    QTest::newRow("lower-case i") << "i:名::男::汉::1:2:3:4:5:6::P";
    QTest::newRow("leading space") << " A:名::男::汉::1:2:3:4:5:6::P";
    QTest::newRow("accented Latin") << "Á:名::男::汉::1:2:3:4:5:6::P";
    QTest::newRow("Chinese character") << "甲:名::男::汉::1:2:3:4:5:6::P";
    QTest::newRow("other capital") << "B:名::男::汉::1:2:3:4:5:6::P";
    QTest::newRow("full-width A") << "Ａ:名::男::汉::1:2:3:4:5:6::P";
}

void CardRecordTest::rejectsUnknownKinds()
{
    QFETCH(QString, record);
    QVERIFY(cardObject(gb18030(record)).isEmpty());
}

void CardRecordTest::shortRecordLeavesMissingKeysEmpty()
{
    verifyCard(cardObject("A:NAME::M"), Fields{{"name", "NAME"}, {"gender", "M"}});
    verifyCard(cardObject("J"), Fields{{"idType", "J"}});
}

void CardRecordTest::invalidBytesBecomeReplacementCharacters()
{
    // 0x81 0x20 and a lone 0xFF are no GB18030 sequences.
    const QByteArray bytes = QByteArray("A:X\x81\x20Y::M::\xff:::::::::P");
    const QJsonObject card = cardObject(bytes);
    QVERIFY(card.value("name").toString().contains(QChar(0xFFFD)));
    QVERIFY(card.value("name").toString().startsWith(QLatin1Char('X')));
    QCOMPARE(card.value("nation").toString(), QString(QChar(0xFFFD)));
    QCOMPARE(card.value("photo").toString(), QStringLiteral("P"));
}

void CardRecordTest::decodesLikeTheCodec_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("ASCII only") << QByteArray("A:NAME::M:::::::::::PHOTO");
    QTest::newRow("Chinese, then an ASCII photo")
        << gb18030(QStringLiteral("A:吕𠮷晨::男::汉:::地址:::::") + QString(8000, 'P'));
    QTest::newRow("non-ASCII last") << gb18030(QStringLiteral("A:x:y:中"));
    QTest::newRow("invalid lead before a colon")
        << QByteArray("A:\x81:\x81\x30:\x81\x30\x81:PHOTO");
    QTest::newRow("four-byte cut by a colon") << QByteArray("I:\x81\x30\x81:\x30PHOTO");
    QTest::newRow("lead byte at the end") << QByteArray("J:abc::::::::::::\xfe");
    QTest::newRow("no colon after non-ASCII") << QByteArray("A\xb0\xa1trailing");
    QTest::newRow("non-ASCII in the photo") << QByteArray("A:n::m:::::::::::ab\xb0\xa1"
                                                          "cd");
    // The tail is searched eight bytes at a time from the end: the last
    // non-ASCII byte at every place in a word, with and without a colon after it.
    for (int after = 0; after < 18; ++after) {
        const QByteArray tail(after, 'P');
        QTest::newRow(
            qPrintable(QStringLiteral("last non-ASCII %1 bytes before the end").arg(after)))
            << QByteArray("A:n::m:::::::::::\xb0\xa1" + tail);
        QTest::newRow(qPrintable(QStringLiteral("lone non-ASCII byte, colon, %1 bytes").arg(after)))
            << QByteArray("J:\xb0\xa1:::::::::::::\xff:" + tail);
    }
}

// Only part of a record goes through the codec (the ASCII tail is taken as it
// is); the fields must still be what the codec's text split at colons gives.
void CardRecordTest::decodesLikeTheCodec()
{
    QFETCH(QByteArray, bytes);
    const QStringList fields = TextCodec::fromGb18030(bytes).split(QLatin1Char(':'));
    const QJsonObject card = cardObject(bytes);
    QVERIFY(!card.isEmpty());
    const QPair<const char *, int> common[] = {
        {"gender", 3},      {"birthday", 7},    {"idNum", 9}, {"issueOrg", 10},
        {"effectDate", 11}, {"expireDate", 12}, {"photo", 14}};
    for (const auto &field : common)
        QCOMPARE(card.value(QLatin1String(field.first)).toString(), fields.value(field.second));
    const QString name =
        card.value(card.value("idType") == "I" ? "chineseName" : "name").toString();
    QCOMPARE(name, fields.value(1));
}

void CardRecordTest::recordEndsAtFirstNulOrBufferEnd_data()
{
    QTest::addColumn<QByteArray>("buffer");
    QTest::addColumn<QByteArray>("record");

    QByteArray zeroed(10240, '\0');
    QTest::newRow("all zero") << zeroed << QByteArray();
    QByteArray written = zeroed;
    written.replace(0, 5, "A:B:C");
    QTest::newRow("written prefix") << written << QByteArray("A:B:C");
    QByteArray trailing = written;
    trailing.replace(100, 3, "XYZ");
    QTest::newRow("bytes after the NUL ignored") << trailing << QByteArray("A:B:C");
    const QByteArray full(10240, 'A');
    QTest::newRow("no NUL: the whole buffer, never more") << full << full;
}

void CardRecordTest::recordEndsAtFirstNulOrBufferEnd()
{
    QFETCH(QByteArray, buffer);
    QFETCH(QByteArray, record);
    // A copy of exactly the buffer's size: sanitizers see any read past it.
    QScopedArrayPointer<char> exact(new char[size_t(buffer.size())]);
    memcpy(exact.data(), buffer.constData(), size_t(buffer.size()));
    QCOMPARE(cardRecordBytes(exact.data(), buffer.size()), record);
}

QTEST_GUILESS_MAIN(CardRecordTest)
#include "tst_cardrecord.moc"
