#include "libraryloader.h"

#include "readerhost.h"

#include <QCoreApplication>
#include <QDebug>

bool bLoadDll = false;
int LibraryDeadlineMs = 30000;
ReaderHost *pReaderLibrary = nullptr;

bool LoadTerminalProtocolDll(const QString &dllFileName)
{
    qDebug() << "LoadTerminalProtocolDll DllFileName:" << dllFileName;

    // Goes with the application object, and the host with it.
    auto *host = new ReaderHost(dllFileName, LibraryDeadlineMs, QCoreApplication::instance());
    const ReaderHost::LoadReport report = host->start();
    if (report.loaded) {
        qDebug() << "LoadTerminalProtocolDll load ok";
        pReaderLibrary = host;
        bLoadDll = true;
        return true;
    }
    delete host;
    if (report.missingFunction) {
        qDebug() << "LoadTerminalProtocolDll load function fail";
    } else {
        qDebug() << "LoadTerminalProtocolDll load file fail";
        qDebug().noquote() << "LoadTerminalProtocolDll reason:" << report.reason;
    }
    return false;
}
