#include "libraryloader.h"
#include "readerhost.h"
#include "readerturns.h"
#include "servicefixture.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

QStringList messages;

// A reader host on the simulator with a card on the reader, in a folder of its own.
struct SimulatedHost
{
    SimulatedHost()
        : library(folder.filePath(QStringLiteral("libCommonInterface.so"))), host(library, 5000)
    {
        QFile::copy(QStringLiteral(KRV_SIMULATOR), library);
        QFile::copy(QStringLiteral(KRV_OUTPUT_DIR "/cards/card-A.txt"),
                    folder.filePath(QStringLiteral("card.txt")));
    }
    QTemporaryDir folder;
    QString library;
    ReaderHost host;
};

void collect(QtMsgType, const QMessageLogContext &, const QString &text)
{
    // (Not the notes of a system that lacks a part of the sandbox: an emulator.)
    if (!ServiceFixture::isSystemNote(text.toUtf8()))
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
    void sharesTheReaderBetweenClients_data();
    void sharesTheReaderBetweenClients();
    void takesClientsInTurn();
    void forgetsAProgramThatLeft();

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
    QTest::newRow("hang") << QByteArray("hang") << "IdReadCard did not return within 0.300 s";
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
        host.call(&outcomes, QString(), call,
                  [&outcomes](const Outcome &outcome) { outcomes.append(outcome); });
    QTRY_COMPARE_WITH_TIMEOUT(outcomes.size(), calls.size(), 10000);

    QVERIFY(!outcomes.at(0).failed && outcomes.at(0).result == 0);
    QVERIFY(outcomes.at(1).failed);
    // The client's open went with the host: its next read fails as the host
    // did, not with the fresh host's "not open" (the simulator's code 2), and
    // it reads once it has opened again.
    QVERIFY(outcomes.at(2).failed);
    QCOMPARE(outcomes.at(3).result, 0);
    QCOMPARE(outcomes.at(4).result, 0);
    QVERIFY(outcomes.at(4).record.startsWith("A:"));
    QVERIFY(!outcomes.at(5).failed);
    for (const int ok : {0, 3, 4, 5})
        QVERIFY(!outcomes.at(ok).failed);
    // One line for the fault.
    const QStringList lines = messages.filter(logged);
    QCOMPARE(lines.size(), 1);
    QVERIFY2(
        lines.first().contains("started again in 0 ms (1 fault in IdReadCard within a minute)"),
        qPrintable(messages.join('\n')));
}

void LoaderTest::sharesTheReaderBetweenClients_data()
{
    // Steps "<client> <open|close|read|leaves>", all handed over at once
    // behind a read of a third client that keeps the host busy; the clients'
    // calls are then carried out in turn (a, b, a, b, ...).
    QTest::addColumn<QStringList>("steps");
    // The library's result for each step but "leaves": its close gives 7, a
    // close answered without it 0, a read of the closed reader 2.
    QTest::addColumn<QList<int>>("results");
    QTest::newRow("another page's close")
        << QStringList{"a open", "b close", "a read"} << QList<int>{0, 0, 0};
    QTest::newRow("a close repeated")
        << QStringList{"a open", "b close", "b close", "a read"} << QList<int>{0, 0, 0, 0};
    QTest::newRow("the last holder's close")
        << QStringList{"a open", "b open", "a close", "b close", "b read"}
        << QList<int>{0, 0, 0, 7, 2};
    QTest::newRow("a close with no holder")
        << QStringList{"a open", "a leaves", "b close", "b read"} << QList<int>{0, 7, 2};
    QTest::newRow("a page's own close")
        << QStringList{"a open", "a close", "a read"} << QList<int>{0, 7, 2};
    QTest::newRow("a holder that left")
        << QStringList{"a open", "b open", "b leaves", "a close", "a read"}
        << QList<int>{0, 0, 7, 2};
    QTest::newRow("a close of the closed reader")
        << QStringList{"a open", "a close", "a close"} << QList<int>{0, 7, 0};
    QTest::newRow("another page's close of the closed reader")
        << QStringList{"a open", "b read", "a close", "b close"} << QList<int>{0, 0, 7, 0};
    QTest::newRow("a close after a read")
        << QStringList{"a open", "a close", "a read", "a close"} << QList<int>{0, 7, 2, 7};
}

void LoaderTest::sharesTheReaderBetweenClients()
{
    QFETCH(QStringList, steps);
    QFETCH(QList<int>, results);
    qputenv("KRSIM_CLOSE_RESULT", "7");
    const auto unset = qScopeGuard([] { qunsetenv("KRSIM_CLOSE_RESULT"); });
    SimulatedHost simulated;
    QVERIFY(simulated.host.start().loaded);
    ReaderHost &host = simulated.host;
    const int busy = 0;
    int answered = 0;
    host.call(&busy, QString(), Call::IdReadCard, [&answered](const Outcome &) { ++answered; });
    const char clients[2] = {'a', 'b'};
    QList<int> got;
    for (const QString &step : steps) {
        const QStringList words = step.split(' ');
        const void *client = &clients[words.at(0) == QLatin1String("b")];
        if (words.at(1) == QLatin1String("leaves")) {
            host.forget(client);
            continue;
        }
        const Call call = words.at(1) == QLatin1String("open")    ? Call::OpenDevice
                          : words.at(1) == QLatin1String("close") ? Call::CloseDevice
                                                                  : Call::IdReadCard;
        const int index = got.size();
        got.append(-1);
        host.call(client, QString(), call, [&got, &answered, index](const Outcome &outcome) {
            got[index] = outcome.failed ? -100 : int(outcome.result);
            ++answered;
        });
    }
    QTRY_COMPARE_WITH_TIMEOUT(answered, results.size() + 1, 10000);
    QCOMPARE(got, results);
}

void LoaderTest::takesClientsInTurn()
{
    SimulatedHost simulated;
    QVERIFY(simulated.host.start().loaded);
    const char clients[2] = {'a', 'b'};
    QList<const void *> order;
    const auto record = [&order](const void *client) {
        return [&order, client](const Outcome &) {
            order.append(client);
        };
    };
    for (int i = 0; i < 100; ++i)
        simulated.host.call(&clients[0], QString(), Call::IdReadCard, record(&clients[0]));
    simulated.host.call(&clients[1], QString(), Call::IdReadCard, record(&clients[1]));
    QTRY_COMPARE_WITH_TIMEOUT(order.size(), 101, 10000);
    // After the read in progress and one more of a's at most.
    QVERIFY2(order.indexOf(&clients[1]) <= 2,
             qPrintable(QString::number(order.indexOf(&clients[1]))));
}

void LoaderTest::forgetsAProgramThatLeft()
{
    // A program is a page of its own, keyed by its client's address: a new
    // client at the address of one that left is a new program, and goes
    // ahead of the pages served since, not behind them as the one that left.
    ReaderTurns turns;
    const char clients[2] = {'a', 'b'};
    const auto read = [](const void *client) {
        return ReaderTurns::Pending{client, Call::IdReadCard, [](const Outcome &) {
                                    }};
    };
    bool left = false;
    turns.add(QString(), read(&clients[1]));
    turns.take(&left);
    turns.add(QString(), read(&clients[0]));
    turns.take(&left);
    turns.withdraw(&clients[0]);
    turns.add(QString(), read(&clients[1]));
    turns.add(QString(), read(&clients[0]));
    QCOMPARE(turns.next()->client, static_cast<const void *>(&clients[0]));
}

QTEST_GUILESS_MAIN(LoaderTest)
#include "tst_loader.moc"
