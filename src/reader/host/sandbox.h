// What the reader library may not do from inside its host. The reader
// maker's code reads the card: it must not be able to send it off the desk
// (no network), start programs, or touch the service and other processes.
#ifndef SANDBOX_H
#define SANDBOX_H

#include <string>

#include <sys/types.h>

namespace sandbox {

// Limits every process of the host sets on itself before the library is
// loaded: no core dump and no debugger attaching to it as the same user (the
// host holds a card between calls), first to go when memory runs out, a lower
// processor priority than the service, at most memoryBytes of data (0: none)
// beyond what it holds already. Returns a line for each limit the system did
// not take.
std::string limitProcess(size_t memoryBytes);

// How the library's processes are kept to their own tree.
enum class Containment {
    // A process namespace of their own: the worker is its first process, so
    // its end ends every process the library started; other processes cannot
    // be named from inside, nor seen in /proc.
    Namespace,
    // Where namespaces are not allowed: the host adopts every orphan the
    // library leaves (a child subreaper) and ends them with the worker; the
    // filter refuses signals to the service, the host and everyone at once.
    Subreaper,
};

// Puts the host's next child into a namespace of its own where the system
// allows it (an unprivileged user namespace, or root's), else makes the host
// a subreaper. `why` says why no namespace could be had.
Containment contain(std::string &why);

// Called in the worker, the namespace's first process, before the library
// loads: /proc shows only the namespace's processes, and the capabilities the
// user namespace gave are dropped.
void settleInNamespace();

struct Filter
{
    bool installed = false;
    int listener = -1; // where refused calls are reported, or -1 (refused silently)
    std::string why;   // why the filter could not be installed
};

// Installs the filter on this process (the worker: the supervisor itself
// stays out of it, so that it can end itself with the worker's signal) and,
// through fork, on every process of the library: no IPv4, IPv6 or packet sockets, no program
// started, no tracing or reading another process's memory, no io_uring (which the filter cannot see
// into); under Subreaper also no signal to the host, the service or every process at once. Refused
// calls fail with EPERM; the listener, when the system offers one, tells which. Needs the host
// single-threaded.
Filter install(Containment containment, pid_t host, pid_t service);

// The worker tells the supervisor how the filter went, and hands it the
// listener, over a Unix socket; the supervisor takes that.
void handOver(int socket, Filter &filter);
Filter takeOver(int socket);

// Answers the refused calls waiting on the listener with EPERM and returns
// a line for each kind of call not reported before (empty when none).
std::string refuse(int listener);

} // namespace sandbox

#endif // SANDBOX_H
