#include "echoserver.h"

#include "clientsession.h"
#include "closelinger.h"
#include "commanddispatch.h"
#include "connectiongate.h"
#include "logsink.h"
#include "policy.h"
#include "qtinternals.h"
#include "readerlibrary.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QDebug>
#include <QHostAddress>
#include <QMap>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTime>
#include <QTimer>
#include <QWebSocket>
#include <QWebSocketServer>

#include <algorithm>
#include <utility>

#include <cerrno>

#include <fcntl.h>
#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {
QString otherSessionReason()
{
    return QStringLiteral("the reader is with the session at the screen");
}

QString mib(qint64 bytes)
{
    return QString::number(double(bytes) / (1024 * 1024), 'f', 1);
}

QString timeOfDay()
{
    return QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz"));
}

// True when fewer than EchoServer::DescriptorReserve descriptors are left.
// The system hands out the lowest free number: when that is n, the n below it
// are all taken, and at most the limit less n are free.
bool descriptorsRunningOut(int openDescriptor)
{
    rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return false;
    const int lowestFree = ::fcntl(openDescriptor, F_DUPFD_CLOEXEC, 0);
    if (lowestFree < 0)
        return errno == EMFILE;
    ::close(lowestFree);
    return rlim_t(lowestFree) + EchoServer::DescriptorReserve >= limit.rlim_cur;
}

} // namespace

EchoServer::EchoServer(quint16 port, bool debug, QObject *parent)
    : QObject(parent), pServer(new QWebSocketServer(QStringLiteral("Echo Server"),
                                                    QWebSocketServer::NonSecureMode, this)),
      listenPort(port), bDebug(debug)
{
    connect(pServer, &QWebSocketServer::newConnection, this, &EchoServer::onNewConnection);
    for (const QString &lacking : QtInternals::missing())
        qWarning().noquote() << QStringLiteral("This Qt (%1) lacks %2").arg(qVersion(), lacking);
    // A port held by another program (another clerk's service letting go
    // of it) is tried again until it is free.
    listenRetry.setInterval(ListenRetryMs);
    connect(&listenRetry, &QTimer::timeout, this, &EchoServer::tryListening);
    if (!listen())
        listenRetry.start();
    else if (bDebug)
        qDebug() << "Echoserver listening on port" << port;
    // However the process ends (the tray's exit, a signal at logout), clients
    // learn that the service goes away instead of seeing the connection drop.
    if (QCoreApplication *app = QCoreApplication::instance())
        connect(app, &QCoreApplication::aboutToQuit, this, &EchoServer::sayGoodbye);
    // A new turn each time the event loop has run dry.
    if (QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance())
        connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this, [this] { ++turn; });
    acceptRetry.setSingleShot(true);
    acceptRetry.setInterval(AcceptRetryMs);
    connect(&acceptRetry, &QTimer::timeout, this, &EchoServer::resumeAccepting);
    clock.start();
    sweepTimer.setInterval(SweepMs);
    connect(&sweepTimer, &QTimer::timeout, this, &EchoServer::sweep);
    sweepTimer.start();
}

const ClientLimits EchoServer::limits;

bool EchoServer::listen()
{
    for (const QHostAddress &address : policy.listenAddresses()) {
        auto *listener = new QTcpServer(this);
        if (!listener->listen(address, listenPort)) {
            // The tray still announces a successful start, so leave a trace of
            // why no client can connect (once, not at every try).
            const bool taken = listener->serverError() == QAbstractSocket::AddressInUseError;
            const QString where = address == QHostAddress::Any
                                      ? QString()
                                      : QStringLiteral(" of %1").arg(address.toString());
            if (!listenRetry.isActive())
                qWarning().noquote()
                    << QStringLiteral("Echoserver failed to listen on port %1%2: %3%4")
                           .arg(listenPort)
                           .arg(where, listener->errorString(),
                                taken ? QStringLiteral("; trying again until it is free")
                                      : QString());
            delete listener;
            if (taken) {
                // All or nothing: a service on some of its addresses would
                // share the port with another user's.
                for (QTcpServer *opened : std::as_const(listeners))
                    delete opened;
                listeners.clear();
                return false;
            }
            continue;
        }
        // Qt's queue of 50 connections stays: under a crowd reconnecting as
        // fast as it is dropped, a queue of thousands (listening again with
        // SOMAXCONN, tried) held the desk's page behind all of them and every
        // one of its handshakes timed out; with 50 the system drops SYNs at
        // random and the page's retry gets in.
        listeners.append(listener);
        connect(listener, &QTcpServer::newConnection, this,
                [this, listener] { takeConnections(listener); });
        connect(listener, &QTcpServer::acceptError, this, &EchoServer::checkDescriptors);
    }
    return true;
}

void EchoServer::tryListening()
{
    if (!wantServing || serving()) {
        listenRetry.stop();
        return;
    }
    if (!listen()) {
        listenRetry.start();
        return;
    }
    listenRetry.stop();
    qDebug() << "Echoserver listening on port" << listenPort;
    Q_EMIT servingChanged(true);
}

void EchoServer::setServing(bool serve)
{
    wantServing = serve;
    if (serve) {
        tryListening();
        return;
    }
    listenRetry.stop();
    acceptRetry.stop();
    const bool was = serving();
    closeListeners();
    for (const QPointer<QTcpSocket> &connection : std::exchange(arriving, {})) {
        if (connection)
            connection->abort();
    }
    const QList<ClientSession *> clients = listed();
    for (ClientSession *session : clients)
        session->dismiss(CloseOtherSession, otherSessionReason());
    // The clients are forgotten, so this close reaches the device unless it
    // is closed already: the next session's service finds the reader closed.
    if (reader && was)
        reader->call(this, QString(), ReaderLibrary::Call::CloseDevice, [](const auto &outcome) {
            qDebug() << "Reader closed for the session at the screen:"
                     << (outcome.failed      ? QStringLiteral("the library failed")
                         : outcome.notCalled ? QStringLiteral("it was closed already")
                                             : QString::number(outcome.result));
        });
    if (!was)
        return;
    qDebug().noquote() << QStringLiteral("Another login session is at the screen: no longer "
                                         "listening, %1 clients closed with %2")
                              .arg(clients.size())
                              .arg(CloseOtherSession);
    Q_EMIT servingChanged(false);
}

void EchoServer::closeListeners()
{
    for (QTcpServer *listener : std::exchange(listeners, {})) {
        listener->close();
        listener->deleteLater();
    }
}

void EchoServer::listenAgain()
{
    if (!serving())
        return; // it listens where the policy says once it serves again
    // Clients already connected stay; new ones come in where the policy says.
    closeListeners();
    if (!listen()) {
        listenRetry.start();
        Q_EMIT servingChanged(false);
    } else if (bDebug) {
        qDebug() << "Echoserver listening on port" << listenPort;
    }
}

void EchoServer::applyPolicy()
{
    QMap<QString, int> closedFor;
    int closed = 0;
    for (ClientSession *session : listed()) {
        QTcpSocket *connection = session->connection();
        if (!connection || session->closing())
            continue;
        QString refusal =
            ConnectionGate::placeRefusal(policy, connection, session->socket()->origin());
        if (refusal.isEmpty() && policy.refusesOtherUsers())
            refusal = ConnectionGate::userRefusal(policy, ConnectionGate::peerOwner(connection));
        if (refusal.isEmpty())
            continue;
        ++closed;
        // Another user's uid says more in the line than it needs to.
        ++closedFor[refusal.section(QStringLiteral(" (uid"), 0, 0)];
        session->dismiss(1008, QStringLiteral("refused by the policy: %1").arg(refusal));
    }
    if (!closed)
        return;
    QStringList reasons;
    for (auto it = closedFor.cbegin(); it != closedFor.cend(); ++it)
        reasons.append(QStringLiteral("%1: %2").arg(it.key()).arg(it.value()));
    qDebug().noquote() << QStringLiteral("The policy now in force closed %1 clients it no longer "
                                         "admits with 1008 (%2)")
                              .arg(closed)
                              .arg(reasons.join(QStringLiteral(", ")));
}

EchoServer::~EchoServer()
{
    for (QTcpServer *listener : std::as_const(listeners))
        listener->close();
    pServer->close();
    // A socket deleted here still emits disconnected(); unhook it first so that
    // clientGone() does not edit the list being walked.
    const QList<ClientSession *> clients = std::exchange(clientList, {});
    for (ClientSession *session : clients) {
        QWebSocket *client = session->socket();
        client->disconnect(this);
        client->disconnect(session);
        delete client;
    }
}

void EchoServer::takeConnections(QTcpServer *listener)
{
    while (listener->hasPendingConnections()) {
        QTcpSocket *connection = listener->nextPendingConnection();
        // Accepted, the connection is the server's: a listener closed for a
        // change of policy or a stand-down would otherwise take its children,
        // the clients still in use, with it.
        connection->setParent(this);
        // Out of descriptors, Qt's accept fails without a word and tries again
        // as soon as the event loop runs, at full speed for as long as it
        // lasts: look after every connection accepted, before its handshake,
        // and pause accepting while too few are left.
        checkDescriptors();
        // Replies are small and each is handed to the system as it is made:
        // without this, a second reply in flight waits for the peer's
        // delayed acknowledgement of the first (about 40 ms).
        connection->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        handOver(connection);
    }
}

void EchoServer::handOver(QTcpSocket *connection)
{
    // Half-sent request heads cost a descriptor each for up to the gate's
    // time-out: past the bound the oldest arriving connection gives way.
    if (arriving.size() >= MaxArriving) {
        arriving.erase(std::remove_if(arriving.begin(), arriving.end(),
                                      [](const QPointer<QTcpSocket> &waiting) {
                                          return !waiting || waiting->state() !=
                                                                 QAbstractSocket::ConnectedState;
                                      }),
                       arriving.end());
        if (arriving.size() >= MaxArriving) {
            if (!arrivingDropped++)
                qDebug() << "Too many connections arriving at once: the oldest are dropped";
            arriving.takeFirst()->abort();
        }
    }
    arriving.append(connection);
    // Counted when the connection goes, through a child of it: Qt 6 warns in
    // the log when it disconnects everything from a socket whose destroyed()
    // is connected, which its WebSocket does at every close.
    connect(new QObject(connection), &QObject::destroyed, this, [this] { budget.released(); });
    auto *gate = new ConnectionGate(connection, policy, limits, otherClerk, this);
    // In the gate's name: a crowd of gates connected to the server would
    // make each QObject::sender() look through all of them.
    connect(gate, &ConnectionGate::admitted, gate,
            [this](QTcpSocket *admitted) { pServer->handleConnection(admitted); });
}

QTcpSocket *EchoServer::takeArriving(const QWebSocket *pSocket)
{
    for (int i = 0; i < arriving.size(); ++i) {
        if (QtInternals::isConnectionOf(pSocket, arriving.at(i))) {
            if (arriving.size() == 1)
                arrivingDropped = 0; // the burst is over
            return arriving.takeAt(i);
        }
    }
    return nullptr;
}

void EchoServer::onNewConnection()
{
    if (bDebug)
        qDebug() << timeOfDay() << "NewConnection";

    QWebSocket *pSocket = pServer->nextPendingConnection();
    if (!pSocket)
        return;

    auto *session = new ClientSession(pSocket, takeArriving(pSocket), limits, clock);
    clientList.append(session);
    // Every close, Qt's own (1009) and ours (1008, 1013), lingers so that a
    // peer still sending sees the close frame rather than a reset; the
    // lingering outlives the client, so the server keeps it.
    CloseLinger::watch(pSocket, session->connection(), limits.closeGraceMs, this);
    // Connected in the session's name, not the server's: QObject::sender()
    // walks every connection made to its receiver, and with thousands of
    // clients connected to the server each message would cost thousands of
    // steps, and a crowd pipelining requests would keep the service busy in
    // it while the desk's page waits.
    connect(pSocket, &QWebSocket::textMessageReceived, session,
            [this, session](const QString &message) { takeMessage(session, message); });
    connect(pSocket, &QWebSocket::binaryMessageReceived, session,
            [this](const QByteArray &message) { processBinaryMessage(message); });
    connect(pSocket, &QWebSocket::disconnected, session, [this, session] { clientGone(session); });
    connect(session, &ClientSession::dismissed, session, [this, session] { forget(session); });
    connect(session, &ClientSession::holdingChanged, session,
            [this, session] { account(session); });
    connect(session, &ClientSession::caughtUp, session, [this, session] { waitForTurn(session); });
    connect(session, &ClientSession::brokeBound, session,
            [this, pSocket] { strike(pSocket->origin()); });
    if (session->connection() &&
        !session->connection()->property(ConnectionGate::OtherClerk).isNull()) {
        sendToTheScreen(session);
        return;
    }
    if (!roomFor(session))
        return;
    session->stage = ClientSession::Stage::Listed;
    ++admitted;
}

void EchoServer::sendToTheScreen(ClientSession *session)
{
    // A background page retries: one line for a burst.
    const qint64 now = clock.elapsed();
    if (otherClerkLogged < 0 || now - otherClerkLogged >= OriginRefusalQuietMs) {
        qDebug().noquote()
            << QStringLiteral("Client of another login session (uid %1) closed with "
                              "%2 (more within %3 s are not logged)")
                   .arg(session->connection()->property(ConnectionGate::OtherClerk).toUInt())
                   .arg(CloseOtherSession)
                   .arg(OriginRefusalQuietMs / 1000);
        otherClerkLogged = now;
    }
    session->dismiss(CloseOtherSession, otherSessionReason());
}

bool EchoServer::roomFor(ClientSession *session)
{
    const QString origin = session->socket()->origin();
    const auto seen = pages.constFind(origin);
    if (!origin.isEmpty() && seen != pages.cend() && seen->heldUntil > clock.elapsed()) {
        session->dismiss(1013, QStringLiteral("this page is held off: too many closes"));
        return false;
    }
    // The page's own cap first: a client refused for it must not have made
    // another give way.
    if (origin.isEmpty() || seen == pages.cend() || seen->clients < MaxClientsPerOrigin) {
        if (admitted < MaxClients || makeRoomFor(origin)) {
            // Looked up again: the client that gave way may have taken the
            // last of many pages, and with it this page's record.
            Page &page = pages[origin];
            if (!origin.isEmpty()) {
                if (!page.messages)
                    page.messages = std::make_shared<RateLimit>(limits.pageMessagesPerSecond,
                                                                limits.pageMessageBurst);
                session->shareMessageRate(page.messages);
            }
            ++page.clients;
            return true;
        }
        qDebug() << "Client refused, closing with 1013:" << admitted << "clients connected already";
        session->dismiss(1013, QStringLiteral("too many connections"));
        return false;
    }
    Page &page = pages[origin];
    // One line for a burst of refusals: a page that keeps opening sockets
    // would otherwise fill the log.
    const qint64 now = clock.elapsed();
    if (page.refusedAt < 0 || now - page.refusedAt >= OriginRefusalQuietMs)
        qDebug().noquote() << QStringLiteral("Client refused, closing with 1013: %1 clients of "
                                             "origin %2 connected already (more refusals of it "
                                             "within %3 s are not logged)")
                                  .arg(MaxClientsPerOrigin)
                                  .arg(quotedForLog(origin))
                                  .arg(OriginRefusalQuietMs / 1000);
    page.refusedAt = now;
    session->dismiss(1013, QStringLiteral("too many connections of this page"));
    strike(origin);
    return false;
}

void EchoServer::strike(const QString &origin)
{
    const auto page = pages.find(origin);
    if (origin.isEmpty() || page == pages.end())
        return;
    const qint64 now = clock.elapsed();
    if (page->heldUntil > now)
        return;
    while (!page->strikes.empty() && now - page->strikes.front() >= StrikeWindowMs)
        page->strikes.pop_front();
    page->strikes.push_back(now);
    if (int(page->strikes.size()) < StrikesBeforeHold)
        return;
    page->strikes.clear();
    page->heldUntil = now + HoldMs;
    qDebug().noquote() << QStringLiteral("Clients of origin %1 closed %2 times within %3 s for "
                                         "breaking their bounds: its new clients are closed "
                                         "with 1013 for %4 s, those connected stay")
                              .arg(quotedForLog(origin))
                              .arg(StrikesBeforeHold)
                              .arg(StrikeWindowMs / 1000)
                              .arg(HoldMs / 1000);
}

void EchoServer::forgetPages()
{
    if (pages.size() < MaxPagesRemembered)
        return;
    const qint64 now = clock.elapsed();
    for (auto page = pages.begin(); page != pages.end();) {
        const bool done = page->clients == 0 && page->heldUntil <= now &&
                          (page->strikes.empty() || now - page->strikes.back() >= StrikeWindowMs);
        page = done ? pages.erase(page) : std::next(page);
    }
}

bool EchoServer::makeRoomFor(const QString &origin)
{
    QString largest;
    int most = 0;
    for (auto group = pages.cbegin(); group != pages.cend(); ++group) {
        if (group->clients > most) {
            most = group->clients;
            largest = group.key();
        }
    }
    if (most < pages.value(origin).clients + 2)
        return false;
    // Only when the server is full: a walk over its clients is cheap then.
    ClientSession *quietest = nullptr;
    for (ClientSession *candidate : listed()) {
        if (candidate->socket()->origin() == largest &&
            (!quietest || candidate->lastRequestAt() < quietest->lastRequestAt()))
            quietest = candidate;
    }
    if (!quietest)
        return false;
    const auto named = [](const QString &page) {
        return page.isEmpty() ? QStringLiteral("(none)") : quotedForLog(page);
    };
    const qint64 now = clock.elapsed();
    if (gaveWayLogged < 0 || now - gaveWayLogged >= OriginRefusalQuietMs) {
        qDebug().noquote() << QStringLiteral("%1 clients connected: the quietest of origin %2 "
                                             "(%3 clients) closed with 1013 for a client of "
                                             "origin %4 (more within %5 s are not logged)")
                                  .arg(MaxClients)
                                  .arg(named(largest))
                                  .arg(most)
                                  .arg(named(origin))
                                  .arg(OriginRefusalQuietMs / 1000);
        gaveWayLogged = now;
    }
    quietest->dismiss(1013, QStringLiteral("too many connections"));
    return true;
}

void EchoServer::forget(ClientSession *session)
{
    if (session->stage >= ClientSession::Stage::Closed)
        return;
    if (std::exchange(session->stage, ClientSession::Stage::Closed) ==
        ClientSession::Stage::Listed) {
        --admitted;
        Page &page = pages[session->socket()->origin()];
        if (--page.clients <= 0) {
            page.refusedAt = -1;
            forgetPages();
        }
    }
    if (reader)
        reader->forget(session->socket());
}

QList<ClientSession *> EchoServer::listed() const
{
    QList<ClientSession *> clients;
    for (ClientSession *session : clientList) {
        if (session->stage == ClientSession::Stage::Listed)
            clients.append(session);
    }
    return clients;
}

QList<QWebSocket *> EchoServer::clients() const
{
    QList<QWebSocket *> sockets;
    for (ClientSession *session : listed())
        sockets.append(session->socket());
    return sockets;
}

void EchoServer::account(ClientSession *session)
{
    if (session->stage == ClientSession::Stage::Gone)
        return;
    budget.count(session->counted, session->holding());
    if (budget.over())
        holdTheBudget();
}

void EchoServer::holdTheBudget()
{
    // Counts of clients that have been reading since are too high.
    std::vector<std::pair<qint64, ClientSession *>> largest;
    largest.reserve(size_t(clientList.size()));
    for (ClientSession *session : std::as_const(clientList)) {
        budget.count(session->counted, session->holding());
        if (session->counted > 0)
            largest.emplace_back(session->counted, session);
    }
    if (!budget.over())
        return;
    // Largest first, each client looked at once: a crowd of two thousand
    // at the line would otherwise cost a scan of all for every one closed.
    // Closing goes on to a little under the budget, so that the next
    // message does not start it again.
    std::sort(largest.begin(), largest.end(),
              [](const auto &a, const auto &b) { return a.first > b.first; });
    for (const auto &[most, session] : largest) {
        if (budget.fits())
            break;
        if (session->stage == ClientSession::Stage::Gone)
            continue; // a close before it took this one with it
        if (session->closing()) {
            // Closed already, and its close frame waits behind what it never read.
            if (QTcpSocket *connection = session->connection())
                CloseLinger::reset(connection);
        } else {
            qDebug().noquote()
                << QStringLiteral("Clients hold %1 MiB, more than the budget of %2 MiB: closing "
                                  "the client holding the most (%3 MiB) with 1008")
                       .arg(mib(budget.held()), mib(MemoryBudget::TotalBytes), mib(most));
            session->dismiss(1008, QStringLiteral("too much held"));
        }
        // What its close left queued, if anything, is counted until it is gone.
        if (session->stage != ClientSession::Stage::Gone)
            budget.count(session->counted, session->holding());
    }
}

void EchoServer::sweep()
{
    // Memory given up since the last sweep has been freed by now.
    if (std::exchange(trimDue, false))
        ::malloc_trim(0);
    // Time the service spent busy elsewhere is nobody's delay: clients'
    // bytes waited unread meanwhile.
    const qint64 now = clock.elapsed();
    const qint64 stalled = qMax<qint64>(0, now - lastSweep - 2 * SweepMs);
    lastSweep = now;
    // A client's check may close it, and a closed connection may leave the
    // list at once (its record is freed later).
    const QList<ClientSession *> clients = clientList;
    for (ClientSession *session : clients) {
        if (session->stage != ClientSession::Stage::Gone)
            session->checkDeadlines(now, stalled);
        if (session->stage != ClientSession::Stage::Gone)
            budget.count(session->counted, session->holding());
    }
    if (budget.over())
        holdTheBudget();
    trimDue = budget.trimDue();
}

void EchoServer::checkDescriptors()
{
    if (listeners.isEmpty() || !descriptorsRunningOut(int(listeners.first()->socketDescriptor())))
        return;
    if (!acceptRetry.isActive())
        qDebug() << "Accepting paused: fewer than" << DescriptorReserve << "file descriptors left";
    for (QTcpServer *listener : std::as_const(listeners))
        listener->pauseAccepting();
    acceptRetry.start();
}

void EchoServer::resumeAccepting()
{
    if (listeners.isEmpty())
        return;
    if (descriptorsRunningOut(int(listeners.first()->socketDescriptor()))) {
        acceptRetry.start();
        return;
    }
    acceptRetry.stop();
    for (QTcpServer *listener : std::as_const(listeners))
        listener->resumeAccepting();
}

void EchoServer::takeMessage(ClientSession *session, const QString &message)
{
    if (bDebug)
        qDebug() << timeOfDay() << "Message received:" << message;
    if (!session->receive(message))
        return;
    // At once while the client has had less than its share of this turn of
    // the event loop; otherwise in its turn, after the other clients'.
    if (servedThisTurn < RequestsPerTurn && session->mayJumpTheQueue(turn)) {
        ++servedThisTurn;
        answerNext(session);
        return;
    }
    waitForTurn(session);
}

void EchoServer::waitForTurn(ClientSession *session)
{
    // One with as many requests in progress as it may have comes back when
    // a reply has gone out; one with its replies left unread, when it has
    // taken them (ClientSession::caughtUp).
    if (!session->mayCarryOutMore())
        return;
    if (!session->inTurn) {
        session->inTurn = true;
        turns.emplace_back(session);
    }
    if (!roundDue) {
        roundDue = true;
        QMetaObject::invokeMethod(this, &EchoServer::answerInTurn, Qt::QueuedConnection);
    }
}

void EchoServer::answerNext(ClientSession *session)
{
    QString message;
    quint64 serial = 0;
    if (!session->nextRequest(&message, &serial))
        return;
    QPointer<ClientSession> waiting(session);
    QPointer<EchoServer> server(this);
    answerTextMessage(message, reader, session->socket(), session->socket()->origin(),
                      [server, waiting, serial](const QString &reply) {
                          if (!waiting)
                              return;
                          waiting->deliver(serial, reply);
                          if (server && waiting && waiting->hasRequests() && !waiting->inTurn &&
                              !waiting->closing())
                              server->waitForTurn(waiting);
                      });
}

void EchoServer::answerInTurn()
{
    roundDue = false;
    ++turn;
    servedThisTurn = 0;
    // One round: each client waiting gets its share, then the next, until
    // the turn has carried out its share of all.
    for (size_t round = turns.size(); round > 0 && servedThisTurn < RequestsPerTurn; --round) {
        QPointer<ClientSession> session = turns.front();
        turns.pop_front();
        for (int i = 0; session && i < limits.requestsPerTurn && session->hasRequests() &&
                        session->mayCarryOutMore() && servedThisTurn < RequestsPerTurn;
             ++i, ++servedThisTurn)
            answerNext(session);
        if (!session)
            continue;
        if (session->hasRequests() && session->mayCarryOutMore() && !session->closing())
            turns.push_back(session);
        else
            session->inTurn = false;
    }
    if (!turns.empty()) {
        roundDue = true;
        QMetaObject::invokeMethod(this, &EchoServer::answerInTurn, Qt::QueuedConnection);
    }
}

void EchoServer::processBinaryMessage(const QByteArray &message)
{
    // Binary frames are never answered.
    if (bDebug)
        qDebug() << "Binary Message received:" << message;
}

void EchoServer::clientGone(ClientSession *session)
{
    QWebSocket *pClient = session->socket();
    if (bDebug)
        qDebug() << timeOfDay() << "socketDisconnected:" << pClient;
    forget(session);
    session->stage = ClientSession::Stage::Gone;
    clientList.removeOne(session);
    budget.count(session->counted, 0);
    budget.released();
    // Other receivers of disconnected() may still be running.
    pClient->deleteLater();
    // A descriptor is free again once the socket is deleted.
    connect(pClient, &QObject::destroyed, &acceptRetry, [this] {
        if (acceptRetry.isActive())
            resumeAccepting();
    });
}

void EchoServer::sayGoodbye()
{
    // close() emits disconnected() at once, and clientGone() takes the
    // client out of clientList: walk a copy, or every second client is skipped.
    const QList<QWebSocket *> clients = this->clients();
    for (QWebSocket *client : clients) {
        client->close(QWebSocketProtocol::CloseCodeGoingAway);
        // The event loop is over: hand the close frame to the system now.
        client->flush();
    }
}
