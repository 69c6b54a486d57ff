#include "echoserver.h"

#include "closelinger.h"
#include "commanddispatch.h"

#include <QCoreApplication>
#include <QDebug>
#include <QHostAddress>
#include <QTcpServer>
#include <QTime>
#include <QTimer>
#include <QWebSocket>
#include <QWebSocketServer>

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
} // namespace

EchoServer::EchoServer(quint16 port, bool debug, QObject *parent)
    : QObject(parent), pServer(new QWebSocketServer(QStringLiteral("Echo Server"),
                                                    QWebSocketServer::NonSecureMode, this)),
      bDebug(debug)
{
    if (pServer->listen(QHostAddress::Any, port)) {
        if (bDebug)
            qDebug() << "Echoserver listening on port" << port;
        connect(pServer, &QWebSocketServer::newConnection, this, &EchoServer::onNewConnection);
        connect(pServer, &QWebSocketServer::closed, this, &EchoServer::closed);
        // Out of descriptors, Qt's accept fails without a word and tries again
        // as soon as the event loop runs, at full speed for as long as it
        // lasts. Look after every connection the listening socket accepts
        // (before its handshake), and pause accepting while too few are left.
        auto *listener = pServer->findChild<QTcpServer *>();
        connect(listener, &QTcpServer::newConnection, this, &EchoServer::checkDescriptors);
        connect(pServer, &QWebSocketServer::acceptError, this, &EchoServer::checkDescriptors);
    } else {
        // The tray still announces a successful start, so leave a trace of why
        // no client can connect.
        qWarning().noquote() << QStringLiteral("Echoserver failed to listen on port %1: %2")
                                    .arg(port)
                                    .arg(pServer->errorString());
    }
    threadPool.setMaxThreadCount(300);
    // However the process ends (the tray's exit, a signal at logout), clients
    // learn that the service goes away instead of seeing the connection drop.
    if (QCoreApplication *app = QCoreApplication::instance())
        connect(app, &QCoreApplication::aboutToQuit, this, &EchoServer::sayGoodbye);
    acceptRetry.setSingleShot(true);
    acceptRetry.setInterval(AcceptRetryMs);
    connect(&acceptRetry, &QTimer::timeout, this, &EchoServer::resumeAccepting);
}

EchoServer::~EchoServer()
{
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
    // Every close, Qt's own (1009) and ours (1008, 1013), leaves the peer time
    // to take the close frame.
    CloseLinger::watch(pSocket,
                       pServer->findChild<QTcpServer *>(QString(), Qt::FindDirectChildrenOnly),
                       CloseGraceMs, this);
    // Qt answers every ping with a pong by itself, queued like a reply, and
    // tells nobody. Its frame reader, a child of the socket, announces each
    // ping: a client that pings without reading is held to the same bound.
    for (QObject *child : pSocket->children()) {
        if (child->metaObject()->indexOfSignal("pingReceived(QByteArray)") >= 0)
            connect(child, SIGNAL(pingReceived(QByteArray)), this, SLOT(pingReceived()));
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
    clientList.removeAll(pClient);
    disconnect(pClient, &QWebSocket::textMessageReceived, this, &EchoServer::processTextMessage);
    disconnect(pClient, &QWebSocket::binaryMessageReceived, this,
               &EchoServer::processBinaryMessage);
    pClient->close(QWebSocketProtocol::CloseCode(closeCode), reason);
    QTimer::singleShot(CloseGraceMs, pClient, &QWebSocket::abort);
}

void EchoServer::checkDescriptors()
{
    if (!descriptorsRunningOut(int(pServer->nativeDescriptor())))
        return;
    if (!acceptRetry.isActive())
        qDebug() << "Accepting paused: fewer than" << DescriptorReserve << "file descriptors left";
    // Again after every accept: taking a connection from the listening socket
    // switches accepting back on.
    pServer->pauseAccepting();
    acceptRetry.start();
}

void EchoServer::resumeAccepting()
{
    if (descriptorsRunningOut(int(pServer->nativeDescriptor()))) {
        acceptRetry.start();
        return;
    }
    acceptRetry.stop();
    pServer->resumeAccepting();
}

void EchoServer::processTextMessage(const QString &message)
{
    auto *pClient = qobject_cast<QWebSocket *>(sender());
    if (bDebug)
        qDebug() << timeOfDay() << "Message received:" << message;
    if (!pClient)
        return;
    if (!withinQueueBound(pClient))
        return;
    const QString reply = answerTextMessage(message);
    if (reply.isNull()) {
        dismiss(pClient, 1009, QStringLiteral("reply too large"));
        return;
    }
    pClient->sendTextMessage(reply);
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
        withinQueueBound(pClient);
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
    clientList.removeAll(pClient);
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
