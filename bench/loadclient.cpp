// Closed-loop WebSocket load client: C connections, each sending one message
// and waiting for the whole reply before sending the next, for a number of
// seconds. Prints one JSON line: round trips per second and latency p50, p99, max.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <QUrl>
#include <QWebSocket>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

// Qt 6.5 renamed the socket's error signal.
#if QT_VERSION < QT_VERSION_CHECK(6, 5, 0)
constexpr auto webSocketError = QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error);
#else
constexpr auto webSocketError = &QWebSocket::errorOccurred;
#endif

namespace {

struct Run
{
    QString message;
    QElapsedTimer clock;
    qint64 warmupEndNs = 0;
    qint64 endNs = 0;
    bool printReply = false;
    std::vector<qint64> latenciesNs;
    int connected = 0;
    int failed = 0;
};

class Connection : public QObject
{
public:
    Connection(Run &run, const QUrl &url, const QString &origin) : run(run), socket(origin)
    {
        connect(&socket, &QWebSocket::connected, this, [this] {
            ++this->run.connected;
            send();
        });
        connect(&socket, &QWebSocket::textMessageReceived, this, &Connection::received);
        connect(&socket, webSocketError, this, [this] {
            ++this->run.failed;
            if (this->run.printReply)
                QCoreApplication::exit(1);
        });
        socket.open(url);
    }

private:
    void send()
    {
        sentNs = run.clock.nsecsElapsed();
        socket.sendTextMessage(run.message);
    }

    void received(const QString &reply)
    {
        const qint64 now = run.clock.nsecsElapsed();
        if (run.printReply) {
            std::fputs(reply.toUtf8().constData(), stdout);
            QCoreApplication::exit(0);
            return;
        }
        if (sentNs >= run.warmupEndNs && now <= run.endNs)
            run.latenciesNs.push_back(now - sentNs);
        if (now < run.endNs)
            send();
    }

    Run &run;
    QWebSocket socket;
    qint64 sentNs = 0;
};

qint64 percentile(std::vector<qint64> &sorted, double p)
{
    if (sorted.empty())
        return 0;
    const size_t index = std::min(sorted.size() - 1, size_t(p * double(sorted.size())));
    return sorted[index];
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Closed-loop WebSocket load client"));
    parser.addHelpOption();
    parser.addOptions({
        {"host", "Host to connect to.", "host", "127.0.0.1"},
        {"port", "Port to connect to.", "port", "35561"},
        {"connections", "Number of connections.", "count", "1"},
        {"seconds", "Measured seconds.", "seconds", "5"},
        {"warmup", "Seconds before measuring.", "seconds", "1"},
        {"message", "Text message to send.", "text", R"({"cmd":"close_device"})"},
        {"origin", "Origin header to send, as a page's (none by default).", "origin"},
        {"print-reply", "Print the first reply and exit."},
    });
    parser.process(app);

    Run run;
    run.message = parser.value("message");
    run.printReply = parser.isSet("print-reply");
    const int connections = run.printReply ? 1 : parser.value("connections").toInt();
    const double warmup = parser.value("warmup").toDouble();
    const double seconds = parser.value("seconds").toDouble();
    run.warmupEndNs = qint64(warmup * 1e9);
    run.endNs = qint64((warmup + seconds) * 1e9);

    QUrl url;
    url.setScheme(QStringLiteral("ws"));
    url.setHost(parser.value("host"));
    url.setPort(parser.value("port").toInt());

    run.clock.start();
    std::vector<std::unique_ptr<Connection>> all;
    for (int i = 0; i < connections; ++i)
        all.push_back(std::make_unique<Connection>(run, url, parser.value("origin")));

    if (run.printReply)
        QTimer::singleShot(10000, &app, [] { QCoreApplication::exit(1); });
    else
        QTimer::singleShot(int((warmup + seconds) * 1000) + 200, &app,
                           [] { QCoreApplication::exit(0); });
    const int status = app.exec();
    if (run.printReply)
        return status;

    std::sort(run.latenciesNs.begin(), run.latenciesNs.end());
    QJsonObject result{
        {"connections", connections},
        {"connected", run.connected},
        {"errors", run.failed},
        {"seconds", seconds},
        {"roundTrips", qint64(run.latenciesNs.size())},
        {"rps", double(run.latenciesNs.size()) / seconds},
        {"p50_us", percentile(run.latenciesNs, 0.50) / 1000.0},
        {"p99_us", percentile(run.latenciesNs, 0.99) / 1000.0},
        {"max_us", run.latenciesNs.empty() ? 0.0 : run.latenciesNs.back() / 1000.0},
    };
    std::puts(QJsonDocument(result).toJson(QJsonDocument::Compact).constData());
    return run.connected == connections && !run.latenciesNs.empty() ? 0 : 2;
}
