#include "xdotool.h"

#include <QDeadlineTimer>
#include <QMap>
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

QStringList windowsOf(qint64 pid)
{
    const QString out = run({QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                             QStringLiteral("--pid"), QString::number(pid)});
    return out.isEmpty() ? QStringList() : out.split(QLatin1Char('\n'));
}

QString name(const QString &window)
{
    return run({QStringLiteral("getwindowname"), window});
}

QRect geometry(const QString &window)
{
    // X=.. Y=.. WIDTH=.. HEIGHT=.. SCREEN=..
    const QString out =
        run({QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), window});
    QMap<QString, int> values;
    for (const QString &line : out.split(QLatin1Char('\n')))
        values.insert(line.section(QLatin1Char('='), 0, 0),
                      line.section(QLatin1Char('='), 1).toInt());
    return QRect(values.value("X"), values.value("Y"), values.value("WIDTH"),
                 values.value("HEIGHT"));
}

namespace {
QString xwininfoLine(const QStringList &arguments, const QString &label)
{
    QProcess process;
    process.start(QStringLiteral("xwininfo"), arguments);
    process.waitForFinished(10000);
    for (const QString &line :
         QString::fromLocal8Bit(process.readAllStandardOutput()).split('\n')) {
        const int at = line.indexOf(label);
        if (at >= 0)
            return line.mid(at + label.size()).trimmed().section(QLatin1Char(' '), 0, 0);
    }
    return QString();
}

// xwininfo prints ids in hexadecimal, xdotool in decimal.
QString decimal(const QString &id)
{
    bool ok = false;
    const qulonglong value = id.toULongLong(&ok, 0);
    return ok ? QString::number(value) : id;
}
} // namespace

QString parentOf(const QString &window)
{
    return decimal(xwininfoLine({QStringLiteral("-children"), QStringLiteral("-id"), window},
                                QStringLiteral("Parent window id:")));
}

QString root()
{
    return decimal(xwininfoLine({QStringLiteral("-root")}, QStringLiteral("Window id:")));
}

QString property(const QString &window, const QString &name)
{
    QProcess process;
    process.start(QStringLiteral("xprop"), {QStringLiteral("-id"), window, name});
    process.waitForFinished(10000);
    return QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed();
}

bool click(const QString &window, int button)
{
    const QRect area = geometry(window);
    bool moved = false, clicked = false;
    run({QStringLiteral("mousemove"), QString::number(area.center().x()),
         QString::number(area.center().y())},
        &moved);
    run({QStringLiteral("click"), QString::number(button)}, &clicked);
    return moved && clicked;
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
