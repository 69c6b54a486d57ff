#ifndef LIBRARYLOADER_H
#define LIBRARYLOADER_H

#include "commoninterface.h"

#include <QString>

using OpenDeviceFn = decltype(&::OpenDevice);
using CloseDeviceFn = decltype(&::CloseDevice);
using SamGetIdFn = decltype(&::SamGetId);
using SamGetIdStrFn = decltype(&::SamGetIdStr);
using IdReadCardFn = decltype(&::IdReadCard);

// Entry points of the reader library, null until LoadTerminalProtocolDll has
// resolved them. They may be called only while bLoadDll is true.
extern OpenDeviceFn pOpenDevice;
extern CloseDeviceFn pCloseDevice;
extern SamGetIdFn pSamGetId;
extern SamGetIdStrFn pSamGetIdStr;
extern IdReadCardFn pIdReadCard;

// True once the library has loaded and all five entry points resolved.
extern bool bLoadDll;

// Loads the reader library from dllFileName and resolves its entry points.
// A library that loads stays loaded for the life of the process.
bool LoadTerminalProtocolDll(const QString &dllFileName);

#endif // LIBRARYLOADER_H
