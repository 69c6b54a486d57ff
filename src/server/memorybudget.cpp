#include "memorybudget.h"

#include "clientsession.h"
#include "closelinger.h"

#include <QDebug>
#include <QPointer>

#include <algorithm>
#include <vector>

#include <malloc.h>

namespace {

QString mib(qint64 bytes)
{
    return QString::number(double(bytes) / (1024 * 1024), 'f', 1);
}

} // namespace

MemoryBudget::MemoryBudget(QObject *parent) : QObject(parent)
{
    clock.start();
    checkTimer.setInterval(CheckMs);
    connect(&checkTimer, &QTimer::timeout, this, &MemoryBudget::check);
    checkTimer.start();
}

void MemoryBudget::add(ClientSession *session)
{
    held.insert(session, 0);
}

void MemoryBudget::remove(ClientSession *session)
{
    const auto entry = held.constFind(session);
    if (entry == held.cend())
        return;
    total -= *entry;
    held.erase(entry);
    ++gone;
}

bool MemoryBudget::account(ClientSession *session)
{
    if (!held.contains(session))
        return false;
    recount(session);
    if (total > TotalBytes)
        enforce();
    return !session->closing();
}

void MemoryBudget::recount(ClientSession *session)
{
    const auto entry = held.find(session);
    if (entry == held.end())
        return;
    const qint64 now = session->holding();
    total += now - *entry;
    *entry = now;
    peak = qMax(peak, total);
}

void MemoryBudget::enforce()
{
    // Cached counts of clients that have been reading since are too high.
    std::vector<std::pair<qint64, ClientSession *>> largest;
    largest.reserve(size_t(held.size()));
    for (auto entry = held.begin(); entry != held.end(); ++entry) {
        const qint64 now = entry.key()->holding();
        total += now - *entry;
        *entry = now;
        if (now > 0)
            largest.emplace_back(now, entry.key());
    }
    if (total <= TotalBytes)
        return;
    // Largest first, each client looked at once: a crowd of two thousand
    // at the line would otherwise cost a scan of all for every one closed.
    // Closing goes on to a little under the budget, so that the next
    // message does not start it again.
    std::sort(largest.begin(), largest.end(),
              [](const auto &a, const auto &b) { return a.first > b.first; });
    for (const auto &[most, session] : largest) {
        if (total <= TotalBytes - Margin)
            break;
        if (!held.contains(session))
            continue; // a close before it took this one with it
        QPointer<ClientSession> client(session);
        if (session->closing()) {
            // Closed already, and its close frame waits behind what it never read.
            if (QTcpSocket *connection = session->connection())
                CloseLinger::reset(connection);
        } else {
            qDebug().noquote()
                << QStringLiteral("Clients hold %1 MiB, more than the budget of %2 MiB: closing "
                                  "the client holding the most (%3 MiB) with 1008")
                       .arg(mib(total), mib(TotalBytes), mib(most));
            session->dismiss(1008, QStringLiteral("too much held"));
        }
        // What its close left queued, if anything, is counted until it is gone.
        if (client)
            recount(client);
    }
}

void MemoryBudget::check()
{
    // Memory given up since the last check has been freed by now.
    if (trimDue) {
        ::malloc_trim(0);
        trimDue = false;
        untrimmed = 0;
    }
    // Time the service spent busy elsewhere is nobody's delay: clients'
    // bytes waited unread meanwhile.
    const qint64 now = clock.elapsed();
    const qint64 stalled = qMax<qint64>(0, now - lastCheck - 2 * CheckMs);
    lastCheck = now;
    // A client's check may close it, and a closed connection may leave the
    // ledger at once.
    const QList<ClientSession *> sessions = held.keys();
    for (ClientSession *session : sessions) {
        if (!held.contains(session))
            continue;
        session->checkDeadlines(now, stalled);
        recount(session);
    }
    if (total > TotalBytes)
        enforce();
    untrimmed += gone;
    if (peak - total > TrimBytes || gone >= TrimClients ||
        (gone == 0 && untrimmed >= TrimAfterQuiet))
        trimDue = true;
    peak = total;
    gone = 0;
}
