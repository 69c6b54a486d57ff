#ifndef EXITSTATUS_H
#define EXITSTATUS_H

// What the service's process returns when it ends; a parent sees the
// negative values as 256 plus them. The launcher
// (packaging/krvi2veravawebsocket), its manual page and docs/deploying.md
// explain each to the administrator: a new status goes there too.
namespace ExitStatus {
// 0, the event loop's value: the tray's exit was confirmed, or a signal (a
// logout) ended the service.
// 252: the port is held by another instance of this user's, or by a program
// that is not another user's service (which is waited for instead).
constexpr int PortTaken = -4;
// 253: the administrator's policy cannot be honoured.
constexpr int PolicyRefused = -3;
// 254: the reader library is missing, lacks an entry point, or crashed each
// time it was loaded.
constexpr int NoReaderLibrary = -2;
} // namespace ExitStatus

#endif // EXITSTATUS_H
