#include "qtinternals.h"

#include <QMetaMethod>
#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>

#include <limits>

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

bool QtInternals::isConnectionOf(const QWebSocket *socket, const QTcpSocket *connection)
{
    return connection && connection->peerPort() == socket->peerPort() &&
           connection->peerAddress() == socket->peerAddress() &&
           connection->localPort() == socket->localPort() &&
           connection->localAddress() == socket->localAddress();
}
