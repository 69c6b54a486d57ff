#include "rawwsclient.h"

#include <QDeadlineTimer>
#include <QTest>
#include <QtEndian>

namespace {

// Waits on the event loop, so that a server in the same thread keeps running.
bool waitFor(const std::function<bool()> &done, const QDeadlineTimer &deadline)
{
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(2);
    }
    return true;
}

} // namespace

int RawWsClient::Frame::closeCode() const
{
    if (opcode != 0x8 || payload.size() < 2)
        return -1;
    return (uchar(payload.at(0)) << 8) | uchar(payload.at(1));
}

bool RawWsClient::open(const QString &host, quint16 port, int timeout, const QByteArray &headers)
{
    QDeadlineTimer deadline(timeout);
    socket.connectToHost(host, port);
    if (!waitFor([this] { return socket.state() == QAbstractSocket::ConnectedState; }, deadline))
        return false;
    socket.write("GET / HTTP/1.1\r\n"
                 "Host: " +
                 host.toLatin1() + ":" + QByteArray::number(port) +
                 "\r\n"
                 "Upgrade: websocket\r\n"
                 "Connection: Upgrade\r\n"
                 "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                 "Sec-WebSocket-Version: 13\r\n" +
                 headers + "\r\n");
    const bool answered = waitFor(
        [this] {
            buffer += socket.readAll();
            return buffer.contains("\r\n\r\n");
        },
        deadline);
    if (!answered)
        return false;
    const int end = buffer.indexOf("\r\n\r\n") + 4;
    const bool upgraded = buffer.startsWith("HTTP/1.1 101");
    buffer.remove(0, end);
    return upgraded;
}

QByteArray RawWsClient::frame(int opcode, const QByteArray &payload, bool fin, bool mask, int rsv)
{
    QByteArray bytes;
    bytes.append(char((fin ? 0x80 : 0) | ((rsv & 0x7) << 4) | (opcode & 0xF)));
    const char maskBit = mask ? char(0x80) : 0;
    const quint64 length = quint64(payload.size());
    if (length < 126) {
        bytes.append(char(maskBit | char(length)));
    } else if (length <= 0xFFFF) {
        bytes.append(char(maskBit | 126));
        char size[2];
        qToBigEndian(quint16(length), size);
        bytes.append(size, 2);
    } else {
        bytes.append(char(maskBit | 127));
        char size[8];
        qToBigEndian(length, size);
        bytes.append(size, 8);
    }
    if (!mask)
        return bytes + payload;
    const char key[4] = {0x12, 0x34, 0x56, 0x78};
    bytes.append(key, 4);
    QByteArray masked = payload;
    for (int i = 0; i < masked.size(); ++i)
        masked[i] = char(masked[i] ^ key[i % 4]);
    return bytes + masked;
}

QByteArray RawWsClient::header(int opcode, quint64 length)
{
    QByteArray bytes;
    bytes.append(char(0x80 | opcode));
    bytes.append(char(0x80 | 127));
    char size[8];
    qToBigEndian(length, size);
    bytes.append(size, 8);
    bytes.append("\x12\x34\x56\x78", 4);
    return bytes;
}

void RawWsClient::write(const QByteArray &bytes)
{
    socket.write(bytes);
}

bool RawWsClient::fill(int size, int timeout)
{
    bool ended = false;
    const bool filled = waitFor(
        [this, size, &ended] {
            if (socket.isOpen())
                buffer += socket.readAll();
            ended = socket.state() == QAbstractSocket::UnconnectedState;
            return buffer.size() - consumed >= size || ended;
        },
        QDeadlineTimer(timeout));
    return filled && buffer.size() - consumed >= size;
}

RawWsClient::Frame RawWsClient::readFrame(int timeout)
{
    Frame frame;
    if (!fill(2, timeout))
        return frame;
    const char *const head = buffer.constData() + consumed;
    const uchar first = uchar(head[0]);
    quint64 length = uchar(head[1]) & 0x7F;
    int offset = 2;
    if (length == 126) {
        if (!fill(4, timeout))
            return frame;
        length = qFromBigEndian<quint16>(buffer.constData() + consumed + 2);
        offset = 4;
    } else if (length == 127) {
        if (!fill(10, timeout))
            return frame;
        length = qFromBigEndian<quint64>(buffer.constData() + consumed + 2);
        offset = 10;
    }
    if (!fill(offset + int(length), timeout))
        return frame;
    frame.fin = first & 0x80;
    frame.opcode = first & 0x0F;
    frame.payload = buffer.mid(consumed + offset, int(length));
    // Frames are taken from the front of megabytes of them: drop what was
    // read only once it is half the buffer, not after every frame.
    consumed += offset + int(length);
    if (consumed > buffer.size() / 2) {
        buffer.remove(0, consumed);
        consumed = 0;
    }
    return frame;
}

bool RawWsClient::waitForDisconnected(int timeout)
{
    return waitFor([this] { return socket.state() == QAbstractSocket::UnconnectedState; },
                   QDeadlineTimer(timeout));
}
