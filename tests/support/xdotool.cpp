#include "xdotool.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QTest>

namespace Xdotool {

QString run(const QStringList &arguments, bool *ok, int timeout)
{
    QProcess process;
    process.start(QStringLiteral("xdotool"), arguments);
    const bool finished = process.waitForFinished(timeout);
    if (ok)
        *ok = finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    if (!finished)
        process.kill();
    return QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed();
}

QStringList windows(const QString &titlePattern)
{
    const QString out = run({QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                             QStringLiteral("--name"), titlePattern});
    return out.isEmpty() ? QStringList() : out.split(QLatin1Char('\n'));
}

QStringList waitForWindows(const QString &titlePattern, int timeout)
{
    QDeadlineTimer deadline(timeout);
    QStringList found;
    while ((found = windows(titlePattern)).isEmpty() && !deadline.hasExpired())
        QTest::qWait(100);
    return found;
}

bool pressKey(const QString &window, const QString &key)
{
    bool focused = false;
    run({QStringLiteral("windowfocus"), QStringLiteral("--sync"), window}, &focused);
    bool pressed = false;
    run({QStringLiteral("key"), QStringLiteral("--clearmodifiers"), key}, &pressed);
    return focused && pressed;
}

} // namespace Xdotool
