#pragma once

// sfftool run as a process, and small file helpers, for the tool's tests.

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>

namespace sfftooltest {

struct Run
{
    int exitCode = -1;
    QString out;
    QString err;
};

inline Run sfftool(const QStringList &args)
{
    QProcess p;
    p.start(QStringLiteral(SFFTOOL_PATH), args);
    Run r;
    if (!p.waitForFinished(120000)) {
        r.err = QStringLiteral("did not finish: ") + p.errorString();
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

inline QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline bool writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

} // namespace sfftooltest
