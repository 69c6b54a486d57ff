// The floor: a bare QWebSocketServer from the same Qt that answers every text
// message with a fixed reply of a given size. What the service could reach if
// its own work cost nothing.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHostAddress>
#include <QWebSocket>
#include <QWebSocketServer>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Fixed-reply WebSocket server"));
    parser.addHelpOption();
    parser.addOptions({
        {"port", "Port to listen on (keep it below 32768).", "port", "30001"},
        {"size", "Reply size in bytes.", "bytes", "100"},
    });
    parser.process(app);

    const QString reply(parser.value("size").toInt(), QLatin1Char('x'));
    QWebSocketServer server(QStringLiteral("Floor"), QWebSocketServer::NonSecureMode);
    if (!server.listen(QHostAddress::Any, quint16(parser.value("port").toUInt()))) {
        std::fprintf(stderr, "floorserver: %s\n", qPrintable(server.errorString()));
        return 1;
    }
    QObject::connect(&server, &QWebSocketServer::newConnection, [&server, &reply] {
        while (QWebSocket *socket = server.nextPendingConnection()) {
            QObject::connect(socket, &QWebSocket::textMessageReceived, socket,
                             [socket, &reply](const QString &) { socket->sendTextMessage(reply); });
            QObject::connect(socket, &QWebSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
    return app.exec();
}
