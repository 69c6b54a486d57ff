#ifndef READERTURNS_H
#define READERTURNS_H

#include "readerlibrary.h"

#include <QHash>
#include <QString>

#include <deque>

// The calls waiting for the reader, which is what pages compete for: a read
// takes about a second. Calls are taken in turn by page (an Origin; a program
// without one is a page of its own), and a page's clients take turns within
// its share, so a page with many connections and many calls waiting costs
// another page at most the call in progress.
class ReaderTurns
{
public:
    struct Pending
    {
        const void *client;
        ReaderLibrary::Call call;
        ReaderLibrary::Done done;
        bool sent = false;
    };
    // Pages whose last turn is remembered while they have no call waiting.
    static constexpr int MaxPagesRemembered = 4096;

    void add(const QString &page, Pending pending);
    // The client has left: its reads are withdrawn.
    void withdraw(const void *client);
    // The waiting call whose turn is next, or null; take() takes it, left
    // telling whether its client has gone.
    const Pending *next() const;
    Pending take(bool *left);
    // Every waiting call, for a reader that cannot be had.
    void takeAll(std::deque<Pending> *into);

private:
    void forgetServed();

    // Calls not yet taken, each client's in order, under its page (gone: it
    // has left with calls still waiting); each page's clients in turn, and
    // the pages' turns.
    struct Waiting
    {
        QString page;
        std::deque<Pending> calls;
        bool gone = false;
    };
    QHash<const void *, Waiting> waiting;
    QHash<QString, std::deque<const void *>> pageClients;
    std::deque<QString> turns;
    // When each page last had a turn (served counts the turns).
    QHash<QString, quint64> lastServed;
    quint64 served = 0;
};

#endif // READERTURNS_H
