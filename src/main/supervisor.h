#ifndef SUPERVISOR_H
#define SUPERVISOR_H

// The process that was started only supervises: it runs the service in a
// child and starts it again, after a short and growing pause, when the child
// dies of a fault (a crash inside the reader library, a call that never
// returned). The statuses the service ends with by design (0, and the
// start-up refusals 252, 253 and 254) end the supervisor with the same
// status, and so does every end after a signal of a logout (TERM, HUP, INT),
// which the supervisor passes on to the child. After MaxFailures faults
// within FailureWindowSeconds it gives up with status ExitGaveUp.
//
// Whichever way the service is started (launcher, desktop entry, by hand),
// this is the first thing main() does. Returns in the child only.
namespace Supervisor {

constexpr int MaxFailures = 5;
constexpr int FailureWindowSeconds = 60;
constexpr int FirstPauseMs = 500;
constexpr int ExitGaveUp = 251;

void superviseService();

} // namespace Supervisor

#endif // SUPERVISOR_H
