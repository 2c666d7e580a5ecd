#include "app/console.h"

#include "app/errorreport.h"
#include "app/frmtestprog.h"
#include "common/testenv.h"
#include "consolefixture.h"

#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTimer>

using fixture::Console;

namespace {

// Closes the next modal window once it is up and hands back its text.
QString *closeNextModal()
{
    auto *text = new QString;
    QTimer::singleShot(0, qApp, [text] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            *text = box->text();
            box->close();
        } else {
            *text = QStringLiteral("<no message box>");
        }
    });
    return text;
}

void writeLog(const QByteArray &bytes)
{
    QFile file(fixture::logPath());
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

// Puts a folder where the log should go, so it cannot be created.
class BlockedLog
{
public:
    BlockedLog()
    {
        QFile::remove(fixture::logPath());
        QDir().mkpath(fixture::logPath());
    }
    ~BlockedLog() { QDir().rmdir(fixture::logPath()); }
};

} // namespace

class TestLifecycle : public QObject
{
    Q_OBJECT

private slots:
    void loadRecreatesTheLogEmpty()
    {
        writeLog("left from an earlier run\r\n");
        Console c;
        QVERIFY(QFileInfo::exists(fixture::logPath()));
        QCOMPARE(fixture::logBytes(), QByteArray());
        QVERIFY(c.failures.isEmpty());
    }

    // Each journal line is on disk as soon as it is written, before any close, and the
    // file stays whole however the run ends.
    void everyLineIsOnDiskAtOnceAndAfterTheEnd_data()
    {
        QTest::addColumn<QString>("ending");
        QTest::newRow("close") << QStringLiteral("close");
        QTest::newRow("Quit") << QStringLiteral("quit");
        QTest::newRow("error report") << QStringLiteral("error");
    }
    void everyLineIsOnDiskAtOnceAndAfterTheEnd()
    {
        QFETCH(QString, ending);
        Console c;
        QByteArray expected;
        for (const QString &text : {QStringLiteral("one"), QStringLiteral("zwei Grüße"), QStringLiteral("a\r\nb")}) {
            QVariantList params{text};
            c.snd->raise(17, params);
            expected += "snd: Debug: " + text.toUtf8() + "\r\n";
            QCOMPARE(fixture::logBytes(), expected);
        }
        if (ending == QLatin1String("close")) {
            QVERIFY(c.window->close());
        } else if (ending == QLatin1String("quit")) {
            c.click("cmdQuit");
            QCOMPARE(c.exits, QList<int>{0});
        } else {
            // The default report: a message box with number and text, then a non-zero end.
            c.window->setErrorReport({});
            c.snd->setAnswer(quillon::MemberId::Disconnect, quillon::Result::fail(1001, QStringLiteral("no call")));
            std::unique_ptr<QString> shown(closeNextModal());
            c.click("cmdDiscSnd");
            QCOMPARE(*shown, QStringLiteral("Error 1001: no call"));
            QCOMPARE(c.exits, QList<int>{1});
            QVERIFY(c.window->hasEnded());
        }
        QCOMPARE(fixture::logBytes(), expected);
        // The log is closed: nothing more reaches it.
        QVariantList params{QStringLiteral("after the end")};
        c.snd->raise(17, params);
        QCOMPARE(fixture::logBytes(), expected);
    }

    void logThatCannotBeCreatedIsReported()
    {
        BlockedLog blocked;
        Console recorded;
        QCOMPARE(recorded.failures.size(), 1);
        QCOMPARE(recorded.failures[0].first, platform::kErrPathFileAccess);
        QVERIFY(recorded.exits.isEmpty());

        Console ended(false);
        ended.window->setErrorReport({});
        std::unique_ptr<QString> shown(closeNextModal());
        ended.window->load();
        QVERIFY2(shown->startsWith(QLatin1String("Error 75: ")), qPrintable(*shown));
        QCOMPARE(ended.exits, QList<int>{1});
    }

    void titleBarShowsTheCaptionAlone()
    {
        // The platform appends an application display name, once one is set, to the title of
        // every window: the title bar would no longer read the caption alone.
        console::nameProgram();
        QCOMPARE(QGuiApplication::applicationDisplayName(), QCoreApplication::applicationName());
    }

    void runEndsWithAMessageAndNonZeroStatus_data()
    {
        QTest::addColumn<bool>("withComponent");
        QTest::addColumn<QString>("message");
        QTest::newRow("no component") << false << QStringLiteral("Error 429: Cannot create the component Morvane.Quillon");
        QTest::newRow("log cannot be created") << true << QStringLiteral("Error 75: ");
    }
    void runEndsWithAMessageAndNonZeroStatus()
    {
        QFETCH(bool, withComponent);
        QFETCH(QString, message);
        QTemporaryDir empty;
        BlockedLog blocked;
        std::unique_ptr<QString> shown(closeNextModal());
        const int status = console::run({withComponent ? QStringLiteral(QUILLON_TESTCOMPONENT_DIR) : empty.path()});
        QCOMPARE(status, 1);
        QVERIFY2(shown->startsWith(message), qPrintable(*shown));
        if (!withComponent)
            QVERIFY2(shown->contains(empty.path()), qPrintable(*shown));
    }
};

QUILLON_TEST_MAIN(TestLifecycle)
#include "tst_lifecycle.moc"
