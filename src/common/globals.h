#ifndef GLOBALS_H
#define GLOBALS_H

#include <QString>
#include <QtGlobal>

// Process-wide settings, each written once during start-up before the event
// loop runs and only read afterwards.

// The one port the service listens on, fixed by design.
extern const quint16 WebSocketPort;

// The application directory followed by "/": the reader library, the icon and
// the log file are always looked for here, whatever the working directory.
extern QString ExePath;

// ExePath followed by "krlog.txt".
extern QString strLogFile;

#endif // GLOBALS_H
