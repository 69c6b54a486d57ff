#ifndef LIBRARYCALL_H
#define LIBRARYCALL_H

#include <QString>

// What happens around every call into the closed reader library, which is
// called on the one thread that also serves every client: a call that does
// not return within the deadline ends the process (the supervisor starts it
// again), a crash inside the library leaves a line in the log naming the call,
// the record buffer has slack behind it, and what the library writes to
// standard output and error is drained, so that it can never block.
//
//     LibraryCall call("IdReadCard");
//     const long result = pIdReadCard(0, 1, LibraryCall::recordBuffer(), 0);
class LibraryCall
{
public:
    // How the process ends when a call does not return in time: the
    // supervisor sees a status that asks for a restart.
    static constexpr int ExitLibraryHung = 250;

    // Arms the deadline, the crash trace and the drain of the library's
    // output for the rest of the process. Once, before the library is loaded,
    // with the application object in place.
    static void prepare(int deadlineMs);
    // The log file that the crash trace and the deadline write to.
    static void setLogFile(const QString &path);

    explicit LibraryCall(const char *name);
    ~LibraryCall();
    LibraryCall(const LibraryCall &) = delete;
    LibraryCall &operator=(const LibraryCall &) = delete;

    // The zero-filled record buffer for IdReadCard: the record's 10240 bytes,
    // followed by slack that a library writing past the record scribbles on
    // instead of the stack, and a page that no one may touch.
    static char *recordBuffer();
    // After IdReadCard: logs how far the library wrote past the record.
    static void checkRecordBuffer();
};

#endif // LIBRARYCALL_H
