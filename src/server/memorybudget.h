#ifndef MEMORYBUDGET_H
#define MEMORYBUDGET_H

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QTimer>

class ClientSession;

// The ledger of what clients make the service hold (see
// ClientSession::holding), against one budget. Each client's own bounds are
// fair, but two thousand clients at their bounds need tens of GiB; past the
// budget the client holding the most is closed with 1008, then the next,
// until the rest fit. Every CheckMs it also has each client check its
// deadlines, and hands memory back to the system after clients that used it
// left.
class MemoryBudget : public QObject
{
    Q_OBJECT

public:
    // Held by all clients together: thousands of pages with a card reply
    // queued each (12 KB), or thirty clients at the largest reply, fit.
    // Qt's copies and the allocator's slack at most double it, which keeps
    // the service well under 1 GiB on a desk's computer.
    static constexpr qint64 TotalBytes = 256 * 1024 * 1024;
    // Past the budget, clients are closed until this much under it.
    static constexpr qint64 Margin = 8 * 1024 * 1024;
    static constexpr int CheckMs = 1000;
    // Memory given up by clients beyond this, or this many clients or
    // connections gone (a few tens of KiB of Qt's objects each, also for
    // request heads that never became clients), goes back to the system.
    static constexpr qint64 TrimBytes = 16 * 1024 * 1024;
    static constexpr int TrimClients = 64;
    // A crowd that leaves over several checks, fewer than TrimClients at
    // each, is trimmed once nobody has gone for a whole check after at least
    // TrimAfterQuiet went: what the last of them held would otherwise stay.
    static constexpr int TrimAfterQuiet = 8;

    explicit MemoryBudget(QObject *parent = nullptr);

    void add(ClientSession *session);
    void remove(ClientSession *session);
    // Counts what the client holds now and, past the budget, closes the
    // largest holders. False when this client was one of them (or is closing).
    bool account(ClientSession *session);
    // A connection has gone, client or not (a request head that never
    // became one): after many, memory goes back to the system.
    void released() { ++gone; }
    // The clock the clients' deadlines and rates count on, in milliseconds.
    qint64 now() const { return clock.elapsed(); }

private:
    void recount(ClientSession *session);
    void enforce();
    void check();

    QHash<ClientSession *, qint64> held; // as last counted
    qint64 total = 0;
    qint64 peak = 0;
    int gone = 0;      // clients and connections gone since the last check
    int untrimmed = 0; // and since the last trim
    qint64 lastCheck = 0;
    bool trimDue = false;
    QElapsedTimer clock;
    QTimer checkTimer;
};

#endif // MEMORYBUDGET_H
