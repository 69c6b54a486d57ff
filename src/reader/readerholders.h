#ifndef READERHOLDERS_H
#define READERHOLDERS_H

#include <QSet>

// The clients that hold the reader open. The reader is one device for every
// page: a page that opened it keeps it open until it closes it itself, so a
// close from any other page is answered without closing the device. Only the
// last holder's close (or one while nobody holds it) may reach the library; a
// page that leaves without closing leaves the reader as it is.
class ReaderHolders
{
public:
    void opening(const void *client) { holders.insert(client); }
    void openFailed(const void *client) { holders.remove(client); }
    // Whether the library is to close the device for this client's close.
    bool closes(const void *client)
    {
        holders.remove(client);
        return holders.isEmpty();
    }
    void left(const void *client) { holders.remove(client); }
    // The library was started again: the device is closed for everyone.
    void lost() { holders.clear(); }
    const QSet<const void *> &clients() const { return holders; }

private:
    QSet<const void *> holders;
};

#endif // READERHOLDERS_H
