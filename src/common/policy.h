#ifndef POLICY_H
#define POLICY_H

#include <QHostAddress>
#include <QList>
#include <QString>
#include <QStringList>

// An administrator's policy: who may use the reader and what the log keeps.
// Read at start-up (and again when it changes, see PolicyWatch) from
// krvi2veravawebsocket/policy.conf in the XDG
// system configuration folders (XDG_CONFIG_DIRS, and /etc/xdg always).
// Without a file, or with a file that sets nothing, everything is
// as it always was: every interface, every origin, every user, the whole card
// in the log, the log beside the executable.
class Policy
{
public:
    // Reads the policy in force. False, with why() set, when what may be a
    // policy cannot be read whole (a folder the service may not search, a
    // symbolic link to nothing, an unreadable file, not a regular file, one
    // over MaxFileBytes, a byte order mark, a key given twice or outside its
    // section) or holds an unknown key or value: the service then must not
    // serve with less protection than the file asked for.
    bool load();
    // A policy is a few lines; anything this large is not one.
    static constexpr int MaxFileBytes = 64 * 1024;
    // Admits no one the policy before refused, and protects as much in
    // every other respect (the log, the sandbox, the bounds unchanged).
    bool narrows(const Policy &was) const;
    QString why() const { return problem; }

    // A file is in force that sets at least one key.
    bool inForce() const { return keysSet > 0; }
    // The file read, or empty.
    QString file() const { return path; }

    // Where the server listens: every interface, or 127.0.0.1 and ::1.
    bool loopbackOnly() const { return loopback; }
    QList<QHostAddress> listenAddresses() const;

    // Why a handshake with this Origin header (empty: none sent) is refused;
    // empty when it is admitted.
    QString refusalForOrigin(const QString &origin) const;
    bool refusesOtherUsers() const { return refuseOthers; }

    bool redactsCardData() const { return redact; }
    // The log file named by the policy, "~/" expanded; empty: none named. Set
    // after a refused load too, when the file names one log file: the refusal
    // is written there.
    QString logFile() const { return log; }
    QString logFileOr(const QString &fallback) const { return log.isEmpty() ? fallback : log; }
    // The log file's bound in MiB: past it, the file is renamed with ".1"
    // added (replacing the one before) and logging goes on in a new one.
    int logSizeMiB() const { return logMiB; }
    static constexpr int DefaultLogSizeMiB = 32;

    // Whether the reader library runs in its sandbox (no network, no
    // programs, no reach outside its own processes); on unless switched off.
    bool sandboxesReader() const { return !noSandbox; }
    // The reader host's memory bound, in MiB: it cannot take more, and it is
    // replaced between calls once it has held half of it.
    int readerMemoryMiB() const { return memoryMiB; }
    static constexpr int DefaultReaderMemoryMiB = 256;

    // The folders where a policy may be, first found first: those of
    // XDG_CONFIG_DIRS, then /etc/xdg, each with krvi2veravawebsocket/policy.conf
    // in it.
    static QStringList folders();

    friend bool operator==(const Policy &a, const Policy &b);
    friend bool operator!=(const Policy &a, const Policy &b) { return !(a == b); }

    // An origin as browsers send it, in one spelling: lower-case scheme and
    // host, and the port, also the scheme's default one. Empty when it is none.
    static QString normalOrigin(const QString &origin);

private:
    bool fail(const QString &key, const QString &what);

    // Every key a policy may set, as "section/key". A choice between two
    // words sets its member when the second is given (the first is the
    // default); the others take values of their own, read in load().
    struct Key
    {
        const char *name;
        const char *words[2];
        bool Policy::*choice;
    };
    static const Key keys[];

    QString path;
    QString problem;
    int keysSet = 0;
    bool loopback = false;
    QStringList origins; // normal forms, and "null" when listed
    bool refuseNoOrigin = false;
    bool refuseOthers = false;
    bool redact = false;
    QString log;
    bool noSandbox = false;
    int memoryMiB = DefaultReaderMemoryMiB;
    int logMiB = DefaultLogSizeMiB;
};

// The policy in force, loaded by start-up before the port is probed, and
// replaced whole by PolicyWatch when a valid change comes.
extern Policy policy;

#endif // POLICY_H
