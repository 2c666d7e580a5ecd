#include "app/frmtestprog.h"

#include "common/testenv.h"
#include "consolefixture.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPlainTextEdit>

using fixture::Console;
using quillon::MemberId;
using quillon::Result;

namespace {

const QStringList kStartCalls{
    QStringLiteral("snd.StartCapi()"),
    QStringLiteral("snd.ReceiveFileName=C:\\tmp\\recieved.sff"),
    QStringLiteral("snd.CapiDescription?"),
    QStringLiteral("snd.ReleaseVersion?"),
    QStringLiteral("snd.SerialNumber?"),
    QStringLiteral("rcv.StartCapi()"),
    QStringLiteral("rcv.Listen()"),
    QStringLiteral("rcv.ReceiveFileName=C:\\tmp\\recieved.sff"),
};
const QString kDefaultStartLine = QStringLiteral(
    "StartCapi()=True   CAPI Test CAPI 2.0 loopback  release version 1.2.3  serial number TC-0001");

} // namespace

class TestCommands : public QObject
{
    Q_OBJECT

    static QString capiInfo(const Console &c)
    {
        return c.control<QPlainTextEdit>("CapiInfo")->toPlainText();
    }

private slots:
    void buttonsMakeTheirCallsInOrder_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QStringList>("calls");
        QTest::newRow("Start") << "cmdStart" << kStartCalls;
        QTest::newRow("Stop") << "cmdStop" << QStringList{"snd.StopCapi()", "rcv.StopCapi()"};
        QTest::newRow("disconnect snd") << "cmdDiscSnd" << QStringList{"snd.Disconnect()"};
        QTest::newRow("disconnect rcv") << "cmdDiscRcv" << QStringList{"rcv.Disconnect()"};
        QTest::newRow("status window") << "chkShowProgressform"
                                       << QStringList{"snd.ShowProgressForm=True", "rcv.ShowProgressForm=True"};
    }
    void buttonsMakeTheirCallsInOrder()
    {
        QFETCH(QString, button);
        QFETCH(QStringList, calls);
        Console c;
        // Every command runs before any Start and as often as it is given, all calls each time.
        for (int run = 0; run < 2; ++run) {
            c.click(qPrintable(button));
            QStringList expected = calls;
            if (run == 1 && button == QLatin1String("chkShowProgressform"))
                expected.replaceInStrings(QStringLiteral("True"), QStringLiteral("False"));
            QCOMPARE(c.takeCalls(), expected);
        }
        QVERIFY(c.failures.isEmpty());
        QVERIFY(c.exits.isEmpty());
        // Start writes nothing to the journal.
        QCOMPARE(fixture::logBytes(), QByteArray());
    }

    void startShowsTheStartLine_data()
    {
        QTest::addColumn<QVariant>("started");
        QTest::addColumn<QVariant>("description");
        QTest::addColumn<QVariant>("version");
        QTest::addColumn<QVariant>("serial");
        QTest::addColumn<QString>("line");
        QTest::newRow("false result, calls go on")
            << QVariant(false) << QVariant(QStringLiteral("AVM")) << QVariant(3) << QVariant(QStringLiteral("77"))
            << QStringLiteral("StartCapi()=False   CAPI AVM  release version 3  serial number 77");
        QTest::newRow("empty properties")
            << QVariant(true) << QVariant() << QVariant(QString()) << QVariant(QString())
            << QStringLiteral("StartCapi()=True   CAPI   release version   serial number ");
        const QString megabyte(1 << 20, u'x');
        QTest::newRow("1 MB without blanks")
            << QVariant(true) << QVariant(megabyte) << QVariant(1) << QVariant(2)
            << QStringLiteral("StartCapi()=True   CAPI ") + megabyte
                   + QStringLiteral("  release version 1  serial number 2");
        QTest::newRow("non-ASCII and numbers")
            << QVariant(-1) << QVariant(QStringLiteral("Größe ☎")) << QVariant(2.5) << QVariant(true)
            << QStringLiteral("StartCapi()=True   CAPI Größe ☎  release version 2.5  serial number True");
    }
    void startShowsTheStartLine()
    {
        QFETCH(QVariant, started);
        QFETCH(QVariant, description);
        QFETCH(QVariant, version);
        QFETCH(QVariant, serial);
        QFETCH(QString, line);
        Console c;
        c.snd->setAnswer(MemberId::StartCapi, Result::ok(started));
        c.snd->setAnswer(MemberId::CapiDescription, Result::ok(description));
        c.snd->setAnswer(MemberId::ReleaseVersion, Result::ok(version));
        c.snd->setAnswer(MemberId::SerialNumber, Result::ok(serial));
        c.click("cmdStart");
        QCOMPARE(capiInfo(c), line);
        QCOMPARE(c.takeCalls(), kStartCalls);
    }

    void secondStartReplacesTheStartLine()
    {
        Console c;
        c.click("cmdStart");
        c.snd->setAnswer(MemberId::SerialNumber, Result::ok(QStringLiteral("second")));
        c.click("cmdStart");
        QVERIFY(capiInfo(c).endsWith(QLatin1String("serial number second")));
        QVERIFY(!capiInfo(c).contains(QLatin1String("TC-0001")));
        QCOMPARE(c.takeCalls(), kStartCalls + kStartCalls);
    }

    // A failing call ends the handler there: the calls before it stay made, none after it
    // runs, and the failure reaches the error report with its number and text.
    void failureEndsTheCommandAtThatCall_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("who");
        QTest::addColumn<int>("member");
        QTest::addColumn<int>("callsMade");
        QTest::addColumn<bool>("startLineShown");
        const auto row = [](const char *tag, const char *button, const char *who, MemberId m,
                            int made, bool shown = false) {
            QTest::newRow(tag) << QString::fromLatin1(button) << QString::fromLatin1(who)
                               << int(m) << made << shown;
        };
        row("Start: snd StartCapi", "cmdStart", "snd", MemberId::StartCapi, 1);
        row("Start: snd ReceiveFileName", "cmdStart", "snd", MemberId::ReceiveFileName, 2);
        row("Start: snd CapiDescription", "cmdStart", "snd", MemberId::CapiDescription, 3);
        row("Start: snd SerialNumber", "cmdStart", "snd", MemberId::SerialNumber, 5);
        row("Start: rcv StartCapi", "cmdStart", "rcv", MemberId::StartCapi, 6, true);
        row("Start: rcv Listen", "cmdStart", "rcv", MemberId::Listen, 7, true);
        row("Start: rcv ReceiveFileName", "cmdStart", "rcv", MemberId::ReceiveFileName, 8, true);
        row("Stop: snd", "cmdStop", "snd", MemberId::StopCapi, 1);
        row("Stop: rcv", "cmdStop", "rcv", MemberId::StopCapi, 2);
        row("Quit: snd", "cmdQuit", "snd", MemberId::StopCapi, 1);
        row("Quit: rcv", "cmdQuit", "rcv", MemberId::StopCapi, 2);
        row("disconnect snd", "cmdDiscSnd", "snd", MemberId::Disconnect, 1);
        row("disconnect rcv", "cmdDiscRcv", "rcv", MemberId::Disconnect, 1);
        row("status window: snd", "chkShowProgressform", "snd", MemberId::ShowProgressForm, 1);
        row("status window: rcv", "chkShowProgressform", "rcv", MemberId::ShowProgressForm, 2);
    }
    void failureEndsTheCommandAtThatCall()
    {
        QFETCH(QString, button);
        QFETCH(QString, who);
        QFETCH(int, member);
        QFETCH(int, callsMade);
        QFETCH(bool, startLineShown);
        Console c;
        // A clean run first gives the full list of calls to compare the cut one with.
        // (Quit would end the program: its calls are those of Stop.)
        c.click(button == QLatin1String("cmdQuit") ? "cmdStop" : qPrintable(button));
        const QStringList full = c.takeCalls();
        if (button == QLatin1String("chkShowProgressform"))
            c.click(qPrintable(button)); // back to unchecked
        c.takeCalls();
        c.control<QPlainTextEdit>("CapiInfo")->setPlainText(QStringLiteral("before"));

        c.endpoint(who)->setAnswer(MemberId(member), Result::fail(1234, QStringLiteral("line busy")));
        c.click(qPrintable(button));
        QCOMPARE(c.takeCalls(), full.mid(0, callsMade));
        QCOMPARE(c.failures.size(), 1);
        QCOMPARE(c.failures[0], std::make_pair(1234, QStringLiteral("line busy")));
        QVERIFY(c.exits.isEmpty()); // Quit does not reach the end of the program
        if (button == QLatin1String("cmdStart"))
            QCOMPARE(capiInfo(c) == QLatin1String("before"), !startLineShown);
    }

    void quitStopsBothAndEndsTheProgram()
    {
        Console c;
        QVariantList params{QStringLiteral("before quit")};
        c.snd->raise(17, params);
        c.click("cmdQuit");
        QCOMPARE(c.takeCalls(), (QStringList{"snd.StopCapi()", "rcv.StopCapi()"}));
        QCOMPARE(c.exits, QList<int>{0});
        QVERIFY(c.failures.isEmpty());
        QCOMPARE(fixture::logBytes(), QByteArray("snd: Debug: before quit\r\n"));
        // No handler runs any more, and closing the window skips the unload handler.
        c.snd->raise(17, params);
        c.click("cmdStart");
        QVERIFY(c.window->close());
        QCOMPARE(c.takeCalls(), QStringList());
        QVERIFY(c.failures.isEmpty());
        QCOMPARE(fixture::logBytes(), QByteArray("snd: Debug: before quit\r\n"));
    }

    void statusWindowFollowsTheCheckBoxByMouseAndKeyboard()
    {
        Console c;
        auto *box = c.control<QCheckBox>("chkShowProgressform");
        c.click("chkShowProgressform");
        QVERIFY(box->isChecked());
        box->setFocus();
        QTest::keyClick(box, Qt::Key_Space);
        QVERIFY(!box->isChecked());
        QCOMPARE(c.takeCalls(), (QStringList{"snd.ShowProgressForm=True", "rcv.ShowProgressForm=True",
                                             "snd.ShowProgressForm=False", "rcv.ShowProgressForm=False"}));
    }

    void receiveFileBoxTellsTheSenderAtEveryChange()
    {
        Console c;
        auto *box = c.control<QLineEdit>("txtFaxfileWrite");
        box->setFocus();
        box->selectAll();
        QTest::keyClick(box, Qt::Key_Delete);
        QTest::keyClicks(box, QStringLiteral("D:"));
        QTest::sendKeyEvent(QTest::Click, box, Qt::Key_unknown, QStringLiteral("ä"), Qt::NoModifier);
        QTest::keyClick(box, Qt::Key_Backspace);
        QCOMPARE(c.takeCalls(), (QStringList{"snd.ReceiveFileName=", "snd.ReceiveFileName=D",
                                             "snd.ReceiveFileName=D:", "snd.ReceiveFileName=D:ä",
                                             "snd.ReceiveFileName=D:"}));
        // A failing write goes to the error report; the box keeps the text typed.
        c.snd->setAnswer(MemberId::ReceiveFileName, Result::fail(75, QStringLiteral("Path/File access error")));
        QTest::keyClick(box, Qt::Key_X);
        QCOMPARE(box->text(), QStringLiteral("D:x"));
        QCOMPARE(c.failures.size(), 1);
        QCOMPARE(c.failures[0].first, 75);
    }
};

QUILLON_TEST_MAIN(TestCommands)
#include "tst_commands.moc"
