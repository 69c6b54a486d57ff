#ifndef MEMORYBUDGET_H
#define MEMORYBUDGET_H

#include <QtGlobal>

// The ledger of what clients make the service hold, against one budget:
// each client's record keeps its last count, this keeps the sum. Each
// client's own bounds are fair, but two thousand clients at their bounds
// need tens of GiB; past the budget the server closes the clients holding
// the most until the rest fit.
class MemoryBudget
{
public:
    // Held by all clients together: thousands of pages with a card reply
    // queued each (12 KB), or thirty clients at the largest reply, fit.
    // Qt's copies and the allocator's slack at most double it, which keeps
    // the service well under 1 GiB on a desk's computer.
    static constexpr qint64 TotalBytes = 256 * 1024 * 1024;
    // Past the budget, clients are closed until this much under it.
    static constexpr qint64 Margin = 8 * 1024 * 1024;
    // Memory given up by clients beyond this, or this many clients or
    // connections gone (a few tens of KiB of Qt's objects each, also for
    // request heads that never became clients), goes back to the system.
    static constexpr qint64 TrimBytes = 16 * 1024 * 1024;
    static constexpr int TrimClients = 64;
    // A crowd that leaves over several sweeps, fewer than TrimClients at
    // each, is trimmed once nobody has gone for a whole sweep after at least
    // TrimAfterQuiet went: what the last of them held would otherwise stay.
    static constexpr int TrimAfterQuiet = 8;

    // A client's count changes from counted to now (its record keeps it).
    void count(qint64 &counted, qint64 now)
    {
        total += now - counted;
        counted = now;
        peak = qMax(peak, total);
    }
    // A connection has gone, client or not (a request head that never
    // became one).
    void released() { ++gone; }
    bool over() const { return total > TotalBytes; }
    bool fits() const { return total <= TotalBytes - Margin; }
    qint64 held() const { return total; }
    // At each sweep: whether enough was given up since the last that memory
    // should go back to the system.
    bool trimDue()
    {
        untrimmed += gone;
        const bool due = peak - total > TrimBytes || gone >= TrimClients ||
                         (gone == 0 && untrimmed >= TrimAfterQuiet);
        untrimmed = due ? 0 : untrimmed;
        peak = total;
        gone = 0;
        return due;
    }

private:
    qint64 total = 0;
    qint64 peak = 0;
    int gone = 0;      // clients and connections gone since the last sweep
    int untrimmed = 0; // and since the last trim
};

#endif // MEMORYBUDGET_H
