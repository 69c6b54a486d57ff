#ifndef XDOTOOL_H
#define XDOTOOL_H

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

// Focuses the window and presses the key (for example "Return", "Escape").
bool pressKey(const QString &window, const QString &key);

} // namespace Xdotool

#endif // XDOTOOL_H
