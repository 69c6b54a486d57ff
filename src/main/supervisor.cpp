#include "supervisor.h"

#include "globals.h"
#include "logsink.h"
#include "policy.h"

#include <QDebug>
#include <QFileInfo>
#include <QString>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const int kEndingSignals[] = {SIGTERM, SIGHUP, SIGINT};

volatile sig_atomic_t endingSignal = 0;
volatile pid_t servicePid = 0;

// A logout's signal: the service ends the orderly way and is not started again.
void passOn(int signal)
{
    endingSignal = signal;
    if (servicePid > 0)
        ::kill(servicePid, signal);
}

// The supervisor's own lines: on standard error and, like the service's, in
// its log file when that exists.
void say(const QString &text)
{
    std::fprintf(stderr, "krvi2veravawebsocket: %s\n", text.toUtf8().constData());
    if (strLogFile.isEmpty()) {
        policy.load();
        strLogFile = !policy.logFile().isEmpty()
                         ? policy.logFile()
                         : QFileInfo(QStringLiteral("/proc/self/exe")).canonicalPath() +
                               QStringLiteral("/krlog.txt");
        qInstallMessageHandler(outputMyMessage);
    }
    qWarning().noquote() << "Supervisor:" << text;
}

bool documented(int status)
{
    return status == 0 || status == 252 || status == 253 || status == 254;
}

// Sleeps, but ends the supervisor when a logout comes meanwhile.
void sleepUnlessEnding(int milliseconds)
{
    timespec left = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    while (::nanosleep(&left, &left) == -1 && errno == EINTR) {
        if (endingSignal)
            std::exit(0);
    }
}

} // namespace

void Supervisor::superviseService()
{
    const pid_t supervisor = ::getpid();
    sigset_t ending, previous;
    sigemptyset(&ending);
    for (const int signal : kEndingSignals)
        sigaddset(&ending, signal);
    struct sigaction action = {};
    action.sa_handler = passOn;
    sigemptyset(&action.sa_mask);

    time_t failures[MaxFailures] = {};
    int failed = 0;
    for (;;) {
        // Signals wait until the child knows its own pid and handlers.
        ::sigprocmask(SIG_BLOCK, &ending, &previous);
        const pid_t child = ::fork();
        if (child == 0) {
            for (const int signal : kEndingSignals)
                std::signal(signal, SIG_DFL);
            ::sigprocmask(SIG_SETMASK, &previous, nullptr);
            // The service goes, the orderly way, when its supervisor does.
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (::getppid() != supervisor)
                ::raise(SIGTERM);
            return;
        }
        if (child < 0) {
            ::sigprocmask(SIG_SETMASK, &previous, nullptr);
            // Nothing to supervise with: serve in this process.
            return;
        }
        servicePid = child;
        for (const int signal : kEndingSignals)
            ::sigaction(signal, &action, nullptr);
        ::sigprocmask(SIG_SETMASK, &previous, nullptr);

        int status = 0;
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        servicePid = 0;
        if (WIFEXITED(status) && (endingSignal || documented(WEXITSTATUS(status))))
            std::exit(WEXITSTATUS(status));
        if (WIFSIGNALED(status) && endingSignal)
            std::exit(128 + WTERMSIG(status));

        const time_t now = std::time(nullptr);
        int recent = 0;
        for (time_t &at : failures) {
            if (at && now - at >= FailureWindowSeconds)
                at = 0;
            recent += at != 0;
        }
        failures[failed++ % MaxFailures] = now;
        ++recent;
        const QString how =
            WIFSIGNALED(status) ? QStringLiteral("was ended by signal %1 (%2)")
                                      .arg(WTERMSIG(status))
                                      .arg(QString::fromLocal8Bit(strsignal(WTERMSIG(status))))
            : WEXITSTATUS(status) == 250
                ? QStringLiteral("ended with status 250 (a reader library call did not "
                                 "return in time)")
                : QStringLiteral("ended with status %1").arg(WEXITSTATUS(status));
        if (recent >= MaxFailures) {
            say(QStringLiteral("the service %1, its %2th failure within %3 s: giving up")
                    .arg(how)
                    .arg(recent)
                    .arg(FailureWindowSeconds));
            std::exit(ExitGaveUp);
        }
        const int wait = FirstPauseMs << (recent - 1);
        say(QStringLiteral("the service %1; starting it again in %2 ms").arg(how).arg(wait));
        sleepUnlessEnding(wait);
    }
}
