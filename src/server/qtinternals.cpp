#include "qtinternals.h"

#include <QMetaMethod>
#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>
#include <QtEndian>

#include <limits>

#include <sys/socket.h>

namespace {

const char kPingSignal[] = "pingReceived(QByteArray)";

QObject *frameReader(QWebSocket *socket)
{
    for (QObject *child : socket->children()) {
        if (child->metaObject()->indexOfSignal(kPingSignal) >= 0)
            return child;
    }
    return nullptr;
}

} // namespace

bool QtInternals::connectPings(QWebSocket *socket, QObject *receiver, const char *slot)
{
    QObject *reader = frameReader(socket);
    return reader && QObject::connect(reader, QByteArray('2' + QByteArray(kPingSignal)).constData(),
                                      receiver, slot);
}

bool QtInternals::stopFrameTimer(QWebSocket *socket)
{
    QObject *reader = frameReader(socket);
    const QList<QTimer *> timers = reader ? reader->findChildren<QTimer *>() : QList<QTimer *>();
    for (QTimer *wait : timers)
        wait->setInterval(std::numeric_limits<int>::max());
    return !timers.isEmpty();
}

QStringList QtInternals::missing()
{
    QWebSocket socket;
    QObject receiver;
    QStringList lacking;
    if (!connectPings(&socket, &receiver, SLOT(deleteLater())))
        lacking << QStringLiteral("its frame reader's ping signal (the ping rate is not held)");
    if (QT_VERSION_MAJOR == 5 && !stopFrameTimer(&socket))
        lacking << QStringLiteral("its frame reader's timer (Qt closes a message unfinished "
                                  "for 5 s with 1001)");
    return lacking;
}

bool QtInternals::isConnectionOf(const QWebSocket *socket, const QTcpSocket *connection)
{
    return connection && connection->peerPort() == socket->peerPort() &&
           connection->peerAddress() == socket->peerAddress() &&
           connection->localPort() == socket->localPort() &&
           connection->localAddress() == socket->localAddress();
}

void QtInternals::appendTextFrame(QByteArray *frames, const QByteArray &payload)
{
    const quint64 size = quint64(payload.size());
    char length[8];
    frames->append(char(0x81));
    if (size < 126) {
        frames->append(char(size));
    } else if (size <= 0xffff) {
        frames->append(char(126));
        qToBigEndian(quint16(size), length);
        frames->append(length, 2);
    } else {
        frames->append(char(127));
        qToBigEndian(size, length);
        frames->append(length, 8);
    }
    frames->append(payload);
}

void QtInternals::writeFrames(const QWebSocket *socket, QTcpSocket *connection,
                              const QByteArray &frames)
{
    // Qt's own write would switch the connection's write notifier on and off
    // again, and each switch wakes the event loop: one send keeps
    // close_device at 10 connections near the floor.
    if (socket->state() != QAbstractSocket::ConnectedState)
        return;
    qint64 sent = 0;
    const qintptr descriptor = connection->socketDescriptor();
    if (connection->bytesToWrite() == 0 && descriptor >= 0) {
        const ssize_t done = ::send(int(descriptor), frames.constData(), size_t(frames.size()),
                                    MSG_NOSIGNAL | MSG_DONTWAIT);
        sent = done > 0 ? done : 0;
    }
    // The rest goes out as the peer takes it; a failed send fails again, and
    // is reported, in Qt's write.
    if (sent < frames.size()) {
        connection->write(frames.constData() + sent, frames.size() - sent);
        connection->flush();
    }
}
