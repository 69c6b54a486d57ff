// The scans must agree with a byte-by-byte look, wherever in a vector the
// byte they look for falls.
#include "asciiscan.h"

#include <QRandomGenerator>
#include <QTest>

namespace {

int plainJsonRunByBytes(const QByteArray &bytes)
{
    int i = 0;
    while (i < bytes.size() && uchar(bytes[i]) >= 0x20 && bytes[i] != '"' && bytes[i] != '\\')
        ++i;
    return i;
}

int lastNonAsciiByBytes(const QByteArray &bytes)
{
    int i = bytes.size() - 1;
    while (i >= 0 && uchar(bytes[i]) < 0x80)
        --i;
    return i;
}

// Runs check on the bytes at the start of a larger buffer, so that a scan
// reading past its size would see bytes that change its answer.
template <typename Check> void inBuffer(const QByteArray &bytes, char beyond, Check check)
{
    QByteArray buffer = bytes + QByteArray(80, beyond);
    check(buffer.constData(), bytes.size());
}

} // namespace

class AsciiScanTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void findsTheFirstByteToEscape_data();
    void findsTheFirstByteToEscape();
    void findsTheLastNonAsciiByte_data();
    void findsTheLastNonAsciiByte();
    void agreesOnRandomText();
};

void AsciiScanTest::findsTheFirstByteToEscape_data()
{
    QTest::addColumn<char>("special");
    QTest::addColumn<bool>("escaped");
    QTest::newRow("quote") << '"' << true;
    QTest::newRow("backslash") << '\\' << true;
    QTest::newRow("NUL") << '\0' << true;
    QTest::newRow("tab") << '\t' << true;
    QTest::newRow("0x1f") << '\x1f' << true;
    QTest::newRow("space") << ' ' << false;
    QTest::newRow("DEL") << '\x7f' << false;
    QTest::newRow("0x80") << '\x80' << false;
    QTest::newRow("0xff") << '\xff' << false;
    QTest::newRow("slash") << '/' << false;
}

void AsciiScanTest::findsTheFirstByteToEscape()
{
    QFETCH(char, special);
    QFETCH(bool, escaped);
    for (int size = 0; size <= 140; ++size) {
        for (int at = 0; at <= size; ++at) {
            QByteArray bytes(size, 'Q');
            if (at < size)
                bytes[at] = special;
            const int expected = escaped && at < size ? at : size;
            QCOMPARE(plainJsonRunByBytes(bytes), expected);
            inBuffer(bytes, '"', [&](const char *data, int n) {
                QCOMPARE(AsciiScan::plainJsonRun(data, n), expected);
            });
        }
    }
}

void AsciiScanTest::findsTheLastNonAsciiByte_data()
{
    QTest::addColumn<char>("high");
    QTest::newRow("0x80") << '\x80';
    QTest::newRow("0xa1") << '\xa1';
    QTest::newRow("0xff") << '\xff';
}

void AsciiScanTest::findsTheLastNonAsciiByte()
{
    QFETCH(char, high);
    for (int size = 0; size <= 140; ++size) {
        for (int at = -1; at < size; ++at) {
            QByteArray bytes(size, 'Q');
            if (at >= 0)
                bytes[at] = high;
            // A second one earlier must not be taken for the last.
            if (at > 3)
                bytes[at - 3] = high;
            QCOMPARE(lastNonAsciiByBytes(bytes), at);
            inBuffer(bytes, '\xfe', [&](const char *data, int n) {
                QCOMPARE(AsciiScan::lastNonAscii(data, n), at);
            });
        }
    }
}

void AsciiScanTest::agreesOnRandomText()
{
    // Mostly plain text with rare bytes of each kind, as in a real photo field.
    QRandomGenerator random(20261207);
    for (int round = 0; round < 2000; ++round) {
        QByteArray bytes(random.bounded(300), Qt::Uninitialized);
        for (char &c : bytes) {
            const int roll = random.bounded(1000);
            c = roll < 3   ? '"'
                : roll < 6 ? '\n'
                : roll < 9 ? char(0x80 + random.bounded(128))
                           : char('A' + random.bounded(26));
        }
        const int offset = random.bounded(bytes.size() + 1);
        const char *data = bytes.constData() + offset;
        const int size = bytes.size() - offset;
        const QByteArray tail = bytes.mid(offset);
        QCOMPARE(AsciiScan::plainJsonRun(data, size), plainJsonRunByBytes(tail));
        QCOMPARE(AsciiScan::lastNonAscii(data, size), lastNonAsciiByBytes(tail));
    }
}

QTEST_GUILESS_MAIN(AsciiScanTest)
#include "tst_asciiscan.moc"
