#ifndef PROCESSMEMORY_H
#define PROCESSMEMORY_H

#include <QtGlobal>

// Resident memory of a process in KiB, from /proc; this process when pid is 0.
// -1 when it cannot be read.
qint64 residentKiB(qint64 pid = 0);
// The highest resident memory the process has had, in KiB; -1 when unknown.
qint64 peakResidentKiB(qint64 pid = 0);

#endif // PROCESSMEMORY_H
