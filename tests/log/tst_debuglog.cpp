#include "log/debuglog.h"

#include "common/testenv.h"
#include "platform/drivepath.h"
#include "platform/failure.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

using debuglog::DebugLog;

class TestDebugLog : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    QString path(const QString &name) const { return m_dir.filePath(name); }
    static QByteArray contents(const QString &file)
    {
        QFile f(file);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
    }
    // Runs the call and returns the failure number it threw, or 0 when it did not throw.
    template <typename F>
    static int failureOf(F &&call, QString *text = nullptr)
    {
        try {
            call();
        } catch (const platform::Failure &failure) {
            if (text)
                *text = failure.text();
            return failure.number();
        }
        return 0;
    }

private slots:
    void bytesOnDisk_data()
    {
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<QByteArray>("expected");
        const QString big(1 << 20, u'x');
        QTest::newRow("one line") << QStringList{"snd: Disconnected"} << QByteArray("snd: Disconnected\r\n");
        QTest::newRow("order kept") << QStringList{"b", "a", "c"} << QByteArray("b\r\na\r\nc\r\n");
        QTest::newRow("empty line") << QStringList{"", "x", ""} << QByteArray("\r\nx\r\n\r\n");
        QTest::newRow("trailing spaces") << QStringList{"rcv: CallProgress: "}
                                         << QByteArray("rcv: CallProgress: \r\n");
        QTest::newRow("non-ASCII as UTF-8") << QStringList{QString::fromUtf8("rcv: Debug: Grüße 傳真 \U0001F4E0")}
                                            << QByteArray("rcv: Debug: Gr\xc3\xbc\xc3\x9f" "e "
                                                          "\xe5\x82\xb3\xe7\x9c\x9f \xf0\x9f\x93\xa0\r\n");
        QTest::newRow("embedded CR LF unchanged") << QStringList{"a\r\nb", "c\n"} << QByteArray("a\r\nb\r\nc\n\r\n");
        QTest::newRow("NUL kept") << QStringList{QString(QChar(0)) + "z"} << QByteArray("\0z\r\n", 4);
        // A lone surrogate cannot be UTF-8; it becomes U+FFFD and does not spill into the next line.
        QTest::newRow("lone surrogate at end") << QStringList{QString(QChar(0xD800)), "n"}
                                               << QByteArray("\xef\xbf\xbd\r\nn\r\n");
        QTest::newRow("1 MB line") << QStringList{big, "after"} << big.toLatin1() + "\r\nafter\r\n";
    }
    void bytesOnDisk()
    {
        QFETCH(QStringList, lines);
        QFETCH(QByteArray, expected);
        const QString file = path("bytes.log");
        {
            DebugLog log;
            log.open(file);
            for (const QString &line : lines)
                log.writeLine(line);
        } // the destructor closes
        QCOMPARE(contents(file), expected);
    }

    void reopenRecreatesEmpty()
    {
        const QString file = path("reopen.log");
        QFile old(file);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("left from an earlier run\r\n");
        old.close();

        DebugLog log;
        log.open(file);
        QCOMPARE(QFileInfo(file).size(), 0);
        log.writeLine("first run");
        log.open(file); // open while open closes first and recreates
        QVERIFY(log.isOpen());
        QCOMPARE(QFileInfo(file).size(), 0);
        log.writeLine("second run");
        log.close();
        QCOMPARE(contents(file), QByteArray("second run\r\n"));
    }

    void drivePathIsMapped()
    {
        DebugLog log;
        log.open(QStringLiteral("C:\\faxdbg.log"));
        const QString local = platform::driveFolder(u'C') + QStringLiteral("/faxdbg.log");
        QCOMPARE(log.localPath(), local);
        log.writeLine("x");
        QCOMPARE(contents(local), QByteArray("x\r\n"));
    }

    void openFailures_data()
    {
        QTest::addColumn<QString>("target");
        QTest::newRow("missing folder") << path("no/such/folder/faxdbg.log");
        QTest::newRow("existing folder") << m_dir.path();
        QTest::newRow("parent is a file") << path("plain.txt") + QStringLiteral("/faxdbg.log");
        QTest::newRow("missing folder on drive") << QStringLiteral("C:\\missing\\faxdbg.log");
#ifdef Q_OS_UNIX
        // Permissions do not stop root; a read-only kernel folder does.
        const bool root = ::geteuid() == 0;
        QTest::newRow("unwritable folder") << (root ? QStringLiteral("/proc/self/faxdbg.log")
                                                    : path("readonly/faxdbg.log"));
#endif
    }
    void openFailures()
    {
        QFETCH(QString, target);
        QFile plain(path("plain.txt"));
        QVERIFY(plain.open(QIODevice::WriteOnly));
        plain.close();
        QDir(m_dir.path()).mkpath("readonly");
        QFile::setPermissions(path("readonly"), QFileDevice::ReadOwner | QFileDevice::ExeOwner);

        DebugLog log;
        log.open(path("before.log"));
        QString text;
        QCOMPARE(failureOf([&] { log.open(target); }, &text), platform::kErrPathFileAccess);
        QVERIFY2(text.contains(target), qPrintable(text));
        // What was open before is closed, and nothing is open now.
        QVERIFY(!log.isOpen());
        QCOMPARE(failureOf([&] { log.writeLine("x"); }), platform::kErrBadFileNumber);
        log.close();
        QFile::setPermissions(path("readonly"), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                    QFileDevice::ExeOwner);
    }

    void writeWhenClosedThrows()
    {
        DebugLog log;
        QVERIFY(!log.isOpen());
        log.close(); // harmless when nothing was ever open
        QCOMPARE(failureOf([&] { log.writeLine("never opened"); }), platform::kErrBadFileNumber);
        log.open(path("closed.log"));
        log.writeLine("kept");
        log.close();
        log.close();
        QVERIFY(!log.isOpen());
        QCOMPARE(failureOf([&] { log.writeLine("after close"); }), platform::kErrBadFileNumber);
        QCOMPARE(contents(path("closed.log")), QByteArray("kept\r\n"));
    }

    void lineOnDiskWhileOpen()
    {
        const QString file = path("live.log");
        DebugLog log;
        log.open(file);
        QFile reader(file); // another reader, as `tail -f` would be
        QVERIFY(reader.open(QIODevice::ReadOnly));
        log.writeLine(QString::fromUtf8("snd: Connected: ä"));
        QCOMPARE(reader.readAll(), QByteArray("snd: Connected: \xc3\xa4\r\n"));
        log.writeLine("rcv: Disconnected");
        QCOMPARE(reader.readAll(), QByteArray("rcv: Disconnected\r\n"));
    }

#ifdef Q_OS_UNIX
    void writeErrorThrows()
    {
        if (!QFile::exists("/dev/full"))
            QSKIP("no /dev/full here");
        DebugLog log;
        log.open(QStringLiteral("/dev/full"));
        QString text;
        QCOMPARE(failureOf([&] { log.writeLine("no room"); }, &text), debuglog::kErrDiskFull);
        QVERIFY2(text.contains("/dev/full"), qPrintable(text));
        QVERIFY(log.isOpen()); // the caller decides what follows; the file stays open
    }

    void crashLosesNoLine_data()
    {
        QTest::addColumn<int>("how");
        QTest::newRow("_exit without close") << 0;
        QTest::newRow("abort") << SIGABRT;
        QTest::newRow("killed") << SIGKILL;
    }
    void crashLosesNoLine()
    {
        QFETCH(int, how);
        const QString file = path("crash.log");
        QByteArray expected;
        for (int i = 0; i < 1000; ++i)
            expected += "line " + QByteArray::number(i) + "\r\n";

        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            const rlimit noCore{0, 0};
            ::setrlimit(RLIMIT_CORE, &noCore);
            DebugLog log;
            try {
                log.open(file);
                for (int i = 0; i < 1000; ++i)
                    log.writeLine(QStringLiteral("line %1").arg(i));
            } catch (...) {
                ::_exit(3);
            }
            if (how == 0)
                ::_exit(0);
            ::signal(how, SIG_DFL);
            ::raise(how);
            ::_exit(4);
        }
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        if (how == 0)
            QVERIFY(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        else
            QVERIFY(WIFSIGNALED(status) && WTERMSIG(status) == how);
        QCOMPARE(contents(file), expected);
    }
#endif
};

QUILLON_TEST_GUILESS_MAIN(TestDebugLog)
#include "tst_debuglog.moc"
