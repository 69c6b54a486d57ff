#ifndef CONNECTIONGATE_H
#define CONNECTIONGATE_H

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QTimer>

#include <functional>
#include <initializer_list>

struct ClientLimits;
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
    // A program of another clerk at this desk is admitted with this property
    // set to its user, for the server to send it away with its own close
    // code, which its page understands (an HTTP refusal looks like a service
    // that is not running).
    static constexpr const char *OtherClerk = "krvOtherClerk";
    using OtherClerkCheck = std::function<bool(uint uid)>;

    // Why the policy refuses a peer at this address with this Origin header
    // (empty: none sent); empty when it admits it.
    static QString placeRefusal(const Policy &policy, const QTcpSocket *socket,
                                const QString &origin);
    // Why the policy refuses a program of this user (-1: not known); empty
    // when it admits it.
    static QString userRefusal(const Policy &policy, long owner);
    // The user that owns the peer's end of the connection, asked of the
    // kernel by the connection's four addresses; -1 when no socket on this
    // machine has them (a peer on another machine, or one that has closed).
    static long peerOwner(const QTcpSocket *socket);
    // The fields of the first socket of the kernel's TCP tables (/proc/net
    // files, in order) that matches, or none (1 local, 2 remote, 7 uid, 9 inode).
    static QList<QByteArray>
    tcpSocket(std::initializer_list<const char *> tables,
              const std::function<bool(const QList<QByteArray> &fields)> &matches);

    // Takes the connection over until it is decided, then ends. The head's
    // bounds are the client's (ClientLimits).
    ConnectionGate(QTcpSocket *socket, const Policy &policy, const ClientLimits &limits,
                   const OtherClerkCheck &otherClerk, QObject *parent);

Q_SIGNALS:
    void admitted(QTcpSocket *socket);

private:
    void readHead();
    // The HTTP answer to a refused connection.
    enum Answer { Forbidden, NotWebSocket, TimedOut, TooLarge };
    void decide(const QString &origin, QString refusal, Answer answer = Forbidden);

    QTcpSocket *socket;
    const Policy &policy;
    const ClientLimits &limits;
    OtherClerkCheck otherClerk;
    QTimer headTimeout;
};

#endif // CONNECTIONGATE_H
