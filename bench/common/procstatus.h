#pragma once

// A field of /proc/self/status in kB (VmRSS, VmHWM), for the benchmarks' memory figures;
// -1 where there is no /proc.

#include <QByteArray>
#include <QFile>

namespace benchstatus {

inline long procStatusKb(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray key = QByteArray(field) + ':';
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').value(0).toLong();
    return -1;
}

} // namespace benchstatus
