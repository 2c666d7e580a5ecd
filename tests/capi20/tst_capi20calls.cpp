// The component's calls on both kinds of line from one table: the simulated line in the
// process, and a libcapi20 line to the exchange over loopback. Each case runs in a child
// process of its own (libcapi20 keeps process-wide state), which starts its own exchange on a
// free port, writes the component's settings file, places the call between two instances and
// releases everything again.

#include "component/componentharness.h"
#include "component/faxdocs.h"
#include "common/testenv.h"
#include "t30/faxpages.h"

#include "component/factory.h"
#include "component/lineprovider.h"
#include "simline/simulatedline.h"
#include "platform/drivepath.h"

#include <QApplication>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>

using componenttest::Endpoint;
using quillon::EventSlot;
using quillon::MemberId;
using Fault = simline::SimulatedLine::Fault;

namespace {

const QString kSendFile = QStringLiteral("C:\\tmp\\testfax.sff");
const QString kReceiveFile = QStringLiteral("C:\\tmp\\recieved.sff");
// Twenty times real time: a page still takes a second or more, so either side can act
// inside it.
constexpr int kSpeed = 20;

enum class Action { None, ReceiverDisconnects, SenderDisconnects, SenderStops, DropLine };

struct Row
{
    const char *name;
    const char *number;  // on the exchange, a test number picks the far end's behaviour
    Fault fault;         // on the simulated line, the fault does
    bool g4;
    Action action;
    bool sent;           // FaxSent's value
    bool received;       // FaxReceived raised, the file equal to the sent one
    const char *endText; // in the sender's last progress text
};

const Row kRows[] = {
    {"G3 end to end", "6", Fault::None, false, Action::None, true, true, "call ended: "},
    {"G4 end to end", "6", Fault::None, true, Action::None, true, true, "call ended: "},
    {"busy", "991", Fault::UserBusy, false, Action::None, false, false, "busy"},
    {"rejected", "993", Fault::CallRejected, false, Action::None, false, false, "rejected"},
    {"receiver disconnects", "6", Fault::None, false, Action::ReceiverDisconnects, false, false, "call ended: "},
    {"sender disconnects", "6", Fault::None, false, Action::SenderDisconnects, false, false, "call ended: "},
    {"sender stops CAPI", "6", Fault::None, false, Action::SenderStops, false, false, "CAPI stopped"},
    {"dropped line", "6", Fault::None, false, Action::DropLine, false, false, ""},
};

const Row *findRow(const QString &name)
{
    for (const Row &row : kRows)
        if (name == QLatin1String(row.name))
            return &row;
    return nullptr;
}

int freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// ---- the child side ------------------------------------------------------------------------

int g_failures = 0;

void expect(bool ok, const QString &what)
{
    if (!ok) {
        ++g_failures;
        fprintf(stderr, "expected: %s\n", qPrintable(what));
    }
}

void writeSettings(const QByteArray &text)
{
    const QString path = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
                         + QStringLiteral("/quillon/quillon.conf");
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write %s", qPrintable(path));
    file.write(text);
}

bool startExchange(QProcess &exchange, int port)
{
    exchange.setProgram(QStringLiteral(QUILLON_EXCHANGE_FILE));
    exchange.setArguments({QStringLiteral("--listen"), QStringLiteral("127.0.0.1:%1").arg(port),
                           QStringLiteral("--speed"), QString::number(kSpeed)});
    exchange.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    exchange.start();
    if (!exchange.waitForStarted(5000))
        return false;
    for (int i = 0; i < 250; ++i) {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, quint16(port));
        if (probe.waitForConnected(100))
            return true;
        QTest::qWait(20);
    }
    return false;
}

int runCall(const Row &row, bool real)
{
    QDir().mkpath(platform::localPath(QStringLiteral("C:\\tmp")));
    const QByteArray document = componenttest::testDocument(3);
    componenttest::writeFile(platform::localPath(kSendFile), document);
    QFile::remove(platform::localPath(kReceiveFile));

    // The component's lines as the plugin makes them, owned by this call.
    const auto lines = std::make_shared<quillon::component::ProcessLines>();
    quillon::component::QuillonFactory factory(lines);
    QProcess exchange;
    if (real) {
        const int port = freePort();
        if (!startExchange(exchange, port)) {
            fprintf(stderr, "the exchange did not start\n");
            return 1;
        }
        writeSettings(QStringLiteral("[line]\ntype=capi20\ndriver=rcapi\nhost=127.0.0.1\nport=%1\n")
                          .arg(port)
                          .toLatin1());
    } else {
        writeSettings(QStringLiteral("[simulated]\nspeed=%1\n").arg(kSpeed).toLatin1());
        const sff::DocumentInfo info = sff::checkData(document);
        lines->simulatedLine().setFault(
            row.action == Action::DropLine ? Fault::DroppedLine : row.fault,
            int((info.pages[1].offset + 2048) / 2048));
    }

    QWidget host;
    Endpoint snd(&host, &factory);
    Endpoint rcv(&host, &factory);
    snd.acceptFax = false;
    expect(snd.callBool(MemberId::StartCapi), QStringLiteral("the sender starts"));
    expect(rcv.callBool(MemberId::StartCapi), QStringLiteral("the receiver starts"));
    rcv.call(MemberId::Listen);
    rcv.set(MemberId::ReceiveFileName, kReceiveFile);
    if (g_failures) {
        fprintf(stderr, "%s\n", qPrintable(snd.texts(EventSlot::Debug).join('\n')));
        return g_failures;
    }

    // Each registration has a connection of its own: the receiver listens once its listen
    // is confirmed, as an operator waits for the status to say so.
    const auto listening = [&] {
        return rcv.texts(EventSlot::Debug).filter(QStringLiteral("<- LISTEN_CONF")).size() >= 2;
    };
    expect(QTest::qWaitFor(listening, 5000), QStringLiteral("the receiver listens"));

    bool acted = false;
    rcv.onEvent = [&](int slot, QVariantList &params) {
        if (acted || slot != int(EventSlot::CallProgress)
            || !params.value(0).toString().startsWith(QStringLiteral("receiving page 1")))
            return;
        acted = true;
        QTimer::singleShot(0, [&] {
            switch (row.action) {
            case Action::ReceiverDisconnects: rcv.call(MemberId::Disconnect); break;
            case Action::SenderDisconnects: snd.call(MemberId::Disconnect); break;
            case Action::SenderStops: snd.call(MemberId::StopCapi); break;
            case Action::DropLine:
                if (real)
                    exchange.kill();
                break;
            case Action::None: break;
            }
        });
    };
    expect(snd.send(QString::fromLatin1(row.number), QStringLiteral("7"), kSendFile, row.g4),
           QStringLiteral("the send is placed"));
    const auto ended = [&] {
        return snd.has(EventSlot::FaxSent) && snd.has(EventSlot::Disconnected)
               && (rcv.has(EventSlot::Disconnected) || !rcv.has(EventSlot::IncomingCall));
    };
    (void)QTest::qWaitFor(ended, 30000);
    const QString story = QStringLiteral("sender: %1\nreceiver: %2")
                              .arg(snd.texts(EventSlot::CallProgress).join(QStringLiteral(" | ")),
                                   rcv.texts(EventSlot::CallProgress).join(QStringLiteral(" | ")));
    expect(ended(), QStringLiteral("the call ends on both sides\n") + story);
    expect(snd.faxSentValue() == row.sent, QStringLiteral("FaxSent %1\n").arg(row.sent) + story);
    expect(rcv.has(EventSlot::FaxReceived) == row.received,
           QStringLiteral("FaxReceived %1\n").arg(row.received) + story);
    const QString end = snd.texts(EventSlot::CallProgress).value(snd.count(EventSlot::CallProgress) - 1);
    const QString endText = row.action == Action::DropLine && real ? QStringLiteral("CAPI line lost")
                                                                    : QString::fromLatin1(row.endText);
    expect(end.contains(endText, Qt::CaseInsensitive), QStringLiteral("\"%1\" in \"%2\"").arg(endText, end));
    expect(!snd.raisedInsideCall() && !rcv.raisedInsideCall(), QStringLiteral("no event inside a call"));

    const QByteArray received = componenttest::readFile(platform::localPath(kReceiveFile));
    if (row.received) {
        const QList<QImage> want = componenttest::pagesOf(document);
        const QList<QImage> got = componenttest::pagesOf(received);
        expect(got.size() == want.size(), QStringLiteral("%1 pages received").arg(got.size()));
        QString why;
        if (row.g4)
            for (int p = 0; p < std::min(got.size(), want.size()); ++p)
                expect(got[p] == want[p], QStringLiteral("page %1 equal").arg(p + 1));
        else // a G3 controller prints its head line on top of each page
            expect(faxtest::samePagesBelowHeadLine(document, received, &why), why);
    } else if (row.action == Action::DropLine) {
        // What arrived before the line went stays on disk.
        expect(received.size() > 0 && received.size() < document.size(),
               QStringLiteral("a partial file of %1 bytes").arg(received.size()));
    }

    snd.call(MemberId::StopCapi);
    rcv.call(MemberId::StopCapi);
    if (real && exchange.state() != QProcess::NotRunning) {
        exchange.terminate();
        if (!exchange.waitForFinished(5000))
            exchange.kill();
    }
    return g_failures;
}

} // namespace

class TestCapi20Calls : public QObject
{
    Q_OBJECT

private slots:
    void calls_data();
    void calls();
};

void TestCapi20Calls::calls_data()
{
    QTest::addColumn<QString>("row");
    QTest::addColumn<QString>("line");
    for (const char *line : {"simulated", "capi20"})
        for (const Row &row : kRows)
            QTest::addRow("%s, %s", row.name, line) << QString::fromLatin1(row.name) << QString::fromLatin1(line);
}

void TestCapi20Calls::calls()
{
    QFETCH(QString, row);
    QFETCH(QString, line);
    const Row *r = findRow(row);
    if (line == QLatin1String("capi20") && r->fault != Fault::None)
        QSKIP("the exchange has no test numbers for a busy or rejecting far end yet");
    QProcess child;
    child.setProgram(QCoreApplication::applicationFilePath());
    child.setArguments({QStringLiteral("--call"), row, line});
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start();
    QVERIFY(child.waitForStarted(5000));
    if (!child.waitForFinished(60000)) {
        child.kill();
        child.waitForFinished(2000);
        QFAIL(qPrintable(QStringLiteral("timed out: ") + QString::fromLocal8Bit(child.readAll())));
    }
    const QString output = QString::fromLocal8Bit(child.readAll());
    QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0, qPrintable(output));
}

int main(int argc, char **argv)
{
    testenv::isolate();
    QApplication app(argc, argv);
    if (argc == 4 && qstrcmp(argv[1], "--call") == 0) {
        const Row *row = findRow(QString::fromLocal8Bit(argv[2]));
        if (!row)
            return 99;
        return runCall(*row, qstrcmp(argv[3], "capi20") == 0) ? 1 : 0;
    }
    TestCapi20Calls tc;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&tc, argc, argv);
}

#include "tst_capi20calls.moc"
