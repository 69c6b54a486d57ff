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

    // Emits trayAppeared() once, as soon as a tray is there.
    void start();

Q_SIGNALS:
    void trayAppeared();

private Q_SLOTS:
    void check();

private:
    // An XEmbed manager announces itself with a message that Qt does not pass
    // on; its selection is looked up once a second instead, a cheap request.
    QTimer xembedPoll;
    bool watching = false;
};

#endif // TRAYWATCH_H
