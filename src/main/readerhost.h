#ifndef READERHOST_H
#define READERHOST_H

#include "readerholders.h"
#include "readerlibrary.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>

#include <deque>

#include <sys/types.h>

class QSocketNotifier;

// The reader library in a process of its own, the reader host (the program
// krvreaderhost beside the service). The service never runs the library's
// code: a crash, an exit or a hang in it ends the host, which costs the one
// call it was carrying out. That call is answered as failed, the calls
// waiting behind it go to a fresh host, and the service's event loop never
// waits for the library.
//
// Calls go to an idle host at once; those that come while it is busy go
// together once it has answered, one of each client's in turn, so that a
// client with many calls waiting costs the others at most one call each. The host's process group
// goes with it, so a helper the library forked holds nothing for long; the host holds no socket of
// the service's. What the library writes to standard output and error is logged, bounded, or
// dropped when the log must not keep card data.
class ReaderHost : public QObject, public ReaderLibrary
{
    Q_OBJECT

public:
    // After a fault a fresh host starts at once; after further faults in a
    // row (no call answered between them) the pause doubles from
    // FirstPauseMs up to MaxPauseMs, so that a library crashing at every
    // start does not spin. A clerk's calls wait for it meanwhile.
    static constexpr int FirstPauseMs = 250;
    static constexpr int MaxPauseMs = 8000;
    // Faults in a row that the tray is told about.
    static constexpr int RepeatedFaults = 3;
    // A library that crashes while it loads is tried this often at start-up
    // before the service gives up with 254.
    static constexpr int LoadAttempts = 3;
    // Calls handed to the host ahead of its answers: the service decodes and
    // writes replies while the host calls the library. More wait here.
    static constexpr int MaxCallsAhead = 32;
    // The library's output in the log: at most so many lines per interval,
    // each cut at OutputLineLength bytes.
    static constexpr int OutputLinesPerInterval = 50;
    static constexpr int OutputIntervalMs = 10000;
    static constexpr int OutputLineLength = 500;

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

    void call(const void *client, Call call, Done done) override;
    void forget(const void *client) override;

    // The host program: beside the service's executable.
    static QString program();

Q_SIGNALS:
    // The library failed RepeatedFaults times in a row.
    void faultsRepeated(int faults);
    // A call was answered again after repeated faults.
    void recovered();
    // The first host's load has come to an end, one way or the other.
    void settled();

private:
    enum class State { Down, Starting, Ready };
    struct Pending
    {
        const void *client;
        Call call;
        Done done;
        bool sent = false;
    };

    bool spawn();
    void pump();
    void readChannel();
    void readOutput();
    void checkEnded();
    void ended(int status);
    void deadlinePassed();
    // Kills the host and whatever it forked.
    void endHost();
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
    QSocketNotifier *channelNotifier = nullptr;
    QSocketNotifier *outputNotifier = nullptr;
    QSocketNotifier *endNotifier = nullptr;
    QTimer endPoll;  // where the system offers no process descriptor
    QTimer deadline; // the call the host is carrying out
    QTimer pause;    // before a fresh host
    bool hung = false;
    bool reported = false;    // the host has reported its load
    bool loadCrashed = false; // it ended while loading, without a report
    int faults = 0;           // in a row
    // Calls taken for the host, in the order it carries them out; the first
    // `ahead` of them have been sent.
    std::deque<Pending> queue;
    int ahead = 0;
    // Calls not yet taken, each client's in order, and the clients' turns.
    QHash<const void *, std::deque<Pending>> waiting;
    std::deque<const void *> turns;
    QSet<const void *> gone; // clients that left with calls still waiting
    ReaderHolders holders;
    // The reader is closed once the calls taken so far are carried out: the
    // last of them was a close, or a fresh host has had none. A further close
    // changes nothing and is answered without the library; an open or a read
    // (which a library may open the device for) makes the next one count.
    bool readerClosed = true;
    QByteArray inbox;
    QByteArray outputLine;
    int outputLines = 0;
    qint64 outputDropped = 0;
    QElapsedTimer outputInterval;
};

#endif // READERHOST_H
