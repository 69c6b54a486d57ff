#include "wsclient.h"

#include <QSignalSpy>
#include <QTest>

WsClient::WsClient(const QString &origin, QObject *parent) : QObject(parent), socket(origin)
{
    connect(&socket, &QWebSocket::textMessageReceived, this,
            [this](const QString &text) { replies.append(text); });
}

QUrl WsClient::url(const QString &host, quint16 port)
{
    QUrl url;
    url.setScheme(QStringLiteral("ws"));
    url.setHost(host);
    url.setPort(port);
    return url;
}

bool WsClient::open(const QUrl &url, int timeout)
{
    QSignalSpy connected(&socket, &QWebSocket::connected);
    socket.open(url);
    return connected.wait(timeout) || socket.state() == QAbstractSocket::ConnectedState;
}

QString WsClient::request(const QString &text, int timeout)
{
    const int before = replies.size();
    send(text);
    if (!waitForReplies(before + 1, timeout))
        return QString();
    return replies.at(before);
}

bool WsClient::waitForReplies(int count, int timeout)
{
    QDeadlineTimer deadline(timeout);
    while (replies.size() < count && !deadline.hasExpired())
        QTest::qWait(5);
    return replies.size() >= count;
}

bool WsClient::waitForDisconnect(int timeout)
{
    QDeadlineTimer deadline(timeout);
    while (socket.state() != QAbstractSocket::UnconnectedState && !deadline.hasExpired())
        QTest::qWait(5);
    return socket.state() == QAbstractSocket::UnconnectedState;
}
