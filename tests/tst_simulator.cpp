// The reader simulator keeps the card between reads while its files are
// unchanged. Every way of placing, changing or taking away a card must still
// be seen by the very next read.
#include "commoninterface.h"
#include "testfiles.h"

#include <QFile>
#include <QLibrary>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

namespace {

enum class Change {
    RewriteInPlace,  // same file, new content
    AppendInPlace,   // same file, grown
    ReplaceByRename, // a new file renamed over the old
    RemoveText,      // card.txt taken away
    PlaceRaw,        // card.gb put beside card.txt
    RemoveRaw,       // card.gb taken away again
    TruncateRaw,     // card.gb emptied
    ThroughSymlink,  // card.txt is a link; the file it names changes
    ThroughHardLink, // card.txt has a second name; written through that one
};

} // namespace

Q_DECLARE_METATYPE(Change)

class SimulatorTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void seesEveryChangeAtTheNextRead_data();
    void seesEveryChangeAtTheNextRead();
    void seesChangesMadeJustBeforeEachRead();

private:
    QString path(const QString &name) const { return folder.filePath(name); }
    bool write(const QString &name, const QByteArray &bytes) const;
    // The record a read leaves, or the failure code as text.
    QByteArray read() const;

    QTemporaryDir folder;
    QTemporaryDir elsewhere;
    decltype(&OpenDevice) openDevice = nullptr;
    decltype(&IdReadCard) idReadCard = nullptr;
};

bool SimulatorTest::write(const QString &name, const QByteArray &bytes) const
{
    return writeFile(name.startsWith('/') ? name : path(name), bytes);
}

QByteArray SimulatorTest::read() const
{
    QByteArray record(COMMONINTERFACE_RECORD_SIZE, '\0');
    const long result = idReadCard(0, 1, record.data(), 0);
    if (result != 0)
        return "failure " + QByteArray::number(qlonglong(result));
    return record.left(int(qstrnlen(record.constData(), uint(record.size()))));
}

void SimulatorTest::initTestCase()
{
    // A copy of its own, so that the card files lie beside this library only.
    const QString copy = path(QStringLiteral("libCommonInterface.so"));
    QVERIFY(QFile::copy(QStringLiteral(KRV_SIMULATOR), copy));
    QLibrary library(copy);
    QVERIFY2(library.load(), qPrintable(library.errorString()));
    openDevice = reinterpret_cast<decltype(openDevice)>(library.resolve("OpenDevice"));
    idReadCard = reinterpret_cast<decltype(idReadCard)>(library.resolve("IdReadCard"));
    QVERIFY(openDevice && idReadCard);
    QCOMPARE(openDevice("USB", "0400C35A", ""), 0L);
}

void SimulatorTest::init()
{
    for (const char *name : {"card.txt", "card.gb", "other.txt"}) {
        QFile::remove(path(name));
        QFile::remove(elsewhere.filePath(name));
    }
    QVERIFY(write("card.txt", "A:FIRST"));
    // The first read after the set-up is the one the simulator keeps.
    QCOMPARE(read(), QByteArray("A:FIRST"));
    QCOMPARE(read(), QByteArray("A:FIRST"));
}

void SimulatorTest::seesEveryChangeAtTheNextRead_data()
{
    QTest::addColumn<Change>("change");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("rewritten in place") << Change::RewriteInPlace << QByteArray("J:SECOND");
    QTest::newRow("grown in place") << Change::AppendInPlace << QByteArray("A:FIRST:MORE");
    QTest::newRow("replaced by a rename") << Change::ReplaceByRename << QByteArray("I:RENAMED");
    QTest::newRow("taken away") << Change::RemoveText << QByteArray("failure 1");
    QTest::newRow("raw card placed") << Change::PlaceRaw << QByteArray("J:RAW\xb0\xa1");
    QTest::newRow("raw card taken away") << Change::RemoveRaw << QByteArray("A:FIRST");
    QTest::newRow("raw card emptied") << Change::TruncateRaw << QByteArray();
    QTest::newRow("through a symbolic link") << Change::ThroughSymlink << QByteArray("J:LINKED");
    QTest::newRow("through a second name")
        << Change::ThroughHardLink << QByteArray("I:SECOND NAME");
}

void SimulatorTest::seesEveryChangeAtTheNextRead()
{
    QFETCH(Change, change);
    QFETCH(QByteArray, expected);
    const QByteArray other = elsewhere.filePath("other.txt").toLocal8Bit();
    switch (change) {
    case Change::RewriteInPlace:
        QVERIFY(write("card.txt", "J:SECOND"));
        break;
    case Change::AppendInPlace: {
        QFile file(path("card.txt"));
        QVERIFY(file.open(QIODevice::Append));
        QCOMPARE(file.write(":MORE"), 5);
        break;
    }
    case Change::ReplaceByRename:
        QVERIFY(write("other.txt", "I:RENAMED"));
        QCOMPARE(::rename(qPrintable(path("other.txt")), qPrintable(path("card.txt"))), 0);
        break;
    case Change::RemoveText:
        QVERIFY(QFile::remove(path("card.txt")));
        break;
    case Change::PlaceRaw:
        QVERIFY(write("card.gb", "J:RAW\xb0\xa1"));
        break;
    case Change::RemoveRaw:
        QVERIFY(write("card.gb", "J:RAW"));
        QCOMPARE(read(), QByteArray("J:RAW"));
        QVERIFY(QFile::remove(path("card.gb")));
        break;
    case Change::TruncateRaw:
        QVERIFY(write("card.gb", "J:RAW"));
        QCOMPARE(read(), QByteArray("J:RAW"));
        QVERIFY(write("card.gb", ""));
        break;
    case Change::ThroughSymlink:
        QVERIFY(write(elsewhere.filePath("other.txt"), "A:TARGET"));
        QVERIFY(QFile::remove(path("card.txt")));
        QCOMPARE(::symlink(other.constData(), qPrintable(path("card.txt"))), 0);
        QCOMPARE(read(), QByteArray("A:TARGET"));
        QCOMPARE(read(), QByteArray("A:TARGET"));
        QVERIFY(write(elsewhere.filePath("other.txt"), "J:LINKED"));
        break;
    case Change::ThroughHardLink:
        QCOMPARE(::link(qPrintable(path("card.txt")), other.constData()), 0);
        QCOMPARE(read(), QByteArray("A:FIRST"));
        QVERIFY(write(elsewhere.filePath("other.txt"), "I:SECOND NAME"));
        break;
    }
    QCOMPARE(read(), expected);
    QCOMPARE(read(), expected);
}

void SimulatorTest::seesChangesMadeJustBeforeEachRead()
{
    // Content and size change at every step, and so does which file holds the card.
    for (int i = 0; i < 300; ++i) {
        const QByteArray text = "A:" + QByteArray::number(i) + ":" + QByteArray(i % 37, 'P');
        if (i % 3 == 2) {
            QVERIFY(write("card.gb", text));
        } else {
            QFile::remove(path("card.gb"));
            QVERIFY(write("card.txt", text));
        }
        QCOMPARE(read(), text);
    }
}

QTEST_GUILESS_MAIN(SimulatorTest)
#include "tst_simulator.moc"
