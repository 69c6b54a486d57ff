#include "processmemory.h"

#include <QFile>
#include <QList>

namespace {

qint64 statusKiB(qint64 pid, const QByteArray &field)
{
    QFile status(pid ? QStringLiteral("/proc/%1/status").arg(pid)
                     : QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(field.size()).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

} // namespace

qint64 residentKiB(qint64 pid)
{
    return statusKiB(pid, "VmRSS:");
}

qint64 peakResidentKiB(qint64 pid)
{
    return statusKiB(pid, "VmHWM:");
}
