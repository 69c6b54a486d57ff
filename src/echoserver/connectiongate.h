#ifndef CONNECTIONGATE_H
#define CONNECTIONGATE_H

#include <QObject>
#include <QTimer>

class Policy;
class QTcpSocket;

// Looks at a new connection before its WebSocket handshake: whether it asks
// for a WebSocket at all (anything else is answered with HTTP 426 and
// closed), and, while a policy that decides who may connect is in force,
// whose program it is (a peer on this machine owned by another user) and
// which page it comes from (its Origin header). An admitted connection goes
// on to Qt's handshake untouched; a refused one is answered with HTTP 403 and
// closed, and never becomes a client. While a policy is in force, each
// decision is logged with the peer, the origin and the reason.
class ConnectionGate : public QObject
{
    Q_OBJECT

public:
    // Largest request head looked at, and how long it may take to arrive.
    static constexpr int MaxHeadBytes = 16 * 1024;
    // Within Qt's own bounds for a handshake (8 KiB a line, 100 header
    // lines), past which it closes without a word.
    static constexpr int MaxHeadLineBytes = 8000;
    static constexpr int MaxHeadLines = 100;
    static constexpr int HeadTimeoutMs = 10000;

    // Takes the connection over until it is decided, then ends.
    ConnectionGate(QTcpSocket *socket, const Policy &policy, QObject *parent);

Q_SIGNALS:
    void admitted(QTcpSocket *socket);

private:
    void readHead();
    // The HTTP answer to a refused connection.
    enum Answer { Forbidden, NotWebSocket, TimedOut, TooLarge };
    void decide(const QString &origin, QString refusal, Answer answer = Forbidden);

    QTcpSocket *socket;
    const Policy &policy;
    QTimer headTimeout;
};

#endif // CONNECTIONGATE_H
