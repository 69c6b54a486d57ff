#ifndef LIBRARYLOADER_H
#define LIBRARYLOADER_H

#include <QString>

class ReaderHost;

// True once the reader host has loaded the library and resolved all five of
// its entry points; pReaderLibrary then reaches them.
extern bool bLoadDll;
// The host LoadTerminalProtocolDll started: start-up passes it on.
extern ReaderHost *pReaderLibrary;

// How long one call into the reader library may take before its host is
// ended and started again. Set before LoadTerminalProtocolDll.
extern int LibraryDeadlineMs;

// Starts the reader host on dllFileName and waits until it has loaded the
// library. The host, and with it the library, stays for the life of the
// process; a host that fails is replaced.
bool LoadTerminalProtocolDll(const QString &dllFileName);

#endif // LIBRARYLOADER_H
