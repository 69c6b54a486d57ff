#include "memorybudget.h"

#include "closelinger.h"

#include <QDebug>
#include <QWebSocket>

#include <utility>

#include <malloc.h>

namespace {

QString mib(qint64 bytes)
{
    return QString::number(double(bytes) / (1024 * 1024), 'f', 1);
}

} // namespace

MemoryBudget::MemoryBudget(int closeGraceMs, QObject *parent)
    : QObject(parent), closeGraceMs(closeGraceMs)
{
    clock.start();
    checkTimer.setInterval(CheckMs);
    connect(&checkTimer, &QTimer::timeout, this, &MemoryBudget::check);
    checkTimer.start();
}

void MemoryBudget::add(QWebSocket *client, QTcpSocket *connection)
{
    holdings.insert(client, Holding{connection});
    // Qt keeps the frames of a text message as UTF-16 until its last frame.
    connect(client, &QWebSocket::textFrameReceived, this,
            [this, client](const QString &frame, bool isLastFrame) {
                frameReceived(client, frame.size() * qint64(sizeof(QChar)), isLastFrame);
            });
    connect(client, &QWebSocket::binaryFrameReceived, this,
            [this, client](const QByteArray &frame, bool isLastFrame) {
                frameReceived(client, frame.size(), isLastFrame);
            });
    connect(client, &QWebSocket::aboutToClose, this, [this, client] { closing(client); });
    if (connection)
        connect(connection, &QIODevice::readyRead, this, [this, client] { dataRead(client); });
}

void MemoryBudget::remove(QWebSocket *client)
{
    const auto holding = holdings.constFind(client);
    if (holding == holdings.cend())
        return;
    total -= holding->held;
    holdings.erase(holding);
}

QTcpSocket *MemoryBudget::connectionOf(QWebSocket *client) const
{
    return holdings.value(client).connection;
}

void MemoryBudget::setWaiting(QWebSocket *client, qint64 bytes)
{
    const auto holding = holdings.find(client);
    if (holding != holdings.end())
        holding->waiting = bytes;
}

bool MemoryBudget::account(QWebSocket *client)
{
    const auto holding = holdings.find(client);
    if (holding == holdings.end())
        return false;
    recount(*holding);
    if (total > TotalBytes)
        enforce();
    const auto after = holdings.constFind(client);
    return after != holdings.cend() && after->closingSince < 0;
}

void MemoryBudget::frameReceived(QWebSocket *client, qint64 bytes, bool isLastFrame)
{
    const auto holding = holdings.find(client);
    if (holding == holdings.end())
        return;
    if (isLastFrame) {
        // Handed on as a whole message now; the deadline starts again with
        // the next one.
        holding->partial = 0;
        holding->inMessage = false;
        holding->inputSince = -1;
    } else {
        holding->partial += bytes;
        holding->inMessage = true;
    }
}

void MemoryBudget::dataRead(QWebSocket *client)
{
    const auto holding = holdings.find(client);
    if (holding == holdings.end())
        return;
    // The deadline counts from bytes the service has read, so a client that
    // waited while the service was busy is not blamed for it.
    if (holding->inputSince < 0)
        holding->inputSince = clock.elapsed();
    account(client);
}

void MemoryBudget::closing(QWebSocket *client)
{
    const auto holding = holdings.find(client);
    if (holding == holdings.end() || holding->closingSince >= 0)
        return;
    holding->closingSince = clock.elapsed();
    holding->partial = 0;
    holding->inMessage = false;
}

void MemoryBudget::recount(Holding &holding)
{
    qint64 held = 0;
    if (holding.connection) {
        held = holding.connection->bytesToWrite();
        if (holding.closingSince < 0)
            held += holding.connection->bytesAvailable() + holding.partial + holding.waiting;
    }
    total += held - holding.held;
    holding.held = held;
    peak = qMax(peak, total);
}

void MemoryBudget::enforce()
{
    // Cached counts of clients that have been reading since are too high.
    for (Holding &holding : holdings)
        recount(holding);
    while (total > TotalBytes) {
        auto largest = holdings.end();
        for (auto holding = holdings.begin(); holding != holdings.end(); ++holding) {
            if (largest == holdings.end() || holding->held > largest->held)
                largest = holding;
        }
        if (largest == holdings.end() || largest->held == 0)
            return;
        QWebSocket *client = largest.key();
        const qint64 held = largest->held;
        if (largest->closingSince >= 0) {
            // Closed already, and its close frame waits behind what it never read.
            total -= held;
            largest->held = 0;
            if (QTcpSocket *connection = largest->connection)
                CloseLinger::reset(connection);
            continue;
        }
        overdraw(client,
                 QStringLiteral("Clients hold %1 MiB, more than the budget of %2 MiB: closing the "
                                "client holding the most (%3 MiB) with 1008")
                     .arg(mib(total), mib(TotalBytes), mib(held)),
                 QStringLiteral("too much held"));
    }
}

void MemoryBudget::overdraw(QWebSocket *client, const QString &line, const QString &reason)
{
    qDebug().noquote() << line;
    Q_EMIT overdrawn(client, reason);
    const auto holding = holdings.find(client);
    if (holding == holdings.end())
        return;
    if (holding->closingSince >= 0) {
        // What its close left queued, if anything, is counted until it is gone.
        recount(*holding);
    } else {
        // Not counted any longer even where nobody closed it.
        total -= holding->held;
        holdings.erase(holding);
    }
}

void MemoryBudget::check()
{
    // Memory given up since the last check has been freed by now.
    if (trimDue) {
        ::malloc_trim(0);
        trimDue = false;
    }
    // Time the service spent busy elsewhere (a reader library call blocks
    // for seconds) is nobody's delay: clients' bytes waited unread meanwhile.
    const qint64 now = clock.elapsed();
    const qint64 stalled = qMax<qint64>(0, now - lastCheck - 2 * CheckMs);
    lastCheck = now;
    QList<QPair<QWebSocket *, QString>> late;
    QList<QPointer<QTcpSocket>> abandoned;
    for (auto holding = holdings.begin(); holding != holdings.end(); ++holding) {
        for (qint64 *since : {&holding->closingSince, &holding->unreadSince, &holding->inputSince})
            *since += *since >= 0 ? stalled : 0;
        recount(*holding);
        QTcpSocket *connection = holding->connection;
        if (!connection)
            continue;
        if (holding->closingSince >= 0) {
            if (now - holding->closingSince >= closeGraceMs)
                abandoned.append(connection);
            continue;
        }
        const qint64 queued = connection->bytesToWrite();
        if (queued <= UnreadBytes) {
            holding->unreadSince = -1;
        } else if (holding->unreadSince < 0) {
            holding->unreadSince = now;
        } else if (now - holding->unreadSince >= UnreadGraceMs) {
            late.append(
                {holding.key(),
                 QStringLiteral("Client has left %1 bytes unread for %2 s, closing with 1008")
                     .arg(queued)
                     .arg(UnreadGraceMs / 1000)});
            continue;
        }
        if (!holding->inMessage && connection->bytesAvailable() == 0) {
            holding->inputSince = -1;
        } else if (holding->inputSince < 0) {
            holding->inputSince = now;
        } else if (now - holding->inputSince >= MessageDeadlineMs) {
            late.append({holding.key(),
                         QStringLiteral("Client has left a message unfinished for %1 s (%2 bytes "
                                        "held), closing with 1008")
                             .arg(MessageDeadlineMs / 1000)
                             .arg(holding->held)});
        }
    }
    for (const auto &client : std::as_const(late)) {
        if (holdings.contains(client.first))
            overdraw(client.first, client.second, QStringLiteral("too slow"));
    }
    // Its close frame was not taken in time: the connection is dropped.
    for (QTcpSocket *connection : std::as_const(abandoned)) {
        if (connection)
            CloseLinger::reset(connection);
    }
    if (total > TotalBytes)
        enforce();
    if (peak - total > TrimBytes)
        trimDue = true;
    peak = total;
}
