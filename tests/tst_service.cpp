// The real service, started from a temporary folder beside the simulator and
// driven from outside: start-up, exit codes, client handling and its log file.
#include "rawwsclient.h"
#include "readerhost.h"
#include "servicefixture.h"
#include "testfiles.h"
#include "wsclient.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <QNetworkDatagram>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

namespace {

const QString kCloseDevice = QStringLiteral(R"({"cmd":"close_device"})");
const QString kClosed = QStringLiteral("{\n    \"cmd\": \"close_device\",\n    \"message\": "
                                       "\"关闭设备成功!\",\n    \"result\": 0,\n    "
                                       "\"statuCode\": 0\n}\n");

const QRegularExpression
    kLogLine(QStringLiteral(R"(^\[ \d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}:\d{3}\] [^\r\n]*$)"));

// Splits a log into its lines, checking that each one ends with CR LF.
QStringList logLines(const QByteArray &log)
{
    QStringList lines;
    for (const QByteArray &line : log.split('\n')) {
        if (line.isEmpty())
            continue;
        if (!line.endsWith('\r'))
            return {QStringLiteral("<line without CR LF: %1>").arg(QString::fromUtf8(line))};
        lines.append(QString::fromUtf8(line.chopped(1)));
    }
    return lines;
}

QString textOf(const QString &line)
{
    return line.mid(QStringLiteral("[ yyyy-MM-dd hh:mm:ss:zzz] ").size());
}

} // namespace

class ServiceTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(!ServiceFixture::portAccepts(), "something else already listens on 35561");
        qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
    }

    void servesClientsOnBothFamilies();
    void keepsServingAcrossManyShortConnections();
    void endsWith254WithoutUsableLibrary_data();
    void endsWith254WithoutUsableLibrary();
    void secondInstanceEndsWith252();
    void findsItsFilesFromAnyWorkingDirectory();
    void logsEveryLineInItsFormat();
    void logsNothingWithoutTheFile();
    void followsTheLogFileWhileRunning_data();
    void followsTheLogFileWhileRunning();
    void closesOversizedMessagesOnly();
    void endsOrderlyOnSignals_data();
    void endsOrderlyOnSignals();
    void recoversFromLibraryFaults_data();
    void recoversFromLibraryFaults();
    void keepsNoCoreOfACard();
    void containsTheLibraryWithoutNamespaces();
    void crashAtLoad_data();
    void crashAtLoad();
    void repliesAreNotHeldBackByTheNextCall();

private:
    QTemporaryDir runtime;
};

void ServiceTest::servesClientsOnBothFamilies()
{
    ServiceFixture service;
    QVERIFY2(service.start(), qPrintable(service.error()));

    std::vector<std::unique_ptr<WsClient>> clients;
    for (const char *host : {"127.0.0.1", "::1", "127.0.0.1", "::1", "localhost"}) {
        clients.push_back(std::make_unique<WsClient>());
        QVERIFY2(clients.back()->open(WsClient::url(QString::fromLatin1(host))), host);
    }
    // All connected at once, each answered on its own socket.
    for (auto &client : clients)
        client->send(kCloseDevice);
    for (auto &client : clients) {
        QVERIFY(client->waitForReplies(1));
        QCOMPARE(client->replies, QStringList{kClosed});
    }
#if QT_VERSION_MAJOR < 6 || defined(KRV_NO_TLS_BACKEND)
    // A plain ws:// service with clients has loaded none of Qt's TLS plug-ins.
    QFile maps(QStringLiteral("/proc/%1/maps").arg(service.pid()));
    QVERIFY(maps.open(QIODevice::ReadOnly));
    const QByteArray mapped = maps.readAll();
    QVERIFY2(!mapped.contains("/plugins/tls/"), mapped.constData());
#endif
}

void ServiceTest::keepsServingAcrossManyShortConnections()
{
    ServiceFixture service;
    QVERIFY2(service.start(), qPrintable(service.error()));
    WsClient stays;
    QVERIFY(stays.open());
    for (int i = 0; i < 50; ++i) {
        WsClient brief;
        QVERIFY(brief.open());
        QCOMPARE(brief.request(kCloseDevice), kClosed);
        brief.close();
        QVERIFY(brief.waitForDisconnect());
    }
    QCOMPARE(stays.request(kCloseDevice), kClosed);
    QVERIFY(service.running());
}

void ServiceTest::endsWith254WithoutUsableLibrary_data()
{
    QTest::addColumn<QString>("library");
    QTest::addColumn<QString>("failure");
    QTest::addColumn<QString>("reason"); // in the line after the failure; empty: no such line
    const QString fail = QStringLiteral("LoadTerminalProtocolDll load file fail");
    QTest::newRow("no library") << QString() << fail << "No such file or directory";
    QTest::newRow("not a library")
        << QStringLiteral(KRV_OUTPUT_DIR "/logo.ico") << fail << "invalid ELF header";
    // The simulator, marked as built for another processor.
    QTest::newRow("another processor")
        << QStringLiteral("foreign") << fail << "the library is built for another processor";
    for (const char *entry : {"OpenDevice", "CloseDevice", "SamGetId", "SamGetIdStr", "IdReadCard"})
        QTest::newRow(qPrintable(QStringLiteral("without %1").arg(entry)))
            << QStringLiteral(KRV_SIM_VARIANTS "/without-%1/libCommonInterface.so").arg(entry)
            << "LoadTerminalProtocolDll load function fail" << QString();
}

void ServiceTest::endsWith254WithoutUsableLibrary()
{
    QFETCH(QString, library);
    QFETCH(QString, failure);
    QFETCH(QString, reason);
    QTemporaryDir other;
    if (library == QLatin1String("foreign")) {
        library = other.filePath(QStringLiteral("libCommonInterface.so"));
        QVERIFY(QFile::copy(QStringLiteral(KRV_SIMULATOR), library));
        QFile file(library);
        QVERIFY(file.open(QIODevice::ReadWrite) && file.seek(18));
        const QByteArray machine = file.read(2);
        QVERIFY(file.seek(18));
        // aarch64 (183) for an x86-64 (62) service, and the other way round.
        file.write(machine == QByteArray("\x3e\x00", 2) ? QByteArray("\xb7\x00", 2)
                                                        : QByteArray("\x3e\x00", 2));
    }
    for (const bool log : {false, true}) {
        ServiceFixture::Options options;
        options.library = library;
        options.log = log;
        ServiceFixture service(options);
        service.launch();
        QVERIFY(service.waitForExit());
        QCOMPARE(service.exitStatus(), QProcess::NormalExit);
        QCOMPARE(service.exitCode(), 254);
        QCOMPARE(service.standardOutput(), QByteArray());
        if (log) {
            const QString path = service.path(QStringLiteral("libCommonInterface.so"));
            const QStringList lines = logLines(service.log());
            QCOMPARE(lines.size(), reason.isEmpty() ? 2 : 3);
            QCOMPARE(textOf(lines.at(0)),
                     QStringLiteral("LoadTerminalProtocolDll DllFileName: \"%1\"").arg(path));
            QCOMPARE(textOf(lines.at(1)), failure);
            if (!reason.isEmpty()) {
                // The system's own words for the very file the service tried.
                QVERIFY(textOf(lines.at(2)).startsWith("LoadTerminalProtocolDll reason: "));
                const QRegularExpression file(QStringLiteral("/[^\\s:()]+"));
                for (auto files = file.globalMatch(lines.at(2)); files.hasNext();)
                    QVERIFY2(files.next().captured() == path, qPrintable(lines.at(2)));
                QVERIFY2(textOf(lines.at(2)).contains(reason), qPrintable(lines.at(2)));
            }
        } else {
            QVERIFY(!QFile::exists(service.path(QStringLiteral("krlog.txt"))));
        }
    }
}

void ServiceTest::secondInstanceEndsWith252()
{
    ServiceFixture::Options options;
    options.log = true;
    ServiceFixture first(options);
    QVERIFY2(first.start(), qPrintable(first.error()));
    WsClient client;
    QVERIFY(client.open());

    ServiceFixture second(options);
    second.launch();
    QVERIFY(second.waitForExit());
    QCOMPARE(second.exitCode(), 252);
    QCOMPARE(second.standardOutput(), QByteArray("No Available Ports Were Found\n"));
    // The log sink is not installed yet, and no library is loaded.
    QCOMPARE(second.log(), QByteArray());

    QVERIFY(first.running());
    QCOMPARE(client.request(kCloseDevice), kClosed);
    WsClient newcomer;
    QVERIFY(newcomer.open());
    QCOMPARE(newcomer.request(kCloseDevice), kClosed);
}

void ServiceTest::findsItsFilesFromAnyWorkingDirectory()
{
    ServiceFixture::Options options;
    options.log = true;
    ServiceFixture service(options);
    QTemporaryDir elsewhere;
    service.setWorkingDirectory(elsewhere.path());
    QVERIFY2(service.start(), qPrintable(service.error()));
    WsClient client;
    QVERIFY(client.open());
    QCOMPARE(client.request(kCloseDevice), kClosed);

    const QStringList lines = logLines(service.log());
    QVERIFY(lines.size() >= 2);
    QCOMPARE(textOf(lines.at(0)), QStringLiteral("LoadTerminalProtocolDll DllFileName: \"%1\"")
                                      .arg(service.path(QStringLiteral("libCommonInterface.so"))));
    QCOMPARE(textOf(lines.at(1)), QStringLiteral("LoadTerminalProtocolDll load ok"));
    QCOMPARE(QDir(elsewhere.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList());
}

void ServiceTest::logsEveryLineInItsFormat()
{
    ServiceFixture::Options options;
    options.log = true;
    ServiceFixture service(options);
    const QByteArray earlier("earlier content\r\n");
    {
        QFile file(service.path(QStringLiteral("krlog.txt")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(earlier);
    }
    QVERIFY2(service.start(), qPrintable(service.error()));
    WsClient client;
    QVERIFY(client.open());
    QCOMPARE(client.request(kCloseDevice), kClosed);
    QVERIFY(!client.request(QStringLiteral("line\nbreak")).isNull());

    const QByteArray log = service.log();
    QVERIFY(log.startsWith(earlier));
    // A message with a line feed spans two physical lines; rejoin it.
    const QStringList lines =
        logLines(log.mid(earlier.size()).replace("line\\nbreak", "line-break"));
    QVERIFY(lines.size() >= 6);
    for (const QString &line : lines)
        QVERIFY2(kLogLine.match(line).hasMatch(), qPrintable(line));
}

void ServiceTest::logsNothingWithoutTheFile()
{
    ServiceFixture service;
    QVERIFY2(service.start(), qPrintable(service.error()));
    WsClient client;
    QVERIFY(client.open());
    QCOMPARE(client.request(kCloseDevice), kClosed);
    QVERIFY(!QFile::exists(service.path(QStringLiteral("krlog.txt"))));
}

void ServiceTest::followsTheLogFileWhileRunning_data()
{
    // Each step changes the service's folder, then one request is sent at
    // once: its four lines must be in krlog.txt exactly when the file is there.
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QList<int>>("lines"); // in krlog.txt after each step's request
    QTest::newRow("made and removed")
        << QStringList{"touch krlog.txt", "rm krlog.txt", "touch krlog.txt"} << QList<int>{4, 0, 4};
    QTest::newRow("renamed into place, away and back")
        << QStringList{"touch new.txt", "mv new.txt krlog.txt", "mv krlog.txt old.txt",
                       "mv old.txt krlog.txt"}
        << QList<int>{0, 4, 0, 8};
    QTest::newRow("another file's second name")
        << QStringList{"touch other.txt", "ln other.txt krlog.txt", "rm other.txt"}
        << QList<int>{0, 4, 8};
    // The link's target is in another folder: its changes are seen all the same.
    QTest::newRow("a symbolic link, its target made and removed")
        << QStringList{"mkdir logs", "symlink logs/krlog.txt krlog.txt", "touch logs/krlog.txt",
                       "rm logs/krlog.txt", "touch logs/krlog.txt"}
        << QList<int>{0, 0, 4, 0, 4};
}

void ServiceTest::followsTheLogFileWhileRunning()
{
    QFETCH(QStringList, steps);
    QFETCH(QList<int>, lines);
    ServiceFixture service;
    QVERIFY2(service.start(), qPrintable(service.error()));
    WsClient client;
    QVERIFY(client.open());
    QCOMPARE(client.request(kCloseDevice), kClosed);

    for (int i = 0; i < steps.size(); ++i) {
        const QStringList step = steps.at(i).split(QLatin1Char(' '));
        const QString from = service.path(step.at(1)), to = service.path(step.value(2));
        const bool done = step.first() == "touch" ? writeFile(from, QByteArray())
                          : step.first() == "rm"  ? QFile::remove(from)
                          : step.first() == "mv"  ? QFile::rename(from, to)
                          : step.first() == "ln"  ? ::link(qPrintable(from), qPrintable(to)) == 0
                          : step.first() == "symlink" ? QFile::link(from, to)
                                                      : QDir().mkdir(from);
        QVERIFY2(done, qPrintable(steps.at(i)));
        QCOMPARE(client.request(kCloseDevice), kClosed);
        const QStringList written = logLines(service.log());
        QVERIFY2(written.size() == lines.at(i),
                 qPrintable(steps.at(i) + ": " + written.join(QLatin1Char('\n'))));
        if (lines.at(i) > 0)
            QCOMPARE(textOf(written.at(lines.at(i) - 4)),
                     QStringLiteral(R"(processTextMessage message: "{\"cmd\":\"close_device\"}")"));
    }
}

void ServiceTest::closesOversizedMessagesOnly()
{
    ServiceFixture service;
    QVERIFY2(service.start(), qPrintable(service.error()));
    WsClient other;
    QVERIFY(other.open());

    // Each sends the whole 2 MiB message in one frame and is still sending
    // when it is closed: the close frame must reach it all the same, not a reset.
    const QByteArray message = RawWsClient::frame(0x1, QByteArray(2 * 1024 * 1024, 'x'));
    for (int i = 0; i < 8; ++i) {
        QElapsedTimer took;
        took.start();
        RawWsClient greedy;
        QVERIFY(greedy.open(QStringLiteral("127.0.0.1"), ServiceFixture::port));
        greedy.write(message);
        const RawWsClient::Frame reply = greedy.readFrame();
        QCOMPARE(reply.opcode, 0x8);
        QCOMPARE(reply.closeCode(), 1009);
        QVERIFY(greedy.waitForDisconnected());
        // The rest of the message is not parsed on after the close: neither
        // this peer nor the other page waits on it (seconds each, where it was).
        QCOMPARE(other.request(kCloseDevice), kClosed);
        QVERIFY2(took.elapsed() < 2000, qPrintable(QString::number(took.elapsed())));
    }

    const QString padded =
        QStringLiteral(R"({"cmd":"close_device","pad":"%1"})").arg(QString(969, QLatin1Char('p')));
    QCOMPARE(padded.size(), 1000);
    const QString reply1000 = other.request(padded);
    QVERIFY(reply1000.contains(QStringLiteral("\"statuCode\": 0")));
    QVERIFY(service.running());
}

void ServiceTest::endsOrderlyOnSignals_data()
{
    QTest::addColumn<int>("signal");
    // Meanwhile: a client's read ("slow", "hang"), or peers pipelining reads
    // they never read ("flood").
    QTest::addColumn<QByteArray>("duringRead");
    QTest::newRow("SIGTERM") << int(SIGTERM) << QByteArray();
    QTest::newRow("SIGINT") << int(SIGINT) << QByteArray();
    QTest::newRow("SIGHUP (logout)") << int(SIGHUP) << QByteArray();
    QTest::newRow("SIGTERM during a slow read") << int(SIGTERM) << QByteArray("slow");
    QTest::newRow("SIGTERM while a call hangs") << int(SIGTERM) << QByteArray("hang");
    QTest::newRow("SIGTERM under a flood") << int(SIGTERM) << QByteArray("flood");
}

void ServiceTest::endsOrderlyOnSignals()
{
    QFETCH(int, signal);
    QFETCH(QByteArray, duringRead);
    ServiceFixture::Options options;
    options.card = QStringLiteral("A");
    ServiceFixture service(options);
    if (duringRead == "slow")
        service.setEnv(QStringLiteral("KRSIM_READ_DELAY_MS"), QStringLiteral("1500"));
    QVERIFY2(service.start(), qPrintable(service.error()));
    if (duringRead == "hang")
        QVERIFY(writeFile(service.path(QStringLiteral("fault.txt")), "hang"));
    WsClient reader;
    QVERIFY(reader.open());
    std::vector<std::unique_ptr<RawWsClient>> flood(duringRead == "flood" ? 50 : 0);
    for (auto &peer : flood) {
        peer = std::make_unique<RawWsClient>();
        QVERIFY(peer->open(QStringLiteral("127.0.0.1"), ServiceFixture::port));
        peer->socket.setReadBufferSize(1);
        peer->write(RawWsClient::frame(0x1, R"({"cmd":"read_card_info"})").repeated(800));
    }
    if (duringRead == "hang" || duringRead == "slow") {
        QVERIFY(reader.request(QStringLiteral(R"({"cmd":"open_device"})"))
                    .contains("\"statuCode\": 0"));
        reader.send(QStringLiteral(R"({"cmd":"read_card_info"})"));
        QTest::qWait(300);
    }
    // Several clients: each one, not every second one, is told goodbye.
    std::vector<std::unique_ptr<WsClient>> clients(5);
    for (auto &client : clients) {
        client = std::make_unique<WsClient>();
        QVERIFY(client->open());
    }
    QElapsedTimer ending;
    ending.start();
    QVERIFY(service.sendSignal(signal));
    QVERIFY(service.waitForExit());
    qInfo("Ended %lld ms after the signal", ending.elapsed());
    QCOMPARE(service.exitStatus(), QProcess::NormalExit);
    QCOMPARE(service.exitCode(), 0);
    for (auto &client : clients) {
        QVERIFY(client->waitForDisconnect());
        QCOMPARE(int(client->socket.closeCode()), 1001);
    }
    // The call under way is not waited for: the reader host is ended with
    // the service, and the page that asked is told goodbye too.
    QVERIFY(reader.waitForDisconnect());
    QCOMPARE(int(reader.socket.closeCode()), 1001);
    QCOMPARE(reader.replies.size(), duringRead == "hang" || duringRead == "slow" ? 1 : 0);
}

void ServiceTest::recoversFromLibraryFaults_data()
{
    QTest::addColumn<QByteArray>("fault"); // what the simulator does in the next IdReadCard
    QTest::addColumn<int>("times");        // faults, each in a read of its own, opens between
    QTest::addColumn<QString>("logged");
    QTest::addColumn<bool>("lost"); // the read is answered as failed ("LIBRARY_FAULT")
    QTest::addColumn<QByteArray>("policy");
    QTest::addColumn<QString>("absent"); // never in the log
    // A listener on the port the fault names ("%1"): -1 none; else whether
    // it heard the card and the program the library ran left its file.
    QTest::addColumn<int>("heard");

    QTest::newRow("crash") << QByteArray("segv") << 1 << "Crashed with SIGSEGV in IdReadCard"
                           << true << QByteArray() << QString() << -1;
    QTest::newRow("abort") << QByteArray("abort") << 1 << "Crashed with SIGABRT in IdReadCard"
                           << true << QByteArray() << QString() << -1;
    QTest::newRow("exit(3)") << QByteArray("exit") << 1
                             << "The reader library ended the reader host with status 3 in "
                                "IdReadCard"
                             << true << QByteArray() << QString() << -1;
    QTest::newRow("hang") << QByteArray("hang") << 1 << "IdReadCard did not return within 2 s"
                          << true << QByteArray() << "Crashed with SIGKILL" << -1;
    QTest::newRow("a helper forked and left behind, then a crash")
        << QByteArray("fork-segv") << 1 << "Crashed with SIGSEGV in IdReadCard" << true
        << QByteArray() << QString() << -1;
    QTest::newRow("crashing at every read, opens answered between")
        << QByteArray("segv") << 3
        << "The reader library failed 3 times in IdReadCard within a "
           "minute"
        << true << QByteArray() << QString() << -1;
    QTest::newRow("descriptors 0-2 closed, then printing")
        << QByteArray("closefds") << 1 << "LoadTerminalProtocolDll load ok" << false << QByteArray()
        << QString() << -1;
    QTest::newRow("overrun by 16 bytes")
        << QByteArray("overrun 16") << 1 << "IdReadCard wrote past the 10240-byte record: 16 bytes"
        << false << QByteArray() << QString() << -1;
    QTest::newRow("overrun by 12000 bytes")
        << QByteArray("overrun 12000") << 1
        << "IdReadCard wrote past the 10240-byte record: 12000 bytes" << false << QByteArray()
        << QString() << -1;
    QTest::newRow("8 MiB on standard output and error")
        << QByteArray("noisy") << 1 << "Reader library output: \"nnnnnnnn" << false << QByteArray()
        << QString() << -1;
    // A library may print the record: under the policy none of its output is kept.
    QTest::newRow("8 MiB of output, card data redacted")
        << QByteArray("noisy") << 1 << "LoadTerminalProtocolDll load ok" << false
        << QByteArray("[log]\ncardData = redacted\n") << "Reader library output" << -1;
    QTest::newRow("output with control characters")
        << QByteArray("control") << 1
        << R"(Reader library output: "\u001B[2J\u0007\r[ 2026-01-01 00:00:00:000] forged\u0000line")"
        << false << QByteArray() << "\x1b" << -1;
    QTest::newRow("a daemon started in a read")
        << QByteArray("daemon") << 2 << "LoadTerminalProtocolDll load ok" << false << QByteArray()
        << QString() << -1;
    QTest::newRow("nosy: network, a program, signals, a daemon, 50 MiB a read")
        << QByteArray("nosy %1") << 4
        << "The reader library tried to open a network connection (AF_INET6); the sandbox "
           "refused it"
        << false << QByteArray("[reader]\nmemory = 128\n") << QString() << 0;
    QTest::newRow("the sandbox switched off")
        << QByteArray("connect %1") << 1 << "LoadTerminalProtocolDll load ok" << false
        << QByteArray("[reader]\nsandbox = off\n") << "the sandbox refused" << 1;
    QTest::newRow("leaking 50 MiB a read: replaced between reads")
        << QByteArray("leak 50") << 3
        << "The reader host has held more than half of its 64 MiB memory bound: it is replaced"
        << false << QByteArray("[reader]\nmemory = 64\n") << "Crashed" << -1;
#if !defined(__SANITIZE_ADDRESS__)
    // (A sanitizer's build sets no data limit: its shadow memory would not fit.)
    QTest::newRow("taking more than the bound in a read")
        << QByteArray("leak 100") << 1 << "Crashed with SIGABRT in IdReadCard" << true
        << QByteArray("[reader]\nmemory = 64\n") << QString() << -1;
#endif
}

namespace {

// The library's helpers still running (zombies are gone already).
int helpersRunning()
{
    int running = 0;
    for (const QString &pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray fields = stat.readAll();
        if (fields.contains("(krsim-helper)") && fields.mid(fields.lastIndexOf(')') + 2, 1) != "Z")
            ++running;
    }
    return running;
}

} // namespace

void ServiceTest::recoversFromLibraryFaults()
{
    QFETCH(QByteArray, fault);
    QFETCH(int, times);
    QFETCH(QString, logged);
    QFETCH(bool, lost);
    QFETCH(QByteArray, policy);
    QFETCH(QString, absent);
    QFETCH(int, heard);
    // Where the library may try to send the card.
    QTcpServer listener;
    QUdpSocket datagrams;
    QByteArray received;
    if (heard >= 0) {
        QVERIFY(listener.listen(QHostAddress::Any));
        QVERIFY(datagrams.bind(QHostAddress::LocalHost, listener.serverPort()));
        connect(&listener, &QTcpServer::newConnection, this, [&] {
            QTcpSocket *peer = listener.nextPendingConnection();
            connect(peer, &QTcpSocket::readyRead, this, [&, peer] { received += peer->readAll(); });
        });
        connect(&datagrams, &QUdpSocket::readyRead, this, [&] {
            while (datagrams.hasPendingDatagrams())
                received += datagrams.receiveDatagram().data();
        });
        fault.replace("%1", QByteArray::number(listener.serverPort()));
    }
    ServiceFixture::Options options;
    options.card = QStringLiteral("A");
    options.log = true;
    options.policy = policy;
    options.executable = QStringLiteral(KRV_SERVICE_DEADLINE2S_EXE);
    ServiceFixture service(options);
    QVERIFY2(service.start(), qPrintable(service.error()));
    if (heard == 0 && service.rawLog().contains("runs without its sandbox"))
        QSKIP("this system (an emulator) offers no seccomp filter");
    if (lost && policy.contains("memory") && service.rawLog().contains("bound could not be set"))
        QSKIP("this system (an emulator) does not take a data limit");
    const QString open = QStringLiteral(R"({"cmd":"open_device"})");
    const QString read = QStringLiteral(R"({"cmd":"read_card_info"})");
    std::vector<std::unique_ptr<WsClient>> idle(3);
    for (auto &client : idle) {
        client = std::make_unique<WsClient>();
        QVERIFY(client->open());
    }
    // One of them holds the reader open while the faults come.
    QVERIFY(idle.front()->request(open).contains("\"statuCode\": 0"));
    WsClient reader;
    QVERIFY(reader.open());
    for (int fault_ = 0; fault_ < times; ++fault_) {
        QVERIFY(reader.request(open).contains("\"statuCode\": 0"));
        QVERIFY(writeFile(service.path(QStringLiteral("fault.txt")), fault));
        const QString reply = reader.request(read);
        if (lost)
            QVERIFY2(reply.contains("\"statuCode\": -3") && reply.contains("LIBRARY_FAULT"),
                     qPrintable(reply));
        else
            QVERIFY2(reply.contains("\"idNum\": \""), qPrintable(reply));
        // The desk reads again on the same connection, without a person acting.
        QVERIFY(reader.request(open).contains("\"statuCode\": 0"));
        const QString again = reader.request(read);
        QVERIFY2(again.contains("\"idNum\": \""), qPrintable(again));
    }
    // The holder's open went with a host that failed: its read says so once,
    // rather than the library's "not open"; else it reads as before.
    const QString holders = idle.front()->request(read);
    QVERIFY2(lost ? holders.contains("LIBRARY_FAULT") : holders.contains("\"idNum\": \""),
             qPrintable(holders));
    // Every other page stayed connected, and is answered.
    for (auto &client : idle) {
        QCOMPARE(client->socket.state(), QAbstractSocket::ConnectedState);
        QCOMPARE(client->request(kCloseDevice), kClosed);
    }
    QVERIFY2(service.running(), service.report().constData());
    QVERIFY2(service.log().contains(logged.toUtf8()), qPrintable(logged));
    if (!absent.isEmpty())
        QVERIFY2(!service.log().contains(absent.toUtf8()), qPrintable(absent));
    if (heard >= 0) {
        QTest::qWait(200);
        QCOMPARE(received.contains("CARD"), heard == 1);
        QCOMPARE(QFile::exists(service.path(QStringLiteral("ran"))), heard == 1);
    }
    // A helper left by a host that failed went with it; the rest go with the
    // last host, when the service ends.
    if (lost)
        QTRY_COMPARE_WITH_TIMEOUT(helpersRunning(), 0, 3000);
    service.stop();
    QTRY_COMPARE_WITH_TIMEOUT(helpersRunning(), 0, 3000);
}

// Where user namespaces are not allowed (here: a chroot, where the kernel
// refuses them) and the clerk is no root, the library is still kept from the
// network, programs and the service, and nothing it starts outlives its host.
void ServiceTest::containsTheLibraryWithoutNamespaces()
{
    if (::getuid() != 0)
        QSKIP("runs the service as another user in a chroot: needs root");
    QTemporaryDir root;
    QProcess bind;
    bind.start(QStringLiteral("mount"),
               {QStringLiteral("--rbind"), QStringLiteral("/"), root.path()});
    if (!bind.waitForFinished() || bind.exitCode() != 0)
        QSKIP("cannot bind the root folder here");
    const auto unbind = qScopeGuard([&root] {
        QProcess::execute(QStringLiteral("umount"),
                          {QStringLiteral("-R"), QStringLiteral("-l"), root.path()});
        // Never remove what may still be the whole system seen through it.
        if (!QDir(root.path()).isEmpty()) {
            root.setAutoRemove(false);
            qWarning("%s is still bound: left in place", qPrintable(root.path()));
        }
    });
    QProcess::execute(QStringLiteral("mount"), {QStringLiteral("--make-rslave"), root.path()});
    QTcpServer listener;
    QVERIFY(listener.listen(QHostAddress::Any));
    bool heard = false;
    connect(&listener, &QTcpServer::newConnection, this, [&] { heard = true; });
    ServiceFixture::Options options;
    options.card = QStringLiteral("A");
    options.log = true;
    options.user = 65534;
    options.root = root.path();
    ServiceFixture service(options);
    QVERIFY2(service.start(), qPrintable(service.error()));
    if (service.rawLog().contains("runs without its sandbox"))
        QSKIP("this system (an emulator) offers no seccomp filter");
    WsClient reader;
    QVERIFY(reader.open());
    QVERIFY(
        reader.request(QStringLiteral(R"({"cmd":"open_device"})")).contains("\"statuCode\": 0"));
    for (const QByteArray &fault :
         {QByteArray("nosy ") + QByteArray::number(listener.serverPort()), QByteArray("segv")}) {
        QVERIFY(writeFile(service.path(QStringLiteral("fault.txt")), fault));
        QFile::setPermissions(service.path(QStringLiteral("fault.txt")),
                              QFile::ReadOther | QFile::WriteOther | QFile::ReadOwner |
                                  QFile::WriteOwner);
        const QString reply = reader.request(QStringLiteral(R"({"cmd":"read_card_info"})"));
        QVERIFY2(reply.contains(fault == "segv" ? "LIBRARY_FAULT" : "\"idNum\": \""),
                 qPrintable(reply));
    }
    QTest::qWait(200);
    QVERIFY(!heard);
    QVERIFY(service.running());
    for (const char *line :
         {"kept to its host without a namespace", "tried to signal a process outside its own",
          "tried to run a program; the sandbox refused it", "Crashed with SIGSEGV in IdReadCard"})
        QVERIFY2(service.log().contains(line), line);
    // The daemon the library started went with the host that crashed.
    QTRY_COMPARE_WITH_TIMEOUT(helpersRunning(), 0, 3000);
}

// A clerk's service and its reader host hold cards in memory: neither may
// leave a core, nor be read by another process of the clerk's, whatever
// core limit the session set.
void ServiceTest::keepsNoCoreOfACard()
{
    if (::getuid() != 0)
        QSKIP("runs the service as another user: needs root");
    rlimit before;
    QCOMPARE(::getrlimit(RLIMIT_CORE, &before), 0);
    const rlimit unlimited = {RLIM_INFINITY, RLIM_INFINITY};
    QCOMPARE(::setrlimit(RLIMIT_CORE, &unlimited), 0);
    ServiceFixture::Options options;
    options.user = 65534;
    ServiceFixture service(options);
    const bool started = service.start();
    ::setrlimit(RLIMIT_CORE, &before);
    QVERIFY2(started, qPrintable(service.error()));
    QStringList processes{QString::number(service.pid())};
    // The host's supervisor and its worker.
    for (int i = 0; i < 2; ++i) {
        QFile children(QStringLiteral("/proc/%1/task/%1/children").arg(processes.last()));
        QVERIFY(children.open(QIODevice::ReadOnly));
        processes.append(QString::fromLatin1(children.readAll().split(' ').first().trimmed()));
    }
    int serviceNice = 0;
    for (const QString &pid : processes) {
#if !defined(__SANITIZE_ADDRESS__) // (LeakSanitizer needs a sanitizer build dumpable)
        struct stat owner;
        // A process that may not be dumped has its /proc files owned by root.
        QCOMPARE(::stat(qPrintable(QStringLiteral("/proc/%1/mem").arg(pid)), &owner), 0);
        QCOMPARE(owner.st_uid, uid_t(0));
#endif
        QFile limits(QStringLiteral("/proc/%1/limits").arg(pid));
        QVERIFY(limits.open(QIODevice::ReadOnly));
        // The host goes first when memory runs out, and yields the processor.
        QFile oom(QStringLiteral("/proc/%1/oom_score_adj").arg(pid));
        QVERIFY(oom.open(QIODevice::ReadOnly));
        QCOMPARE(oom.readAll().trimmed(), pid == processes.first() ? QByteArray("0") : "1000");
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        QVERIFY(stat.open(QIODevice::ReadOnly));
        const QList<QByteArray> fields = stat.readAll().split(')').last().split(' ');
        const int nice = fields.value(17).toInt();
        if (pid == processes.first())
            serviceNice = nice;
        QCOMPARE(nice, pid == processes.first() ? serviceNice : qMin(serviceNice + 5, 19));
        QVERIFY2(QRegularExpression(QStringLiteral("Max core file size +0 +0 "))
                     .match(QString::fromLatin1(limits.readAll()))
                     .hasMatch(),
                 qPrintable(pid));
    }
}

void ServiceTest::crashAtLoad_data()
{
    QTest::addColumn<QByteArray>("fault");
    QTest::addColumn<int>("status"); // the service's, once it is asked to end
    // A library that crashes once while it loads is loaded again; one that
    // always does makes the service give up at start-up, as for a missing one.
    QTest::newRow("once") << QByteArray("load-segv") << 0;
    QTest::newRow("at every start") << QByteArray("load-segv always") << 254;
}

void ServiceTest::crashAtLoad()
{
    QFETCH(QByteArray, fault);
    QFETCH(int, status);
    ServiceFixture::Options options;
    options.log = true;
    ServiceFixture service(options);
    QVERIFY(writeFile(service.path(QStringLiteral("fault.txt")), fault));
    if (status == 0) {
        QVERIFY2(service.start(), qPrintable(service.error()));
        WsClient client;
        QVERIFY(client.open());
        QCOMPARE(client.request(kCloseDevice), kClosed);
        QCOMPARE(service.log().count("Crashed with SIGSEGV in the reader library's start-up code"),
                 1);
        return;
    }
    service.launch();
    QVERIFY(service.waitForExit(60000));
    QCOMPARE(service.exitCode(), status);
    // Once for each attempt, and once more in the reason.
    QCOMPARE(service.log().count("Crashed with SIGSEGV in the reader library's start-up code"),
             ReaderHost::LoadAttempts + 1);
    QVERIFY(service.log().contains("LoadTerminalProtocolDll reason: the library failed while it "
                                   "loaded (Crashed with SIGSEGV"));
}

void ServiceTest::repliesAreNotHeldBackByTheNextCall()
{
    ServiceFixture::Options options;
    options.card = QStringLiteral("A");
    ServiceFixture service(options);
    service.setEnv(QStringLiteral("KRSIM_READ_DELAY_MS"), QStringLiteral("5000"));
    QVERIFY2(service.start(), qPrintable(service.error()));
    RawWsClient client;
    QVERIFY(client.open(QStringLiteral("127.0.0.1"), ServiceFixture::port));
    // Both requests arrive together: the first reply is ready before the
    // second request enters the reader library for five seconds.
    client.write(RawWsClient::frame(0x1, R"({"cmd":"close_device"})") +
                 RawWsClient::frame(0x1, R"({"cmd":"read_card_info"})"));
    const RawWsClient::Frame first = client.readFrame(2500);
    QCOMPARE(first.opcode, 0x1);
    QVERIFY(first.payload.contains("关闭设备成功"));
    // While the library reads, the service goes on serving: a ping is
    // answered, and new pages connect and are answered, before the read.
    client.write(RawWsClient::frame(0x9, "still there?"));
    const RawWsClient::Frame pong = client.readFrame(2500);
    QCOMPARE(pong.opcode, 0xA);
    QCOMPARE(pong.payload, QByteArray("still there?"));
    for (int i = 0; i < 3; ++i) {
        WsClient newcomer;
        QVERIFY(newcomer.open());
        QCOMPARE(newcomer.request(QStringLiteral(R"({"page":%1})").arg(i)),
                 QStringLiteral("{\n    \"page\": %1\n}\n").arg(i));
    }
    const RawWsClient::Frame read = client.readFrame(10000);
    QCOMPARE(read.opcode, 0x1);
    QVERIFY(read.payload.contains("读取证件信息"));
}

QTEST_GUILESS_MAIN(ServiceTest)
#include "tst_service.moc"
