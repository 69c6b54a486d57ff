#ifndef SIGNALWATCHER_H
#define SIGNALWATCHER_H

#include <QObject>

class QSocketNotifier;

// Ends the event loop with status 0 on SIGTERM, SIGINT and SIGHUP (a logout,
// a service manager, Ctrl+C), so that the process ends the orderly way and
// its clients get a close frame. The handler only writes a byte to a pipe;
// the event loop reads it, since Qt may not be called from a signal handler.
class SignalWatcher : public QObject
{
    Q_OBJECT

public:
    explicit SignalWatcher(QObject *parent = nullptr);
    ~SignalWatcher() override;

private:
    void onSignal();

    QSocketNotifier *notifier = nullptr;
};

#endif // SIGNALWATCHER_H
