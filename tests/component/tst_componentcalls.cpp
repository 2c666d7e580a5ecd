// Two instances of the component in one process, calling each other over the simulated line:
// faxes end to end, refused and failed calls, faults of the line, disconnects and stops at
// every stage of a call, and the checks a send makes before it places a call.

#include "component/componentharness.h"
#include "component/faxdocs.h"
#include "common/testenv.h"
#include "t30/faxpages.h"

#include "component/factory.h"
#include "component/lineprovider.h"
#include "component/pagepicture.h"
#include "capi/message.h"
#include "simline/numberplan.h"
#include "simline/simulatedline.h"
#include "platform/drivepath.h"

#include <QApplication>
#include <QDir>
#include <QLabel>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

using componenttest::Endpoint;
using quillon::EventSlot;
using quillon::MemberId;

namespace {

const QString kSendFile = QStringLiteral("C:\\tmp\\testfax.sff");
const QString kReceiveFile = QStringLiteral("C:\\tmp\\recieved.sff");

constexpr int kCallTimeout = 30000;
// Fast enough for short tests, slow enough that a page takes many turns of the event loop,
// so an endpoint can act in the middle of the data.
constexpr quint32 kWatchableRate = 256000;

// The line of the running test, fresh for each, and the component's factory on it. Its fax
// calls (T.30) run unpaced, in slices that still give every page many turns of the loop, with
// a fixed head-line time so that the pages, and with them calls on noisy lines, repeat.
struct TestLine
{
    std::shared_ptr<simline::SimulatedLine> line = std::make_shared<simline::SimulatedLine>();
    quillon::component::QuillonFactory factory{std::make_shared<quillon::component::FixedLine>(
        line, simline::SimulatedLine::ControllerNumber)};
    TestLine()
    {
        line->setSpeed(0);
        line->setHeadLineTime(QDateTime(QDate(2026, 3, 2), QTime(9, 41)));
    }
};
std::unique_ptr<TestLine> t_line;

simline::SimulatedLine &line()
{
    return *t_line->line;
}

quillon::ComponentFactory *lineFactory()
{
    return &t_line->factory;
}

// The sending and the receiving endpoint as the console uses them.
struct Pair
{
    QWidget host;
    Endpoint snd{&host, lineFactory()};
    Endpoint rcv{&host, lineFactory()};

    Pair()
    {
        snd.acceptFax = false;
        rcv.acceptFax = true;
    }
    void start(bool receiverListens = true)
    {
        QVERIFY(snd.callBool(MemberId::StartCapi));
        snd.set(MemberId::ReceiveFileName, kReceiveFile);
        QVERIFY(rcv.callBool(MemberId::StartCapi));
        if (receiverListens)
            rcv.call(MemberId::Listen);
        rcv.set(MemberId::ReceiveFileName, kReceiveFile);
    }
    bool ended() const
    {
        return snd.has(EventSlot::Disconnected) && snd.has(EventSlot::FaxSent)
               && (rcv.has(EventSlot::Disconnected) || !rcv.has(EventSlot::IncomingCall));
    }
    void clearEvents()
    {
        snd.events.clear();
        rcv.events.clear();
    }
};

// The slots of the story must come in this order; `many` slots may repeat or be absent.
bool followsPattern(const QList<int> &story, const QList<int> &pattern, const QSet<int> &many)
{
    int i = 0;
    for (int want : pattern) {
        if (many.contains(want)) {
            while (i < story.size() && story[i] == want)
                ++i;
            continue;
        }
        if (i >= story.size() || story[i] != want)
            return false;
        ++i;
    }
    return i == story.size();
}

QString storyText(const Endpoint &e)
{
    QStringList out;
    for (const componenttest::Event &ev : e.events)
        if (ev.slot != int(EventSlot::Debug))
            out << QStringLiteral("%1:%2").arg(ev.slot).arg(ev.params.value(0).toString());
    return out.join(QStringLiteral(" | "));
}

// With the stage handlers gone, a send from scratch goes through on both sides.
void sendCleanly(Pair &pair)
{
    line().setRate(0);
    pair.snd.onEvent = nullptr;
    pair.rcv.onEvent = nullptr;
    pair.clearEvents();
    QVERIFY(pair.snd.send("6", "6", kSendFile));
    QTRY_VERIFY_WITH_TIMEOUT(pair.ended(), kCallTimeout);
    QVERIFY2(pair.snd.faxSentValue(), qPrintable(storyText(pair.snd)));
    QVERIFY(pair.rcv.has(EventSlot::FaxReceived));
}

// Where in the endpoint's events the first Debug line starting with `start` stands, from
// event `from` on; -1 when there is none.
int debugAt(const Endpoint &e, const QString &start, int from = 0)
{
    for (int i = std::max(from, 0); i < int(e.events.size()); ++i) {
        const componenttest::Event &ev = e.events[size_t(i)];
        if (ev.slot == int(EventSlot::Debug) && ev.params.value(0).toString().startsWith(start))
            return i;
    }
    return -1;
}

// The T.30 handshake stands in an endpoint's Debug lines in the order T.30 runs it.
void checkHandshakeOrder(const Endpoint &e, bool transmitter)
{
    const QString in = QStringLiteral("T.30: <- "), out = QStringLiteral("T.30: -> ");
    const QString towardsTx = transmitter ? in : out, fromTx = transmitter ? out : in;
    int at = -1;
    QStringList seen;
    for (const QString &frame : {towardsTx + "DIS: ", fromTx + "DCS: ", towardsTx + "CFR",
                                 towardsTx + "MCF"}) {
        const int next = debugAt(e, frame, at + 1);
        seen << QStringLiteral("%1 at %2").arg(frame).arg(next);
        QVERIFY2(next > at, qPrintable(seen.join(", ")));
        at = next;
    }
    QVERIFY(e.debugContains(QStringLiteral("T.30: training ")));
}

enum class Stage { AfterSend, Offered, Connected, MidData, FaxEnded };
void armAt(Endpoint &watched, Stage stage, std::function<void()> act);

} // namespace

Q_DECLARE_METATYPE(Stage)

class TestComponentCalls : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void faxEndToEnd_data();
    void faxEndToEnd();
    void callNotTaken_data();
    void callNotTaken();
    void droppedLineLeavesPartialFile();
    void receiveFileWriteFails_data();
    void receiveFileWriteFails();
    void longFileCheckedWhileSending_data();
    void longFileCheckedWhileSending();
    void numbersAsDialled();
    void disconnectAtEachStage_data();
    void disconnectAtEachStage();
    void stopCapiInMidCall_data();
    void stopCapiInMidCall();
    void sendRefused_data();
    void sendRefused();
    void badLineEndsTheFax();
    void startStopAndListenRules();
    void startAgainChangesNothing();
    void incomingCallTypes_data();
    void incomingCallTypes();
    void statusWindowFollowsTheCall();
    void impairedTestNumbers_data();
    void impairedTestNumbers();
    void eventsKeepUpWithAnUnpacedLine();

private:
    QByteArray m_document;
};

void TestComponentCalls::initTestCase()
{
    QDir().mkpath(platform::localPath(QStringLiteral("C:\\tmp")));
    m_document = componenttest::testDocument(3);
    QVERIFY(sff::checkData(m_document).isValid());
    QVERIFY(m_document.size() > 6 * 2048); // several blocks a page
    qInfo("test document: %lld bytes", qint64(m_document.size()));
}

void TestComponentCalls::init()
{
    // Each test owns its line: unpaced, without faults, the default no-answer timeout.
    t_line = std::make_unique<TestLine>();
    QVERIFY(componenttest::writeFile(platform::localPath(kSendFile), m_document));
    QFile::remove(platform::localPath(kReceiveFile));
}

void TestComponentCalls::cleanup()
{
    QTRY_COMPARE_WITH_TIMEOUT(line().applicationCount(), 0, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(line().callCount(), 0, 5000);
    t_line.reset();
}

void TestComponentCalls::faxEndToEnd_data()
{
    QTest::addColumn<bool>("g4");
    QTest::addColumn<int>("pages");
    QTest::addColumn<bool>("fine");
    QTest::newRow("G3, one page, standard") << false << 1 << false;
    QTest::newRow("G3, three pages, fine") << false << 3 << true;
    QTest::newRow("G4, two pages") << true << 2 << false;
}

void TestComponentCalls::faxEndToEnd()
{
    QFETCH(bool, g4);
    QFETCH(int, pages);
    QFETCH(bool, fine);
    const QByteArray document = componenttest::testDocument(
        pages, fine ? sff::Resolution::Fine : sff::Resolution::Standard);
    QVERIFY(componenttest::writeFile(platform::localPath(kSendFile), document));

    Pair pair;
    pair.start();
    QVERIFY(pair.snd.send("6", "6", kSendFile, g4));
    // The send answers before the receiving endpoint has been offered the call.
    QVERIFY(pair.rcv.events.empty());
    QTRY_VERIFY_WITH_TIMEOUT(pair.ended(), kCallTimeout);
    QVERIFY(!pair.snd.raisedInsideCall());
    QVERIFY(!pair.rcv.raisedInsideCall());

    const int cp = int(EventSlot::CallProgress);
    QVERIFY2(followsPattern(pair.snd.story(),
                            {cp, int(EventSlot::Connected), cp, int(EventSlot::FaxSent),
                             int(EventSlot::Disconnected)},
                            {cp}),
             qPrintable(storyText(pair.snd)));
    QVERIFY(pair.snd.faxSentValue());
    QVERIFY2(followsPattern(pair.rcv.story(),
                            {int(EventSlot::IncomingCall), int(EventSlot::IncomingFax), cp,
                             int(EventSlot::Connected), cp, int(EventSlot::FaxReceived),
                             int(EventSlot::Disconnected)},
                            {cp}),
             qPrintable(storyText(pair.rcv)));
    QCOMPARE(pair.rcv.first(EventSlot::IncomingCall),
             (QVariantList{"6", "6", g4 ? "fax G4" : "fax G3"}));
    QCOMPARE(pair.rcv.first(EventSlot::IncomingFax), (QVariantList{"6", "6"}));

    const QStringList sent = pair.snd.texts(EventSlot::CallProgress);
    QVERIFY2(sent.first().startsWith("dialing 6"), qPrintable(sent.first()));
    for (int p = 1; p <= pages; ++p) {
        QVERIFY2(sent.contains(QStringLiteral("sending page %1 of %2").arg(p).arg(pages)),
                 qPrintable(sent.join('|')));
        QVERIFY(sent.contains(QStringLiteral("page %1 of %2 sent").arg(p).arg(pages)));
        QVERIFY(pair.rcv.texts(EventSlot::CallProgress)
                    .contains(QStringLiteral("page %1 received").arg(p)));
    }
    QVERIFY2(sent.last().startsWith("call ended: ") && sent.last().contains("(0x"),
             qPrintable(sent.last()));
    const QStringList got = pair.rcv.texts(EventSlot::CallProgress);
    QVERIFY2(got.last().startsWith("call ended: "), qPrintable(got.last()));
    // Each side's last line is its result: pages, rate, resolution, bytes, time, station.
    const QString pagesWord = pages == 1 ? QStringLiteral("page") : QStringLiteral("pages");
    const QString bytes = QStringLiteral(", %1 bytes in ").arg(document.size());
    QVERIFY2(sent.last().contains(QStringLiteral("; %1 of %1 %2 sent, ").arg(pages).arg(pagesWord))
                 && sent.last().contains(bytes) && sent.last().contains("bit/s")
                 && sent.last().endsWith(" s, remote station \"6\""),
             qPrintable(sent.last()));
    // The receiver counts the bytes it stored: a G3 controller codes the pages anew.
    const qint64 stored = componenttest::readFile(platform::localPath(kReceiveFile)).size();
    QVERIFY2(got.last().contains(QStringLiteral("; %1 %2 received, ").arg(pages).arg(pagesWord))
                 && got.last().contains(QStringLiteral(", %1 bytes in ").arg(stored)),
             qPrintable(got.last()));
    QVERIFY2(got.at(got.size() - 2).startsWith(QStringLiteral("fax received: %1 page").arg(pages)),
             qPrintable(got.join('|')));
    // A clean call leaves no refused message on either side.
    QVERIFY2(!pair.snd.debugContains("illegal") && !pair.rcv.debugContains("illegal"),
             qPrintable(pair.rcv.texts(EventSlot::Debug).join('\n')));
    const QString connected = pair.snd.texts(EventSlot::Connected).value(0);
    QVERIFY2(connected.contains("bit/s") && connected.contains("\"6\"")
                 && connected.contains(fine ? "fine" : (g4 ? "resolution" : "standard")),
             qPrintable(connected));

    // Every CAPI message shows in the debug events, in both directions.
    QVERIFY(pair.snd.debugContains("-> CONNECT_REQ"));
    QVERIFY(pair.snd.debugContains("<- CONNECT_CONF"));
    QVERIFY(pair.snd.debugContains("-> DATA_B3_REQ"));
    QVERIFY(pair.rcv.debugContains("<- CONNECT_IND"));
    QVERIFY(pair.rcv.debugContains("-> CONNECT_RESP"));
    QVERIFY(pair.rcv.debugContains("<- DATA_B3_IND"));
    if (!g4) {
        // The controller takes the whole document at once; a page counts as sent only once
        // the far fax confirmed it, and all are sent after the last MCF.
        int confirmed = 0;
        for (const componenttest::Event &e : pair.snd.events) {
            const QString text = e.params.value(0).toString();
            if (e.slot == int(EventSlot::Debug) && text.startsWith("T.30: <- MCF"))
                ++confirmed;
            const bool pageSent = text.startsWith("page ") && text.endsWith(" sent");
            if (e.slot == int(EventSlot::CallProgress) && (pageSent || text.startsWith("all pages")))
                QVERIFY2(pageSent ? text.section(' ', 1, 1).toInt() <= confirmed : confirmed == pages,
                         qPrintable(QStringLiteral("%1 after %2 MCF").arg(text).arg(confirmed)));
        }
        // Each controller reports its T.30 frames; each endpoint writes them as Debug lines.
        checkHandshakeOrder(pair.snd, true);
        checkHandshakeOrder(pair.rcv, false);
        QVERIFY(pair.snd.debugContains("-> MANUFACTURER_RESP"));
        QVERIFY2(pair.rcv.debugContains("T.30: <- DCS: V.17 14400, "),
                 qPrintable(pair.rcv.texts(EventSlot::Debug).join('\n')));
    } else {
        QVERIFY(!pair.snd.debugContains("T.30: "));
    }

    const QByteArray received = componenttest::readFile(platform::localPath(kReceiveFile));
    const QList<QImage> want = componenttest::pagesOf(document);
    const QList<QImage> gotPages = componenttest::pagesOf(received);
    QCOMPARE(gotPages.size(), pages);
    // A G3 controller prints its head line into the top of each page.
    QString why;
    if (g4) {
        for (int p = 0; p < pages; ++p)
            QVERIFY2(gotPages[p] == want[p], qPrintable(QStringLiteral("page %1 differs").arg(p + 1)));
    } else {
        QVERIFY2(faxtest::samePagesBelowHeadLine(document, received, &why), qPrintable(why));
    }
}

enum class Setup { AcceptFalse, NoListener, Busy, MissingFolder, IntoFifo, NotAFax, IntoSentFile };
Q_DECLARE_METATYPE(Setup)

void TestComponentCalls::callNotTaken_data()
{
    QTest::addColumn<Setup>("setup");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<bool>("offered");
    QTest::newRow("AcceptFax False") << Setup::AcceptFalse << "call rejected (0x3495)" << true;
    QTest::newRow("receive folder missing") << Setup::MissingFolder << "call rejected (0x3495)"
                                            << true;
    QTest::newRow("receive file is a FIFO") << Setup::IntoFifo << "call rejected (0x3495)" << true;
    QTest::newRow("receive file is the file being sent")
        << Setup::IntoSentFile << "call rejected (0x3495)" << true;
    QTest::newRow("no listener") << Setup::NoListener << "(0x3492)" << false;
    QTest::newRow("user busy") << Setup::Busy << "user busy (0x3491)" << false;
    QTest::newRow("remote not a fax") << Setup::NotAFax << "(0x3311)" << false;
}

void TestComponentCalls::callNotTaken()
{
    QFETCH(Setup, setup);
    QFETCH(QString, reason);
    QFETCH(bool, offered);

    Pair pair;
    pair.start(setup != Setup::NoListener);
    const QString missing = QStringLiteral("C:\\no such folder\\recieved.sff");
    const QString fifo = QStringLiteral("C:\\tmp\\fifo.sff");
    QFile::remove(platform::localPath(fifo));
    switch (setup) {
    case Setup::AcceptFalse: pair.rcv.acceptFax = false; break;
    case Setup::MissingFolder: pair.rcv.set(MemberId::ReceiveFileName, missing); break;
    case Setup::IntoFifo:
        QVERIFY(::mkfifo(QFile::encodeName(platform::localPath(fifo)).constData(), 0600) == 0);
        pair.rcv.set(MemberId::ReceiveFileName, fifo);
        break;
    case Setup::Busy: line().setFault(simline::SimulatedLine::Fault::UserBusy); break;
    case Setup::NotAFax: line().setFault(simline::SimulatedLine::Fault::NotG3Fax); break;
    case Setup::IntoSentFile: pair.rcv.set(MemberId::ReceiveFileName, kSendFile); break;
    case Setup::NoListener: break;
    }
    // A receive file that cannot be taken is said as soon as it is named.
    if (setup == Setup::MissingFolder || setup == Setup::IntoFifo)
        QTRY_VERIFY(pair.rcv.debugContains("ReceiveFileName: a fax would be refused"));
    QVERIFY(pair.snd.send("6", "6", kSendFile));
    QTRY_VERIFY_WITH_TIMEOUT(pair.ended(), kCallTimeout);

    QCOMPARE(pair.snd.count(EventSlot::FaxSent), 1);
    QVERIFY(!pair.snd.faxSentValue());
    QCOMPARE(pair.snd.count(EventSlot::Disconnected), 1);
    const QString end = pair.snd.texts(EventSlot::CallProgress).last();
    QVERIFY2(end.contains(reason), qPrintable(end));
    QCOMPARE(pair.rcv.has(EventSlot::IncomingFax), offered);
    QCOMPARE(pair.rcv.count(EventSlot::Disconnected), offered ? 1 : 0);
    QVERIFY(!pair.rcv.has(EventSlot::FaxReceived));
    QVERIFY(!QFile::exists(platform::localPath(kReceiveFile)));
    if (setup == Setup::MissingFolder) {
        // The receiver names the file it could not create and why.
        QVERIFY2(pair.rcv.debugContains(platform::localPath(missing)),
                 qPrintable(pair.rcv.texts(EventSlot::Debug).join('\n')));
        QVERIFY(pair.rcv.debugContains("does not exist"));
    }
    if (setup == Setup::IntoFifo)
        QVERIFY(pair.rcv.debugContains("FIFO"));
    // The receiver's end says that it refused, with the code and why.
    if (offered) {
        const QString refused = pair.rcv.texts(EventSlot::CallProgress).last();
        QVERIFY2(refused.startsWith("call ended: ") && refused.contains("(0x"),
                 qPrintable(refused));
        if (setup == Setup::AcceptFalse)
            QVERIFY2(refused.contains("AcceptFax is False"), qPrintable(refused));
    }
    QFile::remove(platform::localPath(fifo));
    if (setup == Setup::AcceptFalse)
        QVERIFY(pair.rcv.debugContains("AcceptFax is False"));
    if (setup == Setup::IntoSentFile)
        QVERIFY(pair.rcv.debugContains("is the file being sent"));
    // The file to send is never touched.
    QCOMPARE(componenttest::readFile(platform::localPath(kSendFile)), m_document);
}

void TestComponentCalls::droppedLineLeavesPartialFile()
{
    // Three pages of several blocks each: the line drops inside the second page.
    const sff::DocumentInfo info = sff::checkData(m_document);
    // (The receiving controller codes the pages anew, with the head line on top: the blocks
    // it delivers do not fall where the sent ones did, so the drop comes two blocks later.)
    const int dropAfter = int((info.pages[1].offset + 2 * 2048) / 2048);
    line().setFault(simline::SimulatedLine::Fault::DroppedLine, dropAfter);

    Pair pair;
    pair.start();
    QVERIFY(pair.snd.send("6", "6", kSendFile));
    QTRY_VERIFY_WITH_TIMEOUT(pair.ended(), kCallTimeout);

    QVERIFY(!pair.snd.faxSentValue());
    QVERIFY(!pair.rcv.has(EventSlot::FaxReceived));
    QCOMPARE(pair.rcv.count(EventSlot::Disconnected), 1);
    const QByteArray partial = componenttest::readFile(platform::localPath(kReceiveFile));
    QVERIFY(partial.size() > info.pages[1].offset / 2);
    QVERIFY(partial.size() < m_document.size());
    // The first page came whole (below the head line) and can be read from the partial file.
    QString why;
    QVERIFY2(faxtest::samePagesBelowHeadLine(m_document, partial, &why, false), qPrintable(why));
    const QList<QImage> pages = componenttest::pagesOf(partial);
    QVERIFY(!pages.isEmpty() && pages.size() < 3);
    QCOMPARE(pages.first().size(), componenttest::pagesOf(m_document).first().size());
    QVERIFY(pair.rcv.texts(EventSlot::CallProgress).join('|').contains("fax incomplete"));
}

void TestComponentCalls::receiveFileWriteFails_data()
{
    QTest::addColumn<bool>("folderDeleted");
    QTest::addColumn<QString>("why");
    // A G4 call: the line's T.30 call writes files of its own, which the size limit would
    // stop first.
    QTest::newRow("disk full") << false << "cannot write " + kReceiveFile;
    QTest::newRow("receive folder deleted mid-fax") << true << "was deleted while the fax arrived";
}

void TestComponentCalls::receiveFileWriteFails()
{
    // A receive file that takes no more data (a full disk, here a file size limit), or one
    // whose folder is deleted in mid-fax (writes into it still succeed): the receiver must end
    // the call, so neither side reports a fax that was lost on the way.
    QFETCH(bool, folderDeleted);
    QFETCH(QString, why);
    const QString folder = QStringLiteral("C:\\tmp\\inbox");
    const QString inFolder = folder + QStringLiteral("\\recieved.sff");
    QDir(platform::localPath(folder)).removeRecursively();
    QVERIFY(QDir().mkpath(platform::localPath(folder)));
    struct rlimit before{};
    QVERIFY(::getrlimit(RLIMIT_FSIZE, &before) == 0);
    struct rlimit small = before;
    small.rlim_cur = folderDeleted ? before.rlim_cur : 8192;
    const auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
    QVERIFY(::setrlimit(RLIMIT_FSIZE, &small) == 0);
    const auto restore = qScopeGuard([&] {
        ::setrlimit(RLIMIT_FSIZE, &before);
        ::signal(SIGXFSZ, oldHandler);
    });
    Pair pair;
    pair.start();
    if (folderDeleted) {
        line().setRate(kWatchableRate);
        pair.rcv.set(MemberId::ReceiveFileName, inFolder);
        armAt(pair.rcv, Stage::MidData,
              [&] { QVERIFY(QDir(platform::localPath(folder)).removeRecursively()); });
    }
    QVERIFY(pair.snd.send("6", "6", kSendFile, !folderDeleted));
    QTRY_VERIFY_WITH_TIMEOUT(pair.ended(), kCallTimeout);

    QVERIFY2(!pair.snd.faxSentValue(), qPrintable(storyText(pair.snd)));
    QVERIFY(!pair.rcv.has(EventSlot::FaxReceived));
    QCOMPARE(pair.rcv.count(EventSlot::Disconnected), 1);
    QVERIFY2(pair.rcv.debugContains(why), qPrintable(pair.rcv.texts(EventSlot::Debug).join('\n')));
    const QString end = pair.rcv.texts(EventSlot::CallProgress).last();
    QVERIFY2(end.startsWith("call ended: the receive file"), qPrintable(end));
    QVERIFY(pair.rcv.texts(EventSlot::CallProgress).contains("disconnecting"));
    // The sender stops its data and its requests with the fax connection's end: a block the
    // line refused because it crossed that end is no fault of its own, and no request goes
    // to a call the line already cleared.
    const QStringList senderLog = pair.snd.texts(EventSlot::Debug);
    QVERIFY2(senderLog.filter(QRegularExpression("refused|^DISCONNECT_CONF: ")).isEmpty(),
             qPrintable(senderLog.filter("illegal").join('\n')));
}

namespace {

// The document with user information records after its first page header, to at least
// `bytes` long: a file too long to be checked before the call.
QByteArray padded(const QByteArray &document, qsizetype bytes)
{
    const qsizetype records = 20 + 2 + quint8(document.at(21));
    QByteArray filler;
    while (filler.size() + document.size() < bytes)
        filler += char(255) + QByteArray(1, char(250)) + QByteArray(250, 'u');
    return document.left(records) + filler + document.mid(records);
}

} // namespace

void TestComponentCalls::longFileCheckedWhileSending_data()
{
    QTest::addColumn<bool>("valid");
    QTest::newRow("valid") << true;
    QTest::newRow("truncated past the first MiB") << false;
}

void TestComponentCalls::longFileCheckedWhileSending()
{
    // The send answers at once; the rest of the file is checked while the call is set up, and
    // its data goes out only once the whole file passed.
    QFETCH(bool, valid);
    QByteArray document = padded(m_document, 3 << 20);
    if (!valid)
        document.chop(100);
    QVERIFY(componenttest::writeFile(platform::localPath(kSendFile), document));
    Pair pair;
    pair.start();
    QVERIFY(pair.snd.send("6", "6", kSendFile));
    QTRY_VERIFY_WITH_TIMEOUT(pair.ended(), kCallTimeout);
    QCOMPARE(pair.snd.faxSentValue(), valid);
    QCOMPARE(pair.rcv.has(EventSlot::FaxReceived), valid);
    const QString end = pair.snd.texts(EventSlot::CallProgress).last();
    if (valid) {
        QVERIFY2(end.contains("3 of 3 pages sent"), qPrintable(end));
        QString why;
        QVERIFY2(faxtest::samePagesBelowHeadLine(
                     m_document, componenttest::readFile(platform::localPath(kReceiveFile)), &why),
                 qPrintable(why));
    } else {
        QVERIFY2(pair.snd.debugContains("truncated"),
                 qPrintable(pair.snd.texts(EventSlot::Debug).join('\n')));
        QVERIFY2(end.startsWith("call ended: the file to send is no valid fax"), qPrintable(end));
        QVERIFY(!pair.snd.debugContains("-> DATA_B3_REQ"));
    }
}

void TestComponentCalls::numbersAsDialled()
{
    // Separators are dropped, a leading + makes the number international.
    Pair pair;
    pair.start();
    QVERIFY(pair.snd.send("+49 (30) 1234-5/6", "6", kSendFile));
    QTRY_VERIFY_WITH_TIMEOUT(pair.ended(), kCallTimeout);
    QCOMPARE(pair.rcv.first(EventSlot::IncomingCall).value(0).toString(), "4930123456");
    QVERIFY2(pair.snd.debugContains("called \"4930123456\""),
             qPrintable(pair.snd.texts(EventSlot::Debug).filter("CONNECT_REQ").join('\n')));
    QVERIFY(pair.snd.texts(EventSlot::CallProgress).first().startsWith(
        "dialing +49 (30) 1234-5/6"));
}

void TestComponentCalls::disconnectAtEachStage_data()
{
    QTest::addColumn<bool>("senderDisconnects");
    QTest::addColumn<Stage>("stage");
    QTest::addColumn<bool>("faxGoesThrough");
    QTest::newRow("snd, dialing") << true << Stage::AfterSend << false;
    QTest::newRow("snd, while offered") << true << Stage::Offered << false;
    QTest::newRow("snd, connected") << true << Stage::Connected << false;
    QTest::newRow("snd, in mid-data") << true << Stage::MidData << false;
    QTest::newRow("rcv, while offered") << false << Stage::Offered << false;
    QTest::newRow("rcv, connected") << false << Stage::Connected << false;
    QTest::newRow("rcv, in mid-data") << false << Stage::MidData << false;
    // The whole document came and the fax connection ended normally before the click.
    QTest::newRow("rcv, after the fax connection ended") << false << Stage::FaxEnded << true;
}

namespace {

// Calls `act` once, when the endpoint raises the event that marks the stage.
void armAt(Endpoint &watched, Stage stage, std::function<void()> act)
{
    auto done = std::make_shared<bool>(false);
    watched.onEvent = [=](int slot, QVariantList &params) {
        if (*done)
            return;
        const bool hit =
            (stage == Stage::Offered && slot == int(EventSlot::IncomingFax))
            || (stage == Stage::Connected && slot == int(EventSlot::Connected))
            || (stage == Stage::MidData && slot == int(EventSlot::CallProgress)
                && (params.value(0).toString().startsWith("sending page 2")
                    || params.value(0).toString() == "receiving page 2"))
            || (stage == Stage::FaxEnded && slot == int(EventSlot::Debug)
                && params.value(0).toString().startsWith("<- DISCONNECT_B3_IND"));
        if (hit) {
            *done = true;
            act();
        }
    };
}

} // namespace

void TestComponentCalls::disconnectAtEachStage()
{
    QFETCH(bool, senderDisconnects);
    QFETCH(Stage, stage);
    QFETCH(bool, faxGoesThrough);

    if (stage == Stage::MidData)
        line().setRate(kWatchableRate);
    Pair pair;
    pair.start();
    Endpoint &actor = senderDisconnects ? pair.snd : pair.rcv;
    // Stages are seen on the receiver while offered, otherwise on the side that acts.
    Endpoint &watched = stage == Stage::Offered ? pair.rcv : actor;
    armAt(watched, stage, [&actor] { actor.call(MemberId::Disconnect); });
    QVERIFY(pair.snd.send("6", "6", kSendFile));
    if (stage == Stage::AfterSend)
        actor.call(MemberId::Disconnect);
    QTRY_VERIFY_WITH_TIMEOUT(pair.ended(), kCallTimeout);

    QCOMPARE(pair.snd.count(EventSlot::FaxSent), 1);
    QCOMPARE(pair.snd.faxSentValue(), faxGoesThrough);
    QCOMPARE(pair.snd.count(EventSlot::Disconnected), 1);
    QCOMPARE(pair.rcv.count(EventSlot::Disconnected), pair.rcv.count(EventSlot::IncomingFax));
    QVERIFY2(pair.rcv.has(EventSlot::FaxReceived) == faxGoesThrough,
             qPrintable(storyText(pair.rcv)));
    QVERIFY(actor.texts(EventSlot::CallProgress).contains("disconnecting"));
    // The side that disconnected says so in its end text.
    const QString end = actor.texts(EventSlot::CallProgress).last();
    if (!faxGoesThrough)
        QVERIFY2(end.startsWith("call ended: ") && end.contains("disconnected here"),
                 qPrintable(end));
    if (stage == Stage::MidData) {
        const QByteArray partial = componenttest::readFile(platform::localPath(kReceiveFile));
        QVERIFY(partial.size() < m_document.size());
    }

    // Both endpoints are ready for the next call.
    sendCleanly(pair);
}

void TestComponentCalls::stopCapiInMidCall_data()
{
    QTest::addColumn<bool>("senderStops");
    QTest::addColumn<Stage>("stage");
    QTest::addColumn<bool>("faxGoesThrough");
    QTest::newRow("snd stops") << true << Stage::MidData << false;
    QTest::newRow("rcv stops") << false << Stage::MidData << false;
    QTest::newRow("rcv stops after the fax connection ended") << false << Stage::FaxEnded << true;
}

void TestComponentCalls::stopCapiInMidCall()
{
    QFETCH(bool, senderStops);
    QFETCH(Stage, stage);
    QFETCH(bool, faxGoesThrough);
    line().setRate(kWatchableRate);
    Pair pair;
    pair.start();
    Endpoint &actor = senderStops ? pair.snd : pair.rcv;
    armAt(actor, stage, [&actor] { actor.call(MemberId::StopCapi); });
    QVERIFY(pair.snd.send("6", "6", kSendFile));
    QTRY_VERIFY_WITH_TIMEOUT(pair.ended(), kCallTimeout);

    QCOMPARE(pair.snd.faxSentValue(), faxGoesThrough);
    QCOMPARE(pair.snd.count(EventSlot::Disconnected), 1);
    QCOMPARE(pair.rcv.count(EventSlot::Disconnected), 1);
    QVERIFY2(pair.rcv.has(EventSlot::FaxReceived) == faxGoesThrough,
             qPrintable(storyText(pair.rcv)));
    const QRegularExpression stopped("^call ended: CAPI stopped[;,]");
    QVERIFY(!actor.texts(EventSlot::CallProgress).filter(stopped).isEmpty());
    QCOMPARE(line().applicationCount(), 1);

    // A stopped endpoint sends nothing until it is started again.
    actor.onEvent = nullptr;
    pair.clearEvents();
    if (senderStops) {
        QVERIFY(!pair.snd.send("6", "6", kSendFile));
        QTRY_VERIFY(pair.snd.debugContains("CAPI is not started"));
    }
    QVERIFY(actor.callBool(MemberId::StartCapi));
    if (!senderStops)
        pair.rcv.call(MemberId::Listen);
    line().setRate(0);
    pair.clearEvents();
    QVERIFY(pair.snd.send("6", "6", kSendFile));
    QTRY_VERIFY_WITH_TIMEOUT(pair.ended(), kCallTimeout);
    QVERIFY2(pair.snd.faxSentValue(), qPrintable(storyText(pair.snd)));
}

enum class Refusal {
    NotStarted, Missing, Empty, NotSff, Truncated, Device, Fifo, CallInProgress, NoNumber,
    Letters, OnlySeparators
};
Q_DECLARE_METATYPE(Refusal)

void TestComponentCalls::sendRefused_data()
{
    QTest::addColumn<Refusal>("refusal");
    QTest::addColumn<QString>("why");
    QTest::newRow("before StartCapi") << Refusal::NotStarted << "CAPI is not started";
    QTest::newRow("missing file") << Refusal::Missing << "no such file";
    QTest::newRow("empty file") << Refusal::Empty << "is empty";
    QTest::newRow("not SFF") << Refusal::NotSff << "no valid SFF";
    QTest::newRow("truncated file") << Refusal::Truncated << "truncated";
    // Read for ever, or waited on in open(): refused by type before either.
    QTest::newRow("endless device") << Refusal::Device << "a device, not a regular file";
    QTest::newRow("fifo") << Refusal::Fifo << "a FIFO (named pipe), not a regular file";
    QTest::newRow("call in progress") << Refusal::CallInProgress << "call is in progress";
    QTest::newRow("no number") << Refusal::NoNumber << "no number to call";
    QTest::newRow("letters in the number") << Refusal::Letters << "'x' is not a digit";
    QTest::newRow("only separators") << Refusal::OnlySeparators << "no number to call in";
}

void TestComponentCalls::sendRefused()
{
    QFETCH(Refusal, refusal);
    QFETCH(QString, why);

    Pair pair;
    if (refusal != Refusal::NotStarted) {
        pair.start();
    } else {
        QVERIFY(pair.rcv.callBool(MemberId::StartCapi));
        pair.rcv.call(MemberId::Listen);
        pair.rcv.set(MemberId::ReceiveFileName, kReceiveFile);
    }
    const QString bad = QStringLiteral("C:\\tmp\\bad.sff");
    const QString local = platform::localPath(bad);
    QFile::remove(local);
    QString file = bad;
    QString number = QStringLiteral("6");
    switch (refusal) {
    case Refusal::Empty: componenttest::writeFile(local, {}); break;
    case Refusal::NotSff: componenttest::writeFile(local, "%PDF-1.4 not a fax at all"); break;
    case Refusal::Truncated:
        componenttest::writeFile(local, m_document.left(m_document.size() / 2 + 1));
        break;
    case Refusal::Device: QVERIFY(QFile::link(QStringLiteral("/dev/zero"), local)); break;
    case Refusal::Fifo: QVERIFY(::mkfifo(QFile::encodeName(local).constData(), 0600) == 0); break;
    case Refusal::CallInProgress:
        QVERIFY(pair.snd.send("6", "6", kSendFile));
        file = kSendFile;
        break;
    case Refusal::NoNumber: number.clear(); file = kSendFile; break;
    case Refusal::Letters: number = QStringLiteral("030 12x4"); file = kSendFile; break;
    case Refusal::OnlySeparators: number = QStringLiteral(" - "); file = kSendFile; break;
    case Refusal::NotStarted: file = kSendFile; break;
    case Refusal::Missing: break;
    }
    QVERIFY(!pair.snd.send(number, "6", file));
    QTRY_VERIFY2_WITH_TIMEOUT(pair.snd.debugContains(why),
                              qPrintable(pair.snd.texts(EventSlot::Debug).join('\n')), 10000);

    // Nothing was placed: the one call the receiver sees is a good one sent afterwards.
    if (refusal == Refusal::NotStarted)
        QVERIFY(pair.snd.callBool(MemberId::StartCapi));
    if (refusal != Refusal::CallInProgress)
        QVERIFY(pair.snd.send("6", "6", kSendFile));
    QTRY_VERIFY_WITH_TIMEOUT(pair.ended(), kCallTimeout);
    QVERIFY2(pair.snd.faxSentValue(), qPrintable(storyText(pair.snd)));
    QCOMPARE(pair.rcv.count(EventSlot::IncomingCall), 1);
    QCOMPARE(pair.snd.count(EventSlot::FaxSent), 1);
}

void TestComponentCalls::badLineEndsTheFax()
{
    // The sender checks only the framing: a coded line of page 2 that does not decode goes
    // out, and the receiver, which decodes every line, ends the fax there.
    QByteArray document = m_document;
    const sff::DocumentInfo info = sff::checkData(document);
    QVERIFY(info.pages.size() >= 2);
    qsizetype at = info.pages.at(1).offset + 2 + info.pages.at(1).header.headerLength;
    while (quint8(document.at(at)) > sff::MaxShortLine) // white lines
        ++at;
    document.replace(at + 1, quint8(document.at(at)), QByteArray(quint8(document.at(at)), '\0'));
    QVERIFY(sff::checkData(document, nullptr, sff::ReadDepth::Records).isValid());
    QVERIFY(componenttest::writeFile(platform::localPath(kSendFile), document));

    // G4, whose data the line relays as they are: a G3 controller decodes the document for its
    // T.30 call and refuses it before any page crosses.
    Pair pair;
    pair.start();
    QVERIFY(pair.snd.send("6", "6", kSendFile, true));
    QTRY_VERIFY_WITH_TIMEOUT(pair.ended(), kCallTimeout);
    const QString fault = pair.rcv.texts(EventSlot::Debug).filter("received document").value(0);
    QVERIFY2(fault.contains(": page 2, line "), qPrintable(storyText(pair.rcv)));
    QVERIFY(!pair.rcv.has(EventSlot::FaxReceived));
    QVERIFY2(!pair.snd.faxSentValue(), qPrintable(storyText(pair.snd)));
}

void TestComponentCalls::startStopAndListenRules()
{
    QWidget host;
    Endpoint ep(&host, lineFactory());
    ep.call(MemberId::StopCapi); // harmless before any start
    ep.call(MemberId::Listen);
    QVERIFY(ep.callBool(MemberId::StartCapi));
    QCOMPARE(line().applicationCount(), 1);
    QVERIFY(ep.callBool(MemberId::StartCapi)); // again: True, nothing changes
    QCOMPARE(line().applicationCount(), 1);
    QVERIFY(ep.text(MemberId::CapiDescription).contains("simulated", Qt::CaseInsensitive));
    QVERIFY(!ep.text(MemberId::SerialNumber).isEmpty());
    ep.call(MemberId::StopCapi);
    QCOMPARE(line().applicationCount(), 0);
    QTRY_VERIFY(ep.debugContains("StopCapi: CAPI is not started"));
    QVERIFY(ep.debugContains("Listen: CAPI is not started"));
    QVERIFY(ep.debugContains("already started"));

    // A line without room for another application: False, and the reason.
    QList<quint16> others;
    for (capi::RegisterResult r; (r = line().registerApplication({})).ok();)
        others << r.appId;
    QVERIFY(!others.isEmpty());
    QVERIFY(!ep.callBool(MemberId::StartCapi));
    for (quint16 id : others)
        line().release(id);
    QTRY_VERIFY(ep.debugContains("StartCapi: registration with the line failed"));
    QVERIFY(ep.callBool(MemberId::StartCapi));
    ep.call(MemberId::StopCapi);
}

void TestComponentCalls::startAgainChangesNothing()
{
    // StartCapi given again while started, in mid-call: the call goes on, and the receiving
    // endpoint still listens afterwards without being told to Listen again.
    line().setRate(kWatchableRate);
    Pair pair;
    pair.start();
    int callsWhenStarted = -1;
    armAt(pair.snd, Stage::MidData, [&] {
        callsWhenStarted = line().callCount();
        QVERIFY(pair.snd.callBool(MemberId::StartCapi));
        QVERIFY(pair.rcv.callBool(MemberId::StartCapi));
    });
    QVERIFY(pair.snd.send("6", "6", kSendFile));
    QTRY_VERIFY_WITH_TIMEOUT(pair.ended(), kCallTimeout);
    QCOMPARE(callsWhenStarted, 1);
    QVERIFY2(pair.snd.faxSentValue(), qPrintable(storyText(pair.snd)));
    QVERIFY(pair.rcv.has(EventSlot::FaxReceived));
    QCOMPARE(line().applicationCount(), 2);
    sendCleanly(pair);
}

void TestComponentCalls::incomingCallTypes_data()
{
    QTest::addColumn<int>("cip");
    QTest::addColumn<QString>("type");
    QTest::addColumn<bool>("fax");
    QTest::newRow("telephony") << int(capi::cip::Telephony) << "telephony" << false;
    QTest::newRow("speech") << int(capi::cip::Speech) << "speech" << false;
    QTest::newRow("3.1 kHz audio") << int(capi::cip::Audio3k1) << "3.1 kHz audio" << true;
}

void TestComponentCalls::incomingCallTypes()
{
    QFETCH(int, cip);
    QFETCH(QString, type);
    QFETCH(bool, fax);

    Pair pair;
    pair.start();
    pair.rcv.acceptFax = false;
    line().setNoAnswerTimeout(std::chrono::milliseconds(300));
    // A telephone or an analogue fax machine on the line: a bare CAPI application calling.
    const capi::RegisterResult phone = line().registerApplication({});
    QVERIFY(phone.ok());
    QList<capi::Message> heard;
    QObject context;
    connect(&line(), &capi::Transport::messagesWaiting, &context, [&](quint16 app) {
        while (auto m = line().getMessage(app)) {
            heard << *m;
            if (m->subcommand == capi::Subcommand::Ind)
                line().putMessage(m->response());
        }
    });
    capi::Message call(capi::Command::Connect, capi::Subcommand::Req, phone.appId, 1);
    call.cip = quint16(cip);
    call.calledParty.digits = "6";
    call.callingParty.digits = "0301234";
    QCOMPARE(line().putMessage(call), capi::info::Ok);
    const auto disconnect = [&heard] {
        for (const capi::Message &m : heard)
            if (m.command == capi::Command::Disconnect && m.subcommand == capi::Subcommand::Ind)
                return int(m.reason);
        return -1;
    };
    QTRY_VERIFY_WITH_TIMEOUT(disconnect() >= 0, 10000);
    line().release(phone.appId);
    QVERIFY(std::none_of(heard.begin(), heard.end(), [](const capi::Message &m) {
        return m.command == capi::Command::ConnectActive;
    }));
    QCOMPARE(pair.rcv.first(EventSlot::IncomingCall), (QVariantList{"6", "0301234", type}));
    if (fax) {
        // Analogue fax machines call as 3.1 kHz audio: announced as a fax, refused here.
        QCOMPARE(pair.rcv.first(EventSlot::IncomingFax), (QVariantList{"6", "0301234"}));
        QCOMPARE(disconnect(), int(capi::reason::CallRejected));
    } else {
        // Phone calls ring on until the line gives up: nobody answers them.
        QCOMPARE(pair.rcv.story(), (QList<int>{int(EventSlot::IncomingCall),
                                               int(EventSlot::IncomingPhoneCall)}));
        QCOMPARE(pair.rcv.first(EventSlot::IncomingPhoneCall), (QVariantList{"6", "0301234"}));
        QCOMPARE(disconnect(), int(capi::reason::NoAnswer));
    }
}

void TestComponentCalls::statusWindowFollowsTheCall()
{
    line().setRate(kWatchableRate);
    Pair pair;
    pair.start();
    pair.rcv.set(MemberId::ShowProgressForm, true);
    QWidget *window = nullptr;
    for (QWidget *w : QApplication::topLevelWidgets())
        if (w->objectName() == QLatin1String("quillonStatusWindow") && w->isVisible())
            window = w;
    QVERIFY(window);
    auto label = [window](const char *name) {
        return window->findChild<QLabel *>(QLatin1String(name))->text();
    };
    QTRY_VERIFY(label("stateLabel").startsWith("listening"));
    QString seenPage;
    QString seenState;
    QString seenTime;
    pair.rcv.onEvent = [&](int slot, QVariantList &params) {
        if (slot == int(EventSlot::CallProgress) && params.value(0) == "receiving page 2") {
            seenPage = label("pageLabel");
            seenState = label("stateLabel");
            seenTime = label("timeLabel");
            QVERIFY(!window->findChild<QLabel *>("pagePicture")->pixmap().isNull());
        }
    };
    QVERIFY(pair.snd.send("6", "6", kSendFile));
    QTRY_VERIFY_WITH_TIMEOUT(pair.ended(), kCallTimeout);
    QVERIFY2(seenPage.startsWith("page 2"), qPrintable(seenPage));
    QVERIFY2(seenState.startsWith("receiving"), qPrintable(seenState));
    // The elapsed time and the time per page: while page 2 comes, page 1's time and page 2's
    // so far; at the end each of the three pages, together within the call's time.
    static const QRegularExpression during(QStringLiteral("^[0-9.]+ s in all; page [0-9.]+ s; page 2 for [0-9.]+ s$"));
    QVERIFY2(during.match(seenTime).hasMatch(), qPrintable(seenTime));
    static const QRegularExpression after(
        QStringLiteral("^([0-9.]+) s in all; pages ([0-9.]+) s, ([0-9.]+) s, ([0-9.]+) s$"));
    const QRegularExpressionMatch times = after.match(label("timeLabel"));
    QVERIFY2(times.hasMatch(), qPrintable(label("timeLabel")));
    const double pagesTime = times.captured(2).toDouble() + times.captured(3).toDouble()
                             + times.captured(4).toDouble();
    QVERIFY2(pagesTime <= times.captured(1).toDouble() + 0.15, qPrintable(label("timeLabel")));
    QTest::qWait(1100); // an ended call's time stands still
    QCOMPARE(label("timeLabel"), times.captured(0));
    QVERIFY2(label("numbersLabel").contains("6"), qPrintable(label("numbersLabel")));
    QVERIFY2(label("reasonLabel").contains("normal"), qPrintable(label("reasonLabel")));
    // The bytes received: the pages as the receiving controller coded them.
    const qint64 received = componenttest::readFile(platform::localPath(kReceiveFile)).size();
    QVERIFY2(label("bytesLabel").startsWith(QLocale::c().toString(received)),
             qPrintable(label("bytesLabel")));
    QVERIFY2(label("rateLabel").endsWith(" bit/s"), qPrintable(label("rateLabel")));
    // Without a title bar the window still says whose it is.
    QVERIFY2(label("titleLabel").contains("receiving endpoint"), qPrintable(label("titleLabel")));
    // The picture ends as the last page came, every line of it.
    auto *picture = window->findChild<QLabel *>("pagePicture");
    const QImage lastPage = quillon::component::pagePicture(
        {componenttest::pagesOf(componenttest::readFile(platform::localPath(kReceiveFile))).last(),
         true},
        picture->contentsRect().size());
    const auto shown = [picture] {
        return picture->pixmap().toImage().convertToFormat(QImage::Format_Grayscale8);
    };
    QTRY_VERIFY(shown() == lastPage.convertToFormat(QImage::Format_Grayscale8));

    // During the next call, the last reason is not the previous call's.
    QString reasonDuringCall;
    pair.rcv.onEvent = [&](int slot, QVariantList &params) {
        if (slot == int(EventSlot::CallProgress) && params.value(0) == "receiving page 2")
            reasonDuringCall = label("reasonLabel");
    };
    pair.clearEvents();
    QVERIFY(pair.snd.send("6", "6", kSendFile));
    QTRY_VERIFY_WITH_TIMEOUT(pair.ended(), kCallTimeout);
    QCOMPARE(reasonDuringCall, "-");
    pair.rcv.set(MemberId::ShowProgressForm, false);
    QVERIFY(!window->isVisible());
}

void TestComponentCalls::impairedTestNumbers_data()
{
    QTest::addColumn<QString>("number"); // a built-in test number, or a plan rule for "6"
    QTest::addColumn<bool>("fine");
    QTest::addColumn<int>("pages");
    QTest::addColumn<bool>("sent");
    QTest::addColumn<QString>("senderEnd");   // in the sender's last progress text
    QTest::addColumn<QString>("receiverEnd"); // in the receiver's
    QTest::addColumn<int>("lineRate");        // the rate the line's modems ended at; -1 below 14400
    QTest::addColumn<bool>("intact");         // a sent fax arrives with every row as sent
    // Short gaps all through the first training keep the carrier but spoil the TCF: the
    // receiver answers FTT and the modems fall back one rate.
    QString spoiled;
    for (int at = 100; at < 3600; at += 250)
        spoiled += QStringLiteral(" dropout 4 training1+%1").arg(at);
    QTest::newRow("997 noisy line: a lower rate, the fax completes")
        << "997" << false << 1 << true << "normal (0x0000)" << "normal" << -1 << false;
    // The sender's T.30 ends with a bad response (0x3315), the receiver's with a DCN (0x3314).
    QTest::newRow("998 drop-out in page 1: the call fails")
        << "998" << false << 1 << false << "(0x3315)" << "(0x3314)" << 14400 << true;
    QTest::newRow("V.27ter 2400, ECM, fine") << "modems v27ter" + spoiled << true << 1 << true << "normal" << "normal" << 2400 << true;
    QTest::newRow("V.27ter 4800, no ECM, standard") << "modems v27ter no-ecm" << false << 2 << true << "normal" << "normal" << 4800 << true;
    QTest::newRow("V.29 7200, no ECM, fine") << "modems v29 no-ecm" + spoiled << true << 1 << true << "normal" << "normal" << 7200 << true;
    QTest::newRow("V.29 9600, ECM, standard") << "modems v29" << false << 1 << true << "normal" << "normal" << 9600 << true;
    QTest::newRow("V.17 12000, ECM, fine, 2 pages") << "modems v17" + spoiled << true << 2 << true << "normal" << "normal" << 12000 << true;
}

// The built-in test numbers with an impaired line, and far faxes limited to a modem, dialled
// from the console's endpoint.
void TestComponentCalls::impairedTestNumbers()
{
    QFETCH(QString, number);
    QFETCH(bool, fine);
    QFETCH(int, pages);
    QFETCH(bool, sent);
    QFETCH(QString, senderEnd);
    QFETCH(QString, receiverEnd);
    QFETCH(int, lineRate);
    QFETCH(bool, intact);
    const QByteArray document = componenttest::testDocument(
        pages, fine ? sff::Resolution::Fine : sff::Resolution::Standard);
    QVERIFY(componenttest::writeFile(platform::localPath(kSendFile), document));
    const bool testNumber = number.startsWith(QLatin1String("99"));
    QString error;
    const auto plan = simline::parseNumberPlan(testNumber ? QString() : "6 " + number,
                                               simline::builtInNumberPlan(), &error);
    QVERIFY2(plan, qPrintable(error));
    line().setFaultPlan(*plan);
    Pair pair;
    pair.start();
    QVERIFY(pair.snd.send(testNumber ? number : QStringLiteral("6"), "6", kSendFile));
    QTRY_VERIFY_WITH_TIMEOUT(pair.ended() && pair.rcv.has(EventSlot::Disconnected), kCallTimeout);
    QCOMPARE(pair.snd.faxSentValue(), sent);
    QCOMPARE(pair.rcv.has(EventSlot::FaxReceived), sent);
    const QString sendEnd = pair.snd.texts(EventSlot::CallProgress).last();
    const QString receiveEnd = pair.rcv.texts(EventSlot::CallProgress).last();
    QVERIFY2(sendEnd.contains(senderEnd), qPrintable(sendEnd));
    // A sender only says so once T.30 had every page confirmed.
    QCOMPARE(pair.snd.texts(EventSlot::CallProgress).contains("all pages sent, disconnecting"), sent);
    QVERIFY2(receiveEnd.contains(receiverEnd), qPrintable(receiveEnd));
    const QList<simline::CallInfo> calls = line().recentCalls();
    QVERIFY(!calls.isEmpty());
    const int rate = calls.last().rate;
    QVERIFY2(lineRate < 0 ? rate > 0 && rate < 14400 : rate == lineRate, qPrintable(QString::number(rate)));
    // Both sides learn that rate when the fax connection comes up, before any page.
    for (const Endpoint *e : {&pair.snd, &pair.rcv}) {
        const QString connected = e->texts(EventSlot::Connected).value(0);
        QVERIFY2(connected.startsWith(QStringLiteral("%1 bit/s, ").arg(rate)),
                 qPrintable(connected + " / line rate " + QString::number(rate)));
    }
    QString why;
    const QByteArray received = componenttest::readFile(platform::localPath(kReceiveFile));
    if (sent && intact)
        QVERIFY2(faxtest::samePagesBelowHeadLine(document, received, &why), qPrintable(why));
    else if (sent) // without ECM the noise damages rows, but every page arrives
        QCOMPARE(componenttest::pagesOf(received).size(), pages);
}

void TestComponentCalls::eventsKeepUpWithAnUnpacedLine()
{
    // Events that fell behind the line would pile up for the length of the fax: every page
    // must be announced while its call is still on the line.
    const QByteArray document = componenttest::testDocument(20, sff::Resolution::Standard, 300);
    QVERIFY(componenttest::writeFile(platform::localPath(kSendFile), document));
    Pair pair;
    pair.start();
    QList<int> callsWhenAnnounced;
    pair.rcv.onEvent = [&](int slot, QVariantList &params) {
        if (slot == int(EventSlot::CallProgress)
            && params.value(0).toString().startsWith("receiving page"))
            callsWhenAnnounced << line().callCount();
    };
    QVERIFY(pair.snd.send("6", "6", kSendFile));
    QTRY_VERIFY_WITH_TIMEOUT(pair.ended(), kCallTimeout);
    QVERIFY(pair.snd.faxSentValue());
    QCOMPARE(callsWhenAnnounced, QList<int>(20, 1));
}

QUILLON_TEST_MAIN(TestComponentCalls)
#include "tst_componentcalls.moc"
