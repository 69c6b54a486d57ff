#include "connectiongate.h"
#include "exitstatus.h"
#include "globals.h"
#include "libraryloader.h"
#include "logsink.h"
#include "mainwindow.h"
#include "notlsbackend.h"
#include "policy.h"
#include "qtlanguage.h"
#include "signalwatcher.h"

#include <QApplication>
#include <QHostAddress>
#include <QMessageBox>
#include <QTcpServer>
#include <QThread>
#include <QWebSocketServer>

#include <cstdio>

#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// How long one call into the reader library may take before its host is
// ended and started again; a test build sets a shorter one.
#ifndef KRV_LIBRARY_DEADLINE_MS
#define KRV_LIBRARY_DEADLINE_MS 30000
#endif

// A machine without IPv6 has no ::1 to listen on; the policy's loopback then
// means 127.0.0.1 alone.
bool addressExists(const QHostAddress &address)
{
    QTcpServer any;
    return address != QHostAddress::LocalHostIPv6 || any.listen(address, 0);
}

// Proves the port free on every address the server will listen on, before
// anything else is set up, so that a second instance stops here instead of
// running without a server.
bool portAvailable()
{
    for (const QHostAddress &address : policy.listenAddresses()) {
        QWebSocketServer probe(QStringLiteral("Orvanta Server"), QWebSocketServer::NonSecureMode);
        if (!probe.listen(address, WebSocketPort) && addressExists(address))
            return false;
        probe.close();
    }
    return true;
}

// The user whose program listens on the service port, as the kernel lists
// it in /proc/net/tcp and tcp6 (state 0A is LISTEN); -1 when none is found.
long portHolder()
{
    const QByteArray port =
        ':' + QByteArray::number(WebSocketPort, 16).toUpper().rightJustified(4, '0');
    const QList<QByteArray> fields =
        ConnectionGate::tcpSocket({"/proc/net/tcp6", "/proc/net/tcp"}, [&](const auto &row) {
            return row.at(3) == "0A" && row.at(1).endsWith(port);
        });
    return fields.isEmpty() ? -1 : fields.at(7).toLong();
}

// Every client takes a descriptor, and desktops start programs with a soft
// limit of 1024: take all that the hard limit allows.
void raiseDescriptorLimit()
{
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// The service holds cards in its memory (replies on their way, the log's
// lines): no core file of it, and no process of the clerk's (the reader
// library's included) may attach to it or read its memory. An administrator
// debugging a crash switches this off with KRV_ALLOW_CORE=1 (docs/deploying.md).
void keepCardsInMemory()
{
    if (qEnvironmentVariableIntValue("KRV_ALLOW_CORE") == 1)
        return;
#if !defined(__SANITIZE_ADDRESS__)
    // (LeakSanitizer attaches to the process at its end.)
    ::prctl(PR_SET_DUMPABLE, 0);
#endif
    const rlimit noCore = {0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
}

// A platform without a screen (offscreen, minimal) has nobody to dismiss a box,
// so the process would never end.
bool hasScreen()
{
    const QString platform = QGuiApplication::platformName();
    return platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
}

} // namespace

int main(int argc, char *argv[])
{
    raiseDescriptorLimit();
    keepCardsInMemory();
    // On a high-density screen (Xft.dpi 144 or 192) the fonts grow with the
    // screen's DPI: scale the fixed-size window with them, by the exact factor,
    // so that 426 x 255 stays its size in device-independent pixels. (Qt 6
    // always scales, and rounds this way by default.)
#if QT_VERSION_MAJOR < 6
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
#endif
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(
        Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
    NoTlsBackend::install();
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    // The message boxes' standard buttons in the clerk's language.
    installQtTranslation();
    // Wayland compositors match the window to its desktop entry by this name.
    QGuiApplication::setDesktopFileName(QStringLiteral("krvi2veravawebsocket"));

    ExePath = QCoreApplication::applicationDirPath() + QLatin1Char('/');
    // A policy that cannot be honoured stops the service before it serves,
    // with one line on standard error and in the log.
    const bool policyRead = policy.load();
    strLogFile = policy.logFileOr(ExePath + QStringLiteral("krlog.txt"));
    setLogFileBound(qint64(policy.logSizeMiB()) << 20);
    if (!policyRead) {
        std::fprintf(stderr, "krvi2veravawebsocket: policy refused: %s\n",
                     policy.why().toUtf8().constData());
        qInstallMessageHandler(outputMyMessage);
        qWarning().noquote() << "Policy refused:" << policy.why();
        return ExitStatus::PolicyRefused;
    }

    // On a desk shared by several clerks another user's service holds the
    // port while their session is at the screen: this one starts, waits in
    // the tray and serves once the port is free and its own session is
    // there. A second start in this user's own session stops here.
    bool portFree = portAvailable();
    long holder = portFree ? -1 : portHolder();
    // Another clerk's service starting at the same moment probes the port by
    // listening on it for an instant: a holder gone before it could be named
    // was such a probe, and the port is looked at again.
    for (int tries = 0; !portFree && holder < 0 && tries < 5; ++tries) {
        QThread::msleep(50);
        portFree = portAvailable();
        holder = portFree ? -1 : portHolder();
    }
    const bool anotherClerksPort = holder >= 0 && holder != long(::getuid());
    if (!portFree && !anotherClerksPort) {
        std::fputs("No Available Ports Were Found\n", stdout);
        std::fflush(stdout);
        if (hasScreen())
            QMessageBox::critical(nullptr, QStringLiteral("KRVI2VeravaWebSocket"),
                                  QStringLiteral("No Available Ports Were Found"), QMessageBox::Ok,
                                  QMessageBox::NoButton);
        return ExitStatus::PortTaken;
    }

    qInstallMessageHandler(outputMyMessage);
    watchLogFile();
    if (anotherClerksPort)
        qDebug().noquote() << QStringLiteral("Port %1 is held by another user's service (uid %2): "
                                             "waiting for it")
                                  .arg(WebSocketPort)
                                  .arg(holder);
    // The library runs in a process of its own, the reader host: a fault in
    // it costs one call, never the service.
    LibraryDeadlineMs = KRV_LIBRARY_DEADLINE_MS;

    if (!LoadTerminalProtocolDll(ExePath + QStringLiteral("libCommonInterface.so"))) {
        bLoadDll = false;
        return ExitStatus::NoReaderLibrary;
    }

    SignalWatcher signalWatcher;
    MainWindow window(pReaderLibrary);
    window.setMaximumSize(426, 255);
    window.setMinimumSize(426, 255);
    window.setWindowFlags(window.windowFlags() & ~Qt::WindowMinimizeButtonHint &
                          ~Qt::WindowMaximizeButtonHint);
    window.hide();
    return app.exec();
}
