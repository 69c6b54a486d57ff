#ifndef READERHOST_H
#define READERHOST_H

#include "readerholders.h"
#include "readerlibrary.h"
#include "readerturns.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>

#include <deque>
#include <utility>
#include <vector>

#include <sys/types.h>

class QSocketNotifier;

// The reader library in a process of its own, the reader host (the program
// krvreaderhost beside the service). The service never runs the library's
// code: a crash, an exit or a hang in it ends the host, which costs the one
// call it was carrying out. That call is answered as failed, the calls
// waiting behind it go to a fresh host, and the service's event loop never
// waits for the library.
//
// The calls are taken in turn by page (ReaderTurns). Every process the
// library starts goes with its host, and the library runs in a sandbox
// (src/reader/host/sandbox.h); the host holds no socket of the service's.
// What the library writes to standard output and error is logged, escaped
// and bounded, or dropped when the log must not keep card data.
class ReaderHost : public QObject, public ReaderLibrary
{
    Q_OBJECT

public:
    // Faults are counted by the call they struck in, over FaultWindowMs: a
    // library that crashes at every read but answers the opens between is
    // still seen. After a fault a fresh host starts at once; after further
    // faults of the same call in the window the pause doubles from
    // FirstPauseMs up to MaxPauseMs, so that a library crashing at every
    // start does not spin. A clerk's calls wait for it meanwhile.
    static constexpr int FaultWindowMs = 60000;
    static constexpr int FirstPauseMs = 250;
    static constexpr int MaxPauseMs = 8000;
    // Faults of one call in the window that the tray and the log are told about.
    static constexpr int RepeatedFaults = 3;
    // Faults logged one by one in the window; the rest are summed up once it ends.
    static constexpr int FaultLinesPerWindow = 5;
    // A library that crashes while it loads is tried this often at start-up
    // before the service gives up with 254.
    static constexpr int LoadAttempts = 3;
    // Calls handed to the host ahead of its answers: the service decodes and
    // writes a reply while the host carries out the next call. A second one
    // goes only behind a kind of call that took less than QuickCallMs last
    // time (and is itself of such a kind); the rest wait here, where the
    // pages' turns still decide and a client that leaves withdraws them.
    static constexpr int MaxCallsAhead = 2;
    static constexpr int QuickCallMs = 20;
    // The library's output in the log: at most so many lines per interval,
    // each cut at OutputLineLength bytes.
    static constexpr int OutputLinesPerInterval = 50;
    static constexpr int OutputIntervalMs = 10000;
    static constexpr int OutputLineLength = 500;
    // Past that, or when the log must not keep the library's words, its
    // output is drained without being looked at, a pipeful at most every
    // OutputDrainMs: a library printing without end costs the service little.
    static constexpr int OutputDrainMs = 50;

    // deadlineMs: how long one call may take before the host is ended.
    ReaderHost(const QString &library, int deadlineMs, QObject *parent = nullptr);
    ~ReaderHost() override;

    struct LoadReport
    {
        bool loaded = false;
        bool missingFunction = false; // loaded, but an entry point is missing
        QString reason;               // why the file did not load
    };
    // Starts the first host and waits until it has loaded the library. Once,
    // before the event loop runs.
    LoadReport start();

    void call(const void *client, const QString &page, Call call, Done done) override;
    void forget(const void *client) override;

    // The host program: beside the service's executable.
    static QString program();

Q_SIGNALS:
    // The library failed RepeatedFaults times in one call within the window.
    void faultsRepeated(int faults);
    // Every call that failed repeatedly was answered again.
    void recovered();
    // The first host's load has come to an end, one way or the other.
    void settled();

private:
    enum class State { Down, Starting, Ready };
    using Pending = ReaderTurns::Pending;

    bool spawn();
    // Outcomes to hand on, in order.
    using Outcomes = std::vector<std::pair<Done, Outcome>>;
    // Hands the host its next calls. Calls answered without the library go
    // into later when given (behind the host's answers being handed on),
    // else are answered at once.
    void pump(Outcomes *later = nullptr);
    bool mayHandOver(Call next) const;
    void readChannel();
    void readOutput();
    void readReports();
    void checkEnded();
    void ended(int status);
    void deadlinePassed();
    // Ends the host and whatever the library started; the host's end then
    // comes like any other, and is not taken for a crash.
    void endHost();
    // Counts a fault of the call (or the start) that failed, logs it within
    // the window's bound, and returns the pause before a fresh host.
    int countFault(const QString &call, const QString &line);
    void summarizeFaults();
    // Replaces a host that has held too much memory, once it has no call.
    void replaceIfGrown();
    void restart();
    void closeHost();
    void logOutput(const QByteArray &line);
    QString callName() const;

    QString library;
    int deadlineMs;
    State state = State::Down;
    bool firstStart = true;
    LoadReport report;
    pid_t pid = -1;
    int toHost = -1;  // calls
    int channel = -1; // answers
    int output = -1;
    int pidfd = -1;
    int reports = -1;
    QSocketNotifier *channelNotifier = nullptr;
    QSocketNotifier *outputNotifier = nullptr;
    QSocketNotifier *endNotifier = nullptr;
    QSocketNotifier *reportsNotifier = nullptr;
    QTimer endPoll;  // where the system offers no process descriptor
    QTimer deadline; // the call the host is carrying out
    QTimer pause;    // before a fresh host
    QTimer outputDrain;
    QTimer faultSummary; // the end of the window's bound on fault lines
    bool hung = false;
    bool endedHere = false;   // the service ended the host itself
    QString endReason;        // why, for the log
    bool grown = false;       // the host has held more than half its memory bound
    bool replacing = false;   // it is being replaced for that, not for a fault
    int memoryMiB = 0;        // the bound the running host was given
    bool reported = false;    // the host has reported its load
    bool loadCrashed = false; // it ended while loading, without a report
    // When each call (by name) failed, within the window; and those the tray was told of.
    QHash<QString, std::deque<qint64>> faultTimes;
    QSet<QString> repeated;
    QElapsedTimer clock;
    int faultLines = 0;     // logged in the window so far
    int faultsUnlogged = 0; // faults past that bound
    // Clients whose open went with a host: their reads fail as the host did
    // (LIBRARY_FAULT) until they open or close again, rather than getting
    // the library's "not open" code from the next host.
    QSet<const void *> openLost;
    // Clients whose open the running host answered, and not closed since.
    QSet<const void *> opened;
    // Calls taken for the host, in the order it carries them out; the first
    // `ahead` of them have been sent.
    std::deque<Pending> queue;
    int ahead = 0;
    ReaderTurns turns; // calls not yet taken
    // Kinds of call that were slow (QuickCallMs or more) last time, and when
    // the one the host is carrying out began.
    QSet<char> slow;
    QElapsedTimer callStarted;
    ReaderHolders holders;
    // The reader is closed once the calls taken so far are carried out: the
    // last of them was a close, or a fresh host has had none. A further close
    // changes nothing and is answered without the library; an open or a read
    // (which a library may open the device for) makes the next one count.
    bool readerClosed = true;
    QByteArray inbox;
    QByteArray outputLine;
    QByteArray reportLine;
    int outputLines = 0;
    qint64 outputDropped = 0;
    QElapsedTimer outputInterval;
};

#endif // READERHOST_H
