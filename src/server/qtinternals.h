#ifndef QTINTERNALS_H
#define QTINTERNALS_H

class QObject;
class QTcpSocket;
class QWebSocket;

// What the service needs of Qt's WebSocket objects beyond their public
// interface, all in one place. Each returns false when Qt no longer has
// what it looks for; a quick test fails at once when an update moves it.
namespace QtInternals {

// Qt answers every ping with a pong by itself, queued like a reply, and tells
// nobody; its frame reader, a child of the socket, announces each ping.
// Connects that announcement to receiver's slot (a SLOT() string).
bool connectPings(QWebSocket *socket, QObject *receiver, const char *slot);

// The frame reader closes the client (1001) when a frame stays incomplete
// for 5 s, even where the rest has arrived and only the busy service has not
// read it: its timer is switched off, and the service's own deadline for
// unfinished messages, which counts only time it could read, governs. Qt 6
// keeps that timer out of reach: there this finds nothing and Qt's wait stands.
bool stopFrameTimer(QWebSocket *socket);

// Whether the connection is the one under the socket: Qt hands the socket no
// way to reach it, but their two ends are the same.
bool isConnectionOf(const QWebSocket *socket, const QTcpSocket *connection);

} // namespace QtInternals

#endif // QTINTERNALS_H
