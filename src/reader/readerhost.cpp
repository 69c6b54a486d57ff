#include "readerhost.h"

#include "commoninterface.h"
#include "logsink.h"
#include "policy.h"
#include "readerchannel.h"

#include <QCoreApplication>
#include <QDebug>
#include <QEventLoop>
#include <QFile>
#include <QScopeGuard>
#include <QSocketNotifier>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

const char *nameOf(ReaderLibrary::Call call)
{
    switch (call) {
    case ReaderLibrary::Call::OpenDevice:
        return "OpenDevice";
    case ReaderLibrary::Call::CloseDevice:
        return "CloseDevice";
    case ReaderLibrary::Call::IdReadCard:
        break;
    }
    return "IdReadCard";
}

QString signalName(int signal)
{
    const char *name = ::sigabbrev_np(signal);
    return name ? QStringLiteral("SIG") + QLatin1String(name)
                : QStringLiteral("signal %1").arg(signal);
}

// The pause before a fresh host after so many faults in a row.
int pauseAfter(int faults)
{
    return faults <= 1
               ? 0
               : qMin(ReaderHost::FirstPauseMs << qMin(faults - 2, 16), ReaderHost::MaxPauseMs);
}

// A descriptor above the standard ones and the host's channel, so that the
// host's set-up never overwrites one of its own with another.
int movedUp(int fd)
{
    if (fd < 0)
        return fd;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 10);
    ::close(fd);
    return moved;
}

void setNonBlocking(int fd)
{
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

} // namespace

ReaderHost::ReaderHost(const QString &library, int deadlineMs, QObject *parent)
    : QObject(parent), library(library), deadlineMs(deadlineMs)
{
    deadline.setSingleShot(true);
    deadline.setInterval(deadlineMs);
    connect(&deadline, &QTimer::timeout, this, &ReaderHost::deadlinePassed);
    pause.setSingleShot(true);
    connect(&pause, &QTimer::timeout, this, &ReaderHost::restart);
    endPoll.setInterval(50);
    connect(&endPoll, &QTimer::timeout, this, &ReaderHost::checkEnded);
    outputDrain.setSingleShot(true);
    connect(&outputDrain, &QTimer::timeout, this, [this] {
        if (outputNotifier)
            outputNotifier->setEnabled(true);
    });
    faultSummary.setSingleShot(true);
    connect(&faultSummary, &QTimer::timeout, this, &ReaderHost::summarizeFaults);
    outputInterval.start();
    clock.start();
    // Until one has been quick, reads are taken for a reader's pace.
    slow.insert(char(Call::IdReadCard));
    // Calls go into a pipe: a host that has just ended must not take the
    // service with it (SIGPIPE) before its end is seen.
    std::signal(SIGPIPE, SIG_IGN);
}

ReaderHost::~ReaderHost()
{
    // At a logout the host goes at once, whatever call it is in.
    closeHost();
}

QString ReaderHost::program()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/krvreaderhost");
}

ReaderHost::LoadReport ReaderHost::start()
{
    for (int attempt = 1;; ++attempt) {
        report = LoadReport();
        report.reason = QStringLiteral("the reader host %1 could not be started").arg(program());
        loadCrashed = false;
        if (spawn()) {
            QEventLoop wait;
            connect(this, &ReaderHost::settled, &wait, &QEventLoop::quit);
            wait.exec();
        }
        // Only a library that crashed (or hung) while it loaded is worth another try.
        if (!loadCrashed || attempt >= LoadAttempts)
            break;
        QThread::msleep(FirstPauseMs * attempt);
    }
    firstStart = false;
    return report;
}

bool ReaderHost::spawn()
{
    // Calls in, answers out, the host's output and its own reports. The
    // host gets the reading end of the first and the writing ends of the rest.
    enum { Calls, Answers, Output, Reports, Pipes };
    int pipes[Pipes][2];
    int made = 0;
    while (made < Pipes && ::pipe2(pipes[made], O_CLOEXEC) == 0)
        ++made;
    const auto closeEnds = [&pipes](int count, bool hosts, bool ours) {
        for (int i = 0; i < count; ++i) {
            if (hosts)
                ::close(pipes[i][i == Calls ? 0 : 1]);
            if (ours)
                ::close(pipes[i][i == Calls ? 1 : 0]);
        }
    };
    if (made < Pipes) {
        closeEnds(made, true, true);
        return false;
    }
    for (auto &ends : pipes) {
        for (int &fd : ends)
            fd = movedUp(fd);
    }
    // Room for a pipeful of the library's output between two drains.
    ::fcntl(pipes[Output][0], F_SETPIPE_SZ, 1 << 20);

    const QByteArray path = QFile::encodeName(program());
    const QByteArray libraryPath = QFile::encodeName(library);
    const QByteArray parent = QByteArray::number(qint64(::getpid()));
    // The policy in force when the host starts: a change reaches the next one.
    const QByteArray sandboxed = policy.sandboxesReader() ? "on" : "off";
    memoryMiB = policy.readerMemoryMiB();
    const QByteArray memory = QByteArray::number(memoryMiB);
    char *argv[] = {
        const_cast<char *>(path.constData()),   const_cast<char *>(libraryPath.constData()),
        const_cast<char *>(parent.constData()), const_cast<char *>(sandboxed.constData()),
        const_cast<char *>(memory.constData()), nullptr};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipes[Output][1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, pipes[Output][1], STDERR_FILENO);
    posix_spawn_file_actions_adddup2(&actions, pipes[Calls][0], READER_CALLS_FD);
    posix_spawn_file_actions_adddup2(&actions, pipes[Answers][1], READER_ANSWERS_FD);
    posix_spawn_file_actions_adddup2(&actions, pipes[Reports][1], READER_REPORTS_FD);
    // Every other descriptor of the service (its port, its clients, the
    // display) stays behind, close-on-exec or not.
    posix_spawn_file_actions_addclosefrom_np(&actions, READER_REPORTS_FD + 1);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // A process group of its own: whatever the library forks goes with the host.
    posix_spawnattr_setpgroup(&attributes, 0);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (const int signal : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGCHLD})
        sigaddset(&defaults, signal);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                              POSIX_SPAWN_SETSIGDEF);
    pid_t child = -1;
    const int failed =
        ::posix_spawn(&child, path.constData(), &actions, &attributes, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    closeEnds(Pipes, true, failed);
    if (failed) {
        qWarning().noquote() << QStringLiteral("The reader host %1 cannot be started: %2")
                                    .arg(program(), QString::fromLocal8Bit(strerror(failed)));
        return false;
    }

    pid = child;
    toHost = pipes[Calls][1];
    channel = pipes[Answers][0];
    output = pipes[Output][0];
    reports = pipes[Reports][0];
    for (const int fd : {toHost, channel, output, reports})
        setNonBlocking(fd);
    state = State::Starting;
    hung = false;
    endedHere = false;
    endReason.clear();
    grown = false;
    replacing = false;
    reported = false;
    inbox.clear();
    channelNotifier = new QSocketNotifier(channel, QSocketNotifier::Read, this);
    connect(channelNotifier, &QSocketNotifier::activated, this, &ReaderHost::readChannel);
    outputNotifier = new QSocketNotifier(output, QSocketNotifier::Read, this);
    connect(outputNotifier, &QSocketNotifier::activated, this, &ReaderHost::readOutput);
    reportsNotifier = new QSocketNotifier(reports, QSocketNotifier::Read, this);
    connect(reportsNotifier, &QSocketNotifier::activated, this, &ReaderHost::readReports);
    // The host's end, even while a helper it forked holds its channel open.
#ifdef SYS_pidfd_open
    pidfd = int(::syscall(SYS_pidfd_open, child, 0));
#endif
    if (pidfd >= 0) {
        ::fcntl(pidfd, F_SETFD, FD_CLOEXEC);
        endNotifier = new QSocketNotifier(pidfd, QSocketNotifier::Read, this);
        connect(endNotifier, &QSocketNotifier::activated, this, &ReaderHost::checkEnded);
    } else {
        endPoll.start();
    }
    // A library that never finishes loading is a hung call too.
    deadline.start();
    return true;
}

void ReaderHost::call(const void *client, const QString &page, Call call, Done done)
{
    turns.add(page, {client, call, std::move(done)});
    pump();
}

void ReaderHost::forget(const void *client)
{
    holders.left(client);
    openLost.remove(client);
    opened.remove(client);
    turns.withdraw(client);
}

bool ReaderHost::mayHandOver(Call next) const
{
    // The host is handed the call it starts next and, behind a call that
    // has been quick, one more, so that it does not wait for the service
    // between quick calls. Behind a slow one (a read at a reader's pace) the
    // next call is chosen only once the reader is free: a page that comes
    // meanwhile waits for the call in progress alone.
    if (queue.empty())
        return true;
    return queue.size() == 1 && !slow.contains(char(queue.front().call)) &&
           !slow.contains(char(next));
}

void ReaderHost::pump(Outcomes *later)
{
    // A host being ended, or to be replaced once it has answered, takes no
    // more calls; they wait for the next one.
    if (state != State::Ready || endedHere || grown)
        return;
    // The pages' calls in turn. A close that would undo another client's
    // open, or that finds the reader closed, is answered here, without the
    // library.
    std::vector<Done> answeredHere;
    std::vector<Done> failedHere;
    for (const Pending *waits = turns.next(); waits && mayHandOver(waits->call);
         waits = turns.next()) {
        bool left = false;
        Pending next = turns.take(&left);
        const void *client = next.client;
        if (next.call == Call::IdReadCard && openLost.contains(client)) {
            failedHere.push_back(std::move(next.done));
            continue;
        }
        openLost.remove(client);
        if (next.call == Call::OpenDevice && !left)
            holders.opening(client);
        if (next.call == Call::CloseDevice && (!holders.closes(client) || readerClosed)) {
            opened.remove(client);
            answeredHere.push_back(std::move(next.done));
            continue;
        }
        readerClosed = next.call == Call::CloseDevice;
        queue.push_back(std::move(next));
    }

    char calls[MaxCallsAhead];
    int count = 0;
    for (auto it = queue.begin() + ahead; it != queue.end() && count < MaxCallsAhead; ++it) {
        it->sent = true;
        calls[count++] = char(it->call);
    }
    if (count > 0) {
        if (ahead == 0) {
            deadline.start();
            callStarted.start();
        }
        ahead += count;
        // A few bytes into an empty pipe: the write does not block, and a
        // host that stopped reading is ended by the deadline.
        if (::write(toHost, calls, size_t(count)) != count) {
            endReason = QStringLiteral("The reader host no longer takes calls");
            endHost();
        }
    }
    Outcome notCalled;
    notCalled.notCalled = true;
    Outcome lost;
    lost.failed = true;
    Outcomes now;
    Outcomes &out = later ? *later : now;
    for (Done &done : answeredHere)
        out.emplace_back(std::move(done), notCalled);
    for (Done &done : failedHere)
        out.emplace_back(std::move(done), lost);
    for (const auto &[done, outcome] : now)
        done(outcome);
}

void ReaderHost::readChannel()
{
    constexpr int chunk = 65536;
    for (;;) {
        // Straight into the inbox: a read's record is copied once here.
        const int had = inbox.size();
        inbox.resize(had + chunk);
        // (readv: GCC's check of read's size takes the inbox for Qt's empty array.)
        iovec into = {inbox.data() + had, size_t(chunk)};
        const ssize_t got = ::readv(channel, &into, 1);
        inbox.resize(had + int(qMax<ssize_t>(got, 0)));
        if (got > 0) {
            if (got == chunk)
                continue;
        } else if (got < 0 && errno == EINTR) {
            continue;
        } else if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            // The host closed its channel: it is ending (its end says how),
            // or of no use.
            channelNotifier->setEnabled(false);
            ::kill(pid, SIGTERM);
            return;
        }
        break;
    }

    // Answers are taken from the front; what they took goes in one step at
    // the end. Their outcomes are handed on once the next calls have gone to
    // the host, so that it carries them out while the replies are made.
    Outcomes answered;
    const auto handOn = qScopeGuard([&answered] {
        for (const auto &[done, outcome] : answered)
            done(outcome);
    });
    ReaderChannelHeader header;
    int taken = 0;
    const auto takeAll = qScopeGuard([this, &taken] { inbox.remove(0, taken); });
    while (inbox.size() - taken >= int(sizeof header)) {
        std::memcpy(&header, inbox.constData() + taken, sizeof header);
        const bool wellFormed =
            header.magic == READER_CHANNEL_MAGIC && header.length <= READER_CHANNEL_MAX_LENGTH;
        const bool expected = state == State::Starting
                                  ? header.kind == READER_CHANNEL_LOAD_REPORT
                                  : ahead > 0 && header.kind == char(queue.front().call);
        if (!wellFormed || !expected) {
            endReason = QStringLiteral("The reader host's answer is garbled");
            endHost();
            return;
        }
        if (inbox.size() - taken < int(sizeof header + header.length))
            break;
        const QByteArray bytes = inbox.mid(taken + int(sizeof header), int(header.length));
        taken += int(sizeof header + header.length);

        if (state == State::Starting) {
            deadline.stop();
            report.loaded = header.result == READER_LOAD_OK;
            report.missingFunction = header.result == READER_LOAD_FUNCTION_FAILED;
            report.reason = QString::fromLocal8Bit(bytes);
            reported = true;
            if (!report.loaded) {
                // The host ends by itself; its end is a fault while serving.
                if (!firstStart)
                    qWarning().noquote()
                        << "The reader host could not load the library again:"
                        << (report.missingFunction ? QStringLiteral("an entry point is missing")
                                                   : report.reason);
                continue;
            }
            state = State::Ready;
            if (firstStart)
                emit settled();
            pump();
            continue;
        }

        Pending pending = std::move(queue.front());
        queue.pop_front();
        --ahead;
        if (callStarted.elapsed() >= QuickCallMs)
            slow.insert(char(pending.call));
        else
            slow.remove(char(pending.call));
        if (ahead > 0) {
            deadline.start(); // the next call begins now
            callStarted.start();
        } else {
            deadline.stop();
        }
        if (header.overrun > 0)
            qDebug().noquote() << QStringLiteral("IdReadCard wrote past the %1-byte record: %2 "
                                                 "bytes more; the record is read from the first %1")
                                      .arg(COMMONINTERFACE_RECORD_SIZE)
                                      .arg(header.overrun);
        // A call that failed repeatedly is answered again: the tray is told,
        // and its count starts afresh. (Others' answers do not clear it: a
        // library that crashes at every read may answer every open.)
        const QString name = QString::fromLatin1(nameOf(pending.call));
        if (repeated.remove(name)) {
            faultTimes.remove(name);
            if (repeated.isEmpty())
                emit recovered();
        }
        if (header.residentMiB > uint32_t(memoryMiB / 2))
            grown = true;
        if (pending.call == Call::OpenDevice && header.result >= 0 && pending.client)
            opened.insert(pending.client);
        if (pending.call == Call::CloseDevice)
            opened.remove(pending.client);
        if (pending.call == Call::OpenDevice && header.result < 0) {
            holders.openFailed(pending.client);
            // The service's own open for a fresh host failed: its holders' open is lost.
            if (!pending.client) {
                openLost.unite(opened);
                opened.clear();
                holders.lost();
            }
        }
        Outcome outcome;
        outcome.result = header.result;
        outcome.record = bytes;
        answered.emplace_back(std::move(pending.done), std::move(outcome));
    }
    // The next calls go over, or, once it has answered all it has, a host
    // that has grown is replaced.
    if (state == State::Ready) {
        if (!grown)
            pump(&answered);
        else if (ahead == 0)
            replaceIfGrown();
    }
}

void ReaderHost::replaceIfGrown()
{
    qWarning().noquote() << QStringLiteral("The reader host has held more than half of its "
                                           "%1 MiB memory bound: it is replaced")
                                .arg(memoryMiB);
    replacing = true;
    endHost();
}

void ReaderHost::readOutput()
{
    if (outputInterval.elapsed() >= OutputIntervalMs) {
        if (outputDropped > 0)
            qDebug().noquote() << QStringLiteral("Reader library output: (%1 more bytes left out)")
                                      .arg(outputDropped);
        outputInterval.restart();
        outputLines = 0;
        outputDropped = 0;
    }
    // Under cardData=redacted the library's words may carry the card: none is
    // kept. Past the interval's lines none is looked at either: a pipeful is
    // taken at most every OutputDrainMs, and the library waits meanwhile.
    if (policy.redactsCardData() || outputLines >= OutputLinesPerInterval) {
        static char pipeful[1 << 20];
        ssize_t got;
        while ((got = ::read(output, pipeful, sizeof pipeful)) < 0 && errno == EINTR) {
        }
        if (got == 0) {
            outputNotifier->setEnabled(false); // everyone who could write has gone
            return;
        }
        if (got > 0 && !policy.redactsCardData())
            outputDropped += got;
        if (got > 0 && outputNotifier->isEnabled()) {
            outputNotifier->setEnabled(false);
            outputDrain.start(OutputDrainMs);
        }
        return;
    }
    char chunk[65536];
    // At most a few chunks a turn: a library that prints without end must
    // not keep the event loop from the clients.
    for (int turn = 0; turn < 4; ++turn) {
        const ssize_t got = ::read(output, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            // Everyone who could write has gone.
            if (got == 0)
                outputNotifier->setEnabled(false);
            return;
        }
        outputLine.append(chunk, int(got));
        int end;
        while ((end = outputLine.indexOf('\n')) >= 0 || outputLine.size() > OutputLineLength) {
            const int take = end >= 0 ? end : OutputLineLength;
            logOutput(outputLine.left(qMin(take, OutputLineLength)));
            outputLine.remove(0, end >= 0 ? end + 1 : take);
        }
        if (outputLines >= OutputLinesPerInterval) {
            outputDropped += outputLine.size();
            outputLine.clear();
            return;
        }
    }
}

void ReaderHost::logOutput(const QByteArray &line)
{
    if (outputLines < OutputLinesPerInterval) {
        ++outputLines;
        // Escaped like a peer's text: a control character cannot forge a
        // line of the service's, nor a NUL cut one short.
        qDebug().noquote() << "Reader library output:"
                           << quotedForLog(QString::fromLocal8Bit(line.constData(), line.size()));
    } else {
        outputDropped += line.size() + 1;
    }
}

void ReaderHost::readReports()
{
    char chunk[4096];
    const ssize_t got = ::read(reports, chunk, sizeof chunk);
    if (got == 0)
        reportsNotifier->setEnabled(false);
    if (got <= 0)
        return;
    reportLine.append(chunk, int(got));
    int end;
    while ((end = reportLine.indexOf('\n')) >= 0) {
        qWarning().noquote() << QString::fromUtf8(reportLine.left(qMin(end, OutputLineLength)));
        reportLine.remove(0, end + 1);
    }
    if (reportLine.size() > OutputLineLength)
        reportLine.clear();
}

void ReaderHost::checkEnded()
{
    if (pid <= 0)
        return;
    int status = 0;
    pid_t got;
    while ((got = ::waitpid(pid, &status, WNOHANG)) < 0 && errno == EINTR) {
    }
    if (got == pid || (got < 0 && errno == ECHILD))
        ended(status);
}

QString ReaderHost::callName() const
{
    if (ahead > 0)
        return QString::fromLatin1(nameOf(queue.front().call));
    if (state == State::Starting)
        return QStringLiteral("the reader library's start-up code");
    return QString();
}

void ReaderHost::deadlinePassed()
{
    const QString seconds = deadlineMs % 1000 ? QString::number(deadlineMs / 1000.0, 'f', 3)
                                              : QString::number(deadlineMs / 1000);
    // Logged with the host's end, as one line with its restart.
    endReason = QStringLiteral("%1 did not return within %2 s").arg(callName(), seconds);
    hung = true;
    endHost();
}

void ReaderHost::endHost()
{
    // Its end is seen like any other; nothing more is read from it.
    channelNotifier->setEnabled(false);
    endedHere = true;
    if (replacing)
        endReason.clear();
    // The host's supervisor ends the worker and everything the library
    // started with it; a host that is not gone within a second is killed.
    ::kill(pid, SIGTERM);
    const pid_t ending = pid;
    QTimer::singleShot(1000, this, [this, ending] {
        if (pid == ending) {
            ::kill(-pid, SIGKILL);
            ::kill(pid, SIGKILL);
        }
    });
}

void ReaderHost::ended(int status)
{
    const QString call = callName();
    const bool whileLoading = state == State::Starting;
    const bool loadRefused = whileLoading && reported && !hung;
    const bool replaced = replacing;
    loadCrashed = whileLoading && !loadRefused;
    QString line;
    if (endedHere) {
        line = endReason; // (empty when it was replaced, which is not a fault)
    } else if (!loadRefused) {
        if (WIFSIGNALED(status))
            line = call.isEmpty() ? QStringLiteral("The reader host was ended by %1 between calls")
                                        .arg(signalName(WTERMSIG(status)))
                                  : QStringLiteral("Crashed with %1 in %2")
                                        .arg(signalName(WTERMSIG(status)), call);
        else
            line = call.isEmpty() ? QStringLiteral("The reader host ended with status %1 "
                                                   "between calls")
                                        .arg(WEXITSTATUS(status))
                                  : QStringLiteral("The reader library ended the reader host "
                                                   "with status %1 in %2")
                                        .arg(WEXITSTATUS(status))
                                        .arg(call);
        if (whileLoading)
            report.reason = QStringLiteral("the library failed while it loaded (%1)").arg(line);
    } else if (hung && whileLoading) {
        report.reason = QStringLiteral("the library's start-up code did not return in time");
    }
    readOutput();
    readReports();
    // Whatever the library forked goes too.
    ::kill(-pid, SIGKILL);
    pid = -1;
    closeHost();

    // The call the host was carrying out is lost, and the device went with
    // the host; the calls behind it go to the next host, in the same order.
    std::deque<Pending> failed;
    if (ahead > 0) {
        failed.push_back(std::move(queue.front()));
        queue.pop_front();
    }
    for (Pending &pending : queue)
        pending.sent = false;
    ahead = 0;
    if (replaced && !holders.clients().isEmpty()) {
        // Replaced between calls for its memory: the fresh host opens the
        // reader for its holders first, and they never notice.
        queue.push_front({nullptr, Call::OpenDevice, [](const Outcome &) {
                          }});
    } else if (!replaced) {
        openLost.unite(opened);
        opened.clear();
        holders.lost();
        // Reads of pages whose open was lost fail as their open did, until
        // they open (or close) again.
        QSet<const void *> lost = openLost;
        for (auto it = queue.begin(); it != queue.end();) {
            if (!lost.contains(it->client)) {
                ++it;
            } else if (it->call == Call::IdReadCard) {
                failed.push_back(std::move(*it));
                it = queue.erase(it);
            } else {
                lost.remove(it->client);
                ++it;
            }
        }
        // Those whose open or close is on its way have it carried out again.
        openLost.intersect(lost);
    }
    // No host could load the library: nothing waits for one in vain.
    if (whileLoading && !firstStart) {
        for (Pending &pending : queue)
            failed.push_back(std::move(pending));
        queue.clear();
        turns.takeAll(&failed);
    }
    // The next host starts with the reader closed; the calls it is given
    // again leave it as they left it before.
    if (queue.empty())
        readerClosed = true;

    if (firstStart) {
        if (!line.isEmpty())
            qWarning().noquote() << line;
        emit settled();
    } else if (replaced) {
        pause.start(0);
    } else {
        pause.start(countFault(call.isEmpty() ? QStringLiteral("between calls") : call, line));
    }
    Outcome outcome;
    outcome.failed = true;
    for (const Pending &pending : failed)
        pending.done(outcome);
}

int ReaderHost::countFault(const QString &call, const QString &line)
{
    const qint64 now = clock.elapsed();
    std::deque<qint64> &times = faultTimes[call];
    times.push_back(now);
    while (times.front() <= now - FaultWindowMs)
        times.pop_front();
    const int count = int(times.size());
    const int wait = pauseAfter(count);
    const QString again = QStringLiteral("the reader host is started again in %1 ms (%2 %3 in %4 "
                                         "within a minute)")
                              .arg(wait)
                              .arg(count)
                              .arg(QLatin1String(count == 1 ? "fault" : "faults"), call);
    if (faultLines < FaultLinesPerWindow) {
        ++faultLines;
        qWarning().noquote() << (line.isEmpty() ? again.left(1).toUpper() + again.mid(1)
                                                : line + QStringLiteral("; ") + again);
    } else {
        ++faultsUnlogged;
    }
    if (!faultSummary.isActive())
        faultSummary.start(FaultWindowMs);
    if (count >= RepeatedFaults && !repeated.contains(call)) {
        repeated.insert(call);
        qWarning().noquote() << QStringLiteral("The reader library failed %1 times in %2 within a "
                                               "minute")
                                    .arg(count)
                                    .arg(call);
        emit faultsRepeated(count);
    }
    return wait;
}

void ReaderHost::summarizeFaults()
{
    if (faultsUnlogged > 0)
        qWarning().noquote() << QStringLiteral("The reader library failed %1 more times in the "
                                               "last minute; each was answered as a fault and the "
                                               "reader host started again")
                                    .arg(faultsUnlogged);
    faultLines = 0;
    faultsUnlogged = 0;
}

void ReaderHost::restart()
{
    if (!spawn())
        pause.start(countFault(QStringLiteral("starting the reader host"), QString()));
}

void ReaderHost::closeHost()
{
    if (pid > 0) {
        // The supervisor ends what the library started (where no namespace
        // does it); a moment for that, then the host goes whole.
        ::kill(pid, SIGTERM);
        if (pidfd >= 0) {
            pollfd gone = {pidfd, POLLIN, 0};
            ::poll(&gone, 1, 500);
        }
        ::kill(-pid, SIGKILL);
        ::kill(pid, SIGKILL);
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        pid = -1;
    }
    deadline.stop();
    endPoll.stop();
    outputDrain.stop();
    for (QSocketNotifier **notifier :
         {&channelNotifier, &outputNotifier, &endNotifier, &reportsNotifier}) {
        delete *notifier;
        *notifier = nullptr;
    }
    for (int *fd : {&toHost, &channel, &output, &pidfd, &reports}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
    outputLine.clear();
    reportLine.clear();
    state = State::Down;
}
