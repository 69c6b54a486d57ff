#include "echoserver.h"

#include "closelinger.h"
#include "commanddispatch.h"
#include "connectiongate.h"
#include "policy.h"
#include "readerlibrary.h"

#include <QCoreApplication>
#include <QDebug>
#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTime>
#include <QTimer>
#include <QWebSocket>
#include <QWebSocketServer>

#include <limits>
#include <utility>

#include <cerrno>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {
QString timeOfDay()
{
    return QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz"));
}

// True when fewer than EchoServer::DescriptorReserve descriptors are left.
// The system hands out the lowest free number: when that is n, the n below it
// are all taken, and at most the limit less n are free.
bool descriptorsRunningOut(int openDescriptor)
{
    rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return false;
    const int lowestFree = ::fcntl(openDescriptor, F_DUPFD_CLOEXEC, 0);
    if (lowestFree < 0)
        return errno == EMFILE;
    ::close(lowestFree);
    return rlim_t(lowestFree) + EchoServer::DescriptorReserve >= limit.rlim_cur;
}

// The connection under a client, kept among the owner's children; a new
// one is among the last.
QTcpSocket *connectionOf(const QWebSocket *client, const QObject *owner)
{
    const QObjectList &children = owner->children();
    for (auto child = children.crbegin(); child != children.crend(); ++child) {
        auto *candidate = qobject_cast<QTcpSocket *>(*child);
        if (candidate && candidate->peerPort() == client->peerPort() &&
            candidate->peerAddress() == client->peerAddress())
            return candidate;
    }
    return nullptr;
}
} // namespace

EchoServer::EchoServer(quint16 port, bool debug, QObject *parent)
    : QObject(parent), pServer(new QWebSocketServer(QStringLiteral("Echo Server"),
                                                    QWebSocketServer::NonSecureMode, this)),
      bDebug(debug), budget(CloseGraceMs)
{
    for (const QHostAddress &address : policy.listenAddresses()) {
        auto *listener = new QTcpServer(this);
        if (!listener->listen(address, port)) {
            // The tray still announces a successful start, so leave a trace of
            // why no client can connect.
            const QString where = address == QHostAddress::Any
                                      ? QString()
                                      : QStringLiteral(" of %1").arg(address.toString());
            qWarning().noquote() << QStringLiteral("Echoserver failed to listen on port %1%2: %3")
                                        .arg(port)
                                        .arg(where, listener->errorString());
            delete listener;
            continue;
        }
        listeners.append(listener);
        connect(listener, &QTcpServer::newConnection, this, &EchoServer::takeConnections);
        connect(listener, &QTcpServer::acceptError, this, &EchoServer::checkDescriptors);
    }
    if (!listeners.isEmpty()) {
        if (bDebug)
            qDebug() << "Echoserver listening on port" << port;
        connect(pServer, &QWebSocketServer::newConnection, this, &EchoServer::onNewConnection);
        connect(pServer, &QWebSocketServer::closed, this, &EchoServer::closed);
    }
    threadPool.setMaxThreadCount(300);
    // However the process ends (the tray's exit, a signal at logout), clients
    // learn that the service goes away instead of seeing the connection drop.
    if (QCoreApplication *app = QCoreApplication::instance())
        connect(app, &QCoreApplication::aboutToQuit, this, &EchoServer::sayGoodbye);
    acceptRetry.setSingleShot(true);
    acceptRetry.setInterval(AcceptRetryMs);
    connect(&acceptRetry, &QTimer::timeout, this, &EchoServer::resumeAccepting);
    connect(&budget, &MemoryBudget::overdrawn, this,
            [this](QWebSocket *client, const QString &reason) { dismiss(client, 1008, reason); });
}

EchoServer::~EchoServer()
{
    for (QTcpServer *listener : std::as_const(listeners))
        listener->close();
    pServer->close();
    // A socket deleted here still emits disconnected(); unhook it first so that
    // socketDisconnected() does not edit the list being walked.
    const QList<QWebSocket *> clients = std::exchange(clientList, {});
    for (QWebSocket *client : clients) {
        if (client) {
            client->disconnect(this);
            delete client;
        }
    }
}

void EchoServer::takeConnections()
{
    auto *listener = qobject_cast<QTcpServer *>(sender());
    while (listener && listener->hasPendingConnections()) {
        QTcpSocket *connection = listener->nextPendingConnection();
        // Out of descriptors, Qt's accept fails without a word and tries again
        // as soon as the event loop runs, at full speed for as long as it
        // lasts: look after every connection accepted, before its handshake,
        // and pause accepting while too few are left.
        checkDescriptors();
        // Kept here, where a closing client's connection is found again.
        connection->setParent(this);
        handOver(connection);
    }
}

void EchoServer::handOver(QTcpSocket *connection)
{
    auto *gate = new ConnectionGate(connection, policy, this);
    connect(gate, &ConnectionGate::admitted, this,
            [this](QTcpSocket *admitted) { pServer->handleConnection(admitted); });
}

void EchoServer::onNewConnection()
{
    if (bDebug)
        qDebug() << timeOfDay() << "NewConnection";

    QWebSocket *pSocket = pServer->nextPendingConnection();
    if (!pSocket)
        return;

    // Qt would otherwise buffer messages of up to 2 GiB from a single client.
    pSocket->setMaxAllowedIncomingFrameSize(MaxIncomingMessageSize);
    pSocket->setMaxAllowedIncomingMessageSize(MaxIncomingMessageSize);

    connect(pSocket, &QWebSocket::textMessageReceived, this, &EchoServer::processTextMessage);
    connect(pSocket, &QWebSocket::binaryMessageReceived, this, &EchoServer::processBinaryMessage);
    connect(pSocket, &QWebSocket::disconnected, this, &EchoServer::socketDisconnected);
    // Every close, Qt's own (1009) and ours (1008, 1013), lingers so that a
    // peer still sending sees the close frame rather than a reset.
    QTcpSocket *connection = connectionOf(pSocket, this);
    CloseLinger::watch(pSocket, connection, CloseGraceMs, this);
    budget.add(pSocket, connection);
    // Qt answers every ping with a pong by itself, queued like a reply, and
    // tells nobody. Its frame reader, a child of the socket, announces each
    // ping: a client that pings without reading is held to the same bound.
    for (QObject *child : pSocket->children()) {
        if (child->metaObject()->indexOfSignal("pingReceived(QByteArray)") < 0)
            continue;
        connect(child, SIGNAL(pingReceived(QByteArray)), this, SLOT(pingReceived()));
        // The reader also closes the client (1001) when a frame stays
        // incomplete for 5 s, even where the rest has arrived and only the
        // busy service has not read it. The budget's deadline for unfinished
        // messages, which counts only time the service could read, governs.
        for (QTimer *wait : child->findChildren<QTimer *>())
            wait->setInterval(std::numeric_limits<int>::max());
    }
    if (clientList.size() >= MaxClients) {
        qDebug() << "Client refused, closing with 1013:" << clientList.size()
                 << "clients connected already";
        dismiss(pSocket, 1013, QStringLiteral("too many connections"));
        return;
    }
    clientList.append(pSocket);
}

void EchoServer::dismiss(QWebSocket *pClient, int closeCode, const QString &reason)
{
    forget(pClient);
    disconnect(pClient, &QWebSocket::textMessageReceived, this, &EchoServer::processTextMessage);
    disconnect(pClient, &QWebSocket::binaryMessageReceived, this,
               &EchoServer::processBinaryMessage);
    pClient->close(QWebSocketProtocol::CloseCode(closeCode), reason);
    pClient->flush();
    QTcpSocket *connection = budget.connectionOf(pClient);
    if (connection && connection->bytesToWrite() > 0)
        CloseLinger::reset(connection);
}

void EchoServer::forget(QWebSocket *pClient)
{
    clientList.removeAll(pClient);
    replies.remove(pClient);
    if (pReaderLibrary)
        pReaderLibrary->forget(pClient);
}

void EchoServer::checkDescriptors()
{
    if (listeners.isEmpty() || !descriptorsRunningOut(int(listeners.first()->socketDescriptor())))
        return;
    if (!acceptRetry.isActive())
        qDebug() << "Accepting paused: fewer than" << DescriptorReserve << "file descriptors left";
    for (QTcpServer *listener : std::as_const(listeners))
        listener->pauseAccepting();
    acceptRetry.start();
}

void EchoServer::resumeAccepting()
{
    if (descriptorsRunningOut(int(listeners.first()->socketDescriptor()))) {
        acceptRetry.start();
        return;
    }
    acceptRetry.stop();
    for (QTcpServer *listener : std::as_const(listeners))
        listener->resumeAccepting();
}

void EchoServer::processTextMessage(const QString &message)
{
    auto *pClient = qobject_cast<QWebSocket *>(sender());
    if (bDebug)
        qDebug() << timeOfDay() << "Message received:" << message;
    if (!pClient)
        return;
    if (!withinQueueBound(pClient) || !budget.account(pClient))
        return;
    Replies &waiting = replies[pClient];
    if (waiting.queued.size() >= size_t(MaxWaitingRequests)) {
        qDebug() << "Client has" << waiting.queued.size()
                 << "requests waiting for replies, closing with 1008";
        dismiss(pClient, 1008, QStringLiteral("too many requests waiting"));
        return;
    }
    // The request stays in memory, parsed, until the library has answered it.
    const qint64 bytes = message.size() * qint64(sizeof(QChar)) * 2 + RequestOverheadBytes;
    waiting.queued.push_back(Reply{false, QString(), bytes});
    waiting.waitingBytes += bytes;
    budget.setWaiting(pClient, waiting.waitingBytes);
    const quint64 serial = waiting.first + waiting.queued.size() - 1;
    QPointer<QWebSocket> client(pClient);
    answerTextMessage(message, pClient, [this, client, serial](const QString &reply) {
        if (client)
            deliver(client, serial, reply);
    });
}

void EchoServer::deliver(QWebSocket *pClient, quint64 serial, const QString &reply)
{
    const auto waiting = replies.find(pClient);
    if (waiting == replies.end() || serial < waiting->first)
        return; // dismissed, or gone, meanwhile
    Reply &slot = waiting->queued[size_t(serial - waiting->first)];
    slot.ready = true;
    slot.text = reply;
    bool sent = false;
    while (!waiting->queued.empty() && waiting->queued.front().ready) {
        const Reply next = std::move(waiting->queued.front());
        waiting->queued.pop_front();
        ++waiting->first;
        waiting->waitingBytes -= next.bytes;
        if (next.text.isNull()) {
            dismiss(pClient, 1009, QStringLiteral("reply too large"));
            return;
        }
        pClient->sendTextMessage(next.text);
        sent = true;
    }
    budget.setWaiting(pClient, waiting->waitingBytes);
    if (!sent)
        return;
    // Handed to the system now, in one go with the replies before it.
    pClient->flush();
    budget.account(pClient);
}

bool EchoServer::withinQueueBound(QWebSocket *pClient)
{
    if (pClient->bytesToWrite() <= MaxQueuedBytes)
        return true;
    qDebug() << "Client not reading its replies, closing with 1008:" << pClient->bytesToWrite()
             << "bytes unread";
    dismiss(pClient, 1008, QStringLiteral("replies not read"));
    return false;
}

void EchoServer::pingReceived()
{
    // The sender is the socket's frame reader; its pong is queued by now.
    if (auto *pClient = qobject_cast<QWebSocket *>(sender() ? sender()->parent() : nullptr))
        if (withinQueueBound(pClient))
            budget.account(pClient);
}

void EchoServer::processBinaryMessage(const QByteArray &message)
{
    // Binary frames are never answered.
    if (bDebug)
        qDebug() << "Binary Message received:" << message;
}

void EchoServer::socketDisconnected()
{
    auto *pClient = qobject_cast<QWebSocket *>(sender());
    if (bDebug)
        qDebug() << timeOfDay() << "socketDisconnected:" << pClient;
    if (!pClient)
        return;
    forget(pClient);
    budget.remove(pClient);
    // Other receivers of disconnected() may still be running.
    pClient->deleteLater();
    // A descriptor is free again once the socket is deleted.
    connect(pClient, &QObject::destroyed, this, [this] {
        if (acceptRetry.isActive())
            resumeAccepting();
    });
}

void EchoServer::sayGoodbye()
{
    // close() emits disconnected() at once, and socketDisconnected() takes the
    // client out of clientList: walk a copy, or every second client is skipped.
    const QList<QWebSocket *> clients = clientList;
    for (QWebSocket *client : clients) {
        client->close(QWebSocketProtocol::CloseCodeGoingAway);
        // The event loop is over: hand the close frame to the system now.
        client->flush();
    }
}

void EchoServer::OnThreadMessage(QWebSocket *pClient, const QString &msg)
{
    pClient->sendTextMessage(msg);
}
