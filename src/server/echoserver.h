#ifndef ECHOSERVER_H
#define ECHOSERVER_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <deque>
#include <functional>
#include <memory>

#include "clientlimits.h"
#include "memorybudget.h"

class ClientSession;
class ReaderLibrary;
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

    // What each client is held to.
    static const ClientLimits limits;

    // Connected clients at most. A desk has a page or two open; a thousand
    // idle connections take about 17 MiB and a descriptor each. Clients are
    // grouped by page (Origin; programs without one are a group too): when
    // the server is full, a client of a group smaller than the largest is
    // let in and the largest group's quietest client closed with 1013 (try
    // again later), so that a crowd cannot keep out the desk's page;
    // otherwise the newcomer is closed with 1013.
    static constexpr int MaxClients = 2000;
    // Clients of one page (one Origin) at most: browsers share a pool of
    // WebSockets among all pages (Firefox 200 in all), and one page must
    // not take it from the desk's. The newest beyond it is closed with 1013.
    // Connections without an Origin (programs) are not counted by origin.
    // A page's clients also share one message rate (ClientLimits).
    static constexpr int MaxClientsPerOrigin = 64;
    static constexpr int OriginRefusalQuietMs = 10000;
    // A page whose clients were closed for breaking a bound (the rate, the
    // cap, a message too large, replies not read) StrikesBeforeHold times
    // within StrikeWindowMs is held off for HoldMs: its new clients are
    // closed with 1013 at once, while those connected stay. A page that
    // reconnects after every close then costs next to nothing.
    static constexpr int StrikesBeforeHold = 8;
    static constexpr int StrikeWindowMs = 10000;
    static constexpr int HoldMs = 10000;
    // Pages remembered without a client before those done with are let go.
    static constexpr int MaxPagesRemembered = 1024;
    // Connections accepted and not yet clients (their request head or
    // handshake still arriving) at most: past it, the oldest gives way.
    static constexpr int MaxArriving = 256;
    // Requests carried out in one turn of the event loop, all clients
    // together; the rest wait for the next turn. A crowd's thousands of
    // requests would otherwise make one turn last so long that the reader
    // host, answered once a turn, served the desk's page after seconds.
    static constexpr int RequestsPerTurn = 256;

    // Descriptors kept free for the reader host and the log file: with
    // fewer left, accepting pauses, and is tried again at the interval.
    static constexpr int DescriptorReserve = 16;
    static constexpr int AcceptRetryMs = 500;

    // Every SweepMs each client's deadlines are checked, the memory budget
    // held, and memory given up handed back to the system.
    static constexpr int SweepMs = 1000;

    // The library the commands go to; without one, the driver is missing.
    void useReader(ReaderLibrary *library) { reader = library; }

    // The connected clients not yet closed, in the order in which they connected.
    QList<QWebSocket *> clients() const;

    // Listens where the policy now says; clients already connected stay.
    void listenAgain();
    // Holds the connected clients to the policy now in force: those it no
    // longer admits (an origin taken out of the list, no Origin or another
    // user's program refused, a peer that is not loopback) are closed with
    // 1008, their requests dropped unanswered; the others are untouched.
    void applyPolicy();

    // On a desk shared by several clerks only the service of the login
    // session at the screen serves. Serving, the server listens, and while
    // another program holds the port it tries again every ListenRetryMs.
    // Standing down, it stops listening, sends every client away with
    // CloseOtherSession and closes the reader for the next session.
    static constexpr int CloseOtherSession = 4001;
    static constexpr int ListenRetryMs = 500;
    void setServing(bool serve);
    bool serving() const { return !listeners.isEmpty(); }
    // Tells whether a program of another user belongs to another clerk at
    // this desk: its pages are sent away with CloseOtherSession too.
    void setOtherClerk(std::function<bool(uint uid)> check) { otherClerk = std::move(check); }

Q_SIGNALS:
    // Listening began or ended.
    void servingChanged(bool serving);

private Q_SLOTS:
    void onNewConnection();
    void processBinaryMessage(const QByteArray &message);
    void checkDescriptors();
    void sayGoodbye();

private:
    void takeConnections(QTcpServer *listener);
    // Listens on the policy's addresses, with a line in the log for each
    // failure; false, listening nowhere, while another program holds the port.
    bool listen();
    void tryListening();
    void resumeAccepting();
    // A client's message: carried out at once or in its turn.
    void takeMessage(ClientSession *session, const QString &message);
    // Carries out the client's next request.
    void answerNext(ClientSession *session);
    // Serves the clients with requests waiting, a few of each in turn.
    void answerInTurn();
    // Puts a client with requests waiting in the round of turns.
    void waitForTurn(ClientSession *session);
    // The clients listed (admitted, not closed), a copy to walk while closing them.
    QList<ClientSession *> listed() const;
    // The client's connection is gone: its record goes.
    void clientGone(ClientSession *session);
    // Takes a client out of the lists, once; its calls not yet begun are dropped.
    void forget(ClientSession *session);
    // Counts what the client holds and, past the budget, closes the largest holders.
    void account(ClientSession *session);
    void holdTheBudget();
    void sweep();
    // Hands a new connection to the WebSocket handshake through the gate,
    // which answers anything else, and what a policy refuses, over HTTP.
    void handOver(QTcpSocket *connection);
    // The connection under a new client, among those arriving.
    QTcpSocket *takeArriving(const QWebSocket *pSocket);
    // Whether a new client may stay: false, with it closed with 1013, when
    // there are too many clients, or too many of its page.
    bool roomFor(ClientSession *session);
    // Stops listening; the clients connected stay.
    void closeListeners();
    // On a full server, closes the quietest client of the largest group when
    // the group of origin is smaller by two or more; false when none gives way.
    bool makeRoomFor(const QString &origin);
    // Closes a client of another clerk's session with CloseOtherSession.
    void sendToTheScreen(ClientSession *session);
    // A client of the page was closed for breaking a bound.
    void strike(const QString &origin);
    // Pages without a client that are neither held nor struck lately are let go.
    void forgetPages();

    // Does the handshakes; the listeners accept the connections for it, one
    // for every interface, or one each for 127.0.0.1 and ::1.
    QWebSocketServer *pServer;
    QList<QTcpServer *> listeners;
    quint16 listenPort;
    // Every client from its handshake until its connection is gone, closing
    // ones too (they hold memory until then); admitted: those Listed.
    QList<ClientSession *> clientList;
    int admitted = 0;
    std::deque<QPointer<ClientSession>> turns;
    quint64 turn = 0;
    int servedThisTurn = 0;
    bool roundDue = false;
    qint64 gaveWayLogged = -1;
    QList<QPointer<QTcpSocket>> arriving;
    int arrivingDropped = 0; // in this burst
    // The clients of one Origin ("": programs, which send none), and what
    // they share.
    struct Page
    {
        int clients = 0;       // listed
        qint64 refusedAt = -1; // at its cap: logged once per burst
        std::shared_ptr<RateLimit> messages;
        std::deque<qint64> strikes; // within StrikeWindowMs
        qint64 heldUntil = -1;
    };
    QHash<QString, Page> pages;
    bool bDebug;
    QTimer acceptRetry;
    bool wantServing = true;
    QTimer listenRetry;
    std::function<bool(uint)> otherClerk;
    qint64 otherClerkLogged = -1;
    // The clock clients' deadlines and rates count on, and their sweep.
    QElapsedTimer clock;
    QTimer sweepTimer;
    qint64 lastSweep = 0;
    bool trimDue = false;
    MemoryBudget budget;
    ReaderLibrary *reader = nullptr;
};

#endif // ECHOSERVER_H
