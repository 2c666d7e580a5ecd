#pragma once

// The exchange as a child process of a benchmark, on a free loopback port: quillon-exchange
// beside the benchmark's executable, its CPU time and memory read from /proc.

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <unistd.h>

namespace benchexchange {

class ExchangeProcess
{
public:
    explicit ExchangeProcess(const QStringList &arguments)
    {
        m_process.setStandardOutputFile(m_dir.filePath(QStringLiteral("log")));
        m_process.start(QCoreApplication::applicationDirPath() + QStringLiteral("/quillon-exchange"),
                        QStringList{QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0")} + arguments);
        m_process.waitForStarted(5000);
        static const QRegularExpression re(QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)"));
        for (int i = 0; i < 200 && !m_port; ++i) {
            QFile f(m_dir.filePath(QStringLiteral("log")));
            if (f.open(QIODevice::ReadOnly)) {
                const auto match = re.match(QString::fromUtf8(f.readAll()));
                if (match.hasMatch())
                    m_port = quint16(match.captured(1).toUInt());
            }
            if (!m_port)
                QThread::msleep(20);
        }
    }
    ~ExchangeProcess()
    {
        m_process.terminate();
        m_process.waitForFinished(5000);
    }
    quint16 port() const { return m_port; }
    qint64 pid() const { return m_process.processId(); }
    // User plus system CPU time of the process so far, in seconds.
    double cpuSeconds() const
    {
        QFile f(QStringLiteral("/proc/%1/stat").arg(pid()));
        if (!f.open(QIODevice::ReadOnly))
            return -1;
        const QByteArray stat = f.readAll();
        const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
        return (fields.value(11).toDouble() + fields.value(12).toDouble()) / double(sysconf(_SC_CLK_TCK));
    }
    qint64 rssKb() const
    {
        QFile f(QStringLiteral("/proc/%1/status").arg(pid()));
        if (!f.open(QIODevice::ReadOnly))
            return -1;
        for (const QByteArray &line : f.readAll().split('\n')) {
            if (line.startsWith("VmRSS:"))
                return line.mid(6).trimmed().split(' ').first().toLongLong();
        }
        return -1;
    }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    quint16 m_port = 0;
};

} // namespace benchexchange
