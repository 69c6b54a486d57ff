#ifndef CLOSELINGER_H
#define CLOSELINGER_H

#include <QObject>
#include <QTimer>

class QSocketNotifier;
class QTcpSocket;
class QWebSocket;

// Finishes the close of a client's connection the way robust servers do.
// The socket is closed right after the close frame (Qt 5 and 6.8 do so
// themselves, 6.11 waits for the peer's); when the peer is still
// sending (a message past the size limit, a client that never reads), the
// bytes left unread make the system answer with a reset, which can overtake
// the close frame, and the peer sees the connection torn down instead of the
// close code. This keeps the connection open on a duplicate of its descriptor
// once Qt lets go: it ends the sending side after the close frame, and reads
// and discards what the peer still sends, up to LingerBytes, until the peer
// closes or LingerMs have passed.
class CloseLinger : public QObject
{
    Q_OBJECT

public:
    static constexpr int LingerMs = 5000;
    static constexpr qint64 LingerBytes = 8 * 1024 * 1024;
    // Connections lingering at once; past it a close is left to Qt alone.
    static constexpr int MaxLingering = 256;

    // Lingers on the socket's connection when it closes. Qt may wait up to
    // graceMs for its last bytes to be taken before it lets go.
    static void watch(QWebSocket *socket, QTcpSocket *connection, int graceMs, QObject *owner);
    // Drops the connection at once with a reset, lingering or not: for a
    // peer that takes nothing, whose close frame would wait behind what it
    // left unread, and whose queue would hold memory here and in the system.
    static void reset(QTcpSocket *connection);

    ~CloseLinger() override;

private:
    CloseLinger(int descriptor, int graceMs, QObject *owner);
    static void start(QTcpSocket *connection, int graceMs, QObject *owner);
    void sendingDone();
    bool resetting() const;
    void drain();

    int descriptor;
    qint64 drained = 0;
    QSocketNotifier *notifier;
    QTimer deadline;
    static int lingering;
};

#endif // CLOSELINGER_H
