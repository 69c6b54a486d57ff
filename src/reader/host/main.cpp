// The reader host: the only processes that run the reader maker's code. The
// service starts it with the library's path, its own pid, whether the library
// is sandboxed and its memory bound, a pipe on descriptor 3 that carries calls
// in, one on 4 for the answers out (readerchannel.h) and one on 5 for the
// host's own reports. The host is two processes: this one, the supervisor,
// which the service sees, and its child, the worker, which loads the library
// and calls one entry point at a time, in the order asked. The supervisor sets
// up the sandbox (sandbox.h), answers the calls it refuses, and when the
// worker ends, ends everything the library started and ends the same way.
// Whatever the library does (crash, exit, hang, fork or daemonise a helper,
// close descriptors, scribble on its buffer, print, signal, leak) costs the
// service at most the call in progress: the service sees the host end,
// answers that call with a failure and starts another host.
//
// No Qt here: the host starts in a millisecond and holds next to nothing.
#include "commoninterface.h"
#include "readerchannel.h"
#include "sandbox.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

using OpenDeviceFn = decltype(&::OpenDevice);
using CloseDeviceFn = decltype(&::CloseDevice);
using SamGetIdFn = decltype(&::SamGetId);
using SamGetIdStrFn = decltype(&::SamGetIdStr);
using IdReadCardFn = decltype(&::IdReadCard);

// The library's entry points, set once it has loaded.
OpenDeviceFn pOpenDevice = nullptr;
CloseDeviceFn pCloseDevice = nullptr;
SamGetIdFn pSamGetId = nullptr;
SamGetIdStrFn pSamGetIdStr = nullptr;
IdReadCardFn pIdReadCard = nullptr;

namespace {

const int kCalls = READER_CALLS_FD;
const int kAnswers = READER_ANSWERS_FD;

// Writes all of it; false when the service is gone (if SIGPIPE, left as the
// library expects it, has not ended the host first).
bool writeAll(const void *data, size_t size)
{
    const char *at = static_cast<const char *>(data);
    while (size > 0) {
        const ssize_t sent = ::write(kAnswers, at, size);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        at += sent;
        size -= size_t(sent);
    }
    return true;
}

// One answer: the header and its bytes in one write, so that the service
// wakes once for it.
bool answer(int kind, int64_t result, int32_t overrun, const char *bytes, size_t length)
{
    // What the worker holds at its peak, for the service to replace it
    // between calls when it has grown (one system call, in the host).
    rusage usage;
    const uint32_t residentMiB =
        ::getrusage(RUSAGE_SELF, &usage) == 0 ? uint32_t(usage.ru_maxrss / 1024) : 0;
    static char message[sizeof(ReaderChannelHeader) + READER_CHANNEL_MAX_LENGTH];
    if (length > READER_CHANNEL_MAX_LENGTH)
        length = READER_CHANNEL_MAX_LENGTH; // a reason that long says enough by then
    const ReaderChannelHeader header = {READER_CHANNEL_MAGIC, kind,       result, overrun,
                                        uint32_t(length),     residentMiB};
    std::memcpy(message, &header, sizeof header);
    if (length > 0)
        std::memcpy(message + sizeof header, bytes, length);
    return writeAll(message, sizeof header + length);
}

// ---- Loading.

// The processor an ELF file is built for (its e_machine), or -1.
int elfMachine(const char *path)
{
    const int file = ::open(path, O_RDONLY | O_CLOEXEC);
    if (file < 0)
        return -1;
    unsigned char header[20];
    const ssize_t got = ::read(file, header, sizeof header);
    ::close(file);
    if (got < ssize_t(sizeof header) || std::memcmp(header,
                                                    "\x7f"
                                                    "ELF",
                                                    4) != 0)
        return -1;
    return header[18] | header[19] << 8; // little-endian, as on our processors
}

// Why the library did not load. The system says "No such file or directory"
// for a library built for another processor: say what it is instead.
std::string loadFailure(const char *path, const char *systemReason)
{
    const int theirs = elfMachine(path);
    const int ours = elfMachine("/proc/self/exe");
    if (theirs >= 0 && ours >= 0 && theirs != ours)
        return "the library is built for another processor (ELF machine " + std::to_string(theirs) +
               ", this service's is " + std::to_string(ours) + "): " + systemReason;
    return systemReason;
}

// Loads the library and resolves its five entry points, and reports how.
// A library that loads stays loaded for the life of the host.
bool LoadTerminalProtocolDll(const char *dllFileName)
{
    void *library = ::dlopen(dllFileName, RTLD_LAZY | RTLD_LOCAL);
    if (!library) {
        const char *reason = ::dlerror();
        const std::string why = loadFailure(dllFileName, reason ? reason : "unknown reason");
        answer(READER_CHANNEL_LOAD_REPORT, READER_LOAD_FILE_FAILED, 0, why.data(), why.size());
        return false;
    }
    pOpenDevice = reinterpret_cast<OpenDeviceFn>(::dlsym(library, "OpenDevice"));
    pCloseDevice = reinterpret_cast<CloseDeviceFn>(::dlsym(library, "CloseDevice"));
    pSamGetId = reinterpret_cast<SamGetIdFn>(::dlsym(library, "SamGetId"));
    pSamGetIdStr = reinterpret_cast<SamGetIdStrFn>(::dlsym(library, "SamGetIdStr"));
    pIdReadCard = reinterpret_cast<IdReadCardFn>(::dlsym(library, "IdReadCard"));
    if (pOpenDevice && pCloseDevice && pSamGetId && pSamGetIdStr && pIdReadCard)
        return answer(READER_CHANNEL_LOAD_REPORT, READER_LOAD_OK, 0, nullptr, 0);
    answer(READER_CHANNEL_LOAD_REPORT, READER_LOAD_FUNCTION_FAILED, 0, nullptr, 0);
    return false;
}

// ---- The record buffer.

// The record's 10240 bytes, then slack that a library writing past the record
// scribbles on instead of the heap, then a page no one may touch.
constexpr size_t kSlack = 16 * 1024;
constexpr unsigned char kSlackFill = 0xA5;
char *record = nullptr;

bool prepareRecord()
{
    const size_t page = size_t(::sysconf(_SC_PAGESIZE));
    const size_t used = (COMMONINTERFACE_RECORD_SIZE + kSlack + page - 1) / page * page;
    void *area =
        ::mmap(nullptr, used + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (area == MAP_FAILED)
        return false;
    ::mprotect(static_cast<char *>(area) + used, page, PROT_NONE);
    record = static_cast<char *>(area) + used - COMMONINTERFACE_RECORD_SIZE - kSlack;
    std::memset(record + COMMONINTERFACE_RECORD_SIZE, kSlackFill, kSlack);
    return true;
}

// How far the last call wrote past the record; the slack is made whole again.
int32_t takeOverrun()
{
    const unsigned char *slack =
        reinterpret_cast<const unsigned char *>(record) + COMMONINTERFACE_RECORD_SIZE;
    // Untouched: every byte equals the next (one pass, well under a microsecond).
    if (slack[0] == kSlackFill && std::memcmp(slack, slack + 1, kSlack - 1) == 0)
        return 0;
    size_t last = kSlack;
    while (last > 0 && slack[last - 1] == kSlackFill)
        --last;
    std::memset(record + COMMONINTERFACE_RECORD_SIZE, kSlackFill, last);
    return int32_t(last);
}

// ---- The calls.

bool carryOut(char call)
{
    switch (call) {
    case READER_CALL_OPEN_DEVICE:
        return answer(call, pOpenDevice("USB", "0400C35A", ""), 0, nullptr, 0);
    case READER_CALL_CLOSE_DEVICE:
        return answer(call, pCloseDevice(), 0, nullptr, 0);
    case READER_CALL_ID_READ_CARD: {
        // Zeroed before every call: the record ends where the library stopped writing.
        std::memset(record, 0, COMMONINTERFACE_RECORD_SIZE);
        const long result = pIdReadCard(0, 1, record, 0);
        const int32_t overrun = takeOverrun();
        const size_t length = result == 0 ? ::strnlen(record, COMMONINTERFACE_RECORD_SIZE) : 0;
        return answer(call, result, overrun, record, length);
    }
    default:
        return false; // not the service speaking
    }
}

// ---- The worker.

// The namespace's first process ignores a signal it sends itself (raise,
// abort), so a library's crash would not end it. Its crash signals are caught
// there instead: the signal is noted here and the worker exits, and the
// supervisor then ends with that signal.
volatile sig_atomic_t *selfSignal = nullptr;

void crashedInNamespace(int signal)
{
    *selfSignal = signal;
    ::_exit(128 + signal);
}

int work(const char *library, sandbox::Containment containment)
{
    // Goes when the supervisor goes, however it ends.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    // A process group of its own: kill(0) in the library reaches its own tree.
    ::setpgid(0, 0);
    if (containment == sandbox::Containment::Namespace && ::getpid() == 1 && selfSignal) {
        sandbox::settleInNamespace();
        struct sigaction onCrash = {};
        onCrash.sa_handler = crashedInNamespace;
        for (const int signal : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP, SIGSYS})
            ::sigaction(signal, &onCrash, nullptr);
    }
    if (!prepareRecord())
        return 3;
    if (!LoadTerminalProtocolDll(library))
        return 0;
    char calls[256];
    for (;;) {
        const ssize_t got = ::read(kCalls, calls, sizeof calls);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return 0; // the service is gone
        for (ssize_t i = 0; i < got; ++i) {
            if (!carryOut(calls[i]))
                return 0;
        }
    }
}

// ---- The supervisor.

const int kReports = READER_REPORTS_FD;

void report(const std::string &lines)
{
    if (!lines.empty() && ::write(kReports, lines.data(), lines.size()) < 0) {
        // The service is gone; the host follows it.
    }
}

// Ends every process left of the library's (a subreaper adopts them as their
// parents end) and reaps them.
void endOrphans()
{
    for (int round = 0; round < 1000; ++round) {
        char path[64];
        std::snprintf(path, sizeof path, "/proc/self/task/%d/children", int(::getpid()));
        const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
        char list[4096];
        const ssize_t got = fd >= 0 ? ::read(fd, list, sizeof list - 1) : -1;
        if (fd >= 0)
            ::close(fd);
        if (got <= 0)
            return;
        list[got] = 0;
        for (char *at = list; *at;) {
            char *end = nullptr;
            const long child = std::strtol(at, &end, 10);
            if (end == at)
                break;
            ::kill(pid_t(-child), SIGKILL);
            ::kill(pid_t(child), SIGKILL);
            at = end;
        }
        while (::waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        ::usleep(1000);
    }
}

// Ends the supervisor as the worker ended, so that the service names it.
[[noreturn]] void endAs(int status)
{
    int signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    if (!signal && selfSignal && *selfSignal)
        signal = *selfSignal;
    if (signal) {
        // Only that signal: a SIGTERM from the service that came meanwhile
        // must not end the supervisor in its place.
        std::signal(SIGTERM, SIG_IGN);
        std::signal(signal, SIG_DFL);
        sigset_t just;
        sigemptyset(&just);
        sigaddset(&just, signal);
        ::sigprocmask(SIG_UNBLOCK, &just, nullptr);
        ::kill(::getpid(), signal);
    }
    ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
}

int supervise(pid_t worker, int listener, sandbox::Containment containment)
{
    sigset_t watched;
    sigemptyset(&watched);
    sigaddset(&watched, SIGCHLD);
    sigaddset(&watched, SIGTERM);
    const int signals = ::signalfd(-1, &watched, SFD_CLOEXEC | SFD_NONBLOCK);
    pollfd waits[2] = {{signals, POLLIN, 0}, {listener, POLLIN, 0}};
    for (;;) {
        if (::poll(waits, listener >= 0 ? 2 : 1, -1) < 0) {
            if (errno == EINTR)
                continue;
            ::kill(worker, SIGKILL);
        }
        if (listener >= 0 && (waits[1].revents & POLLIN))
            report(sandbox::refuse(listener));
        if (!(waits[0].revents & POLLIN))
            continue;
        signalfd_siginfo info;
        while (::read(signals, &info, sizeof info) == ssize_t(sizeof info)) {
            // The service ends the host: the worker goes at once.
            if (info.ssi_signo == SIGTERM)
                ::kill(worker, SIGKILL);
        }
        int status = 0;
        pid_t ended;
        while ((ended = ::waitpid(-1, &status, WNOHANG)) > 0) {
            if (ended != worker)
                continue; // an orphan the subreaper adopted
            if (containment == sandbox::Containment::Subreaper)
                endOrphans();
            endAs(status);
        }
    }
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 5) {
        std::fputs("krvreaderhost: started by the card-reader service only\n", stderr);
        return 2;
    }
    // Goes when the service goes, however it ends.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    const pid_t service = pid_t(std::strtol(argv[2], nullptr, 10));
    if (::getppid() != service)
        return 0;
    const bool sandboxed = std::strcmp(argv[3], "off") != 0;
    const size_t memoryBytes = size_t(std::strtoull(argv[4], nullptr, 10)) << 20;
    // A crash in the library ends the host with its signal, which the service
    // names in its log (a sanitizer build's handlers would hide it).
    for (const int signal : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT})
        std::signal(signal, SIG_DFL);
    // Before anything of the library runs, its constructors included. The
    // namespace first: a process that may not be dumped cannot write its own
    // user map (its /proc files are root's).
    std::string why;
    const sandbox::Containment containment =
        sandboxed ? sandbox::contain(why) : sandbox::Containment::Subreaper;
    if (!sandboxed)
        ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    report(sandbox::limitProcess(memoryBytes));
    // The worker sets up its filter and hands the listener over here.
    int handover[2] = {-1, -1};
    if (sandboxed && ::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, handover) != 0)
        return 4;
    void *shared = ::mmap(nullptr, sizeof(sig_atomic_t), PROT_READ | PROT_WRITE,
                          MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared != MAP_FAILED)
        selfSignal = static_cast<volatile sig_atomic_t *>(shared);

    sigset_t watched, previous;
    sigemptyset(&watched);
    sigaddset(&watched, SIGCHLD);
    sigaddset(&watched, SIGTERM);
    ::sigprocmask(SIG_BLOCK, &watched, &previous);
    const pid_t worker = ::fork();
    if (worker < 0)
        return 4;
    if (worker == 0) {
        ::sigprocmask(SIG_SETMASK, &previous, nullptr);
        ::close(kReports);
        if (sandboxed) {
            ::close(handover[0]);
            sandbox::Filter filter = sandbox::install(containment, ::getppid(), service);
            sandbox::handOver(handover[1], filter);
            ::close(handover[1]);
        }
        return work(argv[1], containment);
    }
    // The channel is the worker's alone: its end closes it for the service.
    ::close(kCalls);
    ::close(kAnswers);
    sandbox::Filter filter;
    if (sandboxed) {
        ::close(handover[1]);
        filter = sandbox::takeOver(handover[0]);
        ::close(handover[0]);
        if (!filter.installed)
            report("The reader library runs without its sandbox: " + filter.why + "\n");
        else if (containment == sandbox::Containment::Subreaper)
            report("The reader library's processes are kept to its host without a namespace: " +
                   why + "\n");
        else if (!why.empty())
            report("The reader library's namespace is not as it should be: " + why + "\n");
    }
    return supervise(worker, filter.listener, containment);
}
