#ifndef ECHOSERVER_H
#define ECHOSERVER_H

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QThreadPool>

class QWebSocket;
class QWebSocketServer;

// Listens for WebSocket clients on every interface, keeps the list of connected
// clients and answers each text message on the socket that sent it.
class EchoServer : public QObject
{
    Q_OBJECT

public:
    explicit EchoServer(quint16 port, bool debug = false, QObject *parent = nullptr);
    ~EchoServer() override;

    // Largest text or binary message a client may send; a larger one closes
    // that client's connection with close code 1009 (too much data).
    static constexpr quint64 MaxIncomingMessageSize = 1024 * 1024;

    // The connected clients, in the order in which they connected.
    const QList<QWebSocket *> &clients() const { return clientList; }

Q_SIGNALS:
    void closed();

private Q_SLOTS:
    void onNewConnection();
    void processTextMessage(const QString &message);
    void processBinaryMessage(const QByteArray &message);
    void socketDisconnected();

public Q_SLOTS:
    void OnThreadMessage(QWebSocket *pClient, const QString &msg);

private:
    QWebSocketServer *pServer;
    QList<QWebSocket *> clientList;
    bool bDebug;
    QThreadPool threadPool;
};

#endif // ECHOSERVER_H
