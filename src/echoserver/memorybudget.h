#ifndef MEMORYBUDGET_H
#define MEMORYBUDGET_H

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

class QWebSocket;

// Keeps what clients make the service hold within one budget: bytes queued
// for them and not yet taken by the system, and bytes of messages they are
// still sending. Each client's own bounds are fair, but two thousand clients
// at their bounds need tens of GiB; past the budget the client holding the
// most is closed, then the next, until the rest fit. A timer also closes a
// client that leaves a large queue unread, or a message unfinished, for too
// long, and hands memory back to the system after clients that used it left.
class MemoryBudget : public QObject
{
    Q_OBJECT

public:
    // Held by all clients together: thousands of pages with a card reply
    // queued each (12 KB), or thirty clients at the largest reply, fit.
    // Qt's copies and the allocator's slack at most double it, which keeps
    // the service well under 1 GiB on a desk's computer.
    static constexpr qint64 TotalBytes = 256 * 1024 * 1024;
    // A client that leaves more than UnreadBytes queued for UnreadGraceMs is
    // not reading: a page that waits for each reply has a reply or two queued.
    static constexpr qint64 UnreadBytes = 1024 * 1024;
    static constexpr int UnreadGraceMs = 10000;
    // A message is complete this long after the service read its first bytes;
    // a 1 MiB message takes a fraction of a second even on a slow network.
    static constexpr int MessageDeadlineMs = 10000;
    static constexpr int CheckMs = 1000;
    // Memory given up by clients beyond this goes back to the system.
    static constexpr qint64 TrimBytes = 16 * 1024 * 1024;

    explicit MemoryBudget(int closeGraceMs, QObject *parent = nullptr);

    void add(QWebSocket *client, QTcpSocket *connection);
    void remove(QWebSocket *client);
    // Counts what the client holds now and, past the budget, closes the
    // largest holders. False when this client was one of them.
    bool account(QWebSocket *client);
    QTcpSocket *connectionOf(QWebSocket *client) const;
    // Requests of the client's that wait for the reader library, in bytes.
    void setWaiting(QWebSocket *client, qint64 bytes);

Q_SIGNALS:
    // The client must be closed with 1008; the line saying why is logged.
    void overdrawn(QWebSocket *client, const QString &reason);

private:
    struct Holding
    {
        QPointer<QTcpSocket> connection;
        qint64 held = 0;
        qint64 partial = 0;     // frames of the message being received, as Qt keeps them
        qint64 waiting = 0;     // requests waiting for the reader library
        bool inMessage = false; // a first frame came, its last not yet
        qint64 closingSince = -1;
        qint64 unreadSince = -1; // queue above UnreadBytes since
        qint64 inputSince = -1;  // an unfinished message read since
    };

    void frameReceived(QWebSocket *client, qint64 bytes, bool isLastFrame);
    void dataRead(QWebSocket *client);
    void closing(QWebSocket *client);
    void recount(Holding &holding);
    void enforce();
    void check();
    void overdraw(QWebSocket *client, const QString &line, const QString &reason);

    QHash<QWebSocket *, Holding> holdings;
    qint64 total = 0;
    qint64 peak = 0;
    qint64 lastCheck = 0;
    bool trimDue = false;
    int closeGraceMs;
    QElapsedTimer clock;
    QTimer checkTimer;
};

#endif // MEMORYBUDGET_H
