#ifndef TRAYWATCH_H
#define TRAYWATCH_H

#include <QObject>
#include <QTimer>

// Tells whether the desktop has a system tray, and watches for one to appear:
// an XEmbed tray manager on the X display, or a StatusNotifierItem watcher
// with a registered host on the session bus.
//
// It never asks QSystemTrayIcon: Qt decides once per process whether the
// D-Bus tray exists, at its first question, and keeps a "no" even after a
// watcher appears. Asked only once a tray is there, Qt gets it right.
class TrayWatch : public QObject
{
    Q_OBJECT

public:
    explicit TrayWatch(QObject *parent = nullptr);

    static bool trayPresent();
    // The desktop's tray is a StatusNotifierItem host on the session bus.
    static bool statusNotifierHostPresent();

    // Emits trayAppeared() once, as soon as a tray is there (at once when it
    // already is), then keeps watching the bus for panels that restart.
    void start();

Q_SIGNALS:
    void trayAppeared();
    // A StatusNotifierItem watcher came back and does not list this process's
    // item. Qt registers again when the watcher takes its name, which can be
    // before the watcher answers, and does not retry: show the icon anew.
    void itemLost();

private Q_SLOTS:
    void check();
    void checkItem();

private:
    // An XEmbed manager announces itself with a message that Qt does not pass
    // on; its selection is looked up once a second instead, a cheap request.
    QTimer xembedPoll;
    // A watcher that has just come back is asked a moment later, once Qt's own
    // registration has been answered.
    QTimer itemPoll;
    bool watching = false;
    bool found = false;
};

#endif // TRAYWATCH_H
