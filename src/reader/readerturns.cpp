#include "readerturns.h"

#include <algorithm>

namespace {

// Origins are keyed apart from programs, which are each a page of their own.
QString programPage(const void *client)
{
    return QStringLiteral("c") + QString::number(quintptr(client));
}

} // namespace

void ReaderTurns::add(const QString &page, Pending pending)
{
    const void *client = pending.client;
    Waiting &mine = waiting[client];
    if (mine.calls.empty()) {
        const QString key = page.isEmpty() ? programPage(client) : QStringLiteral("o") + page;
        std::deque<const void *> &clients = pageClients[key];
        if (clients.empty()) {
            // Ahead of every page served since this one last was: a page
            // that comes back with its next call, or a new one, waits for
            // none that had a turn after it.
            const quint64 last = lastServed.value(key);
            turns.insert(std::find_if(turns.begin(), turns.end(),
                                      [this, last](const QString &page) {
                                          return lastServed.value(page) > last;
                                      }),
                         key);
        }
        clients.push_back(client);
        mine.page = key;
    }
    mine.calls.push_back(std::move(pending));
    mine.gone = false; // a new client where a gone one was
}

void ReaderTurns::withdraw(const void *client)
{
    // A program's turn means nothing once it has left (a new client at its
    // address is a new program), and a crowd of programs that left would
    // otherwise keep its entries, and the memory around them, until
    // MaxPagesRemembered.
    lastServed.remove(programPage(client));
    const auto mine = waiting.find(client);
    if (mine == waiting.end())
        return;
    // Its reads are for nobody now; an open or a close it sent on its way
    // out still acts on the device, as it did when it was sent.
    std::deque<Pending> &calls = mine->calls;
    calls.erase(std::remove_if(calls.begin(), calls.end(),
                               [](const Pending &pending) {
                                   return pending.call == ReaderLibrary::Call::IdReadCard;
                               }),
                calls.end());
    if (!calls.empty()) {
        mine->gone = true;
        return;
    }
    const QString page = mine->page;
    waiting.erase(mine);
    const auto clients = pageClients.find(page);
    if (clients == pageClients.end())
        return;
    clients->erase(std::find(clients->begin(), clients->end(), client));
    if (clients->empty()) {
        pageClients.erase(clients);
        turns.erase(std::find(turns.begin(), turns.end(), page));
    }
}

void ReaderTurns::forgetServed()
{
    // Programs are a page each: the turns of those long gone are let go of
    // now and then (one that comes back is taken as new).
    if (lastServed.size() < MaxPagesRemembered)
        return;
    for (auto it = lastServed.begin(); it != lastServed.end();)
        it = pageClients.contains(it.key()) ? std::next(it) : lastServed.erase(it);
}

const ReaderTurns::Pending *ReaderTurns::next() const
{
    if (turns.empty())
        return nullptr;
    const void *client = pageClients.constFind(turns.front())->front();
    return &waiting.constFind(client)->calls.front();
}

ReaderTurns::Pending ReaderTurns::take(bool *left)
{
    // The page whose turn it is gives its next client's next call; both go
    // to the back of their rounds while they have more.
    const QString page = turns.front();
    turns.pop_front();
    lastServed.insert(page, ++served);
    std::deque<const void *> &clients = pageClients[page];
    const void *client = clients.front();
    clients.pop_front();
    Waiting &mine = waiting[client];
    Pending next = std::move(mine.calls.front());
    mine.calls.pop_front();
    *left = mine.gone;
    if (mine.calls.empty() && mine.gone)
        lastServed.remove(programPage(client));
    if (mine.calls.empty())
        waiting.remove(client);
    else
        clients.push_back(client);
    if (clients.empty()) {
        pageClients.remove(page);
        forgetServed();
    } else {
        turns.push_back(page);
    }
    return next;
}

void ReaderTurns::takeAll(std::deque<Pending> *into)
{
    for (Waiting &mine : waiting) {
        for (Pending &pending : mine.calls)
            into->push_back(std::move(pending));
    }
    waiting.clear();
    pageClients.clear();
    turns.clear();
}
