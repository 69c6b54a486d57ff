#include "connectiongate.h"

#include "clientlimits.h"
#include "logsink.h"
#include "policy.h"

#include <QDebug>
#include <QFile>
#include <QTcpSocket>

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace {

// An IPv4 peer of a dual-stack listener shows as ::ffff:a.b.c.d.
QHostAddress plain(const QHostAddress &address)
{
    bool v4 = false;
    const quint32 ipv4 = address.toIPv4Address(&v4);
    return v4 ? QHostAddress(ipv4) : address;
}

// Fills a socket id's address from a Qt address, in network order.
void putAddress(__be32 *field, const QHostAddress &address)
{
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        field[0] = htonl(address.toIPv4Address());
    } else {
        const Q_IPV6ADDR ipv6 = address.toIPv6Address();
        std::memcpy(field, ipv6.c, sizeof ipv6.c);
    }
}

// An address and port as /proc/net/tcp and tcp6 write them: the address's
// 32-bit words in host order, in hex, then the port.
QByteArray procAddress(const QHostAddress &address, quint16 port)
{
    QByteArray words;
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        const quint32 word = htonl(address.toIPv4Address());
        words = QByteArray::number(word, 16).rightJustified(8, '0');
    } else {
        const Q_IPV6ADDR ipv6 = address.toIPv6Address();
        for (int i = 0; i < 16; i += 4) {
            quint32 word;
            std::memcpy(&word, ipv6.c + i, 4);
            words += QByteArray::number(word, 16).rightJustified(8, '0');
        }
    }
    return words.toUpper() + ':' + QByteArray::number(port, 16).rightJustified(4, '0').toUpper();
}

// The same question read from /proc/net, where the kernel's socket
// diagnostics cannot be asked (an emulated processor): a walk over every
// TCP socket of the machine.
long peerOwnerFromProc(const QHostAddress &peer, quint16 peerPort, const QHostAddress &local,
                       quint16 localPort)
{
    const QByteArray from = procAddress(peer, peerPort);
    const QByteArray to = procAddress(local, localPort);
    const QList<QByteArray> fields = ConnectionGate::tcpSocket(
        {peer.protocol() == QAbstractSocket::IPv4Protocol ? "/proc/net/tcp" : "/proc/net/tcp6"},
        [&](const QList<QByteArray> &row) { return row.at(1) == from && row.at(2) == to; });
    return fields.isEmpty() || fields.at(9) == "0" ? -1 : fields.at(7).toLong(); // inode 0: closed
}

} // namespace

long ConnectionGate::peerOwner(const QTcpSocket *socket)
{
    const QHostAddress peer = plain(socket->peerAddress());
    const QHostAddress local = plain(socket->localAddress());
    if (peer.protocol() != local.protocol())
        return -1;
    struct
    {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } ask = {};
    // One socket for every question, the answers told apart by number: a
    // connection costs a send and a receive (a page's handshake under a policy).
    static int diag = -1;
    static quint32 sequence = 0;
    ask.header.nlmsg_len = sizeof ask;
    ask.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    ask.header.nlmsg_flags = NLM_F_REQUEST;
    ask.header.nlmsg_seq = ++sequence;
    ask.request.sdiag_family =
        peer.protocol() == QAbstractSocket::IPv4Protocol ? AF_INET : AF_INET6;
    ask.request.sdiag_protocol = IPPROTO_TCP;
    ask.request.idiag_states = ~0u;
    // The peer's socket: its source is the peer, its destination this end.
    ask.request.id.idiag_sport = htons(socket->peerPort());
    ask.request.id.idiag_dport = htons(socket->localPort());
    putAddress(ask.request.id.idiag_src, peer);
    putAddress(ask.request.id.idiag_dst, local);
    ask.request.id.idiag_cookie[0] = ask.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

    if (diag < 0)
        diag = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (diag < 0)
        return peerOwnerFromProc(peer, socket->peerPort(), local, socket->localPort());
    if (::send(diag, &ask, sizeof ask, 0) != ssize_t(sizeof ask)) {
        ::close(diag);
        diag = -1;
        return -1;
    }
    // The kernel answers while it takes the question: the answer is there,
    // after any left over from a question whose answer was not read.
    alignas(nlmsghdr) char answer[8192];
    for (;;) {
        const ssize_t got = ::recv(diag, answer, sizeof answer, MSG_DONTWAIT);
        const auto *header = reinterpret_cast<const nlmsghdr *>(answer);
        if (got <= 0 || !NLMSG_OK(header, size_t(got)))
            return -1;
        if (header->nlmsg_seq != sequence)
            continue;
        if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY)
            return -1; // an error: no such socket
        const auto *found = static_cast<const inet_diag_msg *>(NLMSG_DATA(header));
        // A socket its program has closed belongs to nobody any longer: the
        // kernel reports uid 0 for it.
        return found->idiag_inode != 0 ? long(found->idiag_uid) : -1;
    }
}

namespace {

// A header's value in a request head (name in lower case), or empty.
QByteArray headerValue(const QByteArray &head, const QByteArray &name)
{
    for (const QByteArray &line : head.split('\n')) {
        const int colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().toLower() == name)
            return line.mid(colon + 1).trimmed();
    }
    return QByteArray();
}

} // namespace

QList<QByteArray>
ConnectionGate::tcpSocket(std::initializer_list<const char *> tables,
                          const std::function<bool(const QList<QByteArray> &fields)> &matches)
{
    for (const char *name : tables) {
        QFile table{QString::fromLatin1(name)};
        if (!table.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &line : table.readAll().split('\n')) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            if (fields.size() > 9 && matches(fields))
                return fields;
        }
    }
    return {};
}

QString ConnectionGate::placeRefusal(const Policy &policy, const QTcpSocket *socket,
                                     const QString &origin)
{
    QString refusal = policy.refusalForOrigin(origin);
    // Listening on the loopback addresses keeps other machines out only
    // while the system routes nothing else to them (route_localnet).
    if (refusal.isEmpty() && policy.loopbackOnly() && !plain(socket->peerAddress()).isLoopback())
        refusal = QStringLiteral("not a loopback peer");
    return refusal;
}

QString ConnectionGate::userRefusal(const Policy &policy, long owner)
{
    if (!policy.refusesOtherUsers())
        return QString();
    if (owner < 0)
        return QStringLiteral("the peer's user cannot be established");
    if (owner != long(::getuid()))
        return QStringLiteral("another user's program (uid %1)").arg(owner);
    return QString();
}

ConnectionGate::ConnectionGate(QTcpSocket *socket, const Policy &policy, const ClientLimits &limits,
                               const OtherClerkCheck &otherClerk, QObject *parent)
    : QObject(parent), socket(socket), policy(policy), limits(limits), otherClerk(otherClerk)
{
    connect(socket, &QTcpSocket::readyRead, this, &ConnectionGate::readHead);
    connect(socket, &QTcpSocket::disconnected, this, [this] {
        this->socket->deleteLater();
        deleteLater();
    });
    headTimeout.setSingleShot(true);
    connect(&headTimeout, &QTimer::timeout, this, [this] {
        decide(QString(),
               QStringLiteral("no request within %1 s").arg(this->limits.headTimeoutMs / 1000),
               TimedOut);
    });
    headTimeout.start(limits.headTimeoutMs);
    readHead();
}

void ConnectionGate::readHead()
{
    // Only looked at: Qt's handshake reads the same bytes once admitted.
    const QByteArray head = socket->peek(limits.maxHeadBytes);
    const int end = head.indexOf("\r\n\r\n");
    // Qt's handshake closes without a word past its own bounds: answer
    // before it would.
    const QByteArray request = end < 0 ? head : head.left(end);
    const QList<QByteArray> lines = request.split('\n');
    if (lines.size() > limits.maxHeadLines) {
        decide(QString(), QStringLiteral("more than %1 header lines").arg(limits.maxHeadLines - 1),
               TooLarge);
        return;
    }
    for (const QByteArray &line : lines) {
        if (line.size() - (line.endsWith('\r') ? 1 : 0) > limits.maxHeadLineBytes) {
            decide(QString(),
                   QStringLiteral("a header line over %1 bytes").arg(limits.maxHeadLineBytes),
                   TooLarge);
            return;
        }
    }
    if (end < 0) {
        if (head.size() >= limits.maxHeadBytes)
            decide(QString(),
                   QStringLiteral("request head over %1 KiB").arg(limits.maxHeadBytes / 1024),
                   TooLarge);
        return;
    }
    const QByteArray originBytes = headerValue(request, "origin");
    const QString origin = QString::fromLatin1(originBytes.constData(), originBytes.size());
    // A request that is not a WebSocket gets an HTTP answer rather than Qt's
    // silent close, so that a page can tell a running service from a closed
    // port with a plain request, which browsers do not hold back as they do
    // WebSockets.
    if (!headerValue(request, "upgrade").toLower().contains("websocket")) {
        decide(origin, QStringLiteral("not a WebSocket request"), NotWebSocket);
        return;
    }
    // Qt would read the Origin only up to the NUL.
    if (originBytes.contains('\0')) {
        decide(origin, QStringLiteral("a NUL byte in the Origin"));
        return;
    }
    QString refusal = placeRefusal(policy, socket, origin);
    const long owner =
        refusal.isEmpty() && (otherClerk || policy.refusesOtherUsers()) ? peerOwner(socket) : -1;
    // Another clerk's page learns that the reader is with the session at the
    // screen, whatever the policy says of other users.
    if (owner >= 0 && owner != long(::getuid()) && otherClerk && otherClerk(uint(owner))) {
        socket->setProperty(OtherClerk, uint(owner));
        decide(origin, QString());
        return;
    }
    if (refusal.isEmpty())
        refusal = userRefusal(policy, owner);
    decide(origin, refusal);
}

void ConnectionGate::decide(const QString &origin, QString refusal, Answer answer)
{
    headTimeout.stop();
    // Once admitted, the connection is Qt's to read and to dispose of.
    disconnect(socket, nullptr, this, nullptr);
    // Decisions are logged only where a policy decides who connects, and
    // put into words only while the log is on (a page's handshake).
    QString from;
    if (policy.inForce() && logFileExists())
        from = QStringLiteral("%1 port %2, origin %3")
                   .arg(plain(socket->peerAddress()).toString())
                   .arg(socket->peerPort())
                   .arg(origin.isEmpty() ? QStringLiteral("none") : quotedForLog(origin));
    if (refusal.isEmpty()) {
        if (!from.isEmpty())
            qDebug().noquote() << "Connection from" << from << "accepted";
        Q_EMIT admitted(socket);
    } else {
        if (!from.isEmpty())
            qDebug().noquote() << "Connection from" << from << "refused:" << refusal;
        static const char *const statuses[] = {
            "403 Forbidden", "426 Upgrade Required\r\nUpgrade: websocket", "408 Request Timeout",
            "431 Request Header Fields Too Large"};
        const QByteArray status = statuses[answer];
        const QByteArray body =
            answer == Forbidden
                ? "Refused by the reader service's policy: " + refusal.toUtf8() + "\n"
                : "The identity card reader service (WebSocket): " + refusal.toUtf8() + "\n";
        socket->readAll();
        socket->write("HTTP/1.1 " + status +
                      "\r\n"
                      "Content-Type: text/plain; charset=utf-8\r\n"
                      "Content-Length: " +
                      QByteArray::number(body.size()) +
                      "\r\n"
                      "Connection: close\r\n\r\n" +
                      body);
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        // A peer that does not take the answer is dropped.
        QTimer::singleShot(limits.headTimeoutMs, socket, &QTcpSocket::abort);
        socket->disconnectFromHost();
    }
    deleteLater();
}
