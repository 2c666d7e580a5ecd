// The console window with the real component, as an operator uses it: Start, "send fax", the
// call runs to its end on a simulated line of the test's own, then Quit. The debug log on disk holds the
// journal in order and the received file holds the sample's pages.

#include "component/faxdocs.h"
#include "common/testenv.h"
#include "t30/faxpages.h"

#include "app/frmtestprog.h"
#include "app/journal/journallist.h"
#include "component/factory.h"
#include "component/lineprovider.h"
#include "simline/simulatedline.h"
#include "platform/drivepath.h"

#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>

namespace {

QString local(const QString &drivePath)
{
    return platform::localPathForWriting(drivePath);
}

QStringList logLines()
{
    QString text = QString::fromUtf8(componenttest::readFile(local("C:\\faxdbg.log")));
    QStringList lines = text.split(QStringLiteral("\r\n"));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

// The index of the first line at or after `from` that starts with `prefix`; -1 when none.
int lineAt(const QStringList &lines, const QString &prefix, int from = 0)
{
    for (int i = from; i < lines.size(); ++i)
        if (lines[i].startsWith(prefix))
            return i;
    return -1;
}

// A simulated line of the test's own and the component's factory on it, as the console's host
// would hand it the factory from the plugin.
// Its fax calls (T.30) run unpaced.
struct OwnLine
{
    std::shared_ptr<simline::SimulatedLine> line = std::make_shared<simline::SimulatedLine>();
    quillon::component::QuillonFactory factory{std::make_shared<quillon::component::FixedLine>(
        line, simline::SimulatedLine::ControllerNumber)};
    OwnLine() { line->setSpeed(0); }
};

} // namespace

class TestConsoleFax : public QObject
{
    Q_OBJECT

private slots:
    void startSendQuit_data();
    void startSendQuit();
    void sendWhileReceivingKeepsTheFax();
};

void TestConsoleFax::startSendQuit_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("method");
    QTest::newRow("send fax") << "cmdSendFax" << "SendFax";
    QTest::newRow("send fax G4") << "cmdSendFaxG4" << "SendFaxG4";
}

void TestConsoleFax::startSendQuit()
{
    QFETCH(QString, button);
    QFETCH(QString, method);

    const QByteArray sample = componenttest::testDocument(2);
    QDir().mkpath(local("C:\\tmp"));
    QVERIFY(componenttest::writeFile(local("C:\\tmp\\testfax.sff"), sample));
    QFile::remove(local("C:\\tmp\\recieved.sff"));

    OwnLine own;
    QList<int> exits;
    QStringList failures;
    {
        frmTestprog window(own.factory);
        window.setErrorReport([&failures](const platform::Failure &f) {
            failures << QStringLiteral("%1 %2").arg(f.number()).arg(f.text());
        });
        window.setProgramEnd([&exits](int code) { exits << code; });
        window.load();
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto click = [&window](const QString &name) {
            auto *b = window.findChild<QPushButton *>(name);
            QVERIFY2(b, qPrintable(name));
            QTest::mouseClick(b, Qt::LeftButton, {}, b->rect().center());
        };

        click(QStringLiteral("cmdStart"));
        const QString info = window.findChild<QWidget *>("CapiInfo")->property("plainText").toString();
        QVERIFY2(info.startsWith("StartCapi()=True   CAPI "), qPrintable(info));

        click(button);
        auto *callinfo = window.findChild<JournalList *>(QStringLiteral("lbCallinfo"));
        auto ended = [callinfo] {
            bool snd = false;
            bool rcv = false;
            for (qsizetype i = 0; i < callinfo->count(); ++i) {
                snd = snd || callinfo->itemText(i) == QLatin1String("snd: Disconnected");
                rcv = rcv || callinfo->itemText(i) == QLatin1String("rcv: Disconnected");
            }
            return snd && rcv;
        };
        QTRY_VERIFY_WITH_TIMEOUT(ended(), 30000);
        click(QStringLiteral("cmdQuit"));
        QCOMPARE(exits, QList<int>{0});
        QVERIFY2(failures.isEmpty(), qPrintable(failures.join('\n')));
    }
    // Stop, run by Quit, released both endpoints from the line.
    QCOMPARE(own.line->applicationCount(), 0);

    // The log on disk: the send result, then the call as both endpoints reported it.
    const QStringList lines = logLines();
    const QString all = lines.join('\n');
    const int result = lineAt(lines, QStringLiteral("snd: %1(...) result: True").arg(method));
    QVERIFY2(result >= 0, qPrintable(all));
    const int call = lineAt(lines, QStringLiteral("rcv: call for 6 from 6, type: fax G"), result);
    const int incoming = lineAt(lines, QStringLiteral("rcv: incoming fax for 6 from 6"), call);
    const int connected = lineAt(lines, QStringLiteral("snd: Connected: "), incoming);
    const int sent = lineAt(lines, QStringLiteral("snd: Fax sent, success=True"), connected);
    const int sndGone = lineAt(lines, QStringLiteral("snd: Disconnected"), sent);
    const int rcvGone = lineAt(lines, QStringLiteral("rcv: Disconnected"), incoming);
    QVERIFY2(call > result && incoming > call && connected > incoming && sent > connected
                 && sndGone > sent && rcvGone > incoming,
             qPrintable(all));
    QVERIFY(lineAt(lines, QStringLiteral("snd: Debug: -> CONNECT_REQ")) >= 0);
    QVERIFY(lineAt(lines, QStringLiteral("rcv: Debug: <- CONNECT_IND")) >= 0);
    QVERIFY(lineAt(lines, QStringLiteral("snd: CallProgress: page 2 of 2 sent")) >= 0);

    // The received file holds the sample's pages.
    const QByteArray received = componenttest::readFile(local("C:\\tmp\\recieved.sff"));
    const QList<QImage> want = componenttest::pagesOf(sample);
    const QList<QImage> got = componenttest::pagesOf(received);
    QCOMPARE(got.size(), want.size());
    QString why;
    if (method == QLatin1String("SendFax")) // a G3 controller prints its head line on top
        QVERIFY2(faxtest::samePagesBelowHeadLine(sample, received, &why), qPrintable(why));
    else
        for (int p = 0; p < want.size(); ++p)
            QVERIFY(got[p] == want[p]);
}

// A second "send fax" while a fax arrives is refused by the busy sender, and its deletion of
// the receive file must not destroy the fax that is arriving in it.
void TestConsoleFax::sendWhileReceivingKeepsTheFax()
{
    const QByteArray sample = componenttest::testDocument(2);
    QVERIFY(componenttest::writeFile(local("C:\\tmp\\testfax.sff"), sample));
    QFile::remove(local("C:\\tmp\\recieved.sff"));

    OwnLine own;
    QStringList failures;
    frmTestprog window(own.factory);
    window.setErrorReport([&failures](const platform::Failure &f) { failures << f.text(); });
    window.setProgramEnd([](int) {});
    window.load();
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *send = window.findChild<QPushButton *>(QStringLiteral("cmdSendFax"));
    QTest::mouseClick(window.findChild<QPushButton *>(QStringLiteral("cmdStart")), Qt::LeftButton);
    // A line at 20 times real time, so the second click lands while the fax is on its way.
    own.line->setSpeed(20);
    QTest::mouseClick(send, Qt::LeftButton);

    auto *callinfo = window.findChild<JournalList *>(QStringLiteral("lbCallinfo"));
    auto count = [callinfo](const QString &line) {
        int n = 0;
        for (qsizetype i = 0; i < callinfo->count(); ++i)
            n += callinfo->itemText(i) == line;
        return n;
    };
    QTRY_VERIFY_WITH_TIMEOUT(count(QStringLiteral("rcv: CallProgress: receiving page 1")) == 1, 30000);
    QVERIFY(count(QStringLiteral("rcv: Disconnected")) == 0);
    QTest::mouseClick(send, Qt::LeftButton);
    auto *debug = window.findChild<JournalList *>(QStringLiteral("lbDebug"));
    QCOMPARE(debug->itemText(debug->count() - 1).left(31), QStringLiteral("snd: SendFax(...) result: False"));
    QTRY_VERIFY_WITH_TIMEOUT(count(QStringLiteral("rcv: Disconnected")) == 1, 30000);
    QVERIFY2(failures.isEmpty(), qPrintable(failures.join('\n')));
    QCOMPARE(count(QStringLiteral("snd: Fax sent, success=True")), 1);
    QString why;
    QVERIFY2(faxtest::samePagesBelowHeadLine(
                 sample, componenttest::readFile(local("C:\\tmp\\recieved.sff")), &why),
             qPrintable(why));
}

QUILLON_TEST_MAIN(TestConsoleFax)
#include "tst_consolefax.moc"
