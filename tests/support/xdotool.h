#ifndef XDOTOOL_H
#define XDOTOOL_H

#include <QRect>
#include <QString>
#include <QStringList>

// xdotool on the test's display, for finding windows and typing into them the
// way a person at the desk would.
namespace Xdotool {

// Runs xdotool with the arguments; its standard output, trimmed. Sets ok.
QString run(const QStringList &arguments, bool *ok = nullptr, int timeout = 15000);

// Ids of visible windows whose title matches the regular expression, waiting
// up to timeout milliseconds for at least one.
QStringList waitForWindows(const QString &titlePattern, int timeout = 15000);

// Ids of visible windows whose title matches, now.
QStringList windows(const QString &titlePattern);

// Visible windows of a process.
QStringList windowsOf(qint64 pid);

// The window's title, position and size.
QString name(const QString &window);
QRect geometry(const QString &window);

// The window that the X server says is the window's parent (xwininfo).
QString parentOf(const QString &window);
QString root();

// What xprop prints for one property of the window.
QString property(const QString &window, const QString &name);

// Moves the pointer to the middle of the window and clicks the button (1 left, 3 right).
bool click(const QString &window, int button);

// Focuses the window and presses the key (for example "Return", "Escape").
bool pressKey(const QString &window, const QString &key);

} // namespace Xdotool

#endif // XDOTOOL_H
