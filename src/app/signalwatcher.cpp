#include "signalwatcher.h"

#include <QCoreApplication>
#include <QDebug>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// [0] read by the event loop, [1] written by the handler.
int signalPipe[2] = {-1, -1};

const int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

void writeSignal(int signal)
{
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signal);
    // Non-blocking: when the pipe is full, a quit is already on its way.
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

} // namespace

SignalWatcher::SignalWatcher(QObject *parent) : QObject(parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, signalPipe) != 0) {
        qWarning() << "Signals cannot be watched:" << strerror(errno);
        return;
    }
    notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &SignalWatcher::onSignal);

    struct sigaction action = {};
    action.sa_handler = writeSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : kSignals)
        ::sigaction(signal, &action, nullptr);
}

SignalWatcher::~SignalWatcher()
{
    if (!notifier)
        return;
    for (const int signal : kSignals)
        std::signal(signal, SIG_DFL);
    ::close(signalPipe[0]);
    ::close(signalPipe[1]);
    signalPipe[0] = signalPipe[1] = -1;
}

void SignalWatcher::onSignal()
{
    unsigned char byte = 0;
    while (::read(signalPipe[0], &byte, 1) == 1)
        qDebug() << "Signal" << int(byte) << "received, quitting";
    // Leaves every event loop, a modal box's included.
    QCoreApplication::exit(0);
}
