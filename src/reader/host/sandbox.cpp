#include "sandbox.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include <fcntl.h>
#include <linux/capability.h>
#include <sched.h>
#include <seccomp.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

namespace sandbox {

namespace {

// Writes a short text to a file of /proc; false when it could not.
bool writeProc(const char *file, const char *text)
{
    const int fd = ::open(file, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const ssize_t length = ssize_t(std::strlen(text));
    const bool written = ::write(fd, text, size_t(length)) == length;
    ::close(fd);
    return written;
}

// The host keeps the clerk's user and group inside its user namespace, so the
// reader's device node and the library's folder are open to it as before.
bool mapOwnUser(uid_t uid, gid_t gid)
{
    char map[64];
    std::snprintf(map, sizeof map, "%u %u 1\n", unsigned(uid), unsigned(uid));
    if (!writeProc("/proc/self/uid_map", map))
        return false;
    // A group map needs setgroups refused first (the supplementary groups
    // stay as they were, and still open what they opened).
    writeProc("/proc/self/setgroups", "deny");
    std::snprintf(map, sizeof map, "%u %u 1\n", unsigned(gid), unsigned(gid));
    return writeProc("/proc/self/gid_map", map);
}

struct Refusal
{
    std::string kind; // told once per host
    std::string what;
};

std::string familyName(unsigned long family)
{
    switch (family) {
    case AF_INET:
        return "AF_INET";
    case AF_INET6:
        return "AF_INET6";
    case AF_PACKET:
        return "AF_PACKET";
    }
    return "address family " + std::to_string(family);
}

Refusal describe(const seccomp_data &call)
{
    const int nr = call.nr;
    if (nr == SCMP_SYS(socket))
        return {"socket " + familyName(call.args[0]),
                "open a network connection (" + familyName(call.args[0]) + ")"};
    if (nr == SCMP_SYS(execve) || nr == SCMP_SYS(execveat))
        return {"exec", "run a program"};
    if (nr == SCMP_SYS(ptrace))
        return {"ptrace", "trace a process"};
    if (nr == SCMP_SYS(process_vm_readv) || nr == SCMP_SYS(process_vm_writev))
        return {"memory", "reach into another process's memory"};
    if (nr == SCMP_SYS(io_uring_setup))
        return {"io_uring", "use io_uring"};
    return {"signal",
            "signal a process outside its own (pid " + std::to_string(int32_t(call.args[0])) + ")"};
}

// Kinds already reported by this host.
std::set<std::string> reported;

} // namespace

// The data the process holds already, in bytes (VmData).
size_t dataHeld()
{
    const int fd = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    char status[4096];
    const ssize_t got = ::read(fd, status, sizeof status - 1);
    ::close(fd);
    if (got <= 0)
        return 0;
    status[got] = 0;
    const char *line = std::strstr(status, "\nVmData:");
    return line ? size_t(std::strtoull(line + 8, nullptr, 10)) << 10 : 0;
}

std::string limitProcess(size_t memoryBytes)
{
    std::string problems;
    // (Before the process is made non-dumpable, which gives its /proc files to root.)
    writeProc("/proc/self/oom_score_adj", "1000");
    // The bound counts from what the host holds before the library (next to
    // nothing; an emulator's own buffers are more).
    const size_t dataLimit = memoryBytes > 0 ? memoryBytes + dataHeld() : 0;
    // As the service: KRV_ALLOW_CORE=1 lets an administrator have a core on purpose.
    const char *allowCore = std::getenv("KRV_ALLOW_CORE");
    if (!allowCore || std::strcmp(allowCore, "1") != 0) {
#if !defined(__SANITIZE_ADDRESS__)
        // (LeakSanitizer attaches to the process at its end.)
        ::prctl(PR_SET_DUMPABLE, 0);
#endif
        const rlimit noCore = {0, 0};
        ::setrlimit(RLIMIT_CORE, &noCore);
    }
    // Below the service, so that a library spinning a thread leaves it the
    // processor; not further (+10 halved the reads a host answers beside a
    // busy service on one core).
    ::setpriority(PRIO_PROCESS, 0, ::getpriority(PRIO_PROCESS, 0) + 5);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // (A sanitizer's shadow memory alone is terabytes of data mappings.)
    if (dataLimit > 0) {
        const rlimit data = {dataLimit, dataLimit};
        rlimit set = {};
        if (::setrlimit(RLIMIT_DATA, &data) != 0 || ::getrlimit(RLIMIT_DATA, &set) != 0 ||
            set.rlim_cur != dataLimit)
            problems += "The reader host's memory bound could not be set: the system did not "
                        "take it\n";
    }
#else
    (void)dataLimit;
#endif
    return problems;
}

Containment contain(std::string &why)
{
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    if (::unshare(CLONE_NEWUSER | CLONE_NEWPID | CLONE_NEWNS) == 0) {
        if (!mapOwnUser(uid, gid))
            why = "the user namespace could not be mapped: the library runs as nobody";
        return Containment::Namespace;
    }
    why = std::string("user namespaces are not allowed here (") + std::strerror(errno) + ")";
    // Root (a chroot, a container) may have a process namespace without one.
    if (::unshare(CLONE_NEWPID | CLONE_NEWNS) == 0) {
        why.clear();
        return Containment::Namespace;
    }
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    return Containment::Subreaper;
}

void settleInNamespace()
{
    // A /proc of this namespace alone, mounted where no other namespace sees
    // it: the library's /proc holds its own processes and no one else's.
    ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr);
    if (::mount(nullptr, "/proc", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0)
        ::mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr);
    // No capability inside the user namespace either (no mounts, no
    // namespaces of its own) for the library.
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct none[2] = {};
    ::syscall(SYS_capset, &header, none);
}

Filter install(Containment containment, pid_t host, pid_t service)
{
    Filter filter;
    // A listener needs the kernel's user notification (Linux 5.0).
    const bool tell = seccomp_api_get() >= 5;
    const uint32_t refuse = tell ? SCMP_ACT_NOTIFY : SCMP_ACT_ERRNO(EPERM);
    scmp_filter_ctx ctx = seccomp_init(SCMP_ACT_ALLOW);
    if (!ctx) {
        filter.why = "the filter could not be made";
        return filter;
    }
    // Calls of another processor's convention (i386 on amd64) are refused whole.
    seccomp_attr_set(ctx, SCMP_FLTATR_ACT_BADARCH, SCMP_ACT_ERRNO(EPERM));
    int failed = 0;
    // Unix sockets (the desktop's buses) and netlink (udev's hot-plug
    // messages for the USB reader) stay open to the library.
    for (const int family : {AF_INET, AF_INET6, AF_PACKET})
        failed |= seccomp_rule_add(ctx, refuse, SCMP_SYS(socket), 1,
                                   SCMP_A0(SCMP_CMP_EQ, scmp_datum_t(family)));
    for (const int call : {SCMP_SYS(execve), SCMP_SYS(execveat), SCMP_SYS(process_vm_readv),
                           SCMP_SYS(process_vm_writev), SCMP_SYS(io_uring_setup)})
        failed |= seccomp_rule_add(ctx, refuse, call, 0);
#if !defined(__SANITIZE_ADDRESS__)
    // (LeakSanitizer stops the host's threads with ptrace at its end.)
    failed |= seccomp_rule_add(ctx, refuse, SCMP_SYS(ptrace), 0);
#endif
    if (containment == Containment::Subreaper) {
        // Without a namespace the service and the host can be named: those,
        // their process groups and "everyone" are refused as signal targets.
        const pid_t serviceGroup = ::getpgid(service);
        for (const pid_t target : {pid_t(-1), host, pid_t(-host), service, pid_t(-serviceGroup)}) {
            if (target == 0)
                continue;
            // Compared on the low 32 bits: a pid_t may reach the kernel
            // sign-extended or not.
            const scmp_arg_cmp first =
                SCMP_A0(SCMP_CMP_MASKED_EQ, 0xffffffffu, scmp_datum_t(uint32_t(target)));
            for (const int call :
                 {SCMP_SYS(kill), SCMP_SYS(tkill), SCMP_SYS(tgkill), SCMP_SYS(rt_sigqueueinfo),
                  SCMP_SYS(rt_tgsigqueueinfo), SCMP_SYS(pidfd_open)})
                failed |= seccomp_rule_add(ctx, refuse, call, 1, first);
        }
    }
    if (failed) {
        seccomp_release(ctx);
        filter.why = "a rule could not be made";
        return filter;
    }
    const int loaded = seccomp_load(ctx);
    if (loaded != 0) {
        filter.why = std::string("the system refused it (") + std::strerror(-loaded) + ")";
        seccomp_release(ctx);
        return filter;
    }
    filter.installed = true;
    if (tell)
        filter.listener = seccomp_notify_fd(ctx);
    seccomp_release(ctx);
    return filter;
}

void handOver(int socket, Filter &filter)
{
    char installed = filter.installed ? 1 : 0;
    iovec parts[2] = {{&installed, 1}, {filter.why.data(), filter.why.size()}};
    msghdr message = {};
    message.msg_iov = parts;
    message.msg_iovlen = 2;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    if (filter.listener >= 0) {
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr *rights = CMSG_FIRSTHDR(&message);
        rights->cmsg_level = SOL_SOCKET;
        rights->cmsg_type = SCM_RIGHTS;
        rights->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(rights), &filter.listener, sizeof(int));
    }
    while (::sendmsg(socket, &message, MSG_NOSIGNAL) < 0 && errno == EINTR) {
    }
    // The library has no business with it.
    if (filter.listener >= 0)
        ::close(filter.listener);
    filter.listener = -1;
}

Filter takeOver(int socket)
{
    Filter filter;
    char text[512];
    iovec part = {text, sizeof text};
    msghdr message = {};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t got;
    while ((got = ::recvmsg(socket, &message, MSG_CMSG_CLOEXEC)) < 0 && errno == EINTR) {
    }
    if (got <= 0) {
        filter.why = "the worker ended before it was set up";
        return filter;
    }
    filter.installed = text[0] == 1;
    filter.why.assign(text + 1, size_t(got - 1));
    cmsghdr *rights = CMSG_FIRSTHDR(&message);
    if (rights && rights->cmsg_type == SCM_RIGHTS)
        std::memcpy(&filter.listener, CMSG_DATA(rights), sizeof(int));
    return filter;
}

std::string refuse(int listener)
{
    std::string lines;
    seccomp_notif *call = nullptr;
    seccomp_notif_resp *answer = nullptr;
    if (seccomp_notify_alloc(&call, &answer) != 0)
        return lines;
    if (seccomp_notify_receive(listener, call) == 0) {
        answer->id = call->id;
        answer->val = 0;
        answer->error = -EPERM;
        answer->flags = 0;
        // (The caller may have been ended meanwhile: nothing to answer then.)
        seccomp_notify_respond(listener, answer);
        const Refusal refusal = describe(call->data);
        if (reported.insert(refusal.kind).second)
            lines += "The reader library tried to " + refusal.what + "; the sandbox refused it\n";
    }
    seccomp_notify_free(call, answer);
    return lines;
}

} // namespace sandbox
