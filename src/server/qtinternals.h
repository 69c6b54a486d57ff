#ifndef QTINTERNALS_H
#define QTINTERNALS_H

#include <QStringList>

class QByteArray;
class QObject;
class QTcpSocket;
class QWebSocket;

// What the service does with Qt's WebSocket objects beyond their public
// interface, all in one place. The look-ups return false when Qt no longer
// has what they look for; missing() tries them at start-up, and a quick test
// fails at once when an update moves them.
//
// Two more things are done behind Qt's back on the connection under a
// client, relying on Qt writing a socket's frames to that connection only:
// replies are framed here and sent straight to the system (writeFrames), and
// a closed client's connection lingers on a duplicate of its descriptor, or is
// reset through SO_LINGER (CloseLinger).
namespace QtInternals {

// Qt answers every ping with a pong by itself, queued like a reply, and tells
// nobody; its frame reader, a child of the socket, announces each ping.
// Connects that announcement to receiver's slot (a SLOT() string).
bool connectPings(QWebSocket *socket, QObject *receiver, const char *slot);

// Qt 5's frame reader closes the client (1001) when a frame stays incomplete
// for 5 s, even where the rest has arrived and only the busy service has not
// read it: its timer is switched off, and the service's own deadline for
// unfinished messages, which counts only time it could read, governs. Qt 6
// keeps that timer out of reach: it is not looked for there, and Qt's wait
// stands.
bool stopFrameTimer(QWebSocket *socket);

// What of the above this Qt lacks, in words for the log; empty when all is
// found.
QStringList missing();

// Whether the connection is the one under the socket: Qt hands the socket no
// way to reach it, but their two ends are the same.
bool isConnectionOf(const QWebSocket *socket, const QTcpSocket *connection);

// Appends one final text frame, unmasked as a server's are.
void appendTextFrame(QByteArray *frames, const QByteArray &payload);
// Sends frames to the socket's connection: in one send when Qt holds nothing
// for it, or else behind what Qt holds (a pong, earlier replies).
void writeFrames(const QWebSocket *socket, QTcpSocket *connection, const QByteArray &frames);

} // namespace QtInternals

#endif // QTINTERNALS_H
