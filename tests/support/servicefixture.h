#ifndef SERVICEFIXTURE_H
#define SERVICEFIXTURE_H

#include <QByteArray>
#include <QDeadlineTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QTemporaryDir>

// The service's process, which the system ends together with the test: a test
// that aborts leaves no service behind holding the port for the tests after it.
// Qt 6 takes the child's set-up as a function, Qt 5 as an override.
class ServiceProcess : public QProcess
{
public:
    ServiceProcess();
#if QT_VERSION_MAJOR < 6
protected:
    void setupChildProcess() override;
#endif
};

// The real service, copied into a fresh temporary folder beside a reader
// library (the simulator by default), the icon and optionally a card, the way
// it lies on a user's desk.
class ServiceFixture
{
public:
    struct Options
    {
        // Path of the library put beside the service as libCommonInterface.so;
        // empty: no library at all.
        QString library = QStringLiteral(KRV_SIMULATOR);
        // Sample card kind ("A", "J", "I") put on the reader; empty: none.
        QString card;
        // Create an empty krlog.txt so that the service logs.
        bool log = false;
        // The administrator's policy.conf; empty: none (the machine's own is
        // never read).
        QByteArray policy;
        // The Origin that the start-up probe sends; empty: none.
        QString probeOrigin;
        // The service's executable (a build with a shorter library deadline).
        QString executable = QStringLiteral(KRV_SERVICE_EXE);
        // The user it runs as (through setpriv; the test must be root); -1:
        // the test's own.
        int user = -1;
        // A root folder it runs in (chroot; the test must be root), as on a
        // system without user namespaces; empty: none.
        QString root;
    };

    ServiceFixture() : ServiceFixture(Options()) {}
    explicit ServiceFixture(const Options &options);
    ~ServiceFixture();

    QString dir() const { return folder.path(); }
    QString path(const QString &name) const { return folder.filePath(name); }
    QString executable() const { return path(QStringLiteral("KRVI2VeravaWebSocket")); }

    // Extra environment for the next start (simulator controls, display).
    void setEnv(const QString &name, const QString &value) { environment.insert(name, value); }
    void setWorkingDirectory(const QString &dir) { workingDirectory = dir; }

    // Starts the service and waits until it accepts connections on the
    // service port. False, with the reason in error(), when it did not.
    bool start();
    // Starts the service without waiting for it.
    void launch();
    // Waits for the process to end by itself; false on time-out.
    bool waitForExit(int milliseconds = 10000);
    void stop();

    bool running() const { return process.state() != QProcess::NotRunning; }
    // Sends the signal to the running service. Refuses a pid that is not
    // positive (a process that failed to start): kill() would signal every
    // process of the user for -1, a process group for 0 or less.
    bool sendSignal(int signal) const;
    int exitCode() const { return process.exitCode(); }
    QProcess::ExitStatus exitStatus() const { return process.exitStatus(); }
    QByteArray standardOutput() { return out += process.readAllStandardOutput(); }
    QByteArray standardError() { return err += process.readAllStandardError(); }
    QString error() const { return lastError; }
    // The service's process (its reader host is a child of it).
    qint64 pid() const;

    // Puts a card file on the reader: a sample kind's card.txt, or raw bytes as card.gb.
    void putCard(const QString &kind) const;
    void putCardText(const QByteArray &utf8) const;
    void putRawCard(const QByteArray &bytes) const;
    void removeCard() const;

    // The log, without the notes the host adds where the system lacks a
    // part of the sandbox (an emulator), which tests that count lines do not
    // expect; rawLog() keeps them.
    QByteArray log() const;
    QByteArray rawLog() const;
    static bool isSystemNote(const QByteArray &line);
    // For a failure's message: whether the service still runs (or how it
    // ended), the end of its standard error and of its log.
    QByteArray report();

    static const quint16 port = 35561;
    // The sockets listening on the service port, as the kernel lists them in
    // /proc/net/tcp and tcp6: local address (in its hexadecimal words) and user.
    struct Listener
    {
        QString address;
        long user;
    };
    static QList<Listener> listeners();
    // True when something accepts TCP connections on the service port.
    static bool portAccepts();
    // Whether a WebSocket handshake on the port completes before the deadline
    // (and within 10 s); if not, why (when asked).
    static bool answersHandshake(const QDeadlineTimer &deadline, QString *why = nullptr,
                                 const QString &origin = QString());

private:
    QTemporaryDir folder;
    ServiceProcess process;
    QProcessEnvironment environment;
    QString workingDirectory;
    QString probeOrigin;
    int user;
    QString root;
    QByteArray out;
    QByteArray err;
    QString lastError;
};

#endif // SERVICEFIXTURE_H
