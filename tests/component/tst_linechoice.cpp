// The component chooses its line from its settings file at each StartCapi: a file it cannot
// use makes StartCapi answer False and say why, and a receiver answers only on its numbers.

#include "component/componentharness.h"
#include "component/faxdocs.h"
#include "common/testenv.h"

#include "component/factory.h"
#include "component/lineprovider.h"
#include "simline/simulatedline.h"
#include "platform/drivepath.h"

#include <QApplication>
#include <QDir>
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
}

void TestLineChoice::unusableSettingsRefuseTheStart()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, named);
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
