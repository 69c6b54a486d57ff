#ifndef WSCLIENT_H
#define WSCLIENT_H

#include <QByteArray>
#include <QObject>
#include <QStringList>
#include <QUrl>
#include <QWebSocket>

// A real WebSocket client that records what it receives, with blocking helpers
// for tests (each waits on the event loop, never on a fixed sleep).
class WsClient : public QObject
{
    Q_OBJECT

public:
    // origin: the Origin header sent, as a browser page's (none when empty).
    explicit WsClient(const QString &origin = QString(), QObject *parent = nullptr);

    static QUrl url(const QString &host = QStringLiteral("127.0.0.1"), quint16 port = 35561);

    bool open(const QUrl &url = WsClient::url(), int timeout = 10000);
    void send(const QString &text) { socket.sendTextMessage(text); }
    void sendBinary(const QByteArray &bytes) { socket.sendBinaryMessage(bytes); }
    // Sends text and waits for the next reply; a null string on time-out.
    QString request(const QString &text, int timeout = 10000);
    // Waits until count replies have arrived in all.
    bool waitForReplies(int count, int timeout = 10000);
    bool waitForDisconnect(int timeout = 10000);
    void close() { socket.close(); }

    QStringList replies;
    QWebSocket socket;
};

#endif // WSCLIENT_H
