// The reader host: the only process that runs the reader maker's code. The
// service starts it with the library's path and its own pid, a pipe on
// descriptor 3 that carries calls in and one on 4 for the answers out
// (readerchannel.h). The host calls one entry point at a time, in the order
// asked. Whatever the library does here (crash, exit, hang, fork a helper,
// close descriptors, scribble on its buffer, print) costs the service at most
// the call in progress: the service sees this process end, answers that call
// with a failure and starts another host.
//
// No Qt here: the host starts in a millisecond and holds next to nothing.
#include "commoninterface.h"
#include "readerchannel.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
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
    static char message[sizeof(ReaderChannelHeader) + READER_CHANNEL_MAX_LENGTH];
    if (length > READER_CHANNEL_MAX_LENGTH)
        length = READER_CHANNEL_MAX_LENGTH; // a reason that long says enough by then
    const ReaderChannelHeader header = {READER_CHANNEL_MAGIC, kind, result, overrun,
                                        uint32_t(length)};
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

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 3) {
        std::fputs("krvreaderhost: started by the card-reader service only\n", stderr);
        return 2;
    }
    // Goes when the service goes, however it ends.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != pid_t(std::strtol(argv[2], nullptr, 10)))
        return 0;
    // A crash in the library ends the host with its signal, which the service
    // names in its log (a sanitizer build's handlers would hide it).
    for (const int signal : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT})
        std::signal(signal, SIG_DFL);
    if (!prepareRecord())
        return 3;

    if (!LoadTerminalProtocolDll(argv[1]))
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
