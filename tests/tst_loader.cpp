#include "libraryloader.h"
#include "readerhost.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

QStringList messages;

void collect(QtMsgType, const QMessageLogContext &, const QString &text)
{
    messages.append(text);
}

QString simulatorWithout(const QString &entry)
{
    return QStringLiteral(KRV_SIM_VARIANTS "/without-%1/libCommonInterface.so").arg(entry);
}

using Call = ReaderLibrary::Call;
using Outcome = ReaderLibrary::Outcome;

} // namespace

class LoaderTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        bLoadDll = false;
        messages.clear();
        previous = qInstallMessageHandler(collect);
    }
    void cleanup() { qInstallMessageHandler(previous); }

    void loadsLibraryWithAllEntryPoints();
    void refusesLibraryWithoutAnEntryPoint_data();
    void refusesLibraryWithoutAnEntryPoint();
    void aFaultCostsTheCallInProgressOnly_data();
    void aFaultCostsTheCallInProgressOnly();

private:
    QtMessageHandler previous = nullptr;
};

void LoaderTest::loadsLibraryWithAllEntryPoints()
{
    const QString file = QStringLiteral(KRV_SIMULATOR);
    QVERIFY(LoadTerminalProtocolDll(file));
    QVERIFY(bLoadDll);
    QVERIFY(pReaderLibrary);
    QCOMPARE(messages, QStringList({"LoadTerminalProtocolDll DllFileName: \"" + file + "\"",
                                    "LoadTerminalProtocolDll load ok"}));
}

void LoaderTest::refusesLibraryWithoutAnEntryPoint_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("failure");
    for (const char *entry : {"OpenDevice", "CloseDevice", "SamGetId", "SamGetIdStr", "IdReadCard"})
        QTest::newRow(entry) << simulatorWithout(QString::fromLatin1(entry))
                             << "LoadTerminalProtocolDll load function fail";
    QTest::newRow("no file") << QDir::temp().filePath("no-such-dir/libCommonInterface.so")
                             << "LoadTerminalProtocolDll load file fail";
}

void LoaderTest::refusesLibraryWithoutAnEntryPoint()
{
    QFETCH(QString, file);
    QFETCH(QString, failure);
    QVERIFY(!LoadTerminalProtocolDll(file));
    QVERIFY(!bLoadDll);
    QCOMPARE(messages.value(1), failure);
}

void LoaderTest::aFaultCostsTheCallInProgressOnly_data()
{
    QTest::addColumn<QByteArray>("fault"); // what the simulator does in the first read
    QTest::addColumn<QString>("logged");
    QTest::newRow("crash") << QByteArray("segv") << "Crashed with SIGSEGV in IdReadCard";
    QTest::newRow("exit(3)") << QByteArray("exit")
                             << "The reader library ended the reader host with status 3 in "
                                "IdReadCard";
    QTest::newRow("hang") << QByteArray("hang")
                          << "IdReadCard did not return within 0.300 s: the reader host is "
                             "ended and started again";
    QTest::newRow("fork, then crash")
        << QByteArray("fork-segv") << "Crashed with SIGSEGV in IdReadCard";
}

void LoaderTest::aFaultCostsTheCallInProgressOnly()
{
    QFETCH(QByteArray, fault);
    QFETCH(QString, logged);
    QTemporaryDir folder;
    const QString library = folder.filePath(QStringLiteral("libCommonInterface.so"));
    QVERIFY(QFile::copy(QStringLiteral(KRV_SIMULATOR), library));
    QVERIFY(QFile::copy(QStringLiteral(KRV_OUTPUT_DIR "/cards/card-A.txt"),
                        folder.filePath(QStringLiteral("card.txt"))));
    ReaderHost host(library, 300);
    QVERIFY(host.start().loaded);
    QVERIFY(writeFile(folder.filePath(QStringLiteral("fault.txt")), fault));

    // All handed over at once: the second is the one in progress at the fault.
    const QList<Call> calls = {Call::OpenDevice, Call::IdReadCard, Call::IdReadCard,
                               Call::OpenDevice, Call::IdReadCard, Call::CloseDevice};
    QList<Outcome> outcomes;
    for (const Call call : calls)
        host.call(call, [&outcomes](const Outcome &outcome) { outcomes.append(outcome); });
    QTRY_COMPARE_WITH_TIMEOUT(outcomes.size(), calls.size(), 10000);

    QVERIFY(!outcomes.at(0).failed && outcomes.at(0).result == 0);
    QVERIFY(outcomes.at(1).failed);
    // The fresh host starts with the reader closed (the simulator's code 2),
    // and reads once it is opened again.
    QCOMPARE(outcomes.at(2).result, 2);
    QCOMPARE(outcomes.at(3).result, 0);
    QCOMPARE(outcomes.at(4).result, 0);
    QVERIFY(outcomes.at(4).record.startsWith("A:"));
    QVERIFY(!outcomes.at(5).failed);
    for (const int ok : {0, 2, 3, 4, 5})
        QVERIFY(!outcomes.at(ok).failed);
    QVERIFY2(messages.contains(logged), qPrintable(messages.join('\n')));
    QVERIFY(messages.contains("The reader host is started again in 0 ms (1 in a row)"));
}

QTEST_GUILESS_MAIN(LoaderTest)
#include "tst_loader.moc"
