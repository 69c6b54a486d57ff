#include "servicefixture.h"

#include "testfiles.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <QWebSocket>

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

// Qt 6.5 renamed the socket's error signal.
#if QT_VERSION < QT_VERSION_CHECK(6, 5, 0)
constexpr auto webSocketError = QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error);
#else
constexpr auto webSocketError = &QWebSocket::errorOccurred;
#endif

namespace {

void copyExecutable(const QString &from, const QString &to)
{
    QFile::remove(to);
    QFile::copy(from, to);
    QFile::setPermissions(to, QFile::permissions(from));
}

} // namespace

namespace {
void endWithParent()
{
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
}
} // namespace

#if QT_VERSION_MAJOR < 6
ServiceProcess::ServiceProcess() = default;

void ServiceProcess::setupChildProcess()
{
    endWithParent();
}
#else
ServiceProcess::ServiceProcess()
{
    setChildProcessModifier(endWithParent);
}
#endif

ServiceFixture::ServiceFixture(const Options &options)
    : environment(QProcessEnvironment::systemEnvironment())
{
    copyExecutable(options.executable, executable());
    copyExecutable(QStringLiteral(KRV_READERHOST_EXE), path(QStringLiteral("krvreaderhost")));
    if (!options.library.isEmpty())
        copyExecutable(options.library, path(QStringLiteral("libCommonInterface.so")));
    QFile::copy(QStringLiteral(KRV_OUTPUT_DIR "/logo.ico"), path(QStringLiteral("logo.ico")));
    if (!options.card.isEmpty())
        putCard(options.card);
    if (options.log)
        writeFile(path(QStringLiteral("krlog.txt")), QByteArray());
    // The service reads its policy from the XDG system configuration folders.
    QDir(dir()).mkpath(QStringLiteral("xdg/krvi2veravawebsocket"));
    environment.insert(QStringLiteral("XDG_CONFIG_DIRS"), path(QStringLiteral("xdg")));
    if (!options.policy.isEmpty())
        writeFile(path(QStringLiteral("xdg/krvi2veravawebsocket/policy.conf")), options.policy);
    probeOrigin = options.probeOrigin;
    user = options.user;
    root = options.root;
    if (user >= 0) {
        QFile::setPermissions(dir(),
                              QFile::permissions(dir()) | QFile::ReadOther | QFile::ExeOther);
        environment.insert(QStringLiteral("HOME"), dir());
        environment.remove(QStringLiteral("XDG_RUNTIME_DIR"));
        environment.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
        if (options.log &&
            ::chown(qPrintable(path(QStringLiteral("krlog.txt"))), uid_t(user), gid_t(user)) != 0)
            qWarning("cannot hand the log to the service's user");
    }

    // Serving whatever login session the test runs in: a test that stands
    // in for logind says so.
    environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"),
                       QStringLiteral("unix:path=/nonexistent"));
    environment.remove(QStringLiteral("XDG_SESSION_ID"));
    // Headless unless a test asks for a display; simulator controls from the
    // surrounding environment must not leak in.
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    for (const QString &name : environment.keys()) {
        if (name.startsWith(QLatin1String("KRSIM_")))
            environment.remove(name);
    }
    workingDirectory = dir();
}

ServiceFixture::~ServiceFixture()
{
    stop();
}

void ServiceFixture::launch()
{
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(workingDirectory);
    process.setProcessChannelMode(QProcess::SeparateChannels);
    if (user < 0) {
        process.start(executable(), QStringList());
        return;
    }
    // A change of user clears the parent's death signal: setpriv sets it again.
    const QString id = QString::number(user);
    QStringList command{QStringLiteral("setpriv"),          QStringLiteral("--reuid=") + id,
                        QStringLiteral("--regid=") + id,    QStringLiteral("--clear-groups"),
                        QStringLiteral("--pdeathsig=KILL"), executable()};
    if (!root.isEmpty())
        command = QStringList{QStringLiteral("chroot"), root} + command;
    process.start(command.takeFirst(), command);
}

bool ServiceFixture::start()
{
    if (portAccepts()) {
        lastError = QStringLiteral("port %1 is already taken before the start").arg(port);
        return false;
    }
    launch();
    if (!process.waitForStarted(10000)) {
        lastError = process.errorString();
        return false;
    }
    // Generous: under arm64 emulation on a busy machine a start has taken 20 s.
    const QDeadlineTimer deadline(60000);
    while (!deadline.hasExpired()) {
        if (process.state() == QProcess::NotRunning) {
            lastError = QStringLiteral("the service ended with %1").arg(process.exitCode());
            return false;
        }
        // Serving, not only listening: the port accepts as soon as the server
        // listens, but handshakes are answered once the event loop runs, which
        // a loaded machine (a sanitizer build beside another test) can delay.
        QString probeError;
        if (portAccepts() && answersHandshake(deadline, &probeError, probeOrigin))
            return true;
        if (!probeError.isEmpty())
            lastError = probeError;
        process.waitForFinished(20);
    }
    lastError = QStringLiteral("the service did not serve within 60 s (last handshake: %1)")
                    .arg(lastError.isEmpty() ? QStringLiteral("none tried") : lastError);
    return false;
}

bool ServiceFixture::answersHandshake(const QDeadlineTimer &deadline, QString *why,
                                      const QString &origin)
{
    QWebSocket probe(origin);
    // The wait ends with the handshake, its failure or ten seconds: a failed
    // probe is tried again by the caller rather than waited on.
    QEventLoop loop;
    QObject::connect(&probe, &QWebSocket::connected, &loop, &QEventLoop::quit);
    QObject::connect(&probe, &QWebSocket::disconnected, &loop, &QEventLoop::quit);
    QObject::connect(&probe, webSocketError, &loop, &QEventLoop::quit);
    QTimer::singleShot(int(qBound(qint64(1), deadline.remainingTime(), qint64(10000))), &loop,
                       &QEventLoop::quit);
    probe.open(QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(port)));
    loop.exec();
    const bool answered = probe.state() == QAbstractSocket::ConnectedState;
    if (!answered && why)
        *why = probe.error() == QAbstractSocket::UnknownSocketError
                   ? QStringLiteral("no answer within 10 s")
                   : probe.errorString();
    probe.abort();
    return answered;
}

bool ServiceFixture::waitForExit(int milliseconds)
{
    if (process.state() == QProcess::NotRunning)
        return true;
    return process.waitForFinished(milliseconds);
}

void ServiceFixture::stop()
{
    if (process.state() == QProcess::NotRunning)
        return;
    const qint64 service = pid();
    process.terminate();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(5000);
    }
    // The service must not hold the port when the next test starts one. A
    // sanitizer build's exit (the leak check) can take seconds; a killed
    // process lets its port go only once it is gone.
    QDeadlineTimer deadline(10000);
    while (service > 0 && ::kill(pid_t(service), 0) == 0 && !deadline.hasExpired())
        QThread::msleep(10);
    if (service > 0)
        ::kill(pid_t(service), SIGKILL);
    QDeadlineTimer released(10000);
    while (portAccepts() && !released.hasExpired())
        QThread::msleep(10);
}

QList<ServiceFixture::Listener> ServiceFixture::listeners()
{
    QList<Listener> found;
    for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        QFile file(QString::fromLatin1(table));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        // State 0A is LISTEN; 8AE9 is the port.
        for (const QByteArray &line : file.readAll().split('\n')) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            if (fields.size() > 7 && fields.at(3) == "0A" && fields.at(1).endsWith(":8AE9"))
                found.append({QString::fromLatin1(fields.at(1).chopped(5)), fields.at(7).toLong()});
        }
    }
    return found;
}

qint64 ServiceFixture::pid() const
{
    return process.processId();
}

bool ServiceFixture::sendSignal(int signal) const
{
    const qint64 id = process.processId();
    return id > 0 && running() && ::kill(pid_t(id), signal) == 0;
}

void ServiceFixture::putCard(const QString &kind) const
{
    QFile card(QStringLiteral(KRV_OUTPUT_DIR "/cards/card-%1.txt").arg(kind));
    if (card.open(QIODevice::ReadOnly))
        putCardText(card.readAll());
}

void ServiceFixture::putCardText(const QByteArray &utf8) const
{
    QFile::remove(path(QStringLiteral("card.gb")));
    writeFile(path(QStringLiteral("card.txt")), utf8);
}

void ServiceFixture::putRawCard(const QByteArray &bytes) const
{
    QFile::remove(path(QStringLiteral("card.txt")));
    writeFile(path(QStringLiteral("card.gb")), bytes);
}

void ServiceFixture::removeCard() const
{
    QFile::remove(path(QStringLiteral("card.txt")));
    QFile::remove(path(QStringLiteral("card.gb")));
}

QByteArray ServiceFixture::rawLog() const
{
    QFile file(path(QStringLiteral("krlog.txt")));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool ServiceFixture::isSystemNote(const QByteArray &line)
{
    return line.contains("The reader library runs without its sandbox") ||
           line.contains("The reader host's memory bound could not be set");
}

QByteArray ServiceFixture::log() const
{
    QByteArray kept;
    for (const QByteArray &line : rawLog().split('\n')) {
        if (!isSystemNote(line))
            kept += line + '\n';
    }
    kept.chop(1);
    return kept;
}

QByteArray ServiceFixture::report()
{
    process.waitForFinished(200);
    const QString state = running() ? QStringLiteral("running")
                          : process.exitStatus() == QProcess::CrashExit
                              ? QStringLiteral("killed by signal %1").arg(exitCode())
                              : QStringLiteral("ended with %1").arg(exitCode());
    return "service " + state.toUtf8() + "; stderr: " + standardError().right(1500) +
           "; log: " + log().right(1500);
}

bool ServiceFixture::portAccepts()
{
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    const bool connected = socket.waitForConnected(500);
    socket.abort();
    return connected;
}
