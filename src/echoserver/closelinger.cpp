#include "closelinger.h"

#include <QPointer>
#include <QSocketNotifier>
#include <QTcpSocket>
#include <QWebSocket>

#include <cerrno>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

int CloseLinger::lingering = 0;

void CloseLinger::watch(QWebSocket *socket, int graceMs, QObject *owner)
{
    // The client's connection is the owner's child with its peer; a new one
    // is among the last.
    const QObjectList &children = owner->children();
    QPointer<QTcpSocket> connection;
    for (auto child = children.crbegin(); child != children.crend() && !connection; ++child) {
        auto *candidate = qobject_cast<QTcpSocket *>(*child);
        if (candidate && candidate->peerPort() == socket->peerPort() &&
            candidate->peerAddress() == socket->peerAddress())
            connection = candidate;
    }
    // Qt announces a close more than once.
    connect(socket, &QWebSocket::aboutToClose, owner, [connection, graceMs, owner]() mutable {
        if (connection)
            start(connection, graceMs, owner);
        connection = nullptr;
    });
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
    ::close(descriptor);
    --lingering;
}

void CloseLinger::sendingDone()
{
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
