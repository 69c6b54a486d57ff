#ifndef PROCESSMEMORY_H
#define PROCESSMEMORY_H

#include <QtGlobal>

// Resident memory of a process in KiB, from /proc; this process when pid is 0.
// -1 when it cannot be read.
qint64 residentKiB(qint64 pid = 0);

#endif // PROCESSMEMORY_H
