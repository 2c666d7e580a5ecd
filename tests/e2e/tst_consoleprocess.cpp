// The console as an operator runs it: the built executable in a folder of its own with the
// test component beside it, on the offscreen platform. The component's script file drives
// the run (events, clicks, closing the error report); the test reads the log on disk after
// the process has ended.
#include "common/testenv.h"
#include "platform/drivepath.h"
#include "testcontrol.h"

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
};

QUILLON_TEST_MAIN(TestConsoleProcess)
#include "tst_consoleprocess.moc"
