#ifndef CLIENTSESSION_H
#define CLIENTSESSION_H

#include "clientlimits.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTcpSocket>

#include <deque>
#include <memory>

class QWebSocket;

// The record of one connected client: its WebSocket and the connection under
// it (taken when the client was admitted), what it makes the service hold,
// its deadlines and rates, the replies it waits for, its place in the
// server's lists, and its close. A child of its socket, so it goes with it.
// The server keeps the list of records, runs the clock they count on, and
// sweeps their deadlines.
class ClientSession : public QObject
{
    Q_OBJECT

public:
    ClientSession(QWebSocket *socket, QTcpSocket *connection, const ClientLimits &limits,
                  const QElapsedTimer &clock);

    QWebSocket *socket() const { return pSocket; }
    QTcpSocket *connection() const { return pConnection; }
    bool closing() const { return closingSince >= 0; }
    // The message rate it is held to as a web page: its page's, which all
    // the page's clients share.
    void shareMessageRate(std::shared_ptr<RateLimit> rate) { messages = std::move(rate); }

    // Takes a request in: false, with the client closed, when it is past a
    // bound (replies not read, too many waiting). Requests are carried out
    // a few at a time (nextRequest), in turn with other clients'; a reply,
    // sent with deliver(), goes out after those of the requests before it.
    bool receive(const QString &message);
    bool hasRequests() const { return !inbox.empty(); }
    // Whether another of its requests may be carried out now: fewer than
    // requestsInProgress are, and it has taken its replies but backlogBytes.
    bool mayCarryOutMore() const { return inProgress < limits.requestsInProgress && !backlogged(); }
    bool nextRequest(QString *message, quint64 *serial);
    // Whether the client may be served at once this turn of the event loop
    // (nothing of it waits, and it has not had its share of the turn).
    bool mayJumpTheQueue(quint64 turn);
    // Kept by the server: where the client is in its lists (Arrived until it
    // is given room; Closed, out of the lists and the reader's holders, once
    // whether the service closed it or the peer left; Gone with its
    // connection, the record to be freed); waiting in its round of turns;
    // what the memory budget counted it holding last.
    enum class Stage { Arrived, Listed, Closed, Gone };
    Stage stage = Stage::Arrived;
    bool inTurn = false;
    qint64 counted = 0;
    // The reply to the request numbered serial (null: too large to send).
    void deliver(quint64 serial, const QString &reply);

    // Closes with the code and carries out nothing more that the client
    // sends. A peer that has not taken what it was sent would see the close
    // frame only after all of it: its connection is reset.
    void dismiss(int closeCode, const QString &reason);

    // What the client holds now, as the memory budget counts it: the bytes queued
    // for it and not yet taken by the system, and, until it closes, those of
    // messages still arriving and of requests waiting for the library.
    qint64 holding() const;
    // When it connected or last sent a request, on the server's clock: the
    // quietest client of a crowd gives way first when the server is full.
    qint64 lastRequestAt() const { return lastRequest; }
    // Closes the client, with a line in the log, when it has left a large
    // queue unread or a message unfinished for too long; drops a closed
    // one's connection when it has not taken its close frame in time.
    // stalledMs: time the service was busy elsewhere, nobody's delay.
    void checkDeadlines(qint64 nowMs, qint64 stalledMs);

Q_SIGNALS:
    // Closed by the service: it takes no more requests.
    void dismissed();
    // It has taken enough of its replies for its requests held back to go on.
    void caughtUp();
    // Closed for breaking one of its bounds (by the service or by Qt).
    void brokeBound();
    // What it holds has changed: the server counts it against the budget,
    // which may close it.
    void holdingChanged();

private Q_SLOTS:
    void pingReceived();

private:
    bool takeRequest(qint64 textBytes, quint64 *serial);
    bool backlogged() const
    {
        return pConnection && pConnection->bytesToWrite() > limits.backlogBytes;
    }

    struct Reply
    {
        bool ready = false;
        QString text;     // null: too large to send
        qint64 bytes = 0; // the request, held until it is answered
    };

    void frameReceived(qint64 bytes, bool isLastFrame);
    void dataRead();
    void aboutToClose();
    // False, with the client closed, when it has more than maxQueuedBytes unread.
    bool withinQueueBound();
    void close(const QString &line, int closeCode, const QString &reason);

    QWebSocket *pSocket;
    QPointer<QTcpSocket> pConnection;
    const ClientLimits &limits;
    const QElapsedTimer &clock;
    RateLimit pings;
    std::shared_ptr<RateLimit> messages; // held to it when it is a web page
    bool fromPage;

    quint64 firstSerial = 0; // of the oldest reply not yet sent
    std::deque<Reply> replies;
    std::deque<std::pair<quint64, QString>> inbox; // requests not yet carried out
    quint64 turn = 0;
    int servedThisTurn = 0;
    int inProgress = 0; // carried out, not yet delivered
    qint64 waitingBytes = 0;
    qint64 lastRequest;

    qint64 partial = 0;     // frames of the message being received, as Qt keeps them
    bool inMessage = false; // a first frame came, its last not yet
    qint64 closingSince = -1;
    qint64 unreadSince = -1; // queue above unreadBytes since
    qint64 inputSince = -1;  // an unfinished message read since
};

#endif // CLIENTSESSION_H
