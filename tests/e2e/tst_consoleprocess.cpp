// The console as an operator runs it: the built executable in a folder of its own with the
// test component beside it, on the offscreen platform. The component's script file drives
// the run (events, clicks, closing the error report); the test reads the log on disk after
// the process has ended. Two consoles with the real component fax each other through the
// exchange, each with a home, settings and number of its own.
#include "common/testenv.h"
#include "t30/faxpages.h"
#include "platform/drivepath.h"
#include "testcontrol.h"
#ifdef QUILLON_EXCHANGE_BINARY
#include "component/faxdocs.h"
#include "exchange/exchangeprocess.h"
#endif

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

namespace {

QString logPath()
{
    return platform::localPathForWriting(QStringLiteral("C:\\faxdbg.log"));
}

QByteArray readLog()
{
    QFile file(logPath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<no log>");
}

#ifdef QUILLON_EXCHANGE_BINARY
// A console in a folder of its own with the driven component beside it and its script, run
// with a home of its own, and with the component's settings file there.
class OwnConsole
{
public:
    OwnConsole(const QStringList &script, const QByteArray &settings)
    {
        const QString exe = m_dir.filePath(QStringLiteral("quillon-console"));
        m_ok = QFile::copy(QStringLiteral(QUILLON_CONSOLE_FILE), exe)
               && QFile::copy(QStringLiteral(QUILLON_DRIVENCOMPONENT_FILE),
                              m_dir.filePath(QStringLiteral("libquillon.so")))
               && write(m_dir.filePath(QLatin1String(quillon::test::kScriptFileName)),
                        script.join(u'\n').toUtf8() + '\n')
               && write(m_home.filePath(QStringLiteral(".config/quillon/quillon.conf")), settings);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        const QString home = m_home.path();
        env.insert(QStringLiteral("HOME"), home);
        env.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/.local/share"));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.config"));
        env.insert(QStringLiteral("XDG_CACHE_HOME"), home + QStringLiteral("/.cache"));
        env.insert(QStringLiteral("XDG_STATE_HOME"), home + QStringLiteral("/.local/state"));
        QDir(home).mkpath(QStringLiteral("runtime"));
        QFile::setPermissions(home + QStringLiteral("/runtime"),
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), home + QStringLiteral("/runtime"));
        m_process.setProcessEnvironment(env);
        m_process.setProgram(exe);
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    }
    ~OwnConsole()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(3000);
        }
    }

    bool prepared() const { return m_ok; }
    // A drive path of the console ("C:\\tmp\\x.sff") as a file of its home.
    QString file(const QString &drivePath) const
    {
        QString rest = drivePath.mid(3);
        rest.replace(u'\\', u'/');
        return m_home.filePath(QStringLiteral(".local/share/quillon-console/drives/")
                               + drivePath.at(0).toLower() + u'/' + rest);
    }
    QString log() const
    {
        QFile f(file(QStringLiteral("C:\\faxdbg.log")));
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }
    QProcess &process() { return m_process; }

    static bool write(const QString &path, const QByteArray &bytes)
    {
        QDir().mkpath(QFileInfo(path).path());
        QFile f(path);
        return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
    }

private:
    QTemporaryDir m_dir;
    QTemporaryDir m_home;
    QProcess m_process;
    bool m_ok = false;
};
#endif

} // namespace

class TestConsoleProcess : public QObject
{
    Q_OBJECT

private slots:
    void runEndsWithTheLogOnDisk_data()
    {
        QTest::addColumn<QStringList>("script");
        QTest::addColumn<bool>("blockLog");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("log");
        QTest::newRow("Quit")
            << QStringList{"raise\tQuillonRecv\t9\ts:6\ts:6",
                           "raise\tQuillon\t17\ts:  hello",
                           "raise\tQuillonRecv\t17\ts:  spaced ",
                           "raise\tQuillon\t3\ts:unbound",
                           "raise\tQuillonRecv\t10",
                           "click\tcmdStart",
                           "click\tcmdSendFax",
                           "raise\tQuillonRecv\t13\ts:Grüße",
                           "click\tcmdQuit",
                           "raise\tQuillon\t17\ts:after quit"}
            << false << 0
            << QByteArray("rcv: incoming fax for 6 from 6\r\nsnd: Debug:   hello\r\n"
                          "rcv: Debug: spaced \r\nsnd: SendFax(...) result: True\r\n"
                          "rcv: CallProgress: Grüße\r\n");
        QTest::newRow("window closed")
            << QStringList{"raise\tQuillon\t15", "close\tfrmTestprog", "raise\tQuillon\t17\ts:after close"}
            << false << 0 << QByteArray("snd: Disconnected\r\n");
        QTest::newRow("error report")
            << QStringList{"answer\tQuillon\t6003001e\tfail:1001:no call",
                           "raise\tQuillon\t15",
                           "click\tcmdDiscSnd",
                           "closemodal",
                           "raise\tQuillon\t17\ts:after the error"}
            << false << 1 << QByteArray("snd: Disconnected\r\n");
        QTest::newRow("log cannot be created") << QStringList{"closemodal"} << true << 1 << QByteArray();
    }
    void runEndsWithTheLogOnDisk()
    {
        QFETCH(QStringList, script);
        QFETCH(bool, blockLog);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, log);

        QTemporaryDir dir;
        const QString exe = dir.filePath(QStringLiteral("quillon-console"));
        QVERIFY(QFile::copy(QStringLiteral(QUILLON_CONSOLE_FILE), exe));
        QVERIFY(QFile::copy(QStringLiteral(QUILLON_TESTCOMPONENT_FILE),
                            dir.filePath(QStringLiteral("libquillon_testcomponent.so"))));
        QFile scriptFile(dir.filePath(QLatin1String(quillon::test::kScriptFileName)));
        QVERIFY(scriptFile.open(QIODevice::WriteOnly));
        scriptFile.write(script.join(u'\n').toUtf8() + '\n');
        scriptFile.close();

        // A log left from an earlier run, or a folder in its place.
        QFile::remove(logPath());
        QDir().rmdir(logPath());
        if (blockLog) {
            QVERIFY(QDir().mkpath(logPath()));
        } else {
            QFile old(logPath());
            QVERIFY(old.open(QIODevice::WriteOnly));
            old.write("old run\r\n");
        }

        QProcess console;
        console.setProgram(exe);
        console.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        console.start();
        QVERIFY(console.waitForStarted());
        QVERIFY2(console.waitForFinished(120000), "the console did not end");
        QCOMPARE(console.exitStatus(), QProcess::NormalExit);
        QCOMPARE(console.exitCode(), exitCode);
        if (blockLog)
            QVERIFY(QDir().rmdir(logPath()));
        else
            QCOMPARE(readLog(), log);
    }

#ifdef QUILLON_EXCHANGE_BINARY
    // Two consoles on one exchange, each answering on its own number: the one on 111 sends
    // to the one on 222, which receives the file as it was sent. The sender's own receiving
    // endpoint hears the call as well and lets it pass, since 222 is not its number.
    void twoConsolesFaxThroughTheExchange()
    {
        ExchangeProcess exchange({QStringLiteral("--speed"), QStringLiteral("0")});
        QVERIFY2(exchange.port(), qPrintable(exchange.errors()));
        const auto settings = [&](const char *number) {
            return QStringLiteral("[line]\ntype=capi20\ndriver=rcapi\nhost=127.0.0.1\nport=%1\n"
                                  "[answer]\nnumbers=%2\n")
                .arg(exchange.port())
                .arg(QLatin1String(number))
                .toLatin1();
        };
        OwnConsole receiver({"click\tcmdStart", "await\trcv: Disconnected", "click\tcmdQuit"},
                            settings("222"));
        OwnConsole sender({"type\ttxtCallNr\t222", "type\ttxtOwnNr\t111", "click\tcmdStart",
                           "await\tsnd: Debug: <- LISTEN_CONF", "click\tcmdSendFax",
                           "await\tsnd: Disconnected", "click\tcmdQuit"},
                          settings("111"));
        QVERIFY(receiver.prepared() && sender.prepared());
        const QString sendFile = sender.file(QStringLiteral("C:\\tmp\\testfax.sff"));
        const QByteArray document = componenttest::testDocument(2);
        QVERIFY(OwnConsole::write(sendFile, document));
        // The receiver's C:\tmp, where its fax is written.
        QVERIFY(QDir().mkpath(QFileInfo(receiver.file(QStringLiteral("C:\\tmp\\recieved.sff"))).path()));

        // The sender calls once the receiver's listen is confirmed (its start and its listen).
        receiver.process().start();
        QVERIFY(receiver.process().waitForStarted());
        const auto listening = [&] {
            return receiver.log().count(QStringLiteral("rcv: Debug: <- LISTEN_CONF")) >= 2;
        };
        QVERIFY2(QTest::qWaitFor(listening, 20000), qPrintable(receiver.log()));
        sender.process().start();
        QVERIFY(sender.process().waitForStarted());

        for (OwnConsole *console : {&sender, &receiver}) {
            QVERIFY2(console->process().waitForFinished(60000),
                     qPrintable(console->log() + exchange.log()));
            QCOMPARE(console->process().exitStatus(), QProcess::NormalExit);
            QCOMPARE(console->process().exitCode(), 0);
        }
        const QString sent = sender.log();
        QVERIFY2(sent.contains(QStringLiteral("snd: SendFax(...) result: True")), qPrintable(sent));
        QVERIFY2(sent.contains(QStringLiteral("snd: Fax sent, success=True")), qPrintable(sent));
        QVERIFY2(!sent.contains(QStringLiteral("rcv: incoming fax")), qPrintable(sent));
        QVERIFY2(receiver.log().contains(QStringLiteral("rcv: incoming fax for 222 from 111")),
                 qPrintable(receiver.log()));
        QString why; // a G3 controller prints its head line on top of each page
        QVERIFY2(faxtest::samePagesBelowHeadLine(
                     document, componenttest::readFile(receiver.file(QStringLiteral("C:\\tmp\\recieved.sff"))),
                     &why),
                 qPrintable(why));
    }
#endif
};

QUILLON_TEST_MAIN(TestConsoleProcess)
#include "tst_consoleprocess.moc"
