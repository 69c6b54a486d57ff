#ifndef RAWWSCLIENT_H
#define RAWWSCLIENT_H

#include <QByteArray>
#include <QTcpSocket>

// A WebSocket client at the byte level: it performs the opening handshake and
// then sends whatever frames a test builds, well-formed or not.
class RawWsClient
{
public:
    struct Frame
    {
        int opcode = -1;
        QByteArray payload;
        bool fin = true;
        // For close frames: the status code, or -1 without one.
        int closeCode() const;
    };

    // headers: more lines of the request head, each ending in CRLF.
    bool open(const QString &host, quint16 port, int timeout = 10000,
              const QByteArray &headers = QByteArray());

    // One frame: FIN flag, opcode, payload, masked as a client must unless mask is false.
    static QByteArray frame(int opcode, const QByteArray &payload, bool fin = true,
                            bool mask = true, int rsv = 0);
    // A header announcing length bytes of payload, with none of the payload.
    static QByteArray header(int opcode, quint64 length);

    void write(const QByteArray &bytes);
    // Reads the next whole frame from the server; opcode -1 on time-out or end.
    Frame readFrame(int timeout = 10000);
    bool waitForDisconnected(int timeout = 10000);

    QTcpSocket socket;

private:
    bool fill(int size, int timeout);
    QByteArray buffer;
    int consumed = 0; // bytes at the front of buffer already read as frames
};

#endif // RAWWSCLIENT_H
