#include "simline/simulatedline.h"

#include "simline/numberplan.h"

#include "simline/linepeer.h"
#include "simline/sffsample.h"
#include "common/testenv.h"
#include "t30/call.h"
#include "t30/faxpages.h"

#include <QSet>
#include <QSignalSpy>
#include <QThread>

#include <algorithm>
#include <atomic>

using namespace capi;
using simline::SimulatedLine;

Q_DECLARE_METATYPE(capi::Message)
Q_DECLARE_METATYPE(simline::FarEnd)

namespace {

constexpr int kWaitMs = 10000;
const QDateTime kHeadLineTime(QDate(2026, 3, 2), QTime(9, 41));

// Lets every posted message and notification run until the line is quiet.
void settle()
{
    for (int i = 0; i < 50; ++i)
        QCoreApplication::processEvents();
}

QStringList seq(std::initializer_list<const char *> names)
{
    QStringList out;
    for (const char *n : names)
        out << QString::fromLatin1(n);
    return out;
}

const QStringList kCallerSends = seq({"-> CONNECT_REQ", "<- CONNECT_CONF", "<- CONNECT_ACTIVE_IND",
    "-> CONNECT_ACTIVE_RESP", "-> CONNECT_B3_REQ", "<- CONNECT_B3_CONF", "<- CONNECT_B3_ACTIVE_IND",
    "-> CONNECT_B3_ACTIVE_RESP", "-> DISCONNECT_B3_REQ", "<- DISCONNECT_B3_CONF",
    "<- DISCONNECT_B3_IND", "-> DISCONNECT_B3_RESP", "-> DISCONNECT_REQ", "<- DISCONNECT_CONF",
    "<- DISCONNECT_IND", "-> DISCONNECT_RESP"});
const QStringList kCalleeReceives = seq({"<- CONNECT_IND", "-> CONNECT_RESP",
    "<- CONNECT_ACTIVE_IND", "-> CONNECT_ACTIVE_RESP", "<- CONNECT_B3_IND", "-> CONNECT_B3_RESP",
    "<- CONNECT_B3_ACTIVE_IND", "-> CONNECT_B3_ACTIVE_RESP", "<- DISCONNECT_B3_IND",
    "-> DISCONNECT_B3_RESP", "<- DISCONNECT_IND", "-> DISCONNECT_RESP"});
const QStringList kCallerReceives = seq({"-> CONNECT_REQ", "<- CONNECT_CONF",
    "<- CONNECT_ACTIVE_IND", "-> CONNECT_ACTIVE_RESP", "-> CONNECT_B3_REQ", "<- CONNECT_B3_CONF",
    "<- CONNECT_B3_ACTIVE_IND", "-> CONNECT_B3_ACTIVE_RESP", "<- DISCONNECT_B3_IND",
    "-> DISCONNECT_B3_RESP", "<- DISCONNECT_IND", "-> DISCONNECT_RESP"});
const QStringList kCalleeSends = seq({"<- CONNECT_IND", "-> CONNECT_RESP", "<- CONNECT_ACTIVE_IND",
    "-> CONNECT_ACTIVE_RESP", "<- CONNECT_B3_IND", "-> CONNECT_B3_RESP", "<- CONNECT_B3_ACTIVE_IND",
    "-> CONNECT_B3_ACTIVE_RESP", "-> DISCONNECT_B3_REQ", "<- DISCONNECT_B3_CONF",
    "<- DISCONNECT_B3_IND", "-> DISCONNECT_B3_RESP", "-> DISCONNECT_REQ", "<- DISCONNECT_CONF",
    "<- DISCONNECT_IND", "-> DISCONNECT_RESP"});

// Listens and forgets the LISTEN exchange, so logs start with the call.
void listenQuietly(LinePeer &p, quint32 cipMask, quint32 infoMask = 0)
{
    p.listen(cipMask, infoMask);
    QVERIFY(QTest::qWaitFor([&] { return p.count(Command::Listen, Subcommand::Conf) == 1; }, kWaitMs));
    QCOMPARE(p.last(Command::Listen, Subcommand::Conf).info, info::Ok);
    p.log.clear();
}

const quint32 kFaxMask = cip::maskBit(cip::FaxG3);

int reasonOf(const LinePeer &p, Command c)
{
    if (p.count(c, Subcommand::Ind) == 0)
        return -1;
    return p.last(c, Subcommand::Ind).reason;
}

// As a fax application does: after a failed B3 connection, it clears the call.
bool clearAfterFailedB3(LinePeer &p, const Message &m)
{
    if (m.command != Command::DisconnectB3 || m.subcommand != Subcommand::Ind || !m.reason)
        return false;
    p.put(m.response());
    if (p.count(Command::Disconnect, Subcommand::Ind) == 0)
        p.disconnect();
    return true;
}

enum State { Dialing, Alerting, Connected, B3Up, MidData };
enum Cut { CallerClears, CallerEndsB3Again, CalleeClears, CalleeEndsB3, LineDrops, Undecodable };

} // namespace

class TestSimulatedLine : public QObject
{
    Q_OBJECT

private slots:
    // Every test works on a fresh line of its own, its fax calls (T.30) unpaced, with a fixed
    // head-line time so that the pages, and with them calls on noisy lines, repeat.
    void init()
    {
        m_line = std::make_unique<SimulatedLine>();
        m_line->setSpeed(0);
        m_line->setHeadLineTime(kHeadLineTime);
    }

    void cleanup()
    {
        settle();
        QCOMPARE(m_line->callCount(), 0);
        QCOMPARE(m_line->applicationCount(), 0);
        m_line.reset();
    }

    void identitySaysSimulated()
    {
        SimulatedLine &line = *m_line;
        QVERIFY(line.isInstalled());
        QVERIFY(line.manufacturer(1).contains(QStringLiteral("simulated")));
        QVERIFY(line.version(1).text.contains(QStringLiteral("simulated")));
        QCOMPARE(line.version(1).capiMajor, 2u);
        QVERIFY(line.serialNumber(1).contains(QStringLiteral("SIMULATED")));
        const Profile p = line.profile(1);
        QCOMPARE(p.controllers, quint16(1));
        QCOMPARE(p.bChannels, quint16(2));
        QVERIFY(p.b3Protocols & (1u << bproto::B3T30));
        QVERIFY(p.manufacturerSpecific.contains("SIMULATED"));
        QCOMPARE(line.profile(2).controllers, quint16(0));
        QVERIFY(line.manufacturer(2).isEmpty());
    }

    void registration_data()
    {
        QTest::addColumn<quint32>("connections");
        QTest::addColumn<quint32>("blocks");
        QTest::addColumn<quint32>("blockLength");
        QTest::addColumn<int>("expected");
        QTest::newRow("fax application") << 1u << 7u << 2048u << int(info::Ok);
        QTest::newRow("block length under 128") << 1u << 7u << 100u << int(info::BlockSizeTooSmall);
        QTest::newRow("no connections") << 0u << 7u << 2048u << int(info::MaxConnectionsNotSupported);
        QTest::newRow("no data blocks") << 1u << 0u << 2048u << int(info::BufferExceeds64k);
        QTest::newRow("block over 64k") << 1u << 7u << 70000u << int(info::BufferExceeds64k);
    }
    void registration()
    {
        QFETCH(quint32, connections);
        QFETCH(quint32, blocks);
        QFETCH(quint32, blockLength);
        QFETCH(int, expected);
        SimulatedLine &line = *m_line;
        const RegisterResult r = line.registerApplication({connections, blocks, blockLength});
        QCOMPARE(int(r.info), expected);
        QCOMPARE(r.appId != 0, expected == info::Ok);
        if (r.appId) {
            QCOMPARE(line.release(r.appId), info::Ok);
            QCOMPARE(line.release(r.appId), info::IllegalApplication);
        }
    }

    // Nothing is delivered from inside a put: the answer waits for the event loop.
    void deliveryIsQueued()
    {
        SimulatedLine &line = *m_line;
        const quint16 app = line.registerApplication({}).appId;
        QSignalSpy spy(&line, &Transport::messagesWaiting);
        Message listen(Command::Listen, Subcommand::Req, app, 1);
        QCOMPARE(line.putMessage(listen), info::Ok);
        QCOMPARE(spy.count(), 0);
        QVERIFY(!line.getMessage(app));
        QVERIFY(spy.wait(kWaitMs));
        QCOMPARE(spy.first().first().value<quint16>(), app);
        const auto conf = line.getMessage(app);
        QVERIFY(conf);
        QCOMPARE(conf->command, Command::Listen);
        QCOMPARE(conf->subcommand, Subcommand::Conf);
        QVERIFY(!line.getMessage(app));
        line.release(app);
    }

    // An application registered in another thread hears of its messages in that thread.
    void deliveryInRegisteringThread()
    {
        SimulatedLine &line = *m_line;
        QThread worker;
        worker.start();
        QObject inWorker;
        inWorker.moveToThread(&worker);
        std::atomic<quint16> app{0};
        std::atomic<QThread *> notifiedIn{nullptr};
        std::atomic<bool> gotConf{false};
        QMetaObject::invokeMethod(&inWorker, [&] {
            const quint16 id = line.registerApplication({}).appId;
            connect(&line, &Transport::messagesWaiting, &inWorker, [&, id](quint16 a) {
                if (a != id)
                    return;
                notifiedIn = QThread::currentThread();
                while (auto m = line.getMessage(id))
                    gotConf = m->command == Command::Listen && m->subcommand == Subcommand::Conf;
            });
            app = id;
            line.putMessage(Message(Command::Listen, Subcommand::Req, id, 1));
        }, Qt::BlockingQueuedConnection);
        QVERIFY(QTest::qWaitFor([&] { return gotConf.load(); }, kWaitMs));
        QCOMPARE(notifiedIn.load(), &worker);
        line.release(app);
        worker.quit();
        worker.wait();
    }

    void putRefusals()
    {
        SimulatedLine &line = *m_line;
        const quint16 app = line.registerApplication({}).appId;
        QCOMPARE(line.putMessage(Message(Command::Listen, Subcommand::Req, quint16(app + 1), 1)),
                 info::IllegalApplication);
        QCOMPARE(line.putMessage(Message(Command::Listen, Subcommand::Conf, app, 1)),
                 info::IllegalCommand);
        QCOMPARE(line.putMessage(Message(Command::ConnectActive, Subcommand::Req, app, 1)),
                 info::IllegalCommand);
        line.release(app);
    }

    void confirmationInfo_data()
    {
        QTest::addColumn<Message>("request");
        QTest::addColumn<int>("expected");
        auto connectWith = [](quint32 controller, std::optional<BProtocol> b, quint16 cipValue = 17) {
            Message m(Command::Connect, Subcommand::Req, 0, controller);
            m.cip = cipValue;
            m.calledParty.digits = QStringLiteral("6");
            m.bProtocol = std::move(b);
            return m;
        };
        BProtocol t30WithTransparentB3 = BProtocol::faxG3({});
        t30WithTransparentB3.b3 = bproto::B3Transparent;
        BProtocol unknownB3 = BProtocol::faxG4(7);
        BProtocol badFaxConfig = BProtocol::faxG3({});
        badFaxConfig.b3Configuration = QByteArray("\x01", 1);
        QTest::newRow("LISTEN on controller 2") << Message(Command::Listen, Subcommand::Req, 0, 2)
                                                << int(info::IllegalIdentifier);
        QTest::newRow("CONNECT on controller 2") << connectWith(2, std::nullopt) << int(info::IllegalIdentifier);
        QTest::newRow("T.30 B1/B2 with transparent B3") << connectWith(1, t30WithTransparentB3)
                                                        << int(info::BProtocolCombinationNotSupported);
        QTest::newRow("unknown B3") << connectWith(1, unknownB3) << int(info::B3NotSupported);
        QTest::newRow("bad fax B3 configuration") << connectWith(1, badFaxConfig)
                                                  << int(info::B3ParameterNotSupported);
        QTest::newRow("unknown CIP") << connectWith(1, std::nullopt, 40) << int(info::CipUnknown);
        QTest::newRow("ALERT unknown PLCI") << Message(Command::Alert, Subcommand::Req, 0, 0x0701)
                                            << int(info::IllegalIdentifier);
        QTest::newRow("DISCONNECT unknown PLCI")
            << Message(Command::Disconnect, Subcommand::Req, 0, 0x0701) << int(info::IllegalIdentifier);
        QTest::newRow("CONNECT_B3 unknown PLCI")
            << Message(Command::ConnectB3, Subcommand::Req, 0, 0x0701) << int(info::IllegalIdentifier);
        QTest::newRow("DATA_B3 unknown NCCI")
            << Message::dataB3Req(0, 0x00010701, QByteArray(10, 'x'), 1) << int(info::IllegalIdentifier);
        QTest::newRow("DISCONNECT_B3 unknown NCCI")
            << Message(Command::DisconnectB3, Subcommand::Req, 0, 0x00010701) << int(info::IllegalIdentifier);
        QTest::newRow("FACILITY") << Message(Command::Facility, Subcommand::Req, 0, 1)
                                  << int(info::FacilityNotSupported);
    }
    void confirmationInfo()
    {
        QFETCH(Message, request);
        QFETCH(int, expected);
        LinePeer p(*m_line);
        QCOMPARE(p.put(request), info::Ok);
        QVERIFY(QTest::qWaitFor([&] { return p.count(request.command, Subcommand::Conf) == 1; }, kWaitMs));
        const Message conf = p.last(request.command, Subcommand::Conf);
        QCOMPARE(int(conf.info), expected);
        QCOMPARE(conf.number, quint16(1));
        if (request.command == Command::DataB3)
            QCOMPARE(conf.dataHandle, request.dataHandle);
    }

    void g3Call_data()
    {
        QTest::addColumn<bool>("callerSends");
        QTest::addColumn<int>("pages");
        QTest::addColumn<quint32>("receiverBlockLength");
        QTest::addColumn<bool>("everyRecord");
        QTest::addColumn<bool>("relayed"); // B3 protocol 5: the bytes as they are; else T.30
        QTest::newRow("caller sends") << true << 3 << 2048u << false << false;
        QTest::newRow("answerer sends") << false << 2 << 2048u << false << false;
        QTest::newRow("receiver takes smaller blocks") << true << 1 << 512u << false << false;
        QTest::newRow("one page") << true << 1 << 2048u << false << false;
        QTest::newRow("relayed, caller sends") << true << 3 << 2048u << false << true;
        QTest::newRow("relayed, answerer sends") << false << 2 << 2048u << false << true;
        QTest::newRow("relayed, receiver takes smaller blocks") << true << 1 << 512u << false << true;
        QTest::newRow("relayed, records of every kind") << true << 5 << 2048u << true << true;
    }
    void g3Call()
    {
        QFETCH(bool, callerSends);
        QFETCH(int, pages);
        QFETCH(quint32, receiverBlockLength);
        QFETCH(bool, everyRecord);
        QFETCH(bool, relayed);
        Registration small;
        small.maxBlockLength = receiverBlockLength;
        const Registration normal;
        LinePeer caller(*m_line, callerSends ? normal : small);
        LinePeer callee(*m_line, callerSends ? small : normal);
        const FaxB3Configuration callerConfig{1, 0, QStringLiteral("+49 CALLER"), QStringLiteral("Fax test")};
        const FaxB3Configuration calleeConfig{0, 0, QStringLiteral("+49 CALLEE"), {}};
        caller.bProtocol = relayed ? relayedFax(callerConfig) : BProtocol::faxG3(callerConfig);
        callee.bProtocol = relayed ? relayedFax(calleeConfig) : BProtocol::faxG3(calleeConfig);
        LinePeer &sender = callerSends ? caller : callee;
        LinePeer &receiver = callerSends ? callee : caller;
        sender.payload = sffSample(pages, 200, true, everyRecord);
        const quint64 copiesBefore = m_line->statistics().blockCopies;
        listenQuietly(callee, kFaxMask);

        caller.call(QStringLiteral("6"));
        QVERIFY(QTest::qWaitFor([&] { return caller.disconnected && callee.disconnected; }, kWaitMs));

        QCOMPARE(caller.log, callerSends ? kCallerSends : kCallerReceives);
        QCOMPARE(callee.log, callerSends ? kCalleeReceives : kCalleeSends);
        // Each controller reports its own side of the handshake; a relayed call has none.
        if (!relayed) {
            const auto at = [](const QStringList &reports, const QString &start) {
                for (qsizetype i = 0; i < reports.size(); ++i)
                    if (reports[i].startsWith(start))
                        return i;
                return qsizetype(-1);
            };
            const QStringList &tx = sender.frameReports, &rx = receiver.frameReports;
            QVERIFY2(at(tx, "T.30: <- DIS: ") >= 0 && at(tx, "T.30: <- DIS: ") < at(tx, "T.30: -> DCS: ")
                         && at(tx, "T.30: -> DCS: ") < at(tx, "T.30: <- CFR")
                         && at(tx, "T.30: <- CFR") < at(tx, "T.30: <- MCF"),
                     qPrintable(tx.join('|')));
            QVERIFY2(at(rx, "T.30: -> DIS: ") >= 0 && at(rx, "T.30: -> DIS: ") < at(rx, "T.30: <- DCS: ")
                         && at(rx, "T.30: -> CFR") < at(rx, "T.30: -> MCF"),
                     qPrintable(rx.join('|')));
        } else {
            QVERIFY(sender.frameReports.isEmpty() && receiver.frameReports.isEmpty());
        }
        QString why;
        if (relayed)
            QCOMPARE(receiver.data, sender.payload);
        else
            QVERIFY2(faxtest::samePagesBelowHeadLine(sender.payload, receiver.data, &why), qPrintable(why));
        const int blocks = int(sender.sentBlocks.size());
        QCOMPARE(sender.dataReqs, blocks);
        QCOMPARE(sender.dataConfs, blocks);
        QCOMPARE(receiver.dataInds, receiver.dataResps);
        QVERIFY(receiver.dataInds >= (relayed ? blocks : 1));

        const Message offer = callee.last(Command::Connect, Subcommand::Ind);
        QCOMPARE(offer.cip, cip::FaxG3);
        QCOMPARE(offer.calledParty.digits, QStringLiteral("6"));
        QCOMPARE(offer.callingParty.digits, QStringLiteral("6"));
        QCOMPARE(caller.last(Command::ConnectActive, Subcommand::Ind).connectedNumber.digits,
                 QStringLiteral("6"));

        // Both sides learn the pages, the rate and the other's station id.
        for (LinePeer *side : {&caller, &callee}) {
            const Message end = side->last(Command::DisconnectB3, Subcommand::Ind);
            QCOMPARE(end.reason, reason::Normal);
            const auto ncpi = FaxNcpi::fromBytes(end.ncpi);
            QVERIFY(ncpi);
            QCOMPARE(int(ncpi->pages), pages);
            QCOMPARE(ncpi->rate, quint16(14400));
            // Relayed: the caller's high resolution; T.30: the one the document was sent at.
            QCOMPARE(ncpi->resolution, quint16(relayed ? 1 : 0));
            QCOMPARE(ncpi->remoteStationId, side == &caller ? QStringLiteral("+49 CALLEE")
                                                           : QStringLiteral("+49 CALLER"));
            const auto active = FaxNcpi::fromBytes(side->last(Command::ConnectB3Active, Subcommand::Ind).ncpi);
            QVERIFY(active);
            QCOMPARE(active->pages, quint16(0));
        }
        QCOMPARE(sender.last(Command::Disconnect, Subcommand::Ind).reason, reason::Normal);
        QCOMPARE(receiver.last(Command::Disconnect, Subcommand::Ind).reason, reason::NormalClearing);

        // A block the receiver can take whole reaches it without a copy.
        const quint64 copies = m_line->statistics().blockCopies - copiesBefore;
        if (!relayed) {
            QCOMPARE(copies, 0u);
            for (const Message &m : receiver.received) {
                if (m.command == Command::DataB3 && m.subcommand == Subcommand::Ind)
                    QVERIFY(m.dataLength <= receiverBlockLength);
            }
        } else if (receiverBlockLength >= 2048) {
            QCOMPARE(copies, 0u);
            int i = 0;
            for (const Message &m : receiver.received) {
                if (m.command == Command::DataB3 && m.subcommand == Subcommand::Ind)
                    QCOMPARE(m.data.constData(), sender.sentBlocks.at(i++).constData());
            }
        } else {
            QVERIFY(copies > 0);
            const Message firstInd = [&] {
                for (const Message &m : receiver.received) {
                    if (m.command == Command::DataB3 && m.subcommand == Subcommand::Ind)
                        return m;
                }
                return Message();
            }();
            QCOMPARE(firstInd.dataLength, quint16(512));
            QCOMPARE(firstInd.flags & 0x0002, 0x0002); // more data follows
        }
    }

    // A T.30 call that does not come to its end: cut by either side or the line while it runs,
    // or refused by the sending controller. The receiver keeps the pages that came.
    void t30CallCutShort_data()
    {
        QTest::addColumn<int>("cut");
        QTest::addColumn<int>("callerB3Reason");
        QTest::addColumn<int>("calleeB3Reason");
        QTest::addColumn<bool>("pagesCome"); // the receiver has at least one page
        const int abort = int(reason::FaxRemoteAbort);
        QTest::newRow("caller clears") << int(CallerClears) << 0 << abort << true;
        QTest::newRow("caller ends B3 a second time") << int(CallerEndsB3Again) << 0 << abort << true;
        QTest::newRow("answerer clears") << int(CalleeClears) << abort << 0 << true;
        QTest::newRow("answerer ends B3") << int(CalleeEndsB3) << abort << 0 << true;
        QTest::newRow("line drops in page 2") << int(LineDrops) << int(reason::Layer1Error)
                                              << int(reason::Layer1Error) << true;
        // A coded line that does not decode: the sending controller cannot read its document.
        QTest::newRow("undecodable line") << int(Undecodable) << int(reason::FaxLocalTransmitUnderrun)
                                          << abort << false;
    }
    void t30CallCutShort()
    {
        QFETCH(int, cut);
        QFETCH(int, callerB3Reason);
        QFETCH(int, calleeB3Reason);
        QFETCH(bool, pagesCome);
        if (cut == LineDrops)
            m_line->setRule(QStringLiteral("6"), simline::FarEnd::dropAfterPages(1));
        LinePeer caller(*m_line), callee(*m_line);
        caller.payload = cut == Undecodable ? sffSample(2, 200, true, true) : sffSample(20);
        // At the first page received the T.30 call still has pages to go.
        callee.hook = [&](LinePeer &p, const Message &m) {
            if (m.command != Command::DataB3 || m.subcommand != Subcommand::Ind || p.dataInds != 1)
                return false;
            switch (Cut(cut)) {
            case CallerClears: caller.disconnect(); break;
            case CallerEndsB3Again: caller.disconnectB3(); break;
            case CalleeClears: callee.disconnect(); break;
            case CalleeEndsB3: callee.disconnectB3(); break;
            case LineDrops:
            case Undecodable: break;
            }
            return false;
        };
        caller.hook = clearAfterFailedB3;
        listenQuietly(callee, kFaxMask);
        caller.call(QStringLiteral("6"));
        QVERIFY(QTest::qWaitFor([&] { return caller.disconnected && callee.disconnected; }, kWaitMs));
        QCOMPARE(reasonOf(caller, Command::DisconnectB3), callerB3Reason);
        QCOMPARE(reasonOf(callee, Command::DisconnectB3), calleeB3Reason);
        QString why;
        QVERIFY2(faxtest::samePagesBelowHeadLine(caller.payload, callee.data, &why, false), qPrintable(why));
        const int pages = int(faxtest::rowsOfDocument(callee.data).pages.size());
        QVERIFY2(pagesCome ? pages >= 1 && pages < 20 : pages == 0, qPrintable(QString::number(pages)));
    }

    void g4Call_data()
    {
        QTest::addColumn<quint16>("b3");
        QTest::newRow("transparent B3") << bproto::B3Transparent;
        QTest::newRow("T.90NL B3") << bproto::B3T90NL;
    }
    void g4Call()
    {
        QFETCH(quint16, b3);
        LinePeer caller(*m_line), callee(*m_line), g3Only(*m_line);
        caller.bProtocol = callee.bProtocol = BProtocol::faxG4(b3);
        caller.payload = QByteArray(10000, '\0');
        for (int i = 0; i < caller.payload.size(); ++i)
            caller.payload[i] = char(i * 7 + i / 251);
        listenQuietly(callee, cip::maskBit(cip::FaxG4));
        listenQuietly(g3Only, kFaxMask);

        caller.call(QStringLiteral("6"), cip::FaxG4);
        QVERIFY(QTest::qWaitFor([&] { return caller.disconnected && callee.disconnected; }, kWaitMs));
        QCOMPARE(caller.log, kCallerSends);
        QCOMPARE(callee.log, kCalleeReceives);
        QCOMPARE(callee.data, caller.payload);
        QCOMPARE(callee.last(Command::Connect, Subcommand::Ind).cip, cip::FaxG4);
        QVERIFY(g3Only.received.size() == 1); // its LISTEN_CONF only: the G4 call is not for it
        for (LinePeer *side : {&caller, &callee}) {
            QCOMPARE(side->last(Command::DisconnectB3, Subcommand::Ind).reason, reason::Normal);
            QVERIFY(side->last(Command::DisconnectB3, Subcommand::Ind).ncpi.isEmpty());
        }
    }

    // A listener that also calls is offered its own call; the other listener answers it.
    void callerIsOfferedItsCall_data()
    {
        QTest::addColumn<bool>("callerIgnores");
        QTest::addColumn<int>("callerOfferReason");
        QTest::newRow("caller leaves its offer ringing") << false << int(reason::AnotherApplicationGotCall);
        QTest::newRow("caller ignores its offer") << true << int(reason::Normal);
    }
    void callerIsOfferedItsCall()
    {
        QFETCH(bool, callerIgnores);
        QFETCH(int, callerOfferReason);
        LinePeer caller(*m_line), callee(*m_line);
        caller.payload = sffSample(1);
        quint32 offeredPlci = 0;
        int offerReason = -1;
        caller.hook = [&](LinePeer &p, const Message &m) {
            if (m.command == Command::Connect && m.subcommand == Subcommand::Ind) {
                offeredPlci = m.address;
                if (callerIgnores) {
                    Message r = m.response();
                    r.reject = reject::Ignore;
                    p.put(r);
                }
                return true;
            }
            if (m.command == Command::Disconnect && m.subcommand == Subcommand::Ind &&
                m.address == offeredPlci) {
                offerReason = m.reason;
                p.put(m.response());
                return true;
            }
            return false;
        };
        listenQuietly(caller, kFaxMask);
        listenQuietly(callee, kFaxMask);
        caller.call(QStringLiteral("6"));
        QVERIFY(QTest::qWaitFor([&] { return caller.disconnected && callee.disconnected; }, kWaitMs));
        QVERIFY(offeredPlci != 0);
        QVERIFY(offeredPlci != caller.plci);
        QCOMPARE(offerReason, callerOfferReason);
        QString why;
        QVERIFY2(faxtest::samePagesBelowHeadLine(caller.payload, callee.data, &why), qPrintable(why));
    }

    void refused_data()
    {
        QTest::addColumn<QList<int>>("answers"); // per listener: reject value, -1 silent, -2 alert
        QTest::addColumn<int>("fault");
        QTest::addColumn<QStringList>("callerLog");
        QTest::addColumn<int>("callerReason");
        QTest::addColumn<QList<int>>("listenerReasons"); // -1: never offered
        const QStringList cleared = seq({"-> CONNECT_REQ", "<- CONNECT_CONF", "<- DISCONNECT_IND",
                                         "-> DISCONNECT_RESP"});
        const QStringList alerted = seq({"-> CONNECT_REQ", "<- CONNECT_CONF", "<- INFO_IND",
                                         "-> INFO_RESP", "<- DISCONNECT_IND", "-> DISCONNECT_RESP"});
        const int none = int(SimulatedLine::Fault::None);
        QTest::newRow("busy") << QList<int>{3} << none << cleared << int(reason::UserBusy) << QList<int>{0};
        QTest::newRow("reject, normal clearing")
            << QList<int>{2} << none << cleared << int(reason::NormalClearing) << QList<int>{0};
        QTest::newRow("reject, incompatible destination")
            << QList<int>{7} << none << cleared << int(reason::IncompatibleDestination) << QList<int>{0};
        QTest::newRow("reject with a Q.931 cause")
            << QList<int>{int(reason::CallRejected)} << none << cleared << int(reason::CallRejected)
            << QList<int>{0};
        QTest::newRow("ignore") << QList<int>{1} << none << cleared << int(reason::NoUserResponding)
                                << QList<int>{0};
        QTest::newRow("busy counts over ignore")
            << QList<int>{1, 3} << none << cleared << int(reason::UserBusy) << QList<int>{0, 0};
        QTest::newRow("no listener") << QList<int>{} << none << cleared << int(reason::NoUserResponding)
                                     << QList<int>{};
        QTest::newRow("listener never answers")
            << QList<int>{-1} << none << cleared << int(reason::NoUserResponding)
            << QList<int>{int(reason::NormalClearing)};
        QTest::newRow("listener alerts, never answers")
            << QList<int>{-2} << none << alerted << int(reason::NoAnswer)
            << QList<int>{int(reason::NormalClearing)};
        QTest::newRow("fault: user busy") << QList<int>{0} << int(SimulatedLine::Fault::UserBusy)
                                          << cleared << int(reason::UserBusy) << QList<int>{-1};
        QTest::newRow("fault: call rejected")
            << QList<int>{0} << int(SimulatedLine::Fault::CallRejected) << cleared
            << int(reason::CallRejected) << QList<int>{-1};
        QTest::newRow("fault: no answer") << QList<int>{0} << int(SimulatedLine::Fault::NoAnswer)
                                          << alerted << int(reason::NoAnswer) << QList<int>{-1};
    }
    void refused()
    {
        QFETCH(QList<int>, answers);
        QFETCH(int, fault);
        QFETCH(QStringList, callerLog);
        QFETCH(int, callerReason);
        QFETCH(QList<int>, listenerReasons);
        m_line->setFault(SimulatedLine::Fault(fault));
        // A short no-answer time only where the row waits for it: where every listener
        // answers, a loaded machine could otherwise let the timer beat the answer.
        const bool waitsForTimeout = answers.isEmpty() || fault == int(SimulatedLine::Fault::NoAnswer)
                                     || std::any_of(answers.begin(), answers.end(), [](int a) { return a < 0; });
        m_line->setNoAnswerTimeout(std::chrono::milliseconds(waitsForTimeout ? 50 : 60000));
        LinePeer caller(*m_line);
        listenQuietly(caller, 0, infomask::CallProgression); // progress only, no calls
        std::vector<std::unique_ptr<LinePeer>> listeners;
        for (int a : answers) {
            auto l = std::make_unique<LinePeer>(*m_line);
            l->answer = a >= 0 ? std::optional<quint16>(quint16(a)) : std::nullopt;
            l->alertFirst = a == -2;
            listenQuietly(*l, kFaxMask);
            listeners.push_back(std::move(l));
        }
        caller.call(QStringLiteral("6"));
        QVERIFY(QTest::qWaitFor([&] { return caller.disconnected; }, kWaitMs));
        settle();
        QCOMPARE(caller.log, callerLog);
        QCOMPARE(int(caller.last(Command::Disconnect, Subcommand::Ind).reason), callerReason);
        for (std::size_t i = 0; i < listeners.size(); ++i)
            QCOMPARE(reasonOf(*listeners[i], Command::Disconnect), listenerReasons.at(int(i)));
    }

    void disconnectInEveryState_data()
    {
        QTest::addColumn<bool>("byCaller");
        QTest::addColumn<int>("state");
        QTest::addColumn<int>("initiatorB3Reason"); // -1: no DISCONNECT_B3_IND
        QTest::addColumn<int>("otherB3Reason");
        QTest::addColumn<bool>("b3First"); // DISCONNECT_B3_REQ, then DISCONNECT_REQ
        const int abort = int(reason::FaxRemoteAbort);
        for (bool byCaller : {true, false}) {
            const char *who = byCaller ? "caller" : "answerer";
            QTest::addRow("%s, dialing", who) << byCaller << int(Dialing) << -1 << -1 << false;
            QTest::addRow("%s, alerting", who) << byCaller << int(Alerting) << -1 << -1 << false;
            QTest::addRow("%s, connected", who) << byCaller << int(Connected) << -1 << -1 << false;
            QTest::addRow("%s, B3 up", who) << byCaller << int(B3Up) << 0 << 0 << false;
            QTest::addRow("%s, mid-data", who) << byCaller << int(MidData) << 0 << abort << false;
            // Ending B3 in order does not make a cut document whole.
            QTest::addRow("%s, ends B3 mid-data", who) << byCaller << int(MidData) << 0 << abort << true;
        }
    }
    void disconnectInEveryState()
    {
        QFETCH(bool, byCaller);
        QFETCH(int, state);
        QFETCH(int, initiatorB3Reason);
        QFETCH(int, otherB3Reason);
        QFETCH(bool, b3First);
        LinePeer caller(*m_line), callee(*m_line);
        caller.bProtocol = callee.bProtocol = relayedFax(); // the cut of a relayed document
        if (state <= Alerting)
            callee.answer = std::nullopt;
        callee.alertFirst = state == Alerting;
        caller.initiateB3 = state >= B3Up;
        callee.answerData = false; // holds the blocks: the transfer stops mid-way
        if (state == MidData)
            caller.payload = sffSample(20); // more than the windows hold
        listenQuietly(callee, kFaxMask);
        caller.call(QStringLiteral("6"));
        const auto reached = [&] {
            switch (State(state)) {
            case Dialing: return callee.count(Command::Connect, Subcommand::Ind) == 1;
            case Alerting: return callee.count(Command::Alert, Subcommand::Conf) == 1;
            case Connected: return caller.count(Command::ConnectActive, Subcommand::Ind) == 1 &&
                                   callee.count(Command::ConnectActive, Subcommand::Ind) == 1;
            case B3Up: return caller.count(Command::ConnectB3Active, Subcommand::Ind) == 1 &&
                              callee.count(Command::ConnectB3Active, Subcommand::Ind) == 1;
            case MidData: return callee.dataInds >= 2;
            }
            return false;
        };
        QVERIFY(QTest::qWaitFor(reached, kWaitMs));
        settle();
        LinePeer &initiator = byCaller ? caller : callee;
        LinePeer &other = byCaller ? callee : caller;
        if (b3First)
            initiator.disconnectB3();
        else
            initiator.disconnect();
        QVERIFY(QTest::qWaitFor([&] { return caller.disconnected && callee.disconnected; }, kWaitMs));
        QCOMPARE(initiator.last(Command::Disconnect, Subcommand::Conf).info, info::Ok);
        QCOMPARE(reasonOf(initiator, Command::Disconnect), int(reason::Normal));
        QCOMPARE(reasonOf(other, Command::Disconnect), int(reason::NormalClearing));
        QCOMPARE(reasonOf(initiator, Command::DisconnectB3), initiatorB3Reason);
        QCOMPARE(reasonOf(other, Command::DisconnectB3), otherB3Reason);
        // The indications come in order: B3 first, then the call.
        if (initiatorB3Reason >= 0)
            QVERIFY(other.log.indexOf(QStringLiteral("<- DISCONNECT_B3_IND")) <
                    other.log.indexOf(QStringLiteral("<- DISCONNECT_IND")));
        QVERIFY(callee.data == caller.payload.left(callee.data.size()));
    }

    void releaseMidCall_data()
    {
        QTest::addColumn<bool>("releaseCaller");
        QTest::addColumn<bool>("midData");
        QTest::addColumn<int>("survivorReason");
        QTest::addColumn<int>("survivorB3Reason");
        QTest::newRow("caller, ringing") << true << false << int(reason::NormalClearing) << -1;
        QTest::newRow("answerer, ringing") << false << false << int(reason::NoUserResponding) << -1;
        QTest::newRow("caller, mid-data") << true << true << int(reason::NormalClearing)
                                          << int(reason::FaxRemoteAbort);
        QTest::newRow("answerer, mid-data") << false << true << int(reason::NormalClearing)
                                            << int(reason::FaxRemoteAbort);
    }
    void releaseMidCall()
    {
        QFETCH(bool, releaseCaller);
        QFETCH(bool, midData);
        QFETCH(int, survivorReason);
        QFETCH(int, survivorB3Reason);
        LinePeer caller(*m_line), callee(*m_line);
        caller.bProtocol = callee.bProtocol = relayedFax(); // released with blocks on the way
        if (!midData)
            callee.answer = std::nullopt;
        callee.answerData = false;
        caller.payload = sffSample(20);
        listenQuietly(callee, kFaxMask);
        caller.call(QStringLiteral("6"));
        QVERIFY(QTest::qWaitFor([&] {
            return midData ? callee.dataInds >= 2 : callee.count(Command::Connect, Subcommand::Ind) == 1;
        }, kWaitMs));
        LinePeer &gone = releaseCaller ? caller : callee;
        LinePeer &survivor = releaseCaller ? callee : caller;
        const quint16 goneId = gone.id();
        const int goneTaken = int(gone.received.size());
        gone.release();
        QVERIFY(QTest::qWaitFor([&] { return survivor.disconnected; }, kWaitMs));
        settle();
        QCOMPARE(reasonOf(survivor, Command::Disconnect), survivorReason);
        QCOMPARE(reasonOf(survivor, Command::DisconnectB3), survivorB3Reason);
        QCOMPARE(int(gone.received.size()), goneTaken);
        QCOMPARE(m_line->putMessage(Message(Command::Listen, Subcommand::Req, goneId, 1)),
                 info::IllegalApplication);
    }

    // Never more blocks unconfirmed than the sender registered, never more unanswered
    // indications than the receiver registered, and every byte arrives.
    void flowControlBound()
    {
        LinePeer caller(*m_line, {1, 4, 2048});
        LinePeer callee(*m_line, {1, 3, 2048});
        caller.bProtocol = callee.bProtocol = relayedFax(); // each block crosses as it is
        caller.greedy = true;
        caller.blockSize = 1000;
        caller.payload = sffSample(6);
        callee.answerData = false;
        listenQuietly(callee, kFaxMask);
        caller.call(QStringLiteral("6"));
        QVERIFY(QTest::qWaitFor([&] { return callee.heldInds.size() == 3; }, kWaitMs));
        settle();
        QCOMPARE(int(callee.heldInds.size()), 3);
        QCOMPARE(caller.dataReqs - caller.dataConfs, 4);
        QVERIFY(caller.busyPuts > 0);
        while (!caller.disconnected) {
            callee.answerHeld();
            settle();
            QVERIFY(callee.heldInds.size() <= 3);
            QVERIFY(caller.dataReqs - caller.dataConfs <= 4);
        }
        QVERIFY(QTest::qWaitFor([&] { return callee.disconnected; }, kWaitMs));
        QCOMPARE(callee.maxUnanswered, 3);
        QCOMPARE(caller.maxUnconfirmed, 4);
        QCOMPARE(callee.data, caller.payload);
    }

    void faultNotG3Fax_data()
    {
        QTest::addColumn<bool>("injected"); // else a listener answers with G4 protocols
        QTest::newRow("injected fault") << true;
        QTest::newRow("answerer is no G3 fax") << false;
    }
    void faultNotG3Fax()
    {
        QFETCH(bool, injected);
        if (injected)
            m_line->setFault(SimulatedLine::Fault::NotG3Fax);
        LinePeer caller(*m_line), callee(*m_line);
        callee.bProtocol = BProtocol::faxG4();
        caller.payload = sffSample(1);
        caller.hook = clearAfterFailedB3;
        listenQuietly(callee, kFaxMask);
        caller.call(QStringLiteral("6"));
        QVERIFY(QTest::qWaitFor([&] { return caller.disconnected; }, kWaitMs));
        settle();
        QCOMPARE(caller.log.mid(0, 8), seq({"-> CONNECT_REQ", "<- CONNECT_CONF", "<- CONNECT_ACTIVE_IND",
                                            "-> CONNECT_ACTIVE_RESP", "-> CONNECT_B3_REQ",
                                            "<- CONNECT_B3_CONF", "<- DISCONNECT_B3_IND",
                                            "-> DISCONNECT_B3_RESP"}));
        QCOMPARE(reasonOf(caller, Command::DisconnectB3), int(reason::FaxNotG3));
        QCOMPARE(caller.dataReqs, 0);
        if (injected) {
            // The remote hangs up; the listener never heard of the call.
            QCOMPARE(reasonOf(caller, Command::Disconnect), int(reason::NormalClearing));
            QCOMPARE(callee.count(Command::Connect, Subcommand::Ind), 0);
        } else {
            QCOMPARE(reasonOf(caller, Command::Disconnect), int(reason::Normal));
            QCOMPARE(reasonOf(callee, Command::Disconnect), int(reason::NormalClearing));
            QCOMPARE(callee.count(Command::ConnectB3, Subcommand::Ind), 0);
        }
    }

    // A G3 sender whose data is no SFF document loses B3 before any of it reaches the far end.
    void notAnSffDocument()
    {
        LinePeer caller(*m_line), callee(*m_line);
        caller.payload = QByteArray(5000, 'x');
        caller.hook = [](LinePeer &p, const Message &m) {
            if (m.command == Command::DisconnectB3 && m.subcommand == Subcommand::Ind) {
                p.put(m.response());
                p.disconnect();
                return true;
            }
            return false;
        };
        listenQuietly(callee, kFaxMask);
        caller.call(QStringLiteral("6"));
        QVERIFY(QTest::qWaitFor([&] { return caller.disconnected && callee.disconnected; }, kWaitMs));
        QCOMPARE(reasonOf(caller, Command::DisconnectB3), int(reason::FaxIllegalParameterCoding));
        QCOMPARE(reasonOf(callee, Command::DisconnectB3), int(reason::FaxRemoteAbort));
        QCOMPARE(callee.dataInds, 0);
    }

    void faultDroppedLine()
    {
        m_line->setFault(SimulatedLine::Fault::DroppedLine, 4);
        LinePeer caller(*m_line), callee(*m_line);
        caller.bProtocol = callee.bProtocol = relayedFax();
        caller.blockSize = 256;
        caller.payload = sffSample(4, 100); // pages of 388 bytes from offset 20
        listenQuietly(callee, kFaxMask);
        caller.call(QStringLiteral("6"));
        QVERIFY(QTest::qWaitFor([&] { return caller.disconnected && callee.disconnected; }, kWaitMs));
        QCOMPARE(callee.data, caller.payload.left(4 * 256));
        for (LinePeer *side : {&caller, &callee}) {
            QCOMPARE(reasonOf(*side, Command::DisconnectB3), int(reason::Layer1Error));
            QCOMPARE(reasonOf(*side, Command::Disconnect), int(reason::Layer1Error));
            const auto ncpi = FaxNcpi::fromBytes(side->last(Command::DisconnectB3, Subcommand::Ind).ncpi);
            QVERIFY(ncpi);
            QCOMPARE(ncpi->pages, quint16(2)); // the third page had begun, not ended
        }
    }

    void slowLine()
    {
        m_line->setRate(9600);
        m_line->setSpeed(1);
        LinePeer caller(*m_line), callee(*m_line);
        caller.bProtocol = callee.bProtocol = relayedFax();
        caller.blockSize = 300;
        caller.payload = sffSample(1, 20);
        listenQuietly(callee, kFaxMask);
        caller.call(QStringLiteral("6"));
        QVERIFY(QTest::qWaitFor([&] { return caller.disconnected && callee.disconnected; }, kWaitMs));
        QCOMPARE(callee.data, caller.payload);
        const auto ncpi = FaxNcpi::fromBytes(callee.last(Command::ConnectB3Active, Subcommand::Ind).ncpi);
        QVERIFY(ncpi);
        QCOMPARE(ncpi->rate, quint16(9600));
    }

    // One call holds both B channels of the line.
    void secondCallFindsNoChannel()
    {
        LinePeer caller(*m_line), callee(*m_line), second(*m_line);
        callee.answerData = false;
        listenQuietly(callee, kFaxMask);
        caller.initiateB3 = false;
        caller.call(QStringLiteral("6"));
        QVERIFY(QTest::qWaitFor([&] { return caller.count(Command::ConnectActive, Subcommand::Ind) == 1; }, kWaitMs));
        second.call(QStringLiteral("7"));
        QVERIFY(QTest::qWaitFor([&] { return second.disconnected; }, kWaitMs));
        QCOMPARE(reasonOf(second, Command::Disconnect), int(reason::NoChannelAvailable));
        QCOMPARE(callee.count(Command::Connect, Subcommand::Ind), 1);
        caller.disconnect();
        QVERIFY(QTest::qWaitFor([&] { return caller.disconnected && callee.disconnected; }, kWaitMs));
    }

    // A line of more channels than one controller can number is several controllers, each
    // with 255 PLCIs of its own; a listener is offered a call on a controller it listens on.
    void controllersShareALargeLine()
    {
        SimulatedLine &line = *m_line;
        line.setChannels(600);
        line.setRule(QStringLiteral("992"), simline::FarEnd::noAnswer());
        QCOMPARE(line.profile(0).controllers, quint16(3));
        QCOMPARE(line.profile(1).bChannels, quint16(254));
        QCOMPARE(line.profile(3).bChannels, quint16(92));
        QCOMPARE(line.profile(4).controllers, quint16(0));
        QVERIFY(!line.manufacturer(3).isEmpty());
        QVERIFY(line.manufacturer(4).isEmpty());

        // Ringing calls hold their PLCIs: controller 1 runs out at the 256th, controller 2 not.
        LinePeer ringer(line);
        for (int i = 0; i < 256; ++i)
            ringer.call(QStringLiteral("992"));
        QVERIFY(QTest::qWaitFor([&] { return ringer.count(Command::Connect, Subcommand::Conf) == 256; }, kWaitMs));
        QSet<quint32> plcis;
        for (const Message &m : ringer.received) {
            if (m.command == Command::Connect && m.subcommand == Subcommand::Conf && m.info == info::Ok)
                plcis.insert(m.address);
        }
        QCOMPARE(plcis.size(), 255);
        QCOMPARE(ringer.last(Command::Connect, Subcommand::Conf).info, info::OutOfPlci);
        ringer.controller = 2;
        ringer.call(QStringLiteral("992"));
        QVERIFY(QTest::qWaitFor([&] { return ringer.count(Command::Connect, Subcommand::Conf) == 257; }, kWaitMs));
        QCOMPARE(ringer.last(Command::Connect, Subcommand::Conf).info, info::Ok);
        QCOMPARE(ringer.last(Command::Connect, Subcommand::Conf).address & 0x7F, 2u);

        // A listener on controller 3 only gets a call placed on controller 2 there, and the
        // call carries data; LISTEN beyond the last controller is refused.
        LinePeer caller(line), callee(line), stranger(line);
        stranger.controller = 4;
        stranger.listen(kFaxMask);
        callee.controller = 3;
        listenQuietly(callee, kFaxMask);
        caller.controller = 2;
        caller.bProtocol = callee.bProtocol = BProtocol::faxG4();
        caller.payload = QByteArray(5000, 'p');
        caller.call(QStringLiteral("6"));
        QVERIFY(QTest::qWaitFor([&] { return caller.disconnected && callee.disconnected; }, kWaitMs));
        QCOMPARE(callee.data, caller.payload);
        QCOMPARE(callee.last(Command::Connect, Subcommand::Ind).address & 0x7F, 3u);
        QCOMPARE(caller.last(Command::Connect, Subcommand::Conf).address & 0x7F, 2u);
        QCOMPARE(stranger.last(Command::Listen, Subcommand::Conf).info, info::IllegalIdentifier);
    }

    // What each far end of the plan does on the wire, as the caller and a listener see it.
    void farEndOnTheWire_data()
    {
        using simline::FarEnd;
        using namespace std::chrono_literals;
        QTest::addColumn<FarEnd>("rule");
        QTest::addColumn<QString>("number");
        QTest::addColumn<int>("pages");
        QTest::addColumn<QStringList>("callerLog"); // its start; empty: the whole fax exchange
        QTest::addColumn<int>("callerReason");
        QTest::addColumn<int>("b3Reason");    // both sides' DISCONNECT_B3_IND; -1: none
        QTest::addColumn<bool>("offered");    // the listener heard of the call
        QTest::addColumn<int>("bytes");       // reaching the listener; -1: the whole document
        QTest::addColumn<int>("ncpiPages");   // in the caller's DISCONNECT_B3_IND; -1: not checked
        QTest::addColumn<int>("ncpiRate");
        QTest::addColumn<QString>("faultText");
        const QStringList cleared = seq({"-> CONNECT_REQ", "<- CONNECT_CONF", "<- DISCONNECT_IND",
                                         "-> DISCONNECT_RESP"});
        const QStringList rings = seq({"-> CONNECT_REQ", "<- CONNECT_CONF", "<- INFO_IND",
                                       "-> INFO_RESP", "<- DISCONNECT_IND", "-> DISCONNECT_RESP"});
        const QStringList notFax = seq({"-> CONNECT_REQ", "<- CONNECT_CONF", "<- CONNECT_ACTIVE_IND",
            "-> CONNECT_ACTIVE_RESP", "-> CONNECT_B3_REQ", "<- CONNECT_B3_CONF", "<- DISCONNECT_B3_IND",
            "-> DISCONNECT_B3_RESP", "<- DISCONNECT_IND", "-> DISCONNECT_RESP"});
        const QStringList dropped = seq({"-> CONNECT_REQ", "<- CONNECT_CONF", "<- CONNECT_ACTIVE_IND",
            "-> CONNECT_ACTIVE_RESP", "-> CONNECT_B3_REQ", "<- CONNECT_B3_CONF",
            "<- CONNECT_B3_ACTIVE_IND", "-> CONNECT_B3_ACTIVE_RESP", "<- DISCONNECT_B3_IND",
            "-> DISCONNECT_B3_RESP", "<- DISCONNECT_IND", "-> DISCONNECT_RESP"});
        const int normal = int(reason::Normal);
        const int l1 = int(reason::Layer1Error);
        // Pages of 388 bytes from offset 20, sent in blocks of 256 bytes.
        QTest::newRow("answer") << FarEnd::answer() << "991" << 3 << QStringList() << normal << normal
                                << true << -1 << 3 << 14400 << "";
        QTest::newRow("busy") << FarEnd::busy() << "991" << 1 << cleared << int(reason::UserBusy) << -1
                              << false << 0 << -1 << 0 << "busy";
        QTest::newRow("reject with a cause") << FarEnd::reject(0x58) << "991" << 1 << cleared
                                             << int(reason::IncompatibleDestination) << -1 << false << 0
                                             << -1 << 0 << "rejected, reason 0x34d8";
        QTest::newRow("no answer after its delay") << FarEnd::noAnswer(50ms) << "991" << 1 << rings
                                                   << int(reason::NoAnswer) << -1 << false << 0 << -1
                                                   << 0 << "no answer";
        QTest::newRow("not a fax") << FarEnd::notFax() << "991" << 1 << notFax
                                   << int(reason::NormalClearing) << int(reason::FaxNotG3) << false << 0
                                   << 0 << 14400 << "not a fax";
        QTest::newRow("drop after blocks") << FarEnd::dropAfterBlocks(3) << "991" << 4 << dropped
                                           << l1 << l1 << true << 3 * 256 << 1 << 14400
                                           << "line dropped after 3 blocks";
        // Page 3 begins at byte 20 + 2 * 388 = 796, in the fourth block.
        QTest::newRow("drop after pages") << FarEnd::dropAfterPages(2) << "991" << 4 << dropped
                                          << l1 << l1 << true << 4 * 256 << 2 << 14400
                                          << "line dropped after 2 pages";
        QTest::newRow("drop after more pages than sent")
            << FarEnd::dropAfterPages(4) << "991" << 4 << QStringList() << normal << normal << true << -1
            << 4 << 14400 << "";
        QTest::newRow("slower modem") << FarEnd::slower(0.5) << "991" << 1 << QStringList() << normal
                                      << normal << true << -1 << 1 << 7200 << "slower modem: 7200 bit/s";
        QTest::newRow("rule for another number") << FarEnd::busy() << "9910" << 1 << QStringList()
                                                 << normal << normal << true << -1 << 1 << 14400 << "";
    }
    void farEndOnTheWire()
    {
        QFETCH(simline::FarEnd, rule);
        QFETCH(QString, number);
        QFETCH(int, pages);
        QFETCH(QStringList, callerLog);
        QFETCH(int, callerReason);
        QFETCH(int, b3Reason);
        QFETCH(bool, offered);
        QFETCH(int, bytes);
        QFETCH(int, ncpiPages);
        QFETCH(int, ncpiRate);
        QFETCH(QString, faultText);
        m_line->setRule(QStringLiteral("991"), rule);
        m_line->setNoAnswerTimeout(std::chrono::minutes(5)); // the rule's own delay must count
        LinePeer caller(*m_line), callee(*m_line);
        caller.bProtocol = callee.bProtocol = relayedFax(); // bytes and blocks as counted below
        caller.blockSize = 256;
        caller.payload = sffSample(pages, 100);
        listenQuietly(caller, 0, infomask::CallProgression);
        listenQuietly(callee, kFaxMask);
        caller.call(number);
        QVERIFY(QTest::qWaitFor([&] { return caller.disconnected; }, kWaitMs));
        settle();
        QCOMPARE(caller.log.mid(0, callerLog.isEmpty() ? kCallerSends.size() : callerLog.size()),
                 callerLog.isEmpty() ? kCallerSends : callerLog);
        QCOMPARE(reasonOf(caller, Command::Disconnect), callerReason);
        QCOMPARE(reasonOf(caller, Command::DisconnectB3), b3Reason);
        QCOMPARE(callee.count(Command::Connect, Subcommand::Ind), offered ? 1 : 0);
        if (offered)
            QCOMPARE(reasonOf(callee, Command::DisconnectB3), b3Reason);
        QCOMPARE(callee.data, bytes < 0 ? caller.payload : caller.payload.left(bytes));
        if (ncpiPages >= 0) {
            const auto ncpi = FaxNcpi::fromBytes(caller.last(Command::DisconnectB3, Subcommand::Ind).ncpi);
            QVERIFY(ncpi);
            QCOMPARE(int(ncpi->pages), ncpiPages);
            QCOMPARE(int(ncpi->rate), ncpiRate);
        }
        const QList<simline::CallInfo> recent = m_line->recentCalls();
        QCOMPARE(recent.size(), 1);
        QCOMPARE(recent.last().calledNumber, number);
        QCOMPARE(recent.last().faultText, faultText);
        QVERIFY(recent.last().ended);
    }

    // The head line carries the line's head-line time: the same time gives the same received
    // pages, head line included, and another minute other ones.
    void headLineTime()
    {
        auto receive = [&] {
            LinePeer caller(*m_line), callee(*m_line);
            caller.payload = sffSample(1);
            listenQuietly(callee, kFaxMask);
            caller.call(QStringLiteral("6"));
            const bool ended = QTest::qWaitFor([&] { return caller.disconnected && callee.disconnected; }, kWaitMs);
            return ended ? callee.data : QByteArray();
        };
        const QByteArray first = receive();
        QVERIFY(!first.isEmpty());
        QCOMPARE(receive(), first);
        m_line->setHeadLineTime(kHeadLineTime.addSecs(60));
        const QByteArray later = receive();
        QVERIFY(!later.isEmpty());
        QVERIFY(later != first);
        QString why;
        QVERIFY2(faxtest::samePagesBelowHeadLine(first, later, &why), qPrintable(why));
    }

    // Faults belong to a line: a busy line leaves another line's calls alone.
    void faultsStayOnTheirLine()
    {
        SimulatedLine other;
        other.setFault(SimulatedLine::Fault::UserBusy);
        QCOMPARE(m_line->fault(), SimulatedLine::Fault::None);
        LinePeer caller(*m_line), callee(*m_line);
        caller.payload = sffSample(1);
        listenQuietly(callee, kFaxMask);
        caller.call(QStringLiteral("6"));
        QVERIFY(QTest::qWaitFor([&] { return caller.disconnected && callee.disconnected; }, kWaitMs));
        QCOMPARE(reasonOf(caller, Command::Disconnect), int(reason::Normal));
        QString why;
        QVERIFY2(faxtest::samePagesBelowHeadLine(caller.payload, callee.data, &why), qPrintable(why));
        QCOMPARE(other.statistics().messagesIn, quint64(0));
    }

    // A T.30 call to a number whose rule impairs the line or limits the far fax: the built-in
    // test numbers and plan-file rules, as both B3 ends and the received pages show them.
    void impairedNumbers_data()
    {
        QTest::addColumn<QString>("rule"); // a plan rule, or a built-in number
        QTest::addColumn<int>("pages");
        QTest::addColumn<int>("callerB3Reason");
        QTest::addColumn<int>("calleeB3Reason");
        QTest::addColumn<int>("rate");     // the NCPI's rate; -1 below 14400
        QTest::addColumn<int>("received"); // 0 equal below the head line, 1 damaged, 2 no page,
                                           // 3 every page, its rows as the noise left them
        QTest::newRow("997: noise, training falls back, fax completes") << "997" << 2 << 0 << 0 << -1 << 3;
        QTest::newRow("998: 30 ms drop-out loses the carrier")
            << "998" << 1 << int(reason::FaxRemoteAbort) << int(reason::FaxRemoteProcedureError) << 14400 << 2;
        QTest::newRow("ECM repairs a 10 ms drop-out") << "dropout 10 page1+1000" << 1 << 0 << 0 << 14400 << 0;
        QTest::newRow("10 ms drop-out spoils a page without ECM")
            << "dropout 10 page1+1000 no-ecm" << 1 << -2 << -2 << 14400 << 1;
        QTest::newRow("V.27ter far fax, 6 dB loss") << "modems v27ter attenuation 6" << 1 << 0 << 0 << 4800 << 0;
        QTest::newRow("V.29 far fax without ECM, 2 pages") << "modems v29 no-ecm" << 2 << 0 << 0 << 9600 << 0;
    }
    void impairedNumbers()
    {
        QFETCH(QString, rule);
        QFETCH(int, pages);
        QFETCH(int, callerB3Reason);
        QFETCH(int, calleeB3Reason);
        QFETCH(int, rate);
        QFETCH(int, received);
        QString error;
        const auto plan = simline::parseNumberPlan(rule.startsWith('9') ? QString() : "6 " + rule,
                                                   simline::builtInNumberPlan(), &error);
        QVERIFY2(plan, qPrintable(error));
        m_line->setRule(QStringLiteral("6"), plan->ruleFor(rule.startsWith('9') ? rule : QStringLiteral("6")));
        LinePeer caller(*m_line), callee(*m_line);
        QList<faxtest::Rows> sent; // pages like text, so that a page's data lasts seconds
        for (int p = 0; p < pages; ++p)
            sent << faxtest::textPage(600, unsigned(p + 1));
        caller.payload = faxtest::document(sent, sff::Resolution::Standard);
        caller.hook = clearAfterFailedB3;
        listenQuietly(callee, kFaxMask);
        caller.call(QStringLiteral("6"));
        QVERIFY(QTest::qWaitFor([&] { return caller.disconnected && callee.disconnected; }, kWaitMs));
        const int callerReason = reasonOf(caller, Command::DisconnectB3);
        const int calleeReason = reasonOf(callee, Command::DisconnectB3);
        if (callerB3Reason >= 0) {
            QCOMPARE(callerReason, callerB3Reason);
            QCOMPARE(calleeReason, calleeB3Reason);
        }
        const auto ncpi = FaxNcpi::fromBytes(caller.last(Command::DisconnectB3, Subcommand::Ind).ncpi);
        QVERIFY(ncpi);
        if (rate < 0)
            QVERIFY2(ncpi->rate > 0 && ncpi->rate < 14400, qPrintable(QString::number(ncpi->rate)));
        else
            QCOMPARE(int(ncpi->rate), rate);
        QString why;
        switch (received) {
        case 0:
            QVERIFY2(faxtest::samePagesBelowHeadLine(caller.payload, callee.data, &why), qPrintable(why));
            QCOMPARE(int(ncpi->pages), pages);
            break;
        case 1:
            // Without ECM the damaged page either comes with wrong rows or is refused (RTN).
            QVERIFY(callerReason != 0 || !faxtest::samePagesBelowHeadLine(caller.payload, callee.data, &why));
            break;
        case 2:
            QCOMPARE(int(faxtest::rowsOfDocument(callee.data).pages.size()), 0);
            break;
        case 3:
            QCOMPARE(int(faxtest::rowsOfDocument(callee.data).pages.size()), pages);
            QCOMPARE(int(ncpi->pages), pages);
            break;
        }
    }

    // 997 falls back and completes whatever the page: the head line's minute changes the page
    // data, and so where the noise meets it.
    void noisyNumberCompletesEveryMinute()
    {
        const simline::FarEnd rule = simline::builtInNumberPlan().ruleFor(QStringLiteral("997"));
        const QByteArray document = faxtest::document(
            {faxtest::textPage(600, 1), faxtest::textPage(600, 2)}, sff::Resolution::Standard);
        for (int minute = 0; minute < 8; ++minute) {
            t30::CallConfig c;
            c.caller.stationId = QStringLiteral("6");
            c.caller.headLine = QStringLiteral("Fax test  Quillon test");
            c.caller.headTime = kHeadLineTime.addSecs(60 * minute);
            c.caller.document = document;
            c.answerer.stationId = QStringLiteral("997");
            c.answerer.ecm = rule.ecm;
            c.answerer.modems = rule.modems;
            c.line = rule.line;
            t30::Call call(c);
            QVERIFY(call.start());
            call.runToEnd();
            const t30::SideOutcome &tx = call.outcome(t30::Side::Caller);
            QVERIFY2(tx.success() && call.outcome(t30::Side::Answerer).success(),
                     qPrintable(QStringLiteral("minute %1: 0x%2").arg(minute).arg(tx.reason, 0, 16)));
            QCOMPARE(tx.pages, 2);
            QVERIFY2(tx.bitRate > 0 && tx.bitRate < 14400, qPrintable(QString::number(tx.bitRate)));
        }
    }

    // A sender's document past the line's limit ends the fax as it comes: the sender with a
    // local abort, the receiver with a remote abort, and no page reaches the receiver.
    void documentPastTheLimit()
    {
        LinePeer caller(*m_line), callee(*m_line);
        caller.payload = sffSample(4);
        m_line->setFaxDocumentLimit(caller.payload.size() / 2);
        caller.hook = clearAfterFailedB3;
        listenQuietly(callee, kFaxMask);
        caller.call(QStringLiteral("6"));
        QVERIFY(QTest::qWaitFor([&] { return caller.disconnected && callee.disconnected; }, kWaitMs));
        QCOMPARE(reasonOf(caller, Command::DisconnectB3), int(reason::FaxLocalAbort));
        QCOMPARE(reasonOf(callee, Command::DisconnectB3), int(reason::FaxRemoteAbort));
        QVERIFY(callee.data.isEmpty());
    }

    // Speed 0 relays at once whatever the rate; the calls still report the line's rate.
    void speedZeroIsUnpaced()
    {
        m_line->setRate(2400);
        m_line->setSpeed(0);
        LinePeer caller(*m_line), callee(*m_line);
        caller.bProtocol = callee.bProtocol = relayedFax();
        caller.payload = sffSample(8, 200); // over 10 s at 2400 bit/s
        listenQuietly(callee, kFaxMask);
        caller.call(QStringLiteral("6"));
        QVERIFY(QTest::qWaitFor([&] { return caller.disconnected && callee.disconnected; }, kWaitMs));
        QVERIFY(caller.payload.size() * 8 / 2400 > kWaitMs / 1000);
        QCOMPARE(callee.data, caller.payload);
        const auto ncpi = FaxNcpi::fromBytes(callee.last(Command::DisconnectB3, Subcommand::Ind).ncpi);
        QVERIFY(ncpi);
        QCOMPARE(ncpi->rate, quint16(2400));
    }

    // A line that goes while applications are still registered frees what they held, also
    // for an application of another thread.
    void destroyedWithApplications()
    {
        QThread worker;
        worker.start();
        QObject inWorker;
        inWorker.moveToThread(&worker);
        {
            SimulatedLine line;
            QVERIFY(line.registerApplication({}).ok());
            bool registered = false;
            QMetaObject::invokeMethod(&inWorker, [&] { registered = line.registerApplication({}).ok(); },
                                      Qt::BlockingQueuedConnection);
            QVERIFY(registered);
            LinePeer peer(line);
            listenQuietly(peer, kFaxMask); // a notification has gone through its object
            peer.call(QStringLiteral("6"));
            QCOMPARE(line.applicationCount(), 3);
            peer.release();
        }
        settle();
        worker.quit();
        QVERIFY(worker.wait(kWaitMs));
    }

private:
    std::unique_ptr<SimulatedLine> m_line;
};

QUILLON_TEST_GUILESS_MAIN(TestSimulatedLine)
#include "tst_simulatedline.moc"
