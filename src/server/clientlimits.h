#ifndef CLIENTLIMITS_H
#define CLIENTLIMITS_H

#include <QtGlobal>

// Every bound one client is held to, in one record. A page that reads a card
// a second, or starts a few calls at once, meets none of them; a peer past
// one is closed with the code given, and one line in the log says why.
struct ClientLimits
{
    // The request head, read before Qt's handshake: at most this large,
    // each line within Qt's own bounds (8 KiB a line, 100 lines with the
    // request line), past which Qt closes without a word (431 instead), and
    // whole within the time-out (408).
    int maxHeadBytes = 16 * 1024;
    int maxHeadLineBytes = 8000;
    int maxHeadLines = 100;
    int headTimeoutMs = 10000;

    // Largest text or binary message: past it, 1009 (too much data).
    qint64 maxMessageBytes = 1024 * 1024;

    // Reply bytes queued for the client and not yet taken by the system. One
    // that reads its replies has one or two queued (a card read's is 12 KB);
    // past this (it never reads, or pings without reading the pongs) its
    // next request or ping closes it with 1008.
    qint64 maxQueuedBytes = 8 * 1024 * 1024;
    // More than unreadBytes left queued for unreadGraceMs, or more than
    // backlogBytes with requests held back by them: not reading, 1008.
    qint64 unreadBytes = 1024 * 1024;
    int unreadGraceMs = 10000;

    // A message is complete this long after the service read its first
    // bytes (a 1 MiB message takes a fraction of a second even on a slow
    // network), or 1008.
    int messageDeadlineMs = 10000;

    // Requests waiting for their replies (the reader library carries out one
    // call at a time, the clients' in turn); past it, 1008. Each counts
    // towards the memory budget with its text twice over (text and parsed)
    // and requestOverheadBytes.
    int maxWaitingRequests = 1024;
    qint64 requestOverheadBytes = 512;
    // Requests carried out for one client in a turn of the event loop while
    // others wait: a client with many requests waiting costs each of the
    // others at most so many of its own.
    int requestsPerTurn = 8;
    // Requests of one client carried out at a time (at the reader or on
    // their way to it); the rest wait as text until a reply goes out, so a
    // client that sends a thousand at once holds a thousand strings, not a
    // thousand parsed requests and calls.
    int requestsInProgress = 8;
    // Reply bytes queued for a client beyond which none of its requests is
    // carried out until it has taken some: a peer that sends requests and
    // never reads the replies takes no more turns at the reader from those
    // that do. A card read's reply is 12 KB; a page reads its replies as
    // they come, so the system takes them and nothing stays queued.
    qint64 backlogBytes = 64 * 1024;
    // Bytes read for one client in a turn of the event loop: one message of
    // the largest size and its frame header fit.
    qint64 readBytesPerTurn = maxMessageBytes + 16;

    // Pings: a program that keeps its connection alive pings every few
    // seconds, browsers never do. Qt answers each with a pong at once, so a
    // peer pinging as fast as it reads the pongs takes a turn of the event
    // loop per ping; past the rate (with a burst allowed), 1008.
    double pingsPerSecond = 10;
    double pingBurst = 50;

    // Messages from a web page (a client that sent an Origin): one that
    // reads a card a second sends a few a second, one that starts several
    // calls at once a handful together; past the rate (with a burst
    // allowed), 1008. A page flooding the service would otherwise keep the
    // browser's network thread, which the desk's page shares, busy with the
    // replies. Programs (no Origin) are held by the other bounds only.
    double pageMessagesPerSecond = 50;
    double pageMessageBurst = 100;

    // How long a client closed by Qt (a protocol error, a message past the
    // size limit) has to take its close frame before its connection is
    // dropped, with whatever it left unread. One the service closes itself
    // is dropped at once when the system does not take the close frame.
    int closeGraceMs = 30000;
};

// A rate with a burst (a token bucket): take() is true while the events so
// far, less what the rate has earned since, stay within the burst.
class RateLimit
{
public:
    RateLimit(double perSecond, double burst) : perSecond(perSecond), burst(burst), tokens(burst) {}
    bool take(qint64 nowMs)
    {
        if (last >= 0)
            tokens = qMin(burst, tokens + (nowMs - last) * perSecond / 1000.0);
        last = nowMs;
        if (tokens < 1)
            return false;
        tokens -= 1;
        return true;
    }

private:
    double perSecond;
    double burst;
    double tokens;
    qint64 last = -1;
};

#endif // CLIENTLIMITS_H
