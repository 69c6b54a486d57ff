#include "librarycall.h"

#include "commoninterface.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <thread>

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

// ---- A log line written without allocating, from a signal handler or from
// the watch thread while the main thread may be anywhere.

char logPath[4096];
long zoneOffset = 0; // seconds east of UTC, taken when the path is set

// Appends text to buf at *at, never past size.
void put(char *buf, size_t size, size_t *at, const char *text)
{
    while (*text && *at + 1 < size)
        buf[(*at)++] = *text++;
}

void putNumber(char *buf, size_t size, size_t *at, long value, int width)
{
    char digits[24];
    int count = 0;
    unsigned long rest = value < 0 ? 0ul - static_cast<unsigned long>(value) : value;
    do {
        digits[count++] = char('0' + rest % 10);
        rest /= 10;
    } while (rest && count < 23);
    while (count < width && count < 23)
        digits[count++] = '0';
    if (value < 0 && *at + 1 < size)
        buf[(*at)++] = '-';
    while (count > 0 && *at + 1 < size)
        buf[(*at)++] = digits[--count];
}

// "[ yyyy-MM-dd hh:mm:ss:zzz] text" and CR LF, appended to the log file only
// when it exists, like every other line of the log.
void writeLogLine(const char *const *parts)
{
    if (!logPath[0])
        return;
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    const long long local = now.tv_sec + zoneOffset;
    long long days = local / 86400;
    long seconds = long(local % 86400);
    if (seconds < 0) {
        seconds += 86400;
        --days;
    }
    // Civil date from a day count (days since 1970-01-01).
    days += 719468;
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const long dayOfEra = long(days - era * 146097);
    const long yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const long monthIndex = (5 * dayOfYear + 2) / 153;
    const long day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
    const long month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
    const long year = long(yearOfEra + era * 400 + (month <= 2));

    char line[1024];
    size_t at = 0;
    put(line, sizeof line, &at, "[ ");
    putNumber(line, sizeof line, &at, year, 4);
    put(line, sizeof line, &at, "-");
    putNumber(line, sizeof line, &at, month, 2);
    put(line, sizeof line, &at, "-");
    putNumber(line, sizeof line, &at, day, 2);
    put(line, sizeof line, &at, " ");
    putNumber(line, sizeof line, &at, seconds / 3600, 2);
    put(line, sizeof line, &at, ":");
    putNumber(line, sizeof line, &at, seconds / 60 % 60, 2);
    put(line, sizeof line, &at, ":");
    putNumber(line, sizeof line, &at, seconds % 60, 2);
    put(line, sizeof line, &at, ":");
    putNumber(line, sizeof line, &at, now.tv_nsec / 1000000, 3);
    put(line, sizeof line, &at, "] ");
    for (; *parts; ++parts)
        put(line, sizeof line - 2, &at, *parts);
    line[at++] = '\r';
    line[at++] = '\n';
    const int file = ::open(logPath, O_WRONLY | O_APPEND | O_NONBLOCK | O_CLOEXEC);
    if (file < 0)
        return;
    [[maybe_unused]] const ssize_t written = ::write(file, line, at);
    ::close(file);
}

// ---- The call in progress, read by the crash handler and the watch thread.

std::atomic<const char *> currentCall{nullptr};

// For the watch thread, beside the name above: a count that is
// odd while a call runs and grows by one at every start and end, so that the
// watch tells one call from the next without taking a lock. The watch looks a
// few times a second, instead of being woken at every call: waking another
// thread twice per call cost a sixth of the read rate.
std::atomic<unsigned long> callCount{0};
std::atomic<long long> callStartedMs{0};
int deadlineMs = 0;

long long nowMs()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

// Ends the process when one call outlasts the deadline.
void watchCalls()
{
    const int interval = std::max(10, std::min(250, deadlineMs / 10));
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(interval));
        const unsigned long count = callCount.load();
        if (count % 2 == 0 || nowMs() - callStartedMs.load() < deadlineMs)
            continue;
        // Still the same call, past its deadline.
        const char *call = currentCall.load();
        if (callCount.load() != count || !call)
            continue;
        char seconds[24];
        size_t at = 0;
        putNumber(seconds, sizeof seconds, &at, deadlineMs / 1000, 1);
        if (deadlineMs % 1000) {
            put(seconds, sizeof seconds, &at, ".");
            putNumber(seconds, sizeof seconds, &at, deadlineMs % 1000, 3);
        }
        seconds[at] = '\0';
        const char *parts[] = {call, " did not return within ", seconds,
                               " s: ending the process, to be started again", nullptr};
        writeLogLine(parts);
        ::_exit(LibraryCall::ExitLibraryHung);
    }
}

const char *signalName(int signal)
{
    switch (signal) {
    case SIGSEGV:
        return "SIGSEGV";
    case SIGBUS:
        return "SIGBUS";
    case SIGILL:
        return "SIGILL";
    case SIGFPE:
        return "SIGFPE";
    case SIGABRT:
        return "SIGABRT";
    default:
        return "a fatal signal";
    }
}

const int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};

// Leaves the line, then lets the signal end the process as it would have.
void onCrash(int signal)
{
    const char *call = currentCall.load();
    const char *parts[] = {"Crashed with ", signalName(signal), call ? " in " : nullptr, call,
                           nullptr};
    writeLogLine(parts);
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

// A library that calls exit() ends the process from inside the call.
void onExit()
{
    if (const char *call = currentCall.load()) {
        const char *parts[] = {"The reader library ended the process in ", call, nullptr};
        writeLogLine(parts);
    }
}

// ---- The library's standard output and error.

// Lines forwarded to the log at most per interval; the rest are counted.
constexpr int kOutputLinesPerInterval = 50;
constexpr auto kOutputInterval = std::chrono::seconds(10);
constexpr int kOutputLineLength = 500;

void forward(const QString &text)
{
    QCoreApplication *app = QCoreApplication::instance();
    if (!app)
        return;
    QMetaObject::invokeMethod(
        app, [text] { qDebug().noquote() << "Reader library output:" << text; },
        Qt::QueuedConnection);
}

// Reads what the library writes, so that it never blocks on a full pipe, and
// passes a bounded share of it to the log.
void drainOutput(int pipe)
{
    QByteArray pending;
    char chunk[65536];
    int lines = 0;
    long dropped = 0;
    auto intervalStart = std::chrono::steady_clock::now();
    for (;;) {
        const ssize_t got = ::read(pipe, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return;
        pending.append(chunk, int(got));
        int end;
        while ((end = pending.indexOf('\n')) >= 0 || pending.size() > kOutputLineLength) {
            const int take = end >= 0 ? end : kOutputLineLength;
            const QByteArray line = pending.left(qMin(take, kOutputLineLength));
            pending.remove(0, end >= 0 ? end + 1 : take);
            const auto now = std::chrono::steady_clock::now();
            if (now - intervalStart >= kOutputInterval) {
                if (dropped > 0)
                    forward(QStringLiteral("(%1 more lines left out)").arg(dropped));
                intervalStart = now;
                lines = 0;
                dropped = 0;
            }
            if (lines < kOutputLinesPerInterval) {
                ++lines;
                forward(QString::fromLocal8Bit(line));
            } else {
                ++dropped;
            }
        }
    }
}

// ---- The record buffer.

constexpr size_t kSlack = 16 * 1024;
constexpr unsigned char kSlackFill = 0xA5;
char *buffer = nullptr;

} // namespace

void LibraryCall::prepare(int deadline)
{
    deadlineMs = deadline;
    std::thread(watchCalls).detach();

    // Handled on a stack of their own, so that a library that ran the stack
    // out still leaves its line.
    static char alternateStack[64 * 1024];
    stack_t stack = {};
    stack.ss_sp = alternateStack;
    stack.ss_size = sizeof alternateStack;
    ::sigaltstack(&stack, nullptr);
    struct sigaction action = {};
    action.sa_handler = onCrash;
    action.sa_flags = SA_ONSTACK | SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    for (const int signal : kCrashSignals)
        ::sigaction(signal, &action, nullptr);
    std::atexit(onExit);

    int output[2];
    if (::pipe2(output, O_CLOEXEC) == 0) {
        ::dup2(output[1], STDOUT_FILENO);
        ::dup2(output[1], STDERR_FILENO);
        ::close(output[1]);
        std::thread(drainOutput, output[0]).detach();
    }
}

void LibraryCall::setLogFile(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    if (size_t(name.size()) >= sizeof logPath)
        return;
    std::memcpy(logPath, name.constData(), size_t(name.size()) + 1);
    const time_t now = std::time(nullptr);
    tm local;
    localtime_r(&now, &local);
    zoneOffset = local.tm_gmtoff;
}

LibraryCall::LibraryCall(const char *name)
{
    currentCall.store(name);
    if (deadlineMs <= 0)
        return;
    callStartedMs.store(nowMs());
    callCount.fetch_add(1);
}

LibraryCall::~LibraryCall()
{
    currentCall.store(nullptr);
    if (deadlineMs > 0)
        callCount.fetch_add(1);
}

char *LibraryCall::recordBuffer()
{
    size_t page = size_t(::sysconf(_SC_PAGESIZE));
    size_t used = (COMMONINTERFACE_RECORD_SIZE + kSlack + page - 1) / page * page;
    if (!buffer) {
        void *area = ::mmap(nullptr, used + page, PROT_READ | PROT_WRITE,
                            MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (area == MAP_FAILED) {
            static char fallback[COMMONINTERFACE_RECORD_SIZE + kSlack];
            area = fallback;
            used = sizeof fallback;
            page = 0;
        } else {
            ::mprotect(static_cast<char *>(area) + used, page, PROT_NONE);
        }
        // The record ends where the slack begins; the guard page follows it.
        buffer = static_cast<char *>(area) + used - COMMONINTERFACE_RECORD_SIZE - kSlack;
        std::memset(buffer + COMMONINTERFACE_RECORD_SIZE, kSlackFill, kSlack);
    }
    std::memset(buffer, 0, COMMONINTERFACE_RECORD_SIZE);
    return buffer;
}

void LibraryCall::checkRecordBuffer()
{
    if (!buffer)
        return;
    const unsigned char *slack =
        reinterpret_cast<const unsigned char *>(buffer) + COMMONINTERFACE_RECORD_SIZE;
    // Untouched: every byte equals the next (one pass, well under a microsecond).
    if (slack[0] == kSlackFill && std::memcmp(slack, slack + 1, kSlack - 1) == 0)
        return;
    size_t last = kSlack;
    while (last > 0 && slack[last - 1] == kSlackFill)
        --last;
    if (last == 0)
        return;
    qDebug().noquote() << QStringLiteral("IdReadCard wrote past the %1-byte record: %2 bytes "
                                         "more; the record is read from the first %1")
                              .arg(COMMONINTERFACE_RECORD_SIZE)
                              .arg(last);
    std::memset(buffer + COMMONINTERFACE_RECORD_SIZE, kSlackFill, last);
}
