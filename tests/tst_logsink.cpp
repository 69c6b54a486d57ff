#include "globals.h"
#include "logsink.h"
#include "testfiles.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// "[ yyyy-MM-dd hh:mm:ss:zzz] " and the captured text, for one line without its CR LF.
const QRegularExpression
    kLine(QStringLiteral(R"(^\[ (\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}:\d{3})\] (.*)$)"),
          QRegularExpression::DotMatchesEverythingOption);

} // namespace

class LogSinkTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        QVERIFY(dir.isValid());
        strLogFile = dir.filePath(QStringLiteral("krlog.txt"));
        QFile::remove(strLogFile);
        QFile::remove(strLogFile + QStringLiteral(".1"));
        previous = qInstallMessageHandler(outputMyMessage);
    }
    void cleanup()
    {
        qInstallMessageHandler(previous);
        setLogFileBound(qint64(32) << 20);
    }

    void writesOneTimestampedLine_data();
    void writesOneTimestampedLine();
    void appendsWithoutChangingEarlierContent();
    void writesNothingWithoutTheFile();
    void followsTheFileAtItsPath_data();
    void followsTheFileAtItsPath();
    void keepsLinesFromThreadsWhole();
    void keepsTheFileWithinItsBound_data();
    void keepsTheFileWithinItsBound();

private:
    QTemporaryDir dir;
    QtMessageHandler previous = nullptr;
};

void LogSinkTest::writesOneTimestampedLine_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("written"); // when not the message itself
    QTest::newRow("ascii") << QStringLiteral("abc") << QString();
    QTest::newRow("chinese, full-width punctuation")
        << QStringLiteral("连接设备失败，错误代码：-5") << QString();
    QTest::newRow("four-byte character") << QStringLiteral("吕𠮷晨") << QString();
    QTest::newRow("line breaks kept") << QStringLiteral("first\nsecond\r\nthird") << QString();
    QTest::newRow("line and paragraph separators escaped")
        << QStringLiteral("a\u2028b\u2029c") << QStringLiteral("a\\u2028b\\u2029c");
    QTest::newRow("empty") << QString() << QString();
    QTest::newRow("at the line's bound") << QString(LogLineChars, QLatin1Char('x')) << QString();
    QTest::newRow("past it") << QString(LogLineChars + 10, QLatin1Char('x'))
                             << QString(LogLineChars, QLatin1Char('x')) +
                                    QStringLiteral(" [10 more bytes left out]");
    // Not cut between the two halves of a four-byte character.
    QTest::newRow("past it, four-byte character at the cut")
        << QString(LogLineChars - 1, QChar(0x6668)) + QStringLiteral("𠮷吕")
        << QString(LogLineChars - 1, QChar(0x6668)) + QStringLiteral(" [7 more bytes left out]");
}

void LogSinkTest::writesOneTimestampedLine()
{
    QFETCH(QString, message);
    QFETCH(QString, written);
    QVERIFY(writeFile(strLogFile, QByteArray()));
    const QDateTime before = QDateTime::currentDateTime();
    qDebug().noquote() << message;
    const QDateTime after = QDateTime::currentDateTime();

    const QByteArray bytes = readAll(strLogFile);
    QVERIFY(bytes.endsWith("\r\n"));
    const QRegularExpressionMatch match =
        kLine.match(QString::fromUtf8(bytes.left(bytes.size() - 2)));
    QVERIFY2(match.hasMatch(), bytes.constData());
    QCOMPARE(match.captured(2), written.isNull() ? message : written);
    const QDateTime stamp =
        QDateTime::fromString(match.captured(1), QStringLiteral("yyyy-MM-dd hh:mm:ss:zzz"));
    QVERIFY(stamp.isValid());
    QVERIFY(stamp >= before.addMSecs(-1) && stamp <= after.addMSecs(1));
}

void LogSinkTest::appendsWithoutChangingEarlierContent()
{
    const QByteArray earlier("kept as it was\nno line end");
    QVERIFY(writeFile(strLogFile, earlier));
    qDebug() << "one";
    qWarning() << "two";
    const QByteArray bytes = readAll(strLogFile);
    QVERIFY(bytes.startsWith(earlier));
    const QList<QByteArray> lines = bytes.mid(earlier.size()).split('\n');
    QCOMPARE(lines.size(), 3);
    QVERIFY(lines.at(0).endsWith("] one\r"));
    QVERIFY(lines.at(1).endsWith("] two\r"));
    QVERIFY(lines.at(2).isEmpty());
}

void LogSinkTest::writesNothingWithoutTheFile()
{
    qDebug() << "dropped";
    qCritical() << "dropped too";
    QVERIFY(!QFile::exists(strLogFile));
    QVERIFY(dir.isValid());
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::NoDotAndDotDot), QStringList());
}

void LogSinkTest::followsTheFileAtItsPath_data()
{
    // What happens to the file between the line "first" and the line "second";
    // the file at the path is read after each.
    QTest::addColumn<QString>("change");
    QTest::addColumn<QByteArray>("afterFirst");
    QTest::addColumn<QByteArray>("afterSecond");
    QTest::newRow("appears") << "create" << QByteArray() << QByteArray("second");
    QTest::newRow("disappears") << "remove" << QByteArray("first") << QByteArray();
    // The new file may get the removed one's inode number back.
    QTest::newRow("removed and made again")
        << "remove,create" << QByteArray("first") << QByteArray("second");
    QTest::newRow("rotated") << "rotate,create" << QByteArray("first") << QByteArray("second");
    QTest::newRow("stays") << "" << QByteArray("first") << QByteArray("first second");
}

void LogSinkTest::followsTheFileAtItsPath()
{
    QFETCH(QString, change);
    QFETCH(QByteArray, afterFirst);
    QFETCH(QByteArray, afterSecond);
    // The messages in the file, without their time stamps.
    const auto messages = [] {
        QByteArrayList found;
        for (const QByteArray &line : readAll(strLogFile).split('\n')) {
            if (!line.isEmpty())
                found.append(line.mid(line.indexOf("] ") + 2).chopped(1));
        }
        return found.join(' ');
    };
    if (!change.startsWith(QLatin1String("create")))
        QVERIFY(writeFile(strLogFile, QByteArray()));
    qDebug().noquote() << "first";
    QCOMPARE(messages(), afterFirst);
    for (const QString &step : change.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        if (step == QLatin1String("create"))
            QVERIFY(writeFile(strLogFile, QByteArray()));
        else if (step == QLatin1String("remove"))
            QVERIFY(QFile::remove(strLogFile));
        else if (step == QLatin1String("rotate"))
            QVERIFY(QFile::rename(strLogFile, strLogFile + QStringLiteral(".1")));
    }
    qDebug().noquote() << "second";
    QCOMPARE(messages(), afterSecond);
    if (change.startsWith(QLatin1String("rotate"))) {
        strLogFile += QStringLiteral(".1");
        QCOMPARE(messages(), afterFirst);
    }
    QFile::remove(strLogFile);
}

void LogSinkTest::keepsLinesFromThreadsWhole()
{
    QVERIFY(writeFile(strLogFile, QByteArray()));
    constexpr int threads = 8;
    constexpr int perThread = 200;
    // Long lines make a torn write likely if the lock did not hold.
    const QString padding(300, QLatin1Char('x'));
    QList<QThread *> workers;
    for (int t = 0; t < threads; ++t) {
        workers.append(QThread::create([t, padding] {
            for (int i = 0; i < perThread; ++i)
                qDebug().noquote()
                    << QStringLiteral("thread %1 line %2 %3").arg(t).arg(i).arg(padding);
        }));
        workers.last()->start();
    }
    for (QThread *worker : workers) {
        QVERIFY(worker->wait(60000));
        delete worker;
    }

    const QList<QByteArray> lines = readAll(strLogFile).split('\n');
    QCOMPARE(lines.size(), threads * perThread + 1);
    QVector<int> next(threads, 0);
    const QRegularExpression text(QStringLiteral("^thread (\\d+) line (\\d+) x{300}$"));
    for (int i = 0; i < threads * perThread; ++i) {
        QVERIFY(lines.at(i).endsWith('\r'));
        const auto line = kLine.match(QString::fromUtf8(lines.at(i).chopped(1)));
        QVERIFY2(line.hasMatch(), lines.at(i).constData());
        const auto parts = text.match(line.captured(2));
        QVERIFY2(parts.hasMatch(), lines.at(i).constData());
        // Each thread's lines arrive in the order it wrote them.
        const int t = parts.captured(1).toInt();
        QCOMPARE(parts.captured(2).toInt(), next[t]++);
    }
}

void LogSinkTest::keepsTheFileWithinItsBound_data()
{
    QTest::addColumn<bool>("linked"); // the log is a symbolic link to the file
    QTest::newRow("a file: renamed with .1 and begun afresh") << false;
    QTest::newRow("a symbolic link: stops until emptied") << true;
}

void LogSinkTest::keepsTheFileWithinItsBound()
{
    QFETCH(bool, linked);
    const qint64 bound = 64 * 1024;
    setLogFileBound(bound);
    const QString file = linked ? dir.filePath(QStringLiteral("target.txt")) : strLogFile;
    QVERIFY(writeFile(file, QByteArray()));
    if (linked)
        QVERIFY(QFile::link(file, strLogFile));
    const QString old = strLogFile + QStringLiteral(".1");
    const QString text(1000, QLatin1Char('x'));
    // Three times the bound: the file is begun afresh twice, the older lines
    // in .1 replaced the second time.
    for (int i = 0; i < 200; ++i)
        qDebug().noquote() << i << text;
    const QByteArray now = readAll(file);
    QVERIFY2(now.size() <= bound, qPrintable(QString::number(now.size())));
    if (!linked) {
        QVERIFY(now.contains("The log reached its bound of 65536 bytes: the lines before are in"));
        QVERIFY(now.contains("] 199 xxx"));
        const QByteArray before = readAll(old);
        QVERIFY(before.size() <= bound && before.size() > bound / 2);
        QVERIFY(!before.contains("] 0 xxx"));
        return;
    }
    QVERIFY(!QFile::exists(old));
    QCOMPARE(now.count("cannot be renamed"), 1);
    QVERIFY(now.contains("(it is a symbolic link)"));
    QVERIFY(!now.contains("] 199 xxx"));
    // Emptied by its administrator: lines go on.
    QVERIFY(writeFile(file, QByteArray()));
    qDebug() << "again";
    QVERIFY(readAll(file).endsWith("] again\r\n"));
}

QTEST_GUILESS_MAIN(LogSinkTest)
#include "tst_logsink.moc"
