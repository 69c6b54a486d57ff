#include "closelinger.h"

#include <QPointer>
#include <QSocketNotifier>
#include <QTcpSocket>
#include <QWebSocket>

#include <cerrno>
#include <utility>

#include <fcntl.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

int CloseLinger::lingering = 0;

void CloseLinger::watch(QWebSocket *socket, QTcpSocket *connection, int graceMs, QObject *owner)
{
    // Qt announces a close more than once, and once more from within the
    // connection's own close.
    connect(socket, &QWebSocket::aboutToClose, owner,
            [connection = QPointer<QTcpSocket>(connection), graceMs, owner]() mutable {
                QTcpSocket *closing = std::exchange(connection, nullptr);
                if (!closing)
                    return;
                start(closing, graceMs, owner);
                // Qt 6.11 keeps the connection open for the peer's close
                // frame, parsing on whatever the peer still sends: the rest
                // of a message too large as frames of garbage (a timer each)
                // or pings answered with pongs a peer that never reads leaves
                // queued. Closed at once, as Qt 5 and 6.8 do; the lingering
                // duplicate takes the peer's last bytes.
                closing->close();
            });
}

void CloseLinger::reset(QTcpSocket *connection)
{
    // With a zero linger time the last close of the connection, this one or
    // the lingering duplicate's, sends a reset and discards what is queued.
    const linger now{1, 0};
    ::setsockopt(int(connection->socketDescriptor()), SOL_SOCKET, SO_LINGER, &now, sizeof now);
    connection->abort();
}

bool CloseLinger::resetting() const
{
    linger option{};
    socklen_t size = sizeof option;
    return ::getsockopt(descriptor, SOL_SOCKET, SO_LINGER, &option, &size) == 0 && option.l_onoff &&
           option.l_linger == 0;
}

void CloseLinger::start(QTcpSocket *connection, int graceMs, QObject *owner)
{
    if (connection->socketDescriptor() < 0 || lingering >= MaxLingering)
        return;
    const int duplicate = ::fcntl(int(connection->socketDescriptor()), F_DUPFD_CLOEXEC, 0);
    if (duplicate < 0)
        return;
    auto *linger = new CloseLinger(duplicate, graceMs, owner);
    // Qt lets go of its descriptor once its last bytes, the close frame among
    // them, are with the system (or it gives up on them).
    connect(connection, &QAbstractSocket::disconnected, linger, &CloseLinger::sendingDone);
}

CloseLinger::CloseLinger(int descriptor, int graceMs, QObject *owner)
    : QObject(owner), descriptor(descriptor),
      notifier(new QSocketNotifier(descriptor, QSocketNotifier::Read, this))
{
    ++lingering;
    connect(notifier, &QSocketNotifier::activated, this, &CloseLinger::drain);
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, this, &QObject::deleteLater);
    deadline.start(graceMs + LingerMs);
}

CloseLinger::~CloseLinger()
{
    // A peer that never took its last bytes would otherwise keep the system
    // sending them for minutes, and never see the connection end.
    int unsent = 0;
    if (::ioctl(descriptor, SIOCOUTQ, &unsent) == 0 && unsent > 0) {
        const linger now{1, 0};
        ::setsockopt(descriptor, SOL_SOCKET, SO_LINGER, &now, sizeof now);
    }
    ::close(descriptor);
    --lingering;
}

void CloseLinger::sendingDone()
{
    if (resetting()) {
        deleteLater();
        return;
    }
    ::shutdown(descriptor, SHUT_WR);
    deadline.start(LingerMs);
}

void CloseLinger::drain()
{
    char discard[65536];
    for (;;) {
        const ssize_t got = ::read(descriptor, discard, sizeof discard);
        if (got > 0) {
            drained += got;
            if (drained <= LingerBytes)
                continue;
        } else if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
            return;
        }
        // The peer has closed, the connection failed, or it sent too much.
        notifier->setEnabled(false);
        deleteLater();
        return;
    }
}
