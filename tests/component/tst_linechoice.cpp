// The component chooses its line from its settings file at each StartCapi: a file it cannot
// use makes StartCapi answer False and say why, a receiver answers only on its numbers, and
// the in-process line plays the number plan: the built-in test numbers, or a plan file.

#include "component/componentharness.h"
#include "component/faxdocs.h"
#include "common/testenv.h"
#include "t30/faxpages.h"

#include "component/factory.h"
#include "component/lineprovider.h"
#include "simline/simulatedline.h"
#include "platform/drivepath.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QStandardPaths>

using componenttest::Endpoint;
using quillon::EventSlot;
using quillon::MemberId;

namespace {

const QString kSendFile = QStringLiteral("C:\\tmp\\testfax.sff");
const QString kReceiveFile = QStringLiteral("C:\\tmp\\recieved.sff");

QString settingsPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
           + QStringLiteral("/quillon/quillon.conf");
}

void writeSettings(const QByteArray &text)
{
    QDir().mkpath(QFileInfo(settingsPath()).path());
    QFile file(settingsPath());
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text);
}

QString planPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
           + QStringLiteral("/quillon/plan.txt");
}

// Starts both; the receiver listens and writes to kReceiveFile, the sender takes no call.
bool startToCall(Endpoint &snd, Endpoint &rcv)
{
    snd.acceptFax = false;
    if (!snd.callBool(MemberId::StartCapi) || !rcv.callBool(MemberId::StartCapi))
        return false;
    rcv.call(MemberId::Listen);
    rcv.set(MemberId::ReceiveFileName, kReceiveFile);
    return true;
}

} // namespace

class TestLineChoice : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void unusableSettingsRefuseTheStart_data();
    void unusableSettingsRefuseTheStart();
    void receiverAnswersOnlyItsNumbers();
    void numberPlanPlays_data();
    void numberPlanPlays();
    void slowNumberMovesAtAQuarter();
    void statusNamesTheLine();

private:
    std::shared_ptr<quillon::component::ProcessLines> m_lines;
    std::unique_ptr<quillon::component::QuillonFactory> m_factory;
};

void TestLineChoice::initTestCase()
{
    QDir().mkpath(platform::localPath(QStringLiteral("C:\\tmp")));
    QVERIFY(componenttest::writeFile(platform::localPath(kSendFile), componenttest::testDocument(1)));
}

// Each test case on lines of its own, chosen as the plugin chooses them.
void TestLineChoice::init()
{
    m_lines = std::make_shared<quillon::component::ProcessLines>();
    m_factory = std::make_unique<quillon::component::QuillonFactory>(m_lines);
}

void TestLineChoice::cleanup()
{
    QFile::remove(settingsPath());
    QTRY_COMPARE_WITH_TIMEOUT(m_lines->simulatedLine().applicationCount(), 0, 5000);
    m_factory.reset();
    m_lines.reset();
}

void TestLineChoice::unusableSettingsRefuseTheStart_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("named");
    QTest::newRow("unknown type") << QByteArray("[line]\ntype=isdn\n") << "[line] type=isdn";
    QTest::newRow("port not a number")
        << QByteArray("[line]\ntype=capi20\ndriver=rcapi\nhost=127.0.0.1\nport=26x2\n")
        << "[line] port=26x2";
    QTest::newRow("missing plan file") << QByteArray("[simulated]\nnumbers=/no/such/plan\n")
                                       << "[simulated] numbers=/no/such/plan";
    QTest::newRow("malformed plan file")
        << ("[simulated]\nnumbers=" + planPath().toUtf8() + "\n#plan:555 busy\n556 explode\n")
        << QStringLiteral("[simulated] numbers=%1: line 2: unknown behaviour").arg(planPath());
}

void TestLineChoice::unusableSettingsRefuseTheStart()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, named);
    const qsizetype plan = text.indexOf("#plan:");
    if (plan >= 0) {
        QFile file(planPath());
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text.mid(plan + 6));
        text.truncate(plan);
    }
    writeSettings(text);
    QWidget host;
    Endpoint e(&host, m_factory.get());
    QVERIFY(!e.callBool(MemberId::StartCapi));
    QTRY_VERIFY(e.has(EventSlot::Debug));
    QVERIFY2(e.debugContains(settingsPath()) && e.debugContains(named),
             qPrintable(e.texts(EventSlot::Debug).join('\n')));
    QVERIFY(!e.raisedInsideCall());

    // Once the file is fixed, the next StartCapi reads it again.
    QFile::remove(settingsPath());
    QVERIFY(e.callBool(MemberId::StartCapi));
    e.call(MemberId::StopCapi);
}

void TestLineChoice::receiverAnswersOnlyItsNumbers()
{
    m_lines->simulatedLine().setNoAnswerTimeout(std::chrono::milliseconds(300));
    writeSettings("[answer]\nnumbers=555, 556\n[simulated]\nspeed=0\n");
    QWidget host;
    Endpoint snd(&host, m_factory.get());
    Endpoint rcv(&host, m_factory.get());
    QFile::remove(platform::localPath(kReceiveFile));
    QVERIFY(snd.callBool(MemberId::StartCapi));
    QVERIFY(rcv.callBool(MemberId::StartCapi));
    rcv.call(MemberId::Listen);
    rcv.set(MemberId::ReceiveFileName, kReceiveFile);

    // Not one of its numbers: the receiver lets the call pass as if it were not there.
    QVERIFY(snd.send("6", "7", kSendFile));
    QTRY_VERIFY_WITH_TIMEOUT(snd.has(EventSlot::Disconnected), 10000);
    QVERIFY(!snd.faxSentValue());
    QVERIFY(!rcv.has(EventSlot::IncomingCall) && !rcv.has(EventSlot::IncomingFax));
    QVERIFY2(rcv.debugContains("to 6 ignored"), qPrintable(rcv.texts(EventSlot::Debug).join('\n')));

    snd.events.clear();
    QVERIFY(snd.send("556", "7", kSendFile));
    QTRY_VERIFY_WITH_TIMEOUT(snd.has(EventSlot::Disconnected), 10000);
    QVERIFY(snd.faxSentValue());
    QVERIFY(rcv.has(EventSlot::FaxReceived));
    snd.call(MemberId::StopCapi);
    rcv.call(MemberId::StopCapi);
}

// What each built-in test number does on the in-process line, and a plan file that adds a
// number and gives one of them back to a normal answer.
void TestLineChoice::numberPlanPlays_data()
{
    QTest::addColumn<QByteArray>("plan"); // the plan file; empty: none named
    QTest::addColumn<QString>("number");
    QTest::addColumn<bool>("sent");
    QTest::addColumn<bool>("offered");
    QTest::addColumn<QString>("senderEnd"); // in the sender's last progress text
    QTest::addColumn<QString>("receiverEnd");
    const QByteArray none;
    QTest::newRow("991 busy") << none << "991" << false << false << "user busy (0x3491)" << "";
    QTest::newRow("992 no answer") << none << "992" << false << false << "(0x3493)" << "";
    QTest::newRow("993 rejected") << none << "993" << false << false << "(0x3495)" << "";
    QTest::newRow("994 not a fax") << none << "994" << false << false << "(0x3311)" << "";
    QTest::newRow("995 drops in the second page")
        << none << "995" << false << true << "(0x3301)" << "(0x3301)";
    QTest::newRow("any other number") << none << "990" << true << true << "" << "";
    const QByteArray plan("555 busy\n991 answer\n");
    QTest::newRow("plan file adds a number") << plan << "555" << false << false << "(0x3491)" << "";
    QTest::newRow("plan file overrides 991") << plan << "991" << true << true << "" << "";
    QTest::newRow("plan file keeps 993") << plan << "993" << false << false << "(0x3495)" << "";
}

void TestLineChoice::numberPlanPlays()
{
    QFETCH(QByteArray, plan);
    QFETCH(QString, number);
    QFETCH(bool, sent);
    QFETCH(bool, offered);
    QFETCH(QString, senderEnd);
    QFETCH(QString, receiverEnd);
    QByteArray settings("[simulated]\nspeed=0\n");
    if (!plan.isEmpty()) {
        QFile file(planPath());
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(plan);
        settings += "numbers=" + planPath().toUtf8() + "\n";
    }
    writeSettings(settings);
    m_lines->simulatedLine().setNoAnswerTimeout(std::chrono::milliseconds(300));
    const QByteArray document = componenttest::testDocument(3);
    const QString threePages = QStringLiteral("C:\\tmp\\three.sff");
    QVERIFY(componenttest::writeFile(platform::localPath(threePages), document));
    QFile::remove(platform::localPath(kReceiveFile));

    QWidget host;
    Endpoint snd(&host, m_factory.get());
    Endpoint rcv(&host, m_factory.get());
    QVERIFY(startToCall(snd, rcv));
    QVERIFY(snd.send(number, "7", threePages));
    QTRY_VERIFY_WITH_TIMEOUT(snd.has(EventSlot::Disconnected)
                                 && (!offered || rcv.has(EventSlot::Disconnected)), 20000);
    const QString story = QStringLiteral("sender: %1\nreceiver: %2")
                              .arg(snd.texts(EventSlot::CallProgress).join(" | "),
                                   rcv.texts(EventSlot::CallProgress).join(" | "));
    QVERIFY2(snd.faxSentValue() == sent, qPrintable(story));
    QVERIFY2(rcv.has(EventSlot::IncomingFax) == offered, qPrintable(story));
    QVERIFY2(snd.texts(EventSlot::CallProgress).last().contains(senderEnd), qPrintable(story));
    QVERIFY2(rcv.texts(EventSlot::CallProgress).join(" | ").contains(receiverEnd), qPrintable(story));
    // The G3 controllers ran a T.30 call: the pages equal the sent ones below the head line.
    QString why;
    if (sent)
        QVERIFY2(faxtest::samePagesBelowHeadLine(
                     document, componenttest::readFile(platform::localPath(kReceiveFile)), &why),
                 qPrintable(why));
    if (number == QLatin1String("995")) {
        // Page 1 came whole, page 2 had begun: the received part stays on disk.
        const QByteArray partial = componenttest::readFile(platform::localPath(kReceiveFile));
        QVERIFY2(faxtest::samePagesBelowHeadLine(document, partial, &why, false), qPrintable(why));
        QCOMPARE(faxtest::rowsOfDocument(partial).pages.size(), 2);
    }
    snd.call(MemberId::StopCapi);
    rcv.call(MemberId::StopCapi);
}

// 996 moves the data at a quarter of the line's rate; the pace is a lower bound on the time
// a call takes, however loaded the machine is.
void TestLineChoice::slowNumberMovesAtAQuarter()
{
    constexpr int speed = 8; // 512 kbit/s, 128 kbit/s for 996
    writeSettings("[simulated]\nspeed=" + QByteArray::number(speed) + "\n");
    const QByteArray document = componenttest::testDocument(1);
    QWidget host;
    Endpoint snd(&host, m_factory.get());
    Endpoint rcv(&host, m_factory.get());
    QVERIFY(startToCall(snd, rcv));
    QElapsedTimer clock;
    clock.start();
    QVERIFY(snd.send("996", "7", kSendFile));
    QTRY_VERIFY_WITH_TIMEOUT(snd.has(EventSlot::Disconnected) && rcv.has(EventSlot::Disconnected), 30000);
    const qint64 elapsed = clock.elapsed();
    QVERIFY(snd.faxSentValue());
    QString why;
    QVERIFY2(faxtest::samePagesBelowHeadLine(
                 document, componenttest::readFile(platform::localPath(kReceiveFile)), &why),
             qPrintable(why));
    const qint64 quarterPaceMs = qint64(document.size()) * 8 * 1000 / (64000 * speed / 4);
    QVERIFY2(elapsed >= quarterPaceMs * 9 / 10,
             qPrintable(QStringLiteral("%1 bytes in %2 ms").arg(document.size()).arg(elapsed)));
    snd.call(MemberId::StopCapi);
    rcv.call(MemberId::StopCapi);
}

void TestLineChoice::statusNamesTheLine()
{
    QWidget host;
    Endpoint e(&host, m_factory.get());
    QVERIFY(e.callBool(MemberId::StartCapi));
    e.set(MemberId::ShowProgressForm, true);
    const QList<QWidget *> windows = QApplication::topLevelWidgets();
    QString line;
    for (QWidget *w : windows)
        if (auto *label = w->findChild<QLabel *>(QStringLiteral("lineLabel")))
            line = label->text();
    QVERIFY2(line.startsWith(QStringLiteral("simulated line, controller 1: ")), qPrintable(line));
    e.call(MemberId::StopCapi);
}

QUILLON_TEST_MAIN(TestLineChoice)
#include "tst_linechoice.moc"
