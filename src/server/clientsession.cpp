#include "clientsession.h"

#include "closelinger.h"
#include "qtinternals.h"

#include <QDebug>
#include <QWebSocket>

ClientSession::ClientSession(QWebSocket *socket, QTcpSocket *connection, const ClientLimits &limits,
                             const QElapsedTimer &clock)
    : QObject(socket), pSocket(socket), pConnection(connection), limits(limits), clock(clock),
      pings(limits.pingsPerSecond, limits.pingBurst),
      messages(std::make_shared<RateLimit>(limits.pageMessagesPerSecond, limits.pageMessageBurst)),
      fromPage(!socket->origin().isEmpty()), lastRequest(clock.elapsed())
{
    // Qt would otherwise buffer messages of up to 2 GiB from a single client.
    socket->setMaxAllowedIncomingFrameSize(quint64(limits.maxMessageBytes));
    socket->setMaxAllowedIncomingMessageSize(quint64(limits.maxMessageBytes));
    // Qt keeps the frames of a text message as UTF-16 until its last frame.
    connect(socket, &QWebSocket::textFrameReceived, this,
            [this](const QString &frame, bool isLastFrame) {
                frameReceived(frame.size() * qint64(sizeof(QChar)), isLastFrame);
            });
    connect(socket, &QWebSocket::binaryFrameReceived, this,
            [this](const QByteArray &frame, bool isLastFrame) {
                frameReceived(frame.size(), isLastFrame);
            });
    connect(socket, &QWebSocket::aboutToClose, this, &ClientSession::aboutToClose);
    if (connection) {
        connect(connection, &QIODevice::readyRead, this, &ClientSession::dataRead);
        // Qt reads all a peer has sent in one go: a peer sending as fast as
        // it can would hold the event loop for as long as it reads.
        connection->setReadBufferSize(limits.readBytesPerTurn);
        connect(connection, &QIODevice::bytesWritten, this, [this] {
            if (hasRequests() && !inTurn && !closing() && mayCarryOutMore())
                Q_EMIT caughtUp();
        });
    }
    QtInternals::connectPings(socket, this, SLOT(pingReceived()));
    QtInternals::stopFrameTimer(socket);
}

bool ClientSession::receive(const QString &message)
{
    quint64 serial = 0;
    if (!takeRequest(message.size() * qint64(sizeof(QChar)), &serial))
        return false;
    inbox.emplace_back(serial, message);
    return true;
}

bool ClientSession::nextRequest(QString *message, quint64 *serial)
{
    if (inbox.empty() || closing() || !mayCarryOutMore())
        return false;
    ++inProgress;
    *serial = inbox.front().first;
    *message = std::move(inbox.front().second);
    inbox.pop_front();
    ++servedThisTurn;
    return true;
}

bool ClientSession::mayJumpTheQueue(quint64 now)
{
    if (turn != now) {
        turn = now;
        servedThisTurn = 0;
    }
    // Only the request just received waits: nothing of this client's is passed.
    return inbox.size() == 1 && servedThisTurn < limits.requestsPerTurn && mayCarryOutMore();
}

bool ClientSession::takeRequest(qint64 textBytes, quint64 *serial)
{
    if (closing() || !withinQueueBound())
        return false;
    Q_EMIT holdingChanged();
    if (closing())
        return false;
    lastRequest = clock.elapsed();
    if (fromPage && !messages->take(lastRequest)) {
        close(QStringLiteral("Page sends more than %1 messages a second, closing with 1008")
                  .arg(limits.pageMessagesPerSecond),
              1008, QStringLiteral("too many messages"));
        return false;
    }
    if (replies.size() >= size_t(limits.maxWaitingRequests)) {
        close(QStringLiteral("Client has %1 requests waiting for replies, closing with 1008")
                  .arg(replies.size()),
              1008, QStringLiteral("too many requests waiting"));
        return false;
    }
    // The request stays in memory, parsed, until the library has answered it.
    const qint64 bytes = textBytes * 2 + limits.requestOverheadBytes;
    replies.push_back(Reply{false, QString(), bytes});
    waitingBytes += bytes;
    *serial = firstSerial + replies.size() - 1;
    return true;
}

void ClientSession::deliver(quint64 serial, const QString &reply)
{
    --inProgress;
    if (closing() || serial < firstSerial)
        return;
    Reply &slot = replies[size_t(serial - firstSerial)];
    slot.ready = true;
    slot.text = reply;
    QByteArray frames;
    bool sent = false;
    while (!replies.empty() && replies.front().ready) {
        const Reply next = std::move(replies.front());
        replies.pop_front();
        ++firstSerial;
        waitingBytes -= next.bytes;
        if (next.text.isNull()) {
            dismiss(1009, QStringLiteral("reply too large"));
            return;
        }
        if (pConnection)
            QtInternals::appendTextFrame(&frames, next.text.toUtf8());
        else
            pSocket->sendTextMessage(next.text);
        sent = true;
    }
    if (!sent)
        return;
    // Handed to the system now, in one go with the replies before it.
    if (pConnection)
        QtInternals::writeFrames(pSocket, pConnection, frames);
    else
        pSocket->flush();
    Q_EMIT holdingChanged();
}

void ClientSession::dismiss(int closeCode, const QString &reason)
{
    if (closing())
        return;
    replies.clear();
    inbox.clear();
    waitingBytes = 0;
    Q_EMIT dismissed();
    pSocket->close(QWebSocketProtocol::CloseCode(closeCode), reason);
    pSocket->flush();
    if (pConnection && pConnection->bytesToWrite() > 0)
        CloseLinger::reset(pConnection);
}

void ClientSession::close(const QString &line, int closeCode, const QString &reason)
{
    qDebug().noquote() << line;
    dismiss(closeCode, reason);
    Q_EMIT brokeBound();
}

qint64 ClientSession::holding() const
{
    if (!pConnection)
        return 0;
    qint64 held = pConnection->bytesToWrite();
    if (!closing())
        held += pConnection->bytesAvailable() + partial + waitingBytes;
    return held;
}

void ClientSession::checkDeadlines(qint64 nowMs, qint64 stalledMs)
{
    for (qint64 *since : {&closingSince, &unreadSince, &inputSince})
        *since += *since >= 0 ? stalledMs : 0;
    if (!pConnection)
        return;
    if (closing()) {
        // Its close frame was not taken in time: the connection is dropped.
        if (nowMs - closingSince >= limits.closeGraceMs)
            CloseLinger::reset(pConnection);
        return;
    }
    const qint64 queued = pConnection->bytesToWrite();
    if (queued <= limits.unreadBytes && !(backlogged() && hasRequests())) {
        unreadSince = -1;
    } else if (unreadSince < 0) {
        unreadSince = nowMs;
    } else if (nowMs - unreadSince >= limits.unreadGraceMs) {
        close(QStringLiteral("Client has left %1 bytes unread for %2 s, closing with 1008")
                  .arg(queued)
                  .arg(limits.unreadGraceMs / 1000),
              1008, QStringLiteral("too slow"));
        return;
    }
    if (!inMessage && pConnection->bytesAvailable() == 0) {
        inputSince = -1;
    } else if (inputSince < 0) {
        inputSince = nowMs;
    } else if (nowMs - inputSince >= limits.messageDeadlineMs) {
        close(QStringLiteral("Client has left a message unfinished for %1 s (%2 bytes held), "
                             "closing with 1008")
                  .arg(limits.messageDeadlineMs / 1000)
                  .arg(holding()),
              1008, QStringLiteral("too slow"));
    }
}

void ClientSession::pingReceived()
{
    // Its pong is queued by now.
    if (closing())
        return;
    if (!pings.take(clock.elapsed())) {
        close(QStringLiteral("Client pings more than %1 times a second, closing with 1008")
                  .arg(limits.pingsPerSecond),
              1008, QStringLiteral("too many pings"));
        return;
    }
    if (withinQueueBound())
        Q_EMIT holdingChanged();
}

void ClientSession::frameReceived(qint64 bytes, bool isLastFrame)
{
    if (isLastFrame) {
        // Handed on as a whole message now; the deadline starts again with
        // the next one.
        partial = 0;
        inMessage = false;
        inputSince = -1;
    } else {
        partial += bytes;
        inMessage = true;
    }
}

void ClientSession::dataRead()
{
    // The deadline counts from bytes the service has read, so a client that
    // waited while the service was busy is not blamed for it.
    if (inputSince < 0 && !closing())
        inputSince = clock.elapsed();
    Q_EMIT holdingChanged();
}

void ClientSession::aboutToClose()
{
    // Qt closes by itself too (1009, a protocol error): nothing more is
    // carried out for the client, and what it was sending is not held.
    if (closingSince < 0) {
        closingSince = clock.elapsed();
        // Not dismissed: Qt closed it for a message too large or a protocol
        // error (or the peer closed, with any other code).
        switch (pSocket->closeCode()) {
        case QWebSocketProtocol::CloseCodeTooMuchData:
        case QWebSocketProtocol::CloseCodeProtocolError:
        case QWebSocketProtocol::CloseCodeWrongDatatype:
        case QWebSocketProtocol::CloseCodeDatatypeNotSupported:
            Q_EMIT brokeBound();
            break;
        default:
            break;
        }
    }
    partial = 0;
    inMessage = false;
}

bool ClientSession::withinQueueBound()
{
    const qint64 queued = pSocket->bytesToWrite();
    if (queued <= limits.maxQueuedBytes)
        return true;
    close(QStringLiteral("Client not reading its replies, closing with 1008: %1 bytes unread")
              .arg(queued),
          1008, QStringLiteral("replies not read"));
    return false;
}
