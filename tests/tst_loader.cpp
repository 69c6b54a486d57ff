#include "libraryloader.h"

#include <QTest>

namespace {

QStringList messages;

void collect(QtMsgType, const QMessageLogContext &, const QString &text)
{
    messages.append(text);
}

void resetLibraryState()
{
    pOpenDevice = nullptr;
    pCloseDevice = nullptr;
    pSamGetId = nullptr;
    pSamGetIdStr = nullptr;
    pIdReadCard = nullptr;
    bLoadDll = false;
}

QString simulatorWithout(const QString &entry)
{
    return QStringLiteral(KRV_SIM_VARIANTS "/without-%1/libCommonInterface.so").arg(entry);
}

} // namespace

class LoaderTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        resetLibraryState();
        messages.clear();
        previous = qInstallMessageHandler(collect);
    }
    void cleanup() { qInstallMessageHandler(previous); }

    void loadsLibraryWithAllEntryPoints();
    void refusesLibraryWithoutAnEntryPoint_data();
    void refusesLibraryWithoutAnEntryPoint();
    void refusesMissingFile();
    void callsReachTheLoadedLibrary();

private:
    QtMessageHandler previous = nullptr;
};

void LoaderTest::loadsLibraryWithAllEntryPoints()
{
    const QString file = QStringLiteral(KRV_SIMULATOR);
    QVERIFY(LoadTerminalProtocolDll(file));
    QVERIFY(bLoadDll);
    QVERIFY(pOpenDevice && pCloseDevice && pSamGetId && pSamGetIdStr && pIdReadCard);
    QCOMPARE(messages, QStringList({"LoadTerminalProtocolDll DllFileName: \"" + file + "\"",
                                    "LoadTerminalProtocolDll load ok"}));
}

void LoaderTest::refusesLibraryWithoutAnEntryPoint_data()
{
    QTest::addColumn<QString>("missing");
    for (const char *entry : {"OpenDevice", "CloseDevice", "SamGetId", "SamGetIdStr", "IdReadCard"})
        QTest::newRow(entry) << QString::fromLatin1(entry);
}

void LoaderTest::refusesLibraryWithoutAnEntryPoint()
{
    QFETCH(QString, missing);
    const QString file = simulatorWithout(missing);
    QVERIFY(QFile::exists(file));

    QVERIFY(!LoadTerminalProtocolDll(file));
    QVERIFY(!bLoadDll);
    QCOMPARE(messages.last(), QStringLiteral("LoadTerminalProtocolDll load function fail"));

    // Each pointer holds what resolution gave: only the missing one is null.
    const QMap<QString, bool> resolved = {
        {"OpenDevice", pOpenDevice != nullptr}, {"CloseDevice", pCloseDevice != nullptr},
        {"SamGetId", pSamGetId != nullptr},     {"SamGetIdStr", pSamGetIdStr != nullptr},
        {"IdReadCard", pIdReadCard != nullptr},
    };
    for (auto it = resolved.cbegin(); it != resolved.cend(); ++it)
        QCOMPARE(it.value(), it.key() != missing);
}

void LoaderTest::refusesMissingFile()
{
    // A failed load leaves earlier state alone.
    pCloseDevice = [] {
        return 0L;
    };
    const QString file = QDir::temp().filePath("no-such-dir/libCommonInterface.so");
    QVERIFY(!LoadTerminalProtocolDll(file));
    QVERIFY(!bLoadDll);
    QVERIFY(pCloseDevice != nullptr);
    QVERIFY(!pOpenDevice);
    QCOMPARE(messages.size(), 3);
    QCOMPARE(messages.mid(0, 2),
             QStringList({"LoadTerminalProtocolDll DllFileName: \"" + file + "\"",
                          "LoadTerminalProtocolDll load file fail"}));
    QVERIFY(messages.at(2).startsWith("LoadTerminalProtocolDll reason: "));
}

void LoaderTest::callsReachTheLoadedLibrary()
{
    QVERIFY(LoadTerminalProtocolDll(QStringLiteral(KRV_SIMULATOR)));
    // The library stays loaded after the loader returns: its entry points work.
    qputenv("KRSIM_OPEN_RESULT", "7");
    QCOMPARE(pOpenDevice("USB", "0400C35A", ""), 7L);
    qunsetenv("KRSIM_OPEN_RESULT");
    char text[64] = {};
    QCOMPARE(pSamGetIdStr(text, sizeof text), 0L);
    QVERIFY(qstrlen(text) > 0);
}

QTEST_GUILESS_MAIN(LoaderTest)
#include "tst_loader.moc"
