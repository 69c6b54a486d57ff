#include "libraryloader.h"

#include <QDebug>
#include <QLibrary>

OpenDeviceFn pOpenDevice = nullptr;
CloseDeviceFn pCloseDevice = nullptr;
SamGetIdFn pSamGetId = nullptr;
SamGetIdStrFn pSamGetIdStr = nullptr;
IdReadCardFn pIdReadCard = nullptr;
bool bLoadDll = false;

bool LoadTerminalProtocolDll(const QString &dllFileName)
{
    qDebug() << "LoadTerminalProtocolDll DllFileName:" << dllFileName;

    // Never unloaded: the QLibrary object goes, the loaded library and the
    // resolved pointers stay valid for the life of the process.
    QLibrary library(dllFileName);
    if (!library.load()) {
        qDebug() << "LoadTerminalProtocolDll load file fail";
        return false;
    }

    pOpenDevice = reinterpret_cast<OpenDeviceFn>(library.resolve("OpenDevice"));
    pCloseDevice = reinterpret_cast<CloseDeviceFn>(library.resolve("CloseDevice"));
    pSamGetId = reinterpret_cast<SamGetIdFn>(library.resolve("SamGetId"));
    pSamGetIdStr = reinterpret_cast<SamGetIdStrFn>(library.resolve("SamGetIdStr"));
    pIdReadCard = reinterpret_cast<IdReadCardFn>(library.resolve("IdReadCard"));

    if (pOpenDevice && pCloseDevice && pSamGetId && pSamGetIdStr && pIdReadCard) {
        qDebug() << "LoadTerminalProtocolDll load ok";
        bLoadDll = true;
        return true;
    }
    qDebug() << "LoadTerminalProtocolDll load function fail";
    return false;
}
