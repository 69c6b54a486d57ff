#include "globals.h"
#include "libraryloader.h"
#include "logsink.h"
#include "mainwindow.h"
#include "signalwatcher.h"

#include <QApplication>
#include <QHostAddress>
#include <QMessageBox>
#include <QWebSocketServer>

#include <cstdio>

#include <sys/resource.h>

namespace {

// What the process returns when start-up fails; a parent sees them as the
// exit statuses 252 and 254.
constexpr int ExitPortTaken = -4;
constexpr int ExitNoReaderLibrary = -2;

// Proves the port free before anything else is set up, so that a second
// instance stops here instead of running without a server.
bool portAvailable()
{
    QWebSocketServer probe(QStringLiteral("Orvanta Server"), QWebSocketServer::NonSecureMode);
    if (!probe.listen(QHostAddress::Any, WebSocketPort))
        return false;
    probe.close();
    return true;
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
    // On a high-density screen (Xft.dpi 144 or 192) the fonts grow with the
    // screen's DPI: scale the fixed-size window with them, by the exact factor,
    // so that 426 x 255 stays its size in device-independent pixels.
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(
        Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    // Wayland compositors match the window to its desktop entry by this name.
    QGuiApplication::setDesktopFileName(QStringLiteral("krvi2veravawebsocket"));

    ExePath = QCoreApplication::applicationDirPath() + QLatin1Char('/');
    strLogFile = ExePath + QStringLiteral("krlog.txt");

    if (!portAvailable()) {
        std::fputs("No Available Ports Were Found\n", stdout);
        std::fflush(stdout);
        if (hasScreen())
            QMessageBox::critical(nullptr, QStringLiteral("KRVI2VeravaWebSocket"),
                                  QStringLiteral("No Available Ports Were Found"), QMessageBox::Ok,
                                  QMessageBox::NoButton);
        return ExitPortTaken;
    }

    qInstallMessageHandler(outputMyMessage);

    if (!LoadTerminalProtocolDll(ExePath + QStringLiteral("libCommonInterface.so"))) {
        bLoadDll = false;
        return ExitNoReaderLibrary;
    }

    SignalWatcher signalWatcher;
    MainWindow window;
    window.setMaximumSize(426, 255);
    window.setMinimumSize(426, 255);
    window.setWindowFlags(window.windowFlags() & ~Qt::WindowMinimizeButtonHint &
                          ~Qt::WindowMaximizeButtonHint);
    window.hide();
    return app.exec();
}
