#include "libraryloader.h"

#include "librarycall.h"

#include <QDebug>
#include <QFile>
#include <QLibrary>

#include <dlfcn.h>

OpenDeviceFn pOpenDevice = nullptr;
CloseDeviceFn pCloseDevice = nullptr;
SamGetIdFn pSamGetId = nullptr;
SamGetIdStrFn pSamGetIdStr = nullptr;
IdReadCardFn pIdReadCard = nullptr;
bool bLoadDll = false;

namespace {

// The processor an ELF file is built for (its e_machine), or -1 when the file
// is no ELF file or cannot be read.
int elfMachine(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray header = file.read(20);
    if (header.size() < 20 || !header.startsWith("\x7f"
                                                 "ELF"))
        return -1;
    return uchar(header.at(18)) | uchar(header.at(19)) << 8; // little-endian, as on our processors
}

// The system's reason for this very file. QLibrary's names the last of the
// variants it tried ("liblibCommonInterface.so" and the like), not the file.
QString systemReason(const QString &path)
{
    void *handle = ::dlopen(QFile::encodeName(path).constData(), RTLD_LAZY | RTLD_LOCAL);
    if (handle) {
        ::dlclose(handle);
        return QStringLiteral("%1: loaded on a second try").arg(path);
    }
    return QString::fromLocal8Bit(::dlerror());
}

// Why the library did not load. The system's reason for a library built for
// another processor is "No such file or directory": say what it is instead.
QString loadFailure(const QString &path)
{
    const int theirs = elfMachine(path);
    const int ours = elfMachine(QStringLiteral("/proc/self/exe"));
    if (theirs >= 0 && ours >= 0 && theirs != ours)
        return QStringLiteral("the library is built for another processor (ELF machine %1, "
                              "this service's is %2): %3")
            .arg(theirs)
            .arg(ours)
            .arg(systemReason(path));
    return systemReason(path);
}

} // namespace

bool LoadTerminalProtocolDll(const QString &dllFileName)
{
    qDebug() << "LoadTerminalProtocolDll DllFileName:" << dllFileName;

    // Never unloaded: the QLibrary object goes, the loaded library and the
    // resolved pointers stay valid for the life of the process.
    QLibrary library(dllFileName);
    bool loaded;
    {
        LibraryCall call("the reader library's start-up code");
        loaded = library.load();
    }
    if (!loaded) {
        qDebug() << "LoadTerminalProtocolDll load file fail";
        qDebug().noquote() << "LoadTerminalProtocolDll reason:" << loadFailure(dllFileName);
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
