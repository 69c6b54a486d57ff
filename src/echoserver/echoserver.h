#ifndef ECHOSERVER_H
#define ECHOSERVER_H

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QThreadPool>
#include <QTimer>

#include "memorybudget.h"

#include <deque>

class QTcpServer;
class QTcpSocket;
class QWebSocket;
class QWebSocketServer;

// Listens for WebSocket clients on every interface (or, by policy, on the
// loopback addresses only), keeps the list of connected clients and answers
// each text message on the socket that sent it.
class EchoServer : public QObject
{
    Q_OBJECT

public:
    explicit EchoServer(quint16 port, bool debug = false, QObject *parent = nullptr);
    ~EchoServer() override;

    // Largest text or binary message a client may send; a larger one closes
    // that client's connection with close code 1009 (too much data).
    static constexpr quint64 MaxIncomingMessageSize = 1024 * 1024;

    // Reply bytes queued for one client and not yet taken by the system. One
    // that reads its replies has one or two queued (a card read's is 12 KB);
    // past this bound (it never reads, or pings without reading the pongs)
    // its next request or ping closes it with code 1008 (policy violation).
    static constexpr qint64 MaxQueuedBytes = 8 * 1024 * 1024;

    // Connected clients at most. A desk has a page or two open; a thousand
    // idle connections take about 17 MiB and a descriptor each. A connection
    // beyond the cap is closed at once with code 1013 (try again later).
    static constexpr int MaxClients = 2000;

    // How long a client closed by Qt (a protocol error, a message past the
    // size limit) has to take its close frame before its connection is
    // dropped, with whatever it left unread. One the service closes itself
    // is dropped at once when the system does not take the close frame.
    static constexpr int CloseGraceMs = 30000;

    // Descriptors kept free for the reader library and the log file: with
    // fewer left, accepting pauses, and is tried again at the interval.
    static constexpr int DescriptorReserve = 16;
    static constexpr int AcceptRetryMs = 500;

    // Requests of one client waiting for their replies (the reader library
    // carries out one call at a time, for every client in turn). A page
    // starts a few at once; past this bound the client is closed with 1008.
    // What they hold counts towards the memory budget: the request's text
    // twice over (text and parsed) and RequestOverheadBytes.
    static constexpr int MaxWaitingRequests = 1024;
    static constexpr qint64 RequestOverheadBytes = 512;

    // The connected clients, in the order in which they connected.
    const QList<QWebSocket *> &clients() const { return clientList; }

Q_SIGNALS:
    void closed();

private Q_SLOTS:
    void onNewConnection();
    void takeConnections();
    void processTextMessage(const QString &message);
    void processBinaryMessage(const QByteArray &message);
    void socketDisconnected();
    void checkDescriptors();
    void pingReceived();
    void sayGoodbye();

public Q_SLOTS:
    // Part of the server's interface, like threadPool: nothing here uses either.
    void OnThreadMessage(QWebSocket *pClient, const QString &msg);

private:
    // Closes a client's connection with the code and carries out nothing
    // more that it sends. A peer that has not taken what it was sent would
    // see the close frame only after all of it: its connection is reset.
    void dismiss(QWebSocket *pClient, int closeCode, const QString &reason);
    void resumeAccepting();
    // Takes a client out of the lists; its calls not yet begun are dropped.
    void forget(QWebSocket *pClient);
    // Hands a new connection to the WebSocket handshake through the gate,
    // which answers anything else, and what a policy refuses, over HTTP.
    void handOver(QTcpSocket *connection);
    // False, with the client dismissed, when it has more than MaxQueuedBytes unread.
    bool withinQueueBound(QWebSocket *pClient);
    // Sends the reply to the request numbered serial, and every reply behind
    // it that is ready: each client's replies keep the order of its requests.
    void deliver(QWebSocket *pClient, quint64 serial, const QString &reply);

    struct Reply
    {
        bool ready = false;
        QString text;     // null: too large to send
        qint64 bytes = 0; // the request, held until it is answered
    };
    struct Replies
    {
        quint64 first = 0; // serial of the oldest reply not yet sent
        std::deque<Reply> queued;
        qint64 waitingBytes = 0;
    };

    // Does the handshakes; the listeners accept the connections for it, one
    // for every interface, or one each for 127.0.0.1 and ::1.
    QWebSocketServer *pServer;
    QList<QTcpServer *> listeners;
    QList<QWebSocket *> clientList;
    QHash<QWebSocket *, Replies> replies;
    bool bDebug;
    QThreadPool threadPool;
    QTimer acceptRetry;
    MemoryBudget budget;
};

#endif // ECHOSERVER_H
