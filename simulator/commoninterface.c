/*
 * Reader simulator: a stand-in for the reader maker's libCommonInterface.so
 * that behaves like a reader on a desk.
 *
 * - OpenDevice("USB", <device>, ...) opens the device; CloseDevice closes it.
 * - A card lies on the reader while a card file lies beside this library:
 *     card.txt  the record as UTF-8 text, converted to GB18030 when read
 *               (a trailing line break is dropped);
 *     card.gb   raw bytes handed over unchanged, up to the whole buffer and
 *               without a terminating NUL if the file is that long (a faulty
 *               reader, for tests).
 *   Every IdReadCard sees the card files as they are when it begins, so a
 *   card can be placed, changed or taken away while the service runs.
 *
 * Fault injection, read from the environment at every call:
 *   KRSIM_OPEN_RESULT     result of OpenDevice (negative: the device stays closed)
 *   KRSIM_CLOSE_RESULT    result of CloseDevice
 *   KRSIM_READ_RESULT     result of IdReadCard when non-zero (nothing is written)
 *   KRSIM_READ_DELAY_MS   milliseconds IdReadCard takes before it answers
 *   KRSIM_READ_FAIL_EVERY every Nth IdReadCard fails with code 5
 *   KRSIM_CALL_LOG        file to which every call is appended with its arguments
 *
 * Faults of a vendor library, from a file fault.txt beside this library,
 * looked at when the library is loaded ("load-segv") and at every IdReadCard
 * (the others). A fault fires once and removes the file, unless the file's
 * second word is "always":
 *   segv, abort, exit   crash, abort, or exit(3) inside the call
 *   hang                never return
 *   overrun N           read the card, then write N bytes past the record
 *   noisy               write 4 MiB to standard output and error, then read
 *   fork-segv           fork a helper that stays for 10 minutes with all that
 *                       it inherited, then crash
 *   daemon              start a helper as a daemon does (fork, setsid, fork
 *                       again) that stays for a minute, then read
 *   connect PORT        send "CARD" over TCP to 127.0.0.1 and ::1 and over
 *                       UDP to 127.0.0.1 at PORT, run /bin/sh to create "ran"
 *                       beside the library, then read
 *   nosy PORT           connect PORT, then signal its parent, the parent's
 *                       parent (SIGTERM), start a daemon, leak
 *                       50 MiB, then read
 *   leak N              keep N MiB it never gives back (abort when it gets
 *                       none, as a library would crash), then read
 *   control             print a line full of control characters, then read
 * Helpers are named "krsim-helper", so that a test can look for them.
 *   closefds            close descriptors 0, 1 and 2, print a line, then read
 *   unplug              the device closes, as when the reader is unplugged
 *                       and plugged in again: the read fails with code 2
 */
#define _GNU_SOURCE

#include "commoninterface.h"

#include <dlfcn.h>
#include <errno.h>
#include <iconv.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

/* Failure codes of IdReadCard. */
enum {
    KRSIM_NO_CARD = 1,          /* no card file beside the library */
    KRSIM_NOT_OPEN = 2,         /* OpenDevice has not opened the device */
    KRSIM_BAD_CARD = 3,         /* card file unreadable or not convertible to GB18030 */
    KRSIM_RECORD_TOO_LONG = 4,  /* the record and its NUL do not fit the buffer */
    KRSIM_INJECTED_FAILURE = 5, /* every Nth read, KRSIM_READ_FAIL_EVERY */
};

/* Failure code of OpenDevice. */
enum { KRSIM_NO_SUCH_PORT = -1 };

static int device_open;
static long read_count;

static void call_log(const char *format, ...)
{
    const char *path = getenv("KRSIM_CALL_LOG");
    if (!path || !*path)
        return;
    FILE *file = fopen(path, "a");
    if (!file)
        return;
    va_list args;
    va_start(args, format);
    vfprintf(file, format, args);
    va_end(args);
    fputc('\n', file);
    fclose(file);
}

/* Reads an integer override from the environment; returns 0 when unset. */
static int env_long(const char *name, long *value)
{
    const char *text = getenv(name);
    if (!text || !*text)
        return 0;
    char *end = NULL;
    errno = 0;
    long parsed = strtol(text, &end, 10);
    if (errno != 0 || *end != '\0')
        return 0;
    *value = parsed;
    return 1;
}

/* Path of a file beside this library. */
static int beside_library(const char *name, char *path, size_t size)
{
    Dl_info info;
    if (!dladdr((void *)&IdReadCard, &info) || !info.dli_fname)
        return 0;
    const char *slash = strrchr(info.dli_fname, '/');
    int folder = slash ? (int)(slash - info.dli_fname + 1) : 0;
    int written = snprintf(path, size, "%.*s%s", folder, info.dli_fname, name);
    return written > 0 && (size_t)written < size;
}

/* Reads up to size bytes of a file into data; their count, or -1 with errno set. */
static long read_file(const char *path, char *data, size_t size)
{
    FILE *file = fopen(path, "rb");
    if (!file)
        return -1;
    size_t length = fread(data, 1, size, file);
    int failed = ferror(file);
    fclose(file);
    return failed ? -1 : (long)length;
}

/* Converts UTF-8 text to GB18030 into out (size bytes, NUL-terminated); 0 or a failure code. */
static long to_gb18030(char *text, size_t length, char *out, size_t size)
{
    iconv_t converter = iconv_open("GB18030", "UTF-8");
    if (converter == (iconv_t)-1)
        return KRSIM_BAD_CARD;
    char *in = text, *dest = out;
    size_t in_left = length, out_left = size - 1; /* room for the NUL */
    size_t status = iconv(converter, &in, &in_left, &dest, &out_left);
    int error = errno;
    iconv_close(converter);
    if (status == (size_t)-1)
        return error == E2BIG ? KRSIM_RECORD_TOO_LONG : KRSIM_BAD_CARD;
    *dest = '\0';
    return 0;
}

/* Looks the card files up and puts the card into record, a zeroed buffer;
 * 0 or a failure code. *written is how many bytes of record were written. */
static long look_up_card(char *record, size_t *written)
{
    /* Four times what a record holds: a longer text never fits the record. */
    static char text[4 * COMMONINTERFACE_RECORD_SIZE];
    char path[4096];
    long length;

    *written = 0;
    if (beside_library("card.gb", path, sizeof path) &&
        (length = read_file(path, record, COMMONINTERFACE_RECORD_SIZE)) >= 0) {
        *written = (size_t)length;
        return 0;
    }
    if (!beside_library("card.txt", path, sizeof path))
        return KRSIM_NO_CARD;
    length = read_file(path, text, sizeof text);
    if (length < 0)
        return errno == ENOENT ? KRSIM_NO_CARD : KRSIM_BAD_CARD;
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r'))
        --length;
    long result = to_gb18030(text, (size_t)length, record, COMMONINTERFACE_RECORD_SIZE);
    if (result != 0) {
        /* A failed conversion leaves the whole buffer zeroed. */
        memset(record, 0, COMMONINTERFACE_RECORD_SIZE);
        *written = COMMONINTERFACE_RECORD_SIZE;
        return result;
    }
    *written = strlen(record) + 1;
    return 0;
}

/*
 * The card on the reader, kept between reads while the card files are
 * unchanged: two path look-ups and an iconv conversion at every read would
 * make the simulator, not the service, what a benchmark measures. The
 * library's folder is watched with inotify for names coming and going, and
 * each card file for changes made through any of its names; the kernel
 * queues an event before the system call that makes the change returns, so
 * every read still sees the card as it lies when the read begins. Writes to
 * other files in the folder (the service's log) raise no event. A card file
 * that is a symbolic link is never kept, and without inotify every read looks
 * the files up. Looking up and converting the card at every read measured
 * 0.23 of the floor for 8 KB reads with 10 connections, against 0.53 with the
 * watch (2026-12-08): the benchmark would measure the simulator. The same
 * watch tells when fault.txt may have come, so a read with no fault pending
 * looks up no path at all.
 */
static struct
{
    int watch;   /* inotify descriptor; -1 before the first read, -2 none */
    int folder;  /* the folder's watch */
    int valid;   /* the card below is what a look-up would give */
    long result; /* look_up_card's result */
    size_t written;
    char record[COMMONINTERFACE_RECORD_SIZE];
    int fault_gone; /* fault.txt was not there, and no event has named it since */
} reader = {-1, -1, 0, 0, 0, {0}, 0};

static void stop_watching(void)
{
    if (reader.watch >= 0)
        close(reader.watch);
    reader.watch = -2;
    reader.valid = 0;
}

static int is_card_file(const struct inotify_event *event)
{
    return event->len > 0 && (!strcmp(event->name, "card.gb") || !strcmp(event->name, "card.txt"));
}

/* Takes every queued event; any about a card file drops the kept card. */
static void take_events(void)
{
    if (reader.watch == -1) {
        char folder[4096];
        reader.watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (reader.watch < 0 || !beside_library(".", folder, sizeof folder) ||
            (reader.folder = inotify_add_watch(reader.watch, folder,
                                               IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                                   IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR)) <
                0) {
            stop_watching();
            return;
        }
        /* Looked up once the watch is in place: a change after that is an event. */
        reader.fault_gone = 0;
    }
    char buffer[4096] __attribute__((aligned(__alignof__(struct inotify_event))));
    ssize_t got;
    while (reader.watch >= 0 && (got = read(reader.watch, buffer, sizeof buffer)) != 0) {
        if (got < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN)
                stop_watching();
            return;
        }
        for (char *at = buffer; at < buffer + got;) {
            const struct inotify_event *event = (const struct inotify_event *)at;
            if (event->len > 0 && !strcmp(event->name, "fault.txt"))
                reader.fault_gone = 0;
            if (event->mask & IN_Q_OVERFLOW ||
                (event->wd == reader.folder &&
                 event->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)))
                stop_watching();
            else if (event->wd != reader.folder || is_card_file(event))
                reader.valid = 0;
            at += sizeof *event + event->len;
        }
    }
}

/* Watches the card file name, if there is one, for changes made through any
 * of its names. 0 when a change to it could go unseen. */
static int watch_card_file(const char *name)
{
    char path[4096];
    struct stat file;
    if (!beside_library(name, path, sizeof path))
        return 0;
    if (lstat(path, &file) != 0)
        return errno == ENOENT;
    return S_ISREG(file.st_mode) &&
           inotify_add_watch(reader.watch, path,
                             IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB | IN_DELETE_SELF |
                                 IN_MOVE_SELF | IN_DONT_FOLLOW) >= 0;
}

/* Puts the card lying on the reader into record; 0 or a failure code. */
static long place_card(char *record)
{
    if (!reader.valid) {
        memset(reader.record, 0, sizeof reader.record);
        /* Watched before the look-up, so that a change during it is seen next time. */
        const int watched =
            reader.watch >= 0 && watch_card_file("card.gb") && watch_card_file("card.txt");
        reader.result = look_up_card(reader.record, &reader.written);
        /* A file that could not be read is looked up again at the next read. */
        reader.valid = watched && reader.result != KRSIM_BAD_CARD;
    }
    memcpy(record, reader.record, reader.written);
    return reader.result;
}

/* The fault named in fault.txt, or "" for none, and the number after it (0
 * when none); removes the file unless its second word is "always". */
static const char *take_fault(char *word, long *number)
{
    char path[4096], text[128], second[16] = "";
    const int placed = beside_library("fault.txt", path, sizeof path);
    long length = placed ? read_file(path, text, sizeof text - 1) : -1;
    reader.fault_gone = placed && length < 0 && errno == ENOENT;
    word[0] = '\0';
    *number = 0;
    if (length <= 0)
        return word;
    text[length] = '\0';
    if (sscanf(text, "%31s %15s", word, second) < 1)
        word[0] = '\0';
    *number = strtol(second, NULL, 10);
    if (strcmp(second, "always") != 0)
        unlink(path);
    return word;
}

/* A library whose start-up code crashes. */
__attribute__((constructor)) static void on_load(void)
{
    char fault[32];
    long number;
    if (strcmp(take_fault(fault, &number), "load-segv") == 0)
        raise(SIGSEGV);
}

/* A helper of the library's that stays for so many seconds. */
static void stay_as_helper(unsigned seconds)
{
    prctl(PR_SET_NAME, "krsim-helper");
    sleep(seconds);
    _exit(0);
}

/* Sends "CARD" to PORT on 127.0.0.1 and ::1 over TCP, and over UDP, as a
 * library sending the card elsewhere would; each try may fail. */
static void send_card_away(long port)
{
    struct sockaddr_in four = {.sin_family = AF_INET, .sin_port = htons((uint16_t)port)};
    struct sockaddr_in6 six = {.sin6_family = AF_INET6, .sin6_port = htons((uint16_t)port)};
    four.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    six.sin6_addr = in6addr_loopback;
    const struct {
        int family, type;
        const struct sockaddr *to;
        socklen_t size;
    } tries[] = {{AF_INET, SOCK_STREAM, (const struct sockaddr *)&four, sizeof four},
                 {AF_INET6, SOCK_STREAM, (const struct sockaddr *)&six, sizeof six},
                 {AF_INET, SOCK_DGRAM, (const struct sockaddr *)&four, sizeof four}};
    for (size_t i = 0; i < sizeof tries / sizeof tries[0]; ++i) {
        const int fd = socket(tries[i].family, tries[i].type | SOCK_CLOEXEC, 0);
        if (fd < 0)
            continue;
        if (connect(fd, tries[i].to, tries[i].size) == 0 && write(fd, "CARD", 4) < 0) {
            /* nothing to do: the library goes on as if it had sent it */
        }
        close(fd);
    }
    char ran[4096];
    if (beside_library("ran", ran, sizeof ran)) {
        const pid_t child = fork();
        if (child == 0) {
            char command[4200];
            snprintf(command, sizeof command, "touch '%s'", ran);
            execl("/bin/sh", "sh", "-c", command, (char *)NULL);
            _exit(127);
        }
        if (child > 0)
            waitpid(child, NULL, 0);
    }
}

/* Starts a helper as a daemon would: adopted by whoever reaps orphans. */
static void daemonise(void)
{
    const pid_t first = fork();
    if (first == 0) {
        setsid();
        if (fork() == 0)
            stay_as_helper(60);
        _exit(0);
    }
    if (first > 0)
        waitpid(first, NULL, 0);
}

/* Keeps mib MiB, touched, never given back (the last is kept where the
 * compiler cannot see that no one reads it). */
static char *volatile leaked;
static void leak(long mib)
{
    char *kept = malloc((size_t)mib << 20);
    if (!kept)
        abort();
    memset(kept, 0x4b, (size_t)mib << 20);
    leaked = kept;
}

/* The parent's parent, from /proc; 0 when it cannot be read. */
static pid_t grandparent(void)
{
    char path[64], stat[512];
    snprintf(path, sizeof path, "/proc/%d/stat", (int)getppid());
    const long length = read_file(path, stat, sizeof stat - 1);
    if (length <= 0)
        return 0;
    stat[length] = '\0';
    const char *after = strrchr(stat, ')');
    int parent = 0;
    return after && sscanf(after, ") %*c %d", &parent) == 1 ? (pid_t)parent : 0;
}

/* Carries out a fault of IdReadCard that strikes before the read; returns
 * how many bytes to write past the record after it. */
static long misbehave(void)
{
    char fault[32];
    long number;
    /* The folder's watch tells when fault.txt may have come: no look-up until then. */
    if (reader.watch >= 0 && reader.fault_gone)
        return 0;
    take_fault(fault, &number);
    if (!strcmp(fault, "segv"))
        raise(SIGSEGV);
    if (!strcmp(fault, "abort"))
        abort();
    if (!strcmp(fault, "exit"))
        exit(3);
    if (!strcmp(fault, "hang"))
        for (;;)
            pause();
    if (!strcmp(fault, "fork-segv")) {
        if (fork() == 0)
            stay_as_helper(600);
        raise(SIGSEGV);
    }
    if (!strcmp(fault, "daemon"))
        daemonise();
    if (!strcmp(fault, "connect") || !strcmp(fault, "nosy"))
        send_card_away(number);
    if (!strcmp(fault, "nosy")) {
        const pid_t above = grandparent();
        kill(getppid(), SIGTERM);
        if (above > 1)
            kill(above, SIGTERM);
        daemonise();
        leak(50);
    }
    if (!strcmp(fault, "leak"))
        leak(number);
    if (!strcmp(fault, "control")) {
        static const char forged[] = "\x1b[2J\a\r[ 2026-01-01 00:00:00:000] forged\0line\n";
        fwrite(forged, 1, sizeof forged - 1, stdout);
        fflush(stdout);
    }
    if (!strcmp(fault, "closefds")) {
        close(0);
        close(1);
        close(2);
        printf("the reader library closed its standard descriptors\n");
        fflush(stdout);
    }
    if (!strcmp(fault, "noisy")) {
        static char noise[65536];
        memset(noise, 'n', sizeof noise);
        noise[sizeof noise - 1] = '\n';
        for (int i = 0; i < 64; ++i) {
            fwrite(noise, 1, sizeof noise, stdout);
            fflush(stdout);
            if (write(STDERR_FILENO, noise, sizeof noise) < 0)
                break;
        }
    }
    if (!strcmp(fault, "unplug"))
        device_open = 0;
    return !strcmp(fault, "overrun") ? number : 0;
}

long OpenDevice(const char *port, const char *device, const char *options)
{
    long result = 0;
    if (!env_long("KRSIM_OPEN_RESULT", &result))
        result = (port && strcmp(port, "USB") == 0 && device) ? 0 : KRSIM_NO_SUCH_PORT;
    if (result >= 0)
        device_open = 1;
    call_log("OpenDevice(\"%s\", \"%s\", \"%s\") -> %ld", port ? port : "(null)",
             device ? device : "(null)", options ? options : "(null)", result);
    return result;
}

long CloseDevice(void)
{
    long result = 0;
    env_long("KRSIM_CLOSE_RESULT", &result);
    device_open = 0;
    call_log("CloseDevice() -> %ld", result);
    return result;
}

long SamGetId(unsigned char *id, long size)
{
    static const unsigned char sam[] = {0x05, 0x01, 0x20, 0x26, 0x12, 0x07, 0x00, 0x01};
    if (!id || size < (long)sizeof sam)
        return -1;
    memcpy(id, sam, sizeof sam);
    call_log("SamGetId(%ld) -> 0", size);
    return 0;
}

long SamGetIdStr(char *text, long size)
{
    static const char sam[] = "05.01-20261207-0000000001";
    if (!text || size < (long)sizeof sam)
        return -1;
    memcpy(text, sam, sizeof sam);
    call_log("SamGetIdStr(%ld) -> 0", size);
    return 0;
}

long IdReadCard(long slot, long mode, char *record, long flags)
{
    long delay = 0;
    if (env_long("KRSIM_READ_DELAY_MS", &delay) && delay > 0) {
        struct timespec left = {delay / 1000, (delay % 1000) * 1000000L};
        while (nanosleep(&left, &left) == -1 && errno == EINTR)
            ;
    }

    /* The service promises a zero-filled buffer of the full record size. */
    static const char zeros[COMMONINTERFACE_RECORD_SIZE];
    int zeroed = record != NULL && memcmp(record, zeros, sizeof zeros) == 0;

    /* Changes to the files beside the library, up to now. */
    take_events();
    const long overrun = misbehave();
    long result = 0;
    long every = 0;
    env_long("KRSIM_READ_RESULT", &result);
    ++read_count;
    if (result == 0 && env_long("KRSIM_READ_FAIL_EVERY", &every) && every > 0 &&
        read_count % every == 0)
        result = KRSIM_INJECTED_FAILURE;
    /* An injected failure writes nothing. */
    if (result == 0)
        result = !record ? KRSIM_BAD_CARD : !device_open ? KRSIM_NOT_OPEN : place_card(record);

    if (record && overrun > 0)
        memset(record + COMMONINTERFACE_RECORD_SIZE, 'X', (size_t)overrun);

    call_log("IdReadCard(%ld, %ld, %s, %ld) -> %ld", slot, mode,
             zeroed ? "<10240 zero bytes>" : "<buffer not zeroed>", flags, result);
    return result;
}
