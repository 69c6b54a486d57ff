// The administrator's policy, placed where the service looks for it
// (XDG_CONFIG_DIRS), with the real service and clients from outside: who may
// connect, where it listens, what the log keeps, and a file it cannot honour.
#include "policywatch.h"
#include "servicefixture.h"
#include "testfiles.h"
#include "wsclient.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkInterface>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

#include <cstdio>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// An address of this machine other than a loopback one, or none.
QHostAddress lanAddress()
{
    for (const QHostAddress &address : QNetworkInterface::allAddresses()) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol && !address.isLoopback())
            return address;
    }
    return QHostAddress();
}

// A handshake (or with plain set, a request without an upgrade) from a
// separate program, as the user it runs as (-1: the test's own; otherwise
// through setpriv); the status line it got. From host "lan": this test, from
// a non-loopback address of this machine to 127.0.0.1; "gone": the peer sends
// its request and closes at once, without waiting for an answer.
QByteArray handshake(const QString &host, const QString &origin, int uid, bool plain = false)
{
    const QString upgrade = plain
                                ? QString()
                                : QStringLiteral("Upgrade: websocket\\r\\nConnection: Upgrade\\r\\n"
                                                 "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\\r\\n"
                                                 "Sec-WebSocket-Version: 13\\r\\n");
    const QString request =
        QStringLiteral("GET / HTTP/1.1\\r\\nHost: localhost\\r\\n%1%2\\r\\n")
            .arg(upgrade,
                 origin.isEmpty() ? QString() : QStringLiteral("Origin: %1\\r\\n").arg(origin));
    if (host == QLatin1String("lan")) {
        QTcpSocket client;
        if (!client.bind(lanAddress()))
            return "(cannot bind: " + client.errorString().toUtf8() + ")";
        client.connectToHost(QStringLiteral("127.0.0.1"), ServiceFixture::port);
        client.write(request.toUtf8().replace("\\r\\n", "\r\n"));
        QDeadlineTimer deadline(5000);
        while (!client.canReadLine() && client.waitForReadyRead(int(deadline.remainingTime())))
            ;
        return client.readLine().trimmed();
    }
    const QString script =
        host == QLatin1String("gone")
            ? QStringLiteral("exec 3<>/dev/tcp/127.0.0.1/35561 && printf '%1' >&3").arg(request)
            : QStringLiteral("exec 3<>/dev/tcp/%1/35561 && printf '%2' >&3 && "
                             "timeout 5 head -n1 <&3")
                  .arg(host, request);
    QStringList command{QStringLiteral("bash"), QStringLiteral("-c"), script};
    if (uid >= 0)
        command =
            QStringList{QStringLiteral("setpriv"), QStringLiteral("--reuid=%1").arg(uid),
                        QStringLiteral("--regid=%1").arg(uid), QStringLiteral("--clear-groups")} +
            command;
    QProcess client;
    client.start(command.takeFirst(), command);
    client.waitForFinished(10000);
    const QByteArray answer = client.readAllStandardOutput().trimmed();
    return !answer.isEmpty() ? answer : "(no answer: " + client.readAllStandardError() + ")";
}

// The service's listening sockets on its port: their local addresses.
QStringList listeningAddresses()
{
    QStringList addresses;
    for (const ServiceFixture::Listener &listener : ServiceFixture::listeners())
        addresses.append(listener.address);
    addresses.sort();
    return addresses;
}

} // namespace

class PolicyTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(!ServiceFixture::portAccepts(), "something else already listens on 35561");
        qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
    }

    void admitsWhomThePolicyNames_data();
    void admitsWhomThePolicyNames();
    void listensOnLoopbackOnly();
    void followsChanges_data();
    void followsChanges();
    void logKeepsTheCardNotTheHolder();
    void refusesToStartOnABadFile_data();
    void refusesToStartOnABadFile();

private:
    QTemporaryDir runtime;
};

void PolicyTest::admitsWhomThePolicyNames_data()
{
    QTest::addColumn<QByteArray>("policy");
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("origin");  // empty: no Origin header
    QTest::addColumn<int>("uid");         // -1: the test's own user
    QTest::addColumn<QString>("refusal"); // in the log line; empty: admitted
    QTest::addColumn<bool>("plain");      // a request without a WebSocket upgrade

    const QByteArray origins = "[network]\nlisten = loopback\n"
                               "origins = https://reg.example.org, http://10.1.2.3:8080\n";
    QTest::newRow("listed origin") << origins << "127.0.0.1"
                                   << "https://reg.example.org" << -1 << QString() << false;
    QTest::newRow("listed origin, other spelling, over ::1")
        << origins << "::1"
        << "HTTPS://Reg.Example.ORG:443" << -1 << QString() << false;
    QTest::newRow("listed host, another port")
        << origins << "127.0.0.1"
        << "http://10.1.2.3" << -1 << "origin not listed" << false;
    QTest::newRow("unlisted origin")
        << origins << "127.0.0.1"
        << "https://evil.example" << -1 << "origin not listed" << false;
    QTest::newRow("a page from disk, not listed") << origins << "127.0.0.1"
                                                  << "null" << -1 << "origin not listed" << false;
    QTest::newRow("a page from disk, listed")
        << QByteArray("[network]\norigins = null\n") << "127.0.0.1"
        << "null" << -1 << QString() << false;
    QTest::newRow("no Origin, allowed by default")
        << origins << "127.0.0.1" << QString() << -1 << QString() << false;
    QTest::newRow("no Origin, refused") << QByteArray("[network]\nnoOrigin = refuse\n") << "::1"
                                        << QString() << -1 << "no Origin header" << false;
    const QByteArray others = "[network]\notherUsers = refuse\n";
    QTest::newRow("this user's program")
        << others << "127.0.0.1" << QString() << -1 << QString() << false;
    QTest::newRow("another user's program") << others << "127.0.0.1" << QString() << 65534
                                            << "another user's program (uid 65534)" << false;
    QTest::newRow("another user's program over ::1")
        << others << "::1" << QString() << 65534 << "another user's program (uid 65534)" << false;
    // The kernel knows no user for a socket its program has closed.
    QTest::newRow("another user's program, gone")
        << others << "gone" << QString() << 65534 << "the peer's user cannot be established"
        << false;
    // Where the system routes other machines to 127.0.0.1 (route_localnet).
    QTest::newRow("a peer that is not loopback")
        << origins << "lan"
        << "https://reg.example.org" << -1 << "not a loopback peer" << false;
    // A page asks over plain HTTP whether the service runs: answered, also
    // without a policy (then without a log line).
    QTest::newRow("plain request, no policy")
        << QByteArray() << "127.0.0.1" << QString() << -1 << "not a WebSocket request" << true;
    QTest::newRow("plain request from a listed origin")
        << origins << "::1"
        << "https://reg.example.org" << -1 << "not a WebSocket request" << true;
    // The log shows what the peer sent escaped (here a CR, written as printf
    // reads it): no viewer breaks the line there.
    QTest::newRow("a CR in the origin")
        << origins << "127.0.0.1"
        << "https://evil.example\\r accepted" << -1 << "origin not listed" << false;
    // Qt would read the Origin up to the NUL, as the listed one.
    QTest::newRow("a NUL in the origin")
        << origins << "127.0.0.1"
        << "https://reg.example.org\\0.evil.example" << -1 << "a NUL byte in the Origin" << false;
    // Past Qt's bounds for a handshake the peer is told (431), before its
    // Origin is looked at, rather than closed without a word.
    QTest::newRow("a header line over 8000 bytes")
        << origins << "127.0.0.1"
        << "https://reg.example.org" + QString(8000, 'g') << -1 << "a header line over 8000 bytes"
        << false;
}

void PolicyTest::admitsWhomThePolicyNames()
{
    QFETCH(QByteArray, policy);
    QFETCH(QString, host);
    QFETCH(QString, origin);
    QFETCH(int, uid);
    QFETCH(QString, refusal);
    QFETCH(bool, plain);
    ServiceFixture::Options options;
    options.policy = policy;
    options.probeOrigin =
        refusal.isEmpty() && !origin.isEmpty() ? origin : QStringLiteral("https://reg.example.org");
    options.log = true;
    ServiceFixture service(options);
    QVERIFY2(service.start(), qPrintable(service.error()));
    const int started = service.log().size();
    if (host == QLatin1String("lan") && lanAddress().isNull())
        QSKIP("this machine has no address but loopback ones");

    // Twice: the gate decides every connection, not only the first.
    const bool tooLarge = refusal.contains(QLatin1String("header line"));
    for (int i = 0; i < 2; ++i) {
        if (host == QLatin1String("gone")) {
            // The service looks only once the peer has closed.
            QVERIFY(service.sendSignal(SIGSTOP));
            handshake(host, origin, uid, plain);
            QVERIFY(service.sendSignal(SIGCONT));
            continue;
        }
        QCOMPARE(handshake(host, origin, uid, plain),
                 plain               ? QByteArray("HTTP/1.1 426 Upgrade Required")
                 : tooLarge          ? QByteArray("HTTP/1.1 431 Request Header Fields Too Large")
                 : refusal.isEmpty() ? QByteArray("HTTP/1.1 101 Switching Protocols")
                                     : QByteArray("HTTP/1.1 403 Forbidden"));
    }
    // printf's \0 is logged as \u0000.
    const QString shown =
        origin.isEmpty() || tooLarge
            ? QStringLiteral("none")
            : '"' + QString(origin).replace(QLatin1String("\\0"), QLatin1String("\\u0000")) + '"';
    const QString peer = host == QLatin1String("lan")    ? lanAddress().toString()
                         : host == QLatin1String("gone") ? QStringLiteral("127.0.0.1")
                                                         : host;
    const QString line =
        QStringLiteral("Connection from %1 port \\d+, origin %2 %3")
            .arg(QRegularExpression::escape(peer), QRegularExpression::escape(shown),
                 refusal.isEmpty() ? QStringLiteral("accepted")
                                   : "refused: " + QRegularExpression::escape(refusal));
    QTRY_COMPARE(QString::fromUtf8(service.log().mid(started)).count(QRegularExpression(line)),
                 policy.isEmpty() ? 0 : 2);
    QVERIFY(service.running());
}

void PolicyTest::listensOnLoopbackOnly()
{
    ServiceFixture::Options options;
    options.policy = "[network]\nlisten = loopback\n";
    ServiceFixture service(options);
    QVERIFY2(service.start(), qPrintable(service.error()));
    QCOMPARE(listeningAddresses(),
             (QStringList{QStringLiteral("00000000000000000000000001000000"), // ::1
                          QStringLiteral("0100007F")}));                      // 127.0.0.1
    for (const char *host : {"127.0.0.1", "::1", "localhost"}) {
        WsClient client;
        QVERIFY2(client.open(WsClient::url(QString::fromLatin1(host))), host);
        QVERIFY(client.request(QStringLiteral(R"({"cmd":"close_device"})"))
                    .contains(QLatin1String("\"statuCode\": 0")));
    }
}

void PolicyTest::followsChanges_data()
{
    QTest::addColumn<QString>("how");       // how the file is placed (below)
    QTest::addColumn<QByteArray>("after");  // what it holds afterwards; "-": removed
    QTest::addColumn<QByteArray>("answer"); // to a page of https://b.example after the change
    QTest::addColumn<QString>("logged");
    QTest::addColumn<bool>("loopback"); // listening on 127.0.0.1 and ::1 only afterwards
    QTest::addColumn<bool>("kept");     // the pages of https://a.example connected before stay

    const QByteArray admitted("HTTP/1.1 101 Switching Protocols"),
        refused("HTTP/1.1 403 Forbidden");
    const QByteArray onlyB("[network]\norigins = https://b.example\n"); // as long as the first
    const QByteArray both("[network]\norigins = https://a.example, https://b.example\n");
    const QString applies("applies from now on"), stays("the last good one stays");
    const QString closed("closed 3 clients it no longer admits with 1008 (origin not listed: 3)");
    QTest::newRow("a page added to the list")
        << "write" << both << admitted << applies << false << true;
    QTest::newRow("a change that cannot be honoured")
        << "write" << QByteArray("[network]\norigins = https://b.example\nlisten = everywhere\n")
        << refused << stays << false << true;
    QTest::newRow("the file removed")
        << "write" << QByteArray("-") << admitted << "The policy file is gone" << false << true;
    QTest::newRow("listening moved to the loopback, pages connected")
        << "write"
        << QByteArray("[network]\nlisten = loopback\norigins = https://a.example, "
                      "https://b.example\n")
        << admitted << applies << true << true;
    QTest::newRow("a page taken out of the list")
        << "write" << onlyB << admitted << closed << false << false;
    QTest::newRow("the same size and time")
        << "same size and time" << onlyB << admitted << closed << false << false;
    QTest::newRow("a link to a link switched")
        << "two-level link" << onlyB << admitted << closed << false << false;
    QTest::newRow("its folder replaced, then the file changed in the new one")
        << "folder replaced" << onlyB << admitted << closed << false << false;
    QTest::newRow("rewritten in place, slowly")
        << "slowly in place" << both << admitted << applies << false << true;
    QTest::newRow("a file over 64 KiB") << "write" << onlyB + QByteArray(64 * 1024, ';') << refused
                                        << "is larger than 64 KiB" << false << true;
    QTest::newRow("a sparse file of 3 GiB")
        << "sparse" << onlyB << refused << "is larger than 64 KiB" << false << true;
}

void PolicyTest::followsChanges()
{
    QFETCH(QString, how);
    QFETCH(QByteArray, after);
    QFETCH(QByteArray, answer);
    QFETCH(QString, logged);
    QFETCH(bool, loopback);
    QFETCH(bool, kept);
    ServiceFixture::Options options;
    options.policy = "[network]\norigins = https://a.example\n";
    options.probeOrigin = QStringLiteral("https://a.example");
    options.log = true;
    ServiceFixture service(options);
    QVERIFY2(service.start(), qPrintable(service.error()));
    const QString page = QStringLiteral("https://b.example");
    QCOMPARE(handshake(QStringLiteral("127.0.0.1"), page, -1),
             QByteArray("HTTP/1.1 403 Forbidden"));
    WsClient pages[3] = {WsClient(QStringLiteral("https://a.example")),
                         WsClient(QStringLiteral("https://a.example")),
                         WsClient(QStringLiteral("https://a.example"))};
    for (WsClient &open : pages)
        QVERIFY(open.open());
    // A page the policy never lists gets in at no moment of the change.
    int unlistedAdmitted = 0;
    const auto watchUnlisted = [&](int ms) {
        const QDeadlineTimer until(ms);
        do {
            if (handshake(QStringLiteral("127.0.0.1"), QStringLiteral("https://c.example"), -1) !=
                QByteArray("HTTP/1.1 403 Forbidden"))
                ++unlistedAdmitted;
        } while (!until.hasExpired());
    };

    const QString folder = service.path(QStringLiteral("xdg/krvi2veravawebsocket"));
    const QString file = folder + QStringLiteral("/policy.conf");
    if (after == "-") {
        QVERIFY(QFile::remove(file));
    } else if (how == QLatin1String("write")) {
        QVERIFY(writeFile(file, after));
    } else if (how == QLatin1String("same size and time")) {
        // Staged with the old one's size and time (cp -p).
        const QDateTime was = QFileInfo(file).lastModified();
        QVERIFY(writeFile(file, after));
        QFile placed(file);
        QVERIFY(placed.open(QIODevice::ReadWrite));
        QVERIFY(placed.setFileTime(was, QFileDevice::FileModificationTime));
    } else if (how == QLatin1String("two-level link")) {
        // policy.conf -> alt/current -> v1.conf, then alt/current switched to v2.conf.
        QVERIFY(QDir(folder).mkdir(QStringLiteral("alt")));
        QVERIFY(QFile::rename(file, folder + QStringLiteral("/v1.conf")));
        QVERIFY(QFile::link(QStringLiteral("../v1.conf"), folder + QStringLiteral("/alt/current")));
        QVERIFY(QFile::link(QStringLiteral("alt/current"), file));
        QTest::qWait(PolicyWatch::SettleMs * 3);
        QVERIFY(writeFile(folder + QStringLiteral("/v2.conf"), after));
        QVERIFY(QFile::link(QStringLiteral("../v2.conf"), folder + QStringLiteral("/alt/next")));
        QVERIFY(::rename(QFile::encodeName(folder + QStringLiteral("/alt/next")).constData(),
                         QFile::encodeName(folder + QStringLiteral("/alt/current")).constData()) ==
                0);
    } else if (how == QLatin1String("folder replaced")) {
        // The new folder holds the same policy at first: nothing to apply,
        // but from then on it is the one to follow.
        QVERIFY(QDir().rename(folder, folder + QStringLiteral(".old")));
        QVERIFY(QDir().mkdir(folder));
        QVERIFY(QFile::copy(folder + QStringLiteral(".old/policy.conf"), file));
        QTest::qWait(PolicyWatch::SettleMs * 3);
        QVERIFY(writeFile(file, after));
    } else if (how == QLatin1String("slowly in place")) {
        // Emptied, then written in pieces 0.7 s apart, as a slow tool would.
        QFile placed(file);
        QVERIFY(placed.open(QIODevice::WriteOnly | QIODevice::Truncate));
        watchUnlisted(700);
        QVERIFY(placed.write(after.left(10)) == 10 && placed.flush());
        watchUnlisted(700);
        QVERIFY(placed.write(after.mid(10)) == after.size() - 10 && placed.flush());
        placed.close();
    } else if (how == QLatin1String("sparse")) {
        QVERIFY(writeFile(file, after));
        QVERIFY(QFile::resize(file, qint64(3) << 30));
    }
    QTRY_VERIFY_WITH_TIMEOUT(QString::fromUtf8(service.log()).contains(logged), 8000);
    if (how == QLatin1String("slowly in place"))
        watchUnlisted(PolicyWatch::SteadyMs);
    QCOMPARE(unlistedAdmitted, 0);
    QCOMPARE(handshake(QStringLiteral("127.0.0.1"), page, -1), answer);
    if (loopback)
        QCOMPARE(listeningAddresses().size(), 2);
    for (WsClient &open : pages) {
        if (kept) {
            QVERIFY(open.request(QStringLiteral(R"({"cmd":"close_device"})"))
                        .contains(QLatin1String("\"statuCode\": 0")));
        } else {
            QVERIFY(open.waitForDisconnect());
            QCOMPARE(int(open.socket.closeCode()), 1008);
            QCOMPARE(open.socket.closeReason(),
                     QStringLiteral("refused by the policy: origin not listed"));
        }
    }
    QVERIFY(service.running());
}

void PolicyTest::logKeepsTheCardNotTheHolder()
{
    QTemporaryDir home;
    const QString logFile = home.filePath(QStringLiteral("state/krlog.txt"));
    QVERIFY(QDir(home.path()).mkpath(QStringLiteral("state")));
    QVERIFY(writeFile(logFile, QByteArray()));
    ServiceFixture::Options options;
    options.card = QStringLiteral("A");
    options.policy = "[log]\ncardData = redacted\nfile = ~/state/krlog.txt\n";
    ServiceFixture service(options);
    service.setEnv(QStringLiteral("HOME"), home.path());
    QVERIFY2(service.start(), qPrintable(service.error()));
    WsClient client;
    QVERIFY(client.open());
    QVERIFY(
        client.request(QStringLiteral(R"({"cmd":"open_device"})")).contains("\"statuCode\": 0"));
    const QString card = client.request(QStringLiteral(R"({"cmd":"read_card_info"})"));
    // The client gets the whole card...
    QVERIFY(card.contains(QLatin1String("\"statuCode\": 0")));
    const QString idNum = card.section(QStringLiteral("\"idNum\": \""), 1).section('"', 0, 0);
    QVERIFY(idNum.size() == 18);
    QVERIFY(card.contains(QLatin1String("\"photo\": \"")));

    // ...the log, in the file the policy names, its shape only.
    QVERIFY(!QFile::exists(service.path(QStringLiteral("krlog.txt"))));
    QFile file(logFile);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString log = QString::fromUtf8(file.readAll());
    QVERIFY(log.contains(QLatin1String("processTextMessage response:")));
    QVERIFY2(!log.contains(idNum), qPrintable(log));
    QVERIFY(!log.contains(QLatin1String(R"(\"photo\":)")));
    QVERIFY(log.contains(QStringLiteral(R"(\"idNum\":\"%1\")").arg(QString(18, '*'))));
    QVERIFY(log.contains(QLatin1String(R"(\"gender\":\")")));
}

void PolicyTest::refusesToStartOnABadFile_data()
{
    QTest::addColumn<QByteArray>("policy");
    QTest::addColumn<QString>("complaint"); // after the file's path
    QTest::addColumn<QString>("logFile");   // in the service's folder, its home
    // Not 0: the policy's folder gets this mode, and the service runs as
    // another user than the folder's owner (root).
    QTest::addColumn<int>("folderMode");
    QTest::newRow("unknown value")
        << QByteArray("[network]\nlisten = everywhere\n")
        << R"([network] listen: "everywhere" is not one of any, loopback)"
        << "krlog.txt" << 0;
    QTest::newRow("a key given twice, in the log the file names")
        << QByteArray(
               "[log]\nfile = ~/policy-log.txt\n[network]\nlisten = loopback\nlisten = any\n")
        << "[network] listen: given twice"
        << "policy-log.txt" << 0;
    // As an administrator's mkdir under umask 077 makes it.
    QTest::newRow("a folder the desk user may not search")
        << QByteArray("[network]\nlisten = loopback\n")
        << "file: cannot be reached (Permission denied)"
        << "krlog.txt" << 0700;
    // Every complaint of the parser: tst_policyfile.
}

void PolicyTest::refusesToStartOnABadFile()
{
    QFETCH(QByteArray, policy);
    QFETCH(QString, complaint);
    QFETCH(QString, logFile);
    QFETCH(int, folderMode);
    if (folderMode && ::getuid() != 0)
        QSKIP("runs the service as another user: needs root");
    ServiceFixture::Options options;
    options.policy = policy;
    options.log = true;
    if (folderMode)
        options.user = 65534;
    ServiceFixture service(options);
    if (folderMode)
        QCOMPARE(::chmod(qPrintable(service.path(QStringLiteral("xdg/krvi2veravawebsocket"))),
                         mode_t(folderMode)),
                 0);
    service.setEnv(QStringLiteral("HOME"), service.dir());
    QVERIFY(writeFile(service.path(QStringLiteral("policy-log.txt")), QByteArray()));
    const QString file = service.path(QStringLiteral("xdg/krvi2veravawebsocket/policy.conf"));
    service.launch();
    QVERIFY(service.waitForExit());
    QCOMPARE(service.exitCode(), 253);
    // Qt's own warning aside (a user with no runtime folder).
    const QString said = QString::fromUtf8(service.standardError())
                             .remove(QRegularExpression(QStringLiteral("^QStandardPaths: .*\n")))
                             .trimmed();
    QVERIFY2(
        said.startsWith(
            QStringLiteral("krvi2veravawebsocket: policy refused: %1: %2").arg(file, complaint)),
        qPrintable(said));
    QVERIFY(said.count('\n') == 0);
    // The line is in the log the file names, and only there.
    for (const QString &log : {QStringLiteral("krlog.txt"), QStringLiteral("policy-log.txt")}) {
        QFile written(service.path(log));
        QVERIFY(written.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(written.readAll()).contains(file + ": " + complaint),
                 log == logFile);
    }
    QVERIFY(!ServiceFixture::portAccepts());
}

QTEST_GUILESS_MAIN(PolicyTest)
#include "tst_policy.moc"
