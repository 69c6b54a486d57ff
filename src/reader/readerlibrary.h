#ifndef READERLIBRARY_H
#define READERLIBRARY_H

#include "readerchannel.h"

#include <QByteArray>
#include <QtGlobal>

#include <functional>

// The reader library as the commands reach it: a call goes in, and its
// outcome comes back later, on the same thread. One client's calls are
// carried out in the order it made them; pages take turns, and a page's
// clients take turns within its share, so that one with many calls or many
// connections does not hold back the others. The service's one
// is the reader host, a process of its own.
class ReaderLibrary
{
public:
    // Each call is its byte on the reader host's channel.
    enum class Call : char {
        OpenDevice = READER_CALL_OPEN_DEVICE,
        CloseDevice = READER_CALL_CLOSE_DEVICE,
        IdReadCard = READER_CALL_ID_READ_CARD,
    };

    struct Outcome
    {
        // The library failed inside the call (it crashed, ended its process
        // or did not return in time): result and record mean nothing.
        bool failed = false;
        qint64 result = 0;
        // IdReadCard with result 0: the record up to its NUL (all 10240
        // bytes when it has none).
        QByteArray record;
        // Answered without the library: a close that could change nothing
        // (the reader was closed already, or other pages hold it open).
        bool notCalled = false;
    };
    using Done = std::function<void(const Outcome &)>;

    virtual ~ReaderLibrary() = default;
    // client: who asks (its connection), never dereferenced; page: its
    // Origin, empty for a program (which is then a page of its own).
    virtual void call(const void *client, const QString &page, Call call, Done done) = 0;
    // The client is gone: its calls not yet begun are dropped unanswered.
    virtual void forget(const void *client) = 0;
};

#endif // READERLIBRARY_H
