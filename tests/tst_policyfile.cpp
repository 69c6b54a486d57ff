// The administrator's policy file as the service reads it, in-process: what
// each key sets, and every file that must stop the start, with the line that
// says why. (tst_policy tries the real service with a policy in force.)
#include "policy.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class PolicyFileTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(QDir(folder.path()).mkpath(QStringLiteral("krvi2veravawebsocket")));
        qputenv("XDG_CONFIG_DIRS", folder.path().toLocal8Bit());
    }

    void readsWhatEachKeySets_data();
    void readsWhatEachKeySets();
    void refusesWhatItCannotHonour_data();
    void refusesWhatItCannotHonour();
    void looksInTheAdministratorsFolder_data();
    void looksInTheAdministratorsFolder();

private:
    QString file() const
    {
        return folder.filePath(QStringLiteral("krvi2veravawebsocket/policy.conf"));
    }
    void put(const QByteArray &text)
    {
        QFile::remove(file());
        if (text == "->") {
            QVERIFY(QFile::link(folder.filePath(QStringLiteral("gone.conf")), file()));
        } else if (text.startsWith("->")) {
            QVERIFY(QFile::link(QString::fromUtf8(text.mid(2)), file()));
        } else if (text == "sparse") {
            QFile sparse(file());
            QVERIFY(sparse.open(QIODevice::WriteOnly));
            QVERIFY(sparse.write("[network]\nnoOrigin = refuse\n") > 0);
            QVERIFY(sparse.resize(qint64(3) << 30));
        } else if (text != "-") {
            QVERIFY(writeFile(file(), text));
        }
    }

    QTemporaryDir folder;
};

void PolicyFileTest::readsWhatEachKeySets_data()
{
    QTest::addColumn<QByteArray>("text"); // "-": no file
    QTest::addColumn<bool>("inForce");
    QTest::addColumn<bool>("loopback");
    QTest::addColumn<bool>("refusesOthers");
    QTest::addColumn<bool>("redacts");
    QTest::addColumn<QStringList>(
        "admitted");                     // of https://a.example, HTTPS://A.EXAMPLE:443, none, null
    QTest::addColumn<QString>("log");    // "~" for the home folder
    QTest::addColumn<QString>("reader"); // the sandbox, and the memory bound in MiB
    const QStringList all{"https://a.example", "HTTPS://A.EXAMPLE:443", "", "null",
                          "https://xn--bcher-kva.example"};
    QTest::newRow("no file") << QByteArray("-") << false << false << false << false << all << ""
                             << "on 256";
    QTest::newRow("comments only") << QByteArray("; [network]\n;listen = loopback\n") << false
                                   << false << false << false << all << ""
                                   << "on 256";
    QTest::newRow("everything, CRLF, quoted")
        << QByteArray("[network]\r\nlisten = loopback\r\norigins = \"https://a.example, "
                      "null\"\r\nnoOrigin = refuse\r\notherUsers = refuse\r\n[log]\r\ncardData "
                      "= redacted\r\nfile = ~/krlog.txt\r\n[reader]\r\nsandbox = off\r\nmemory = "
                      "64\r\n")
        << true << true << true << true
        << QStringList{"https://a.example", "HTTPS://A.EXAMPLE:443", "null"} << "~/krlog.txt"
        << "off 64";
    QTest::newRow("defaults spelt out")
        << QByteArray("[network]\nlisten = any\nnoOrigin = allow\notherUsers = allow\n[log]\n"
                      "cardData = full\n[reader]\nsandbox = on\n")
        << true << false << false << false << all << ""
        << "on 256";
    QTest::newRow("an origin with its port")
        << QByteArray("[network]\norigins = http://b.example:8080\n") << true << false << false
        << false << QStringList{""} << ""
        << "on 256";
    QTest::newRow("a log file with a name not in ASCII")
        << QByteArray("[log]\nfile = /var/log/k\xC3\xBC"
                      "rlog.txt\n")
        << true << false << false << false << all << QStringLiteral("/var/log/k\u00FCrlog.txt")
        << "on 256";
    QTest::newRow("a host in Unicode, CR line ends")
        << QByteArray("[network]\rorigins = https://B\xC3\xBC"
                      "cher.example\rnoOrigin = refuse\r")
        << true << false << false << false << QStringList{"https://xn--bcher-kva.example"} << ""
        << "on 256";
}

void PolicyFileTest::readsWhatEachKeySets()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, inForce);
    QFETCH(bool, loopback);
    QFETCH(bool, refusesOthers);
    QFETCH(bool, redacts);
    QFETCH(QStringList, admitted);
    QFETCH(QString, log);
    QFETCH(QString, reader);
    put(text);
    Policy read;
    QVERIFY2(read.load(), qPrintable(read.why()));
    QCOMPARE(QStringLiteral("%1 %2")
                 .arg(QLatin1String(read.sandboxesReader() ? "on" : "off"))
                 .arg(read.readerMemoryMiB()),
             reader);
    QCOMPARE(read.inForce(), inForce);
    QCOMPARE(read.listenAddresses().size(), loopback ? 2 : 1);
    QCOMPARE(read.refusesOtherUsers(), refusesOthers);
    QCOMPARE(read.redactsCardData(), redacts);
    QStringList passed;
    for (const char *origin : {"https://a.example", "HTTPS://A.EXAMPLE:443", "", "null",
                               "https://xn--bcher-kva.example"}) {
        if (read.refusalForOrigin(QLatin1String(origin)).isEmpty())
            passed.append(QLatin1String(origin));
    }
    QCOMPARE(passed, admitted);
    QCOMPARE(read.logFile(), log.replace(QLatin1Char('~'), QDir::homePath()));
}

void PolicyFileTest::refusesWhatItCannotHonour_data()
{
    QTest::addColumn<QByteArray>("text");   // "->": a symbolic link to nothing
    QTest::addColumn<QString>("complaint"); // after the file's path
    QTest::addColumn<QString>("log");       // where the refusal is logged; empty: krlog.txt
    QTest::newRow("unknown value")
        << QByteArray("[network]\nlisten = everywhere\n[log]\nfile = \"/var/log/krv.txt\"\n")
        << R"([network] listen: "everywhere" is not one of any, loopback)"
        << "/var/log/krv.txt";
    QTest::newRow("unknown key") << QByteArray("[network]\nlisten = loopback\norigin = x\n")
                                 << "[network] origin: unknown key"
                                 << "";
    QTest::newRow("comment with #") << QByteArray("[network]\n#listen = loopback\n")
                                    << R"([network] #listen: unknown key (comments begin with ";"))"
                                    << "";
    QTest::newRow("key outside a section")
        << QByteArray("listen = loopback\n") << "listen: outside a section"
        << "";
    QTest::newRow("a key of its section given before it")
        << QByteArray("network\\noOrigin = refuse\n[network]\nnoOrigin = allow\n")
        << "network\\noOrigin: outside a section"
        << "";
    QTest::newRow("a line that is no entry")
        << QByteArray("[network]\nlisten loopback\n") << "line 2: is not a section"
        << "";
    QTest::newRow("not UTF-8") << QByteArray("[network]\norigins = https://b\xFC.example\n")
                               << "file: is not UTF-8 text"
                               << "";
    QTest::newRow("not an origin")
        << QByteArray("[network]\norigins = https://a.example/page\n")
        << R"([network] origins: "https://a.example/page" is not an origin)"
        << "";
    QTest::newRow("no origin listed")
        << QByteArray("[network]\norigins = ,\n") << "[network] origins: lists no origin"
        << "";
    QTest::newRow("log file not absolute")
        << QByteArray("[log]\nfile = krlog.txt\n")
        << R"([log] file: "krlog.txt" is not an absolute path or one in ~/)"
        << "";
    QTest::newRow("a memory bound too small")
        << QByteArray("[reader]\nmemory = 16\n")
        << R"([reader] memory: "16" is not a number of MiB from 32 to 65536)"
        << "";
    QTest::newRow("a log bound of nothing")
        << QByteArray("[log]\nsize = 0\n")
        << R"([log] size: "0" is not a number of MiB from 1 to 65536)"
        << "";
    QTest::newRow("a memory bound with its unit")
        << QByteArray("[reader]\nmemory = 256M\n")
        << R"([reader] memory: "256M" is not a number of MiB)"
        << "";
    QTest::newRow("the sandbox half off") << QByteArray("[reader]\nsandbox = no\n")
                                          << R"([reader] sandbox: "no" is not one of on, off)"
                                          << "";
    // What may be a policy but cannot be read whole never means none.
    QTest::newRow("a key given twice")
        << QByteArray("[log]\nfile=~/krlog.txt\n[network]\nlisten = loopback\nlisten = any\n")
        << "[network] listen: given twice"
        << "~/krlog.txt";
    QTest::newRow("a key given twice, CR line ends")
        << QByteArray("[network]\rnoOrigin = refuse\rnoOrigin = allow\r")
        << "[network] noOrigin: given twice"
        << "";
    QTest::newRow("the log file given twice")
        << QByteArray("[log]\nfile = /tmp/a\nfile = /tmp/b\n") << "[log] file: given twice"
        << "";
    QTest::newRow("a byte order mark") << QByteArray("\xEF\xBB\xBF[log]\nfile = /var/log/krv.txt\n")
                                       << "file: begins with a UTF-8 byte order mark"
                                       << "/var/log/krv.txt";
    QTest::newRow("a symbolic link to nothing")
        << QByteArray("->") << "file: is a symbolic link to a file that cannot be reached"
        << "";
    QTest::newRow("larger than a policy")
        << QByteArray("[network]\nnoOrigin = refuse\n") + QByteArray(64 * 1024, ';')
        << "file: is larger than 64 KiB"
        << "";
    QTest::newRow("a sparse file of 3 GiB") << QByteArray("sparse") << "file: is larger than 64 KiB"
                                            << "";
    QTest::newRow("a link to what reports no size") << QByteArray("->/proc/self/environ") << ""
                                                    << "";
}

void PolicyFileTest::refusesWhatItCannotHonour()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, complaint);
    QFETCH(QString, log);
    put(text);
    Policy read;
    QVERIFY(!read.load());
    QVERIFY2(read.why().startsWith(file() + QStringLiteral(": ") + complaint),
             qPrintable(read.why()));
    QCOMPARE(read.logFile(), log.replace(QLatin1Char('~'), QDir::homePath()));
}

void PolicyFileTest::looksInTheAdministratorsFolder_data()
{
    QTest::addColumn<QByteArray>("listed"); // XDG_CONFIG_DIRS
    QTest::addColumn<QStringList>("folders");
    QTest::newRow("nothing listed") << QByteArray(":") << QStringList{"/etc/xdg"};
    QTest::newRow("a desktop's own folder alone")
        << QByteArray("/etc/xdg/xdg-ubuntu") << QStringList{"/etc/xdg/xdg-ubuntu", "/etc/xdg"};
    QTest::newRow("empty and relative entries, /etc/xdg/ spelt with its slash")
        << QByteArray("/opt/a::xdg:/etc/xdg/") << QStringList{"/opt/a", "/etc/xdg"};
}

void PolicyFileTest::looksInTheAdministratorsFolder()
{
    QFETCH(QByteArray, listed);
    QFETCH(QStringList, folders);
    const QByteArray was = qgetenv("XDG_CONFIG_DIRS");
    qputenv("XDG_CONFIG_DIRS", listed);
    const QStringList found = Policy::folders();
    qputenv("XDG_CONFIG_DIRS", was);
    QCOMPARE(found, folders);
}

QTEST_GUILESS_MAIN(PolicyFileTest)
#include "tst_policyfile.moc"
