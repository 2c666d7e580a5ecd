#pragma once

// The exchange daemon as a child process of a test, on a free loopback port, its log in a
// file the test can read while it runs.

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

class ExchangeProcess
{
public:
    explicit ExchangeProcess(QStringList arguments = {})
    {
        m_logPath = m_dir.filePath(QStringLiteral("exchange.log"));
        m_process.setStandardOutputFile(m_logPath);
        m_process.setStandardErrorFile(m_dir.filePath(QStringLiteral("exchange.err")));
        m_process.start(QStringLiteral(QUILLON_EXCHANGE_BINARY),
                        QStringList{QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0")} + arguments);
        if (!m_process.waitForStarted(5000))
            return;
        static const QRegularExpression listening(QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)"));
        for (int i = 0; i < 100 && m_port == 0 && m_process.state() == QProcess::Running; ++i) {
            const QRegularExpressionMatch match = listening.match(log());
            if (match.hasMatch())
                m_port = quint16(match.captured(1).toUInt());
            else
                QTest::qWait(50);
        }
    }
    ~ExchangeProcess()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(3000);
        }
    }

    quint16 port() const { return m_port; }
    QString log() const
    {
        QFile f(m_logPath);
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }
    QString errors() const
    {
        QFile f(m_dir.filePath(QStringLiteral("exchange.err")));
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }
    // Waits until the log holds `text`.
    bool waitForLog(const QString &text, int timeoutMs = 3000) const
    {
        QElapsedTimer t;
        t.start();
        while (!log().contains(text)) {
            if (t.elapsed() > timeoutMs)
                return false;
            QTest::qWait(20);
        }
        return true;
    }
    void terminate() { ::kill(pid_t(m_process.processId()), SIGTERM); }
    bool waitForFinished(int timeoutMs) { return m_process.waitForFinished(timeoutMs); }
    int exitCode() const { return m_process.exitCode(); }
    QProcess::ExitStatus exitStatus() const { return m_process.exitStatus(); }

private:
    QTemporaryDir m_dir;
    QString m_logPath;
    QProcess m_process;
    quint16 m_port = 0;
};
