#include "echoserver.h"

#include "commandprotocol.h"

#include <QDebug>
#include <QHostAddress>
#include <QTime>
#include <QWebSocket>
#include <QWebSocketServer>

#include <utility>

namespace {
QString timeOfDay()
{
    return QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz"));
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
    } else {
        // The tray still announces a successful start, so leave a trace of why
        // no client can connect.
        qWarning().noquote() << QStringLiteral("Echoserver failed to listen on port %1: %2")
                                    .arg(port)
                                    .arg(pServer->errorString());
    }
    threadPool.setMaxThreadCount(300);
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
    clientList.append(pSocket);
}

void EchoServer::processTextMessage(const QString &message)
{
    auto *pClient = qobject_cast<QWebSocket *>(sender());
    if (bDebug)
        qDebug() << timeOfDay() << "Message received:" << message;
    if (!pClient)
        return;
    pClient->sendTextMessage(answerTextMessage(message));
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
    if (pClient) {
        clientList.removeAll(pClient);
        // Other receivers of disconnected() may still be running.
        pClient->deleteLater();
    }
}

void EchoServer::OnThreadMessage(QWebSocket *pClient, const QString &msg)
{
    pClient->sendTextMessage(msg);
}
