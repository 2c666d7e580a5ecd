// The exchange daemon against clients on plain sockets: calls across it, and clients that
// break the protocol, stall or flood, after each of which it must still serve a call.

#include "exchangeprocess.h"
#include "rawclient.h"

#include "common/testenv.h"

#include <sys/resource.h>

#include <memory>
#include <vector>

using capi::Command;
using capi::Message;
using capi::Subcommand;

namespace {

// Says where a call went wrong before giving up on it.
#define EXPECT_OR(cond, fail)                                                                    \
    do {                                                                                         \
        if (!(cond)) {                                                                           \
            qWarning("call step failed at line %d: %s", __LINE__, #cond);                     \
            return fail;                                                                         \
        }                                                                                        \
    } while (false)

// Two registered clients, the second listening for every call.
struct Pair
{
    std::unique_ptr<RawClient> caller;
    std::unique_ptr<RawClient> callee;
};

Pair registeredPair(quint16 port, quint16 callerBlocks = 7)
{
    Pair p{std::make_unique<RawClient>(port, 1), std::make_unique<RawClient>(port, 2)};
    EXPECT_OR(p.caller->registerApp(2, callerBlocks) == 0 && p.callee->registerApp() == 0, Pair{});
    Message listen(Command::Listen, Subcommand::Req, 0, 1);
    listen.cipMask = 1; // every service
    p.callee->put(listen);
    EXPECT_OR(p.callee->waitFor(Command::Listen, Subcommand::Conf), Pair{});
    return p;
}

// Sets up a call and its B3 connection; returns the caller's and callee's NCCI.
std::optional<std::pair<quint32, quint32>> connectCall(Pair &p, const QString &number = QStringLiteral("123"))
{
    const std::nullopt_t fail = std::nullopt;
    Message connect(Command::Connect, Subcommand::Req, 0, 1);
    connect.cip = capi::cip::UnrestrictedDigital;
    connect.calledParty.digits = number;
    connect.callingParty.digits = QStringLiteral("456");
    p.caller->put(connect);
    const auto conf = p.caller->waitFor(Command::Connect, Subcommand::Conf);
    EXPECT_OR(conf && conf->info == 0, fail);
    // Offers of other calls to the same listener are left to their own callee.
    auto ind = p.callee->waitFor(Command::Connect, Subcommand::Ind);
    while (ind && ind->calledParty.digits != number) {
        Message ignore = ind->response();
        ignore.reject = capi::reject::Ignore;
        p.callee->put(ignore);
        ind = p.callee->waitFor(Command::Connect, Subcommand::Ind);
    }
    EXPECT_OR(ind, fail);
    Message answer = ind->response();
    answer.reject = capi::reject::Accept;
    p.callee->put(answer);
    EXPECT_OR(p.caller->waitFor(Command::ConnectActive, Subcommand::Ind), fail);
    EXPECT_OR(p.callee->waitFor(Command::ConnectActive, Subcommand::Ind), fail);
    p.caller->put(Message(Command::ConnectB3, Subcommand::Req, 0, conf->address));
    const auto b3conf = p.caller->waitFor(Command::ConnectB3, Subcommand::Conf);
    const auto b3ind = p.callee->waitFor(Command::ConnectB3, Subcommand::Ind);
    EXPECT_OR(b3conf && b3conf->info == 0 && b3ind, fail);
    p.callee->put(b3ind->response());
    EXPECT_OR(p.caller->waitFor(Command::ConnectB3Active, Subcommand::Ind), fail);
    EXPECT_OR(p.callee->waitFor(Command::ConnectB3Active, Subcommand::Ind), fail);
    return std::make_pair(b3conf->address, b3ind->address);
}

// A whole call with data confirmed and the bytes compared, then cleared.
bool callWorks(quint16 port)
{
    Pair p = registeredPair(port);
    EXPECT_OR(p.caller, false);
    const auto nccis = connectCall(p);
    EXPECT_OR(nccis, false);
    QByteArray sent;
    for (int i = 0; i < 20; ++i) {
        const QByteArray block(2048, char('a' + i));
        sent += block;
        p.caller->put(Message::dataB3Req(0, nccis->first, block, quint16(i)));
        EXPECT_OR(p.callee->waitFor(Command::DataB3, Subcommand::Ind), false);
        const auto dataConf = p.caller->waitFor(Command::DataB3, Subcommand::Conf);
        EXPECT_OR(dataConf && dataConf->info == 0 && dataConf->dataHandle == i, false);
    }
    EXPECT_OR(p.callee->data == sent, false);
    p.caller->put(Message(Command::Disconnect, Subcommand::Req, 0, nccis->first & 0xFFFF));
    EXPECT_OR(p.caller->waitFor(Command::Disconnect, Subcommand::Ind), false);
    EXPECT_OR(p.callee->waitFor(Command::Disconnect, Subcommand::Ind), false);
    return true;
}

// Two calls with B3 up, on numbers 123 and 124.
bool twoCallsUp(quint16 port, Pair *a, Pair *b)
{
    *a = registeredPair(port);
    *b = registeredPair(port);
    EXPECT_OR(a->caller && b->caller, false);
    EXPECT_OR(connectCall(*a, QStringLiteral("123")), false);
    EXPECT_OR(connectCall(*b, QStringLiteral("124")), false);
    return true;
}

QByteArray listenBody(quint16 appId)
{
    Message listen(Command::Listen, Subcommand::Req, appId, 1);
    listen.number = 1;
    listen.cipMask = 1;
    return capi::encode(listen);
}

} // namespace

class TestExchange : public QObject
{
    Q_OBJECT

private slots:
    void adminRequests();
    void malformedFrames_data();
    void malformedFrames();
    void truncatedFrameThenSilence();
    void messageForAnotherConnection();
    void dataBeyondWindow();
    void manyConnectionsAtOnce();
    void clientThatNeverReads();
    void clientKilledInMidCall();
    void testNumbers_data();
    void testNumbers();
    void channelsAreCounted();
    void shutdownWithCallsUp();
};

void TestExchange::adminRequests()
{
    ExchangeProcess exchange({QStringLiteral("--speed"), QStringLiteral("0"), QStringLiteral("--channels"),
                              QStringLiteral("30")});
    QVERIFY(exchange.port());
    RawClient c(exchange.port());
    struct Case
    {
        quint8 command;
        quint32 controller;
        int replyLength;
    };
    for (const Case &k : {Case{0xFA, 0, 8 + 65}, Case{0xFC, 1, 8 + 17}, Case{0xFE, 1, 8 + 9},
                          Case{0xE0, 0, 8 + 66}, Case{0xE0, 1, 8 + 66}}) {
        c.sendRaw(RawClient::framed(RawClient::admin(k.command, k.controller)));
        const auto reply = c.readFrame();
        QVERIFY(reply);
        QCOMPARE(reply->size(), k.replyLength);
        QCOMPARE(quint8(reply->at(4)), quint8(k.command + 1));
        QCOMPARE(quint8(reply->at(5)), quint8(0xFF));
        QVERIFY(reply->size() + 2 <= 100);
        const QByteArray payload = reply->mid(8);
        if (k.command == 0xFA)
            QVERIFY(payload.mid(1).startsWith("Quillon simulated exchange"));
        if (k.command == 0xFE)
            QVERIFY(payload.mid(1).startsWith("SX"));
        if (k.command == 0xFC) // CAPI 2.0
            QCOMPARE(payload.mid(1, 8), QByteArray::fromHex("0200000000000000"));
        if (k.command == 0xE0) {
            QCOMPARE(payload.left(2), QByteArray::fromHex("0000")); // info
            QCOMPARE(quint8(payload[2]), quint8(1));                // one controller
            if (k.controller == 1)
                QCOMPARE(quint8(payload[4]), quint8(30)); // its B channels
        }
    }
    // A second registration on one connection is refused; the first stays.
    QCOMPARE(c.registerApp(), quint16(0));
    QVERIFY(c.registerApp() != quint16(0));
    QVERIFY(callWorks(exchange.port()));
}

void TestExchange::malformedFrames_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("registered");
    QTest::addColumn<QString>("reason");
    QTest::newRow("length 0") << QByteArray::fromHex("0000") << true << "frame length 0";
    QTest::newRow("length 1") << QByteArray::fromHex("0001") << true << "frame length 1";
    QTest::newRow("length 65535") << (QByteArray::fromHex("ffff") + QByteArray(5000, 'x')) << true
                                  << "frame length 65535";
    QTest::newRow("message longer than frame")
        << RawClient::framed(listenBody(1).left(20)) << true << "message length 26 in a frame of 20";
    QTest::newRow("frame longer than message")
        << RawClient::framed(listenBody(1) + "xyz") << true << "with 0 data bytes in a frame of 29";
    const QByteArray data(100, 'd');
    Message dataReq = Message::dataB3Req(1, 0x10101, data, 1);
    dataReq.number = 1;
    QTest::newRow("data shorter than its length")
        << RawClient::framed(capi::encode(dataReq) + data.left(50)) << true << "with 100 data bytes";
    QByteArray unknown = listenBody(1);
    unknown[4] = char(0x77);
    QTest::newRow("unknown command") << RawClient::framed(unknown) << true << "does not decode";
    Message conf(Command::Connect, Subcommand::Conf, 1, 0x101);
    QTest::newRow("confirmation from a client") << RawClient::framed(capi::encode(conf)) << true
                                               << "is not for a controller";
    QTest::newRow("message before registration") << RawClient::framed(listenBody(1)) << false
                                                 << "LISTEN_REQ before registration";
    QTest::newRow("unknown admin request") << RawClient::framed(RawClient::admin(0xF0)) << false
                                           << "unknown admin request 0xf0";
    QTest::newRow("short register") << RawClient::framed(RawClient::admin(0xF2)) << false
                                    << "register request of 12 bytes";
}

void TestExchange::malformedFrames()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, registered);
    QFETCH(QString, reason);
    ExchangeProcess exchange({QStringLiteral("--speed"), QStringLiteral("0"), QStringLiteral("--channels"),
                              QStringLiteral("4")});
    QVERIFY(exchange.port());
    // A bystander in a call of its own sees it cleared only by its own hand.
    Pair bystander = registeredPair(exchange.port());
    QVERIFY(bystander.caller);
    const auto nccis = connectCall(bystander);
    QVERIFY(nccis);

    RawClient hostile(exchange.port(), 5);
    if (registered)
        QCOMPARE(hostile.registerApp(), quint16(0));
    hostile.sendRaw(bytes);
    QVERIFY(hostile.closedByServer());
    QVERIFY2(exchange.waitForLog(reason), qPrintable(exchange.log()));

    bystander.caller->put(Message::dataB3Req(0, nccis->first, "still here", 7));
    QVERIFY(bystander.callee->waitFor(Command::DataB3, Subcommand::Ind));
    QCOMPARE(bystander.callee->data, QByteArray("still here"));
    QVERIFY(callWorks(exchange.port()));
    bystander.caller->put(Message(Command::Disconnect, Subcommand::Req, 0, nccis->first & 0xFFFF));
    QVERIFY(bystander.callee->waitFor(Command::Disconnect, Subcommand::Ind));
}

void TestExchange::truncatedFrameThenSilence()
{
    ExchangeProcess exchange({QStringLiteral("--speed"), QStringLiteral("0")});
    QVERIFY(exchange.port());
    RawClient hostile(exchange.port());
    QCOMPARE(hostile.registerApp(), quint16(0));
    hostile.sendRaw(RawClient::framed(listenBody(1)).left(9));
    QElapsedTimer t;
    t.start();
    QVERIFY(hostile.closedByServer(6000));
    QVERIFY(t.elapsed() > 2000);
    QVERIFY(exchange.waitForLog(QStringLiteral("frame incomplete")));
    QVERIFY(callWorks(exchange.port()));
}

void TestExchange::messageForAnotherConnection()
{
    ExchangeProcess exchange({QStringLiteral("--speed"), QStringLiteral("0")});
    QVERIFY(exchange.port());
    RawClient hostile(exchange.port(), 5);
    QCOMPARE(hostile.registerApp(), quint16(0));
    hostile.sendRaw(RawClient::framed(listenBody(5)));
    QVERIFY(hostile.waitFor(Command::Listen, Subcommand::Conf));
    // Another connection's application: on the line, the callee registered second.
    Pair p = registeredPair(exchange.port());
    QVERIFY(p.caller);
    Message connect(Command::Connect, Subcommand::Req, 0, 1);
    connect.cip = capi::cip::UnrestrictedDigital;
    connect.calledParty.digits = QStringLiteral("77");
    p.caller->put(connect);
    const auto offer = p.callee->waitFor(Command::Connect, Subcommand::Ind);
    QVERIFY(offer);
    QVERIFY(hostile.waitFor(Command::Connect, Subcommand::Ind)); // it listens too
    // The hostile client answers the offer in the name of the callee's application (3).
    Message steal = offer->response();
    steal.appId = 3;
    steal.number = 50;
    QByteArray body = capi::encode(steal);
    hostile.sendRaw(RawClient::framed(body));
    QVERIFY(hostile.closedByServer());
    QVERIFY(exchange.waitForLog(QStringLiteral("CONNECT_RESP for application 3, the connection's is 5")));
    // The offer still belongs to the callee, which answers it.
    Message answer = offer->response();
    p.callee->put(answer);
    QVERIFY(p.caller->waitFor(Command::ConnectActive, Subcommand::Ind));
    QVERIFY(p.callee->waitFor(Command::ConnectActive, Subcommand::Ind));
    p.caller->put(Message(Command::Disconnect, Subcommand::Req, 0, p.caller->seen.first().address));
    QVERIFY(p.callee->waitFor(Command::Disconnect, Subcommand::Ind));
    QVERIFY(callWorks(exchange.port()));
}

void TestExchange::dataBeyondWindow()
{
    ExchangeProcess exchange({QStringLiteral("--speed"), QStringLiteral("0")});
    QVERIFY(exchange.port());
    Pair p = registeredPair(exchange.port(), 2);
    QVERIFY(p.caller);
    const auto nccis = connectCall(p);
    QVERIFY(nccis);
    // The callee holds its answers, so no block is confirmed; the third is one too many.
    for (quint16 h = 1; h <= 3; ++h)
        p.caller->put(Message::dataB3Req(0, nccis->first, QByteArray(512, char(h)), h));
    const auto refused = p.caller->waitFor(Command::DataB3, Subcommand::Conf);
    QVERIFY(refused);
    QCOMPARE(refused->dataHandle, quint16(3));
    QCOMPARE(refused->info, capi::info::QueueFull);
    p.callee->answerData = false;
    QVERIFY(p.callee->waitFor(Command::DataB3, Subcommand::Ind));
    QVERIFY(p.callee->waitFor(Command::DataB3, Subcommand::Ind));
    QCOMPARE(p.callee->data, QByteArray(512, char(1)) + QByteArray(512, char(2)));
    p.caller->put(Message(Command::Disconnect, Subcommand::Req, 0, nccis->first & 0xFFFF));
    QVERIFY(p.callee->waitFor(Command::Disconnect, Subcommand::Ind));
    QVERIFY(callWorks(exchange.port()));
}

void TestExchange::manyConnectionsAtOnce()
{
    ExchangeProcess exchange({QStringLiteral("--speed"), QStringLiteral("0")});
    QVERIFY(exchange.port());
    std::vector<std::unique_ptr<QTcpSocket>> sockets;
    for (int i = 0; i < 1000; ++i) {
        sockets.push_back(std::make_unique<QTcpSocket>());
        sockets.back()->connectToHost(QHostAddress::LocalHost, exchange.port());
    }
    // Each asks for the manufacturer; only the connections within the cap are answered.
    const QByteArray request = RawClient::framed(RawClient::admin(0xFA));
    QElapsedTimer t;
    t.start();
    std::vector<bool> asked(sockets.size()), done(sockets.size());
    int answered = 0;
    while (t.elapsed() < 4000 && answered < 64) {
        for (size_t i = 0; i < sockets.size(); ++i) {
            QTcpSocket &s = *sockets[i];
            if (s.state() == QAbstractSocket::ConnectingState || s.state() == QAbstractSocket::HostLookupState)
                s.waitForConnected(1);
            if (s.state() != QAbstractSocket::ConnectedState)
                continue;
            if (!asked[i]) {
                asked[i] = true;
                s.write(request);
                s.flush();
            }
            s.waitForReadyRead(0);
            if (!done[i] && s.bytesAvailable() >= 75) {
                done[i] = true;
                ++answered;
            }
        }
    }
    QVERIFY(exchange.waitForLog(QStringLiteral("refused")));
    QCOMPARE(answered, 64);
    // The cap holds: a normal call needs the connections freed.
    sockets.clear();
    QTest::qWait(300);
    QVERIFY(callWorks(exchange.port()));
}

void TestExchange::clientThatNeverReads()
{
    ExchangeProcess exchange({QStringLiteral("--speed"), QStringLiteral("0")});
    QVERIFY(exchange.port());
    RawClient hostile(exchange.port());
    hostile.socket().setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
    // Admin requests cost it 14 bytes each and the exchange 76 bytes of reply.
    const QByteArray request = RawClient::framed(RawClient::admin(0xFA));
    QByteArray burst;
    for (int i = 0; i < 1000; ++i)
        burst += request;
    bool dropped = false;
    for (int i = 0; i < 400 && !dropped; ++i) {
        hostile.socket().write(burst);
        hostile.socket().waitForBytesWritten(50);
        dropped = exchange.log().contains(QStringLiteral("client does not read"));
    }
    QVERIFY2(exchange.waitForLog(QStringLiteral("client does not read"), 5000), qPrintable(exchange.log()));
    QVERIFY(callWorks(exchange.port()));
}

void TestExchange::clientKilledInMidCall()
{
    ExchangeProcess exchange({QStringLiteral("--speed"), QStringLiteral("0")});
    QVERIFY(exchange.port());
    Pair p = registeredPair(exchange.port());
    QVERIFY(p.caller);
    QVERIFY(connectCall(p));
    p.caller->socket().abort();
    const auto b3 = p.callee->waitFor(Command::DisconnectB3, Subcommand::Ind);
    QVERIFY(b3);
    const auto cleared = p.callee->waitFor(Command::Disconnect, Subcommand::Ind);
    QVERIFY(cleared);
    QCOMPARE(cleared->reason, capi::reason::NormalClearing);
    QVERIFY(exchange.waitForLog(QStringLiteral("released: app 1")));
    QVERIFY(callWorks(exchange.port()));
}

void TestExchange::testNumbers_data()
{
    QTest::addColumn<QString>("number");
    QTest::addColumn<quint16>("reason");
    QTest::newRow("991 busy") << "991" << capi::reason::UserBusy;
    QTest::newRow("993 rejected") << "993" << capi::reason::CallRejected;
}

void TestExchange::testNumbers()
{
    QFETCH(QString, number);
    QFETCH(quint16, reason);
    ExchangeProcess exchange({QStringLiteral("--speed"), QStringLiteral("0")});
    QVERIFY(exchange.port());
    Pair p = registeredPair(exchange.port());
    QVERIFY(p.caller);
    Message connect(Command::Connect, Subcommand::Req, 0, 1);
    connect.calledParty.digits = number;
    p.caller->put(connect);
    const auto cleared = p.caller->waitFor(Command::Disconnect, Subcommand::Ind);
    QVERIFY(cleared);
    QCOMPARE(cleared->reason, reason);
    // The fault was this call's only: the next number answers.
    QVERIFY(callWorks(exchange.port()));
}

void TestExchange::channelsAreCounted()
{
    // Four channels carry two calls; the third is cleared for want of a channel.
    ExchangeProcess exchange({QStringLiteral("--speed"), QStringLiteral("0"), QStringLiteral("--channels"),
                              QStringLiteral("4")});
    QVERIFY(exchange.port());
    Pair a, b;
    QVERIFY(twoCallsUp(exchange.port(), &a, &b));
    RawClient third(exchange.port(), 9);
    QCOMPARE(third.registerApp(), quint16(0));
    Message connect(Command::Connect, Subcommand::Req, 0, 1);
    connect.calledParty.digits = QStringLiteral("5");
    third.put(connect);
    const auto cleared = third.waitFor(Command::Disconnect, Subcommand::Ind);
    QVERIFY(cleared);
    QCOMPARE(cleared->reason, capi::reason::NoChannelAvailable);
    QVERIFY(exchange.waitForLog(QStringLiteral("0x34a2")));
}

void TestExchange::shutdownWithCallsUp()
{
    ExchangeProcess exchange({QStringLiteral("--speed"), QStringLiteral("0"), QStringLiteral("--channels"),
                              QStringLiteral("4")});
    QVERIFY(exchange.port());
    Pair a, b;
    QVERIFY(twoCallsUp(exchange.port(), &a, &b));
    exchange.terminate();
    for (RawClient *c : {a.caller.get(), a.callee.get(), b.caller.get(), b.callee.get()}) {
        QVERIFY(c->waitFor(Command::Disconnect, Subcommand::Ind));
        QVERIFY(c->closedByServer());
    }
    QVERIFY(exchange.waitForFinished(5000));
    QCOMPARE(exchange.exitStatus(), QProcess::NormalExit);
    QCOMPARE(exchange.exitCode(), 0);
    QVERIFY(exchange.log().contains(QStringLiteral("shut down")));
}

QUILLON_TEST_GUILESS_MAIN(TestExchange)
#include "tst_exchange.moc"
