#include "capi/message.h"
#include "capi/trace.h"

#include "common/testenv.h"

using namespace capi;

Q_DECLARE_METATYPE(capi::Message)
Q_DECLARE_METATYPE(capi::DecodeErrorCode)

namespace {

// A message with every parameter set to something other than its default.
Message populated(Command c, Subcommand s)
{
    Message m(c, s, 3, 0x00010201);
    m.number = 0x1234;
    m.info = 0x2001;
    m.cip = cip::FaxG3;
    m.reject = reject::UserBusy;
    m.reason = reason::UserBusy;
    m.infoMask = 0x10;
    m.cipMask = 0x20010;
    m.cipMask2 = 0x5;
    m.calledParty.digits = QStringLiteral("0301234");
    m.callingParty.digits = QStringLiteral("6");
    m.connectedNumber = {0x01, 0x83, QStringLiteral("99")};
    m.calledSubaddress = QByteArray("\x80\x50", 2);
    m.callingSubaddress = QByteArray("\x80\x51", 2);
    m.connectedSubaddress = QByteArray("\x80\x52", 2);
    m.bProtocol = BProtocol::faxG3({1, 0, QStringLiteral("+49 30 1234"), QStringLiteral("Head line")});
    m.bc = QByteArray("\x04\x03\x80\x90\xA3", 5);
    m.llc = QByteArray("\x01", 1);
    m.hlc = QByteArray("\x91\x84", 2);
    m.additionalInfo.keypadFacility = "12";
    m.ncpi = FaxNcpi{9600, 1, 0, 4, QStringLiteral("REMOTE")}.toBytes();
    m.infoNumber = infonumber::Alerting;
    m.infoElement = QByteArray("\x01\x02", 2);
    m.facilitySelector = 1;
    m.facilityParameter = QByteArray("\x05\x06\x07", 3);
    m.dataPointer = 0;
    m.dataLength = 1024;
    m.dataHandle = 77;
    m.flags = 0x0002;
    return m;
}

QByteArray header(quint16 length, quint8 command, quint8 subcommand, quint16 app = 1,
                  quint16 number = 1)
{
    QByteArray b;
    b.append(char(length & 0xFF)).append(char(length >> 8));
    b.append(char(app & 0xFF)).append(char(app >> 8));
    b.append(char(command)).append(char(subcommand));
    b.append(char(number & 0xFF)).append(char(number >> 8));
    return b;
}

// A message of the given command and parameters with a correct length field.
QByteArray wire(quint8 command, quint8 subcommand, const QByteArray &params)
{
    return header(quint16(8 + params.size()), command, subcommand) + params;
}

// CONNECT_REQ #2 of application 1 for a G3 fax to "6".
Message g3Connect(quint16 resolution, const QString &calling)
{
    Message m(Command::Connect, Subcommand::Req, 1, 1);
    m.number = 2;
    m.cip = cip::FaxG3;
    m.calledParty.digits = QStringLiteral("6");
    m.callingParty.digits = calling;
    m.bProtocol = BProtocol::faxG3({resolution, 0, QStringLiteral("ID"), QStringLiteral("Head")});
    return m;
}

QByteArray hex(const char *h)
{
    return QByteArray::fromHex(h);
}

} // namespace

class TestCapiMessage : public QObject
{
    Q_OBJECT

private slots:
    // Every message of the table survives encode and decode; a second pass gives the same
    // bytes, so nothing is lost or invented on the way.
    void roundTrip_data()
    {
        QTest::addColumn<Message>("message");
        int rows = 0;
        for (int c = 0; c < 256; ++c) {
            for (int s = 0x80; s <= 0x83; ++s) {
                if (!isKnownMessage(Command(c), Subcommand(s)))
                    continue;
                QTest::newRow(qPrintable(messageName(Command(c), Subcommand(s))))
                    << populated(Command(c), Subcommand(s));
                ++rows;
            }
        }
        QCOMPARE(rows, 44);
    }
    void roundTrip()
    {
        QFETCH(Message, message);
        const QByteArray bytes = encode(message);
        QVERIFY(!bytes.isEmpty());
        QCOMPARE(int(quint8(bytes[0]) | quint8(bytes[1]) << 8), int(bytes.size()));
        const DecodeResult once = decode(bytes);
        QVERIFY2(once.ok(), qPrintable(once.ok() ? QString() : once.error().text));
        const Message &m = once.message();
        QCOMPARE(m.appId, message.appId);
        QCOMPARE(m.number, message.number);
        QCOMPARE(m.command, message.command);
        QCOMPARE(m.subcommand, message.subcommand);
        QCOMPARE(m.address, message.address);
        QCOMPARE(encode(m), bytes);
        const DecodeResult twice = decode(encode(m));
        QVERIFY(twice.ok());
        QCOMPARE(twice.message(), m);
    }

    // Byte layouts written out by hand from the message descriptions.
    void knownLayouts_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<Message>("message");

        const Message connect = g3Connect(0, QStringLiteral("6"));
        QTest::newRow("CONNECT_REQ for G3 fax")
            << hex("3100 0100 0280 0200 01000000 1100 028036 03008036 00 00"
                   "15 040004000400 00 00 0c 00000000 024944 0448656164"
                   "00 00 00 00")
            << connect;

        Message disc(Command::Disconnect, Subcommand::Ind, 2, 0x0101);
        disc.number = 5;
        disc.reason = reason::UserBusy;
        QTest::newRow("DISCONNECT_IND") << hex("0e00 0200 0482 0500 01010000 9134") << disc;

        Message data = Message::dataB3Req(1, 0x00010101, {}, 5);
        data.number = 3;
        data.dataLength = 2048;
        QTest::newRow("DATA_B3_REQ") << hex("1600 0100 8680 0300 01010100 00000000 0008 0500 0000")
                                     << data;
        Message data64 = data;
        data64.data64 = 0x1122334455667788ull;
        QTest::newRow("DATA_B3_REQ, 64-bit form")
            << hex("1e00 0100 8680 0300 01010100 00000000 0008 0500 0000 8877665544332211") << data64;

        Message end(Command::DisconnectB3, Subcommand::Ind, 1, 0x00010101);
        end.number = 4;
        end.ncpi = FaxNcpi{9600, 0, 0, 3, QStringLiteral("AB")}.toBytes();
        QTest::newRow("DISCONNECT_B3_IND with fax NCPI")
            << hex("1a00 0100 8482 0400 01010100 0000 0b 8025 0000 0000 0300 024142") << end;

        Message listen(Command::Listen, Subcommand::Req, 1, 1);
        listen.number = 1;
        listen.cipMask = 0x00020010;
        listen.infoMask = 0x10;
        QTest::newRow("LISTEN_REQ") << hex("1a00 0100 0580 0100 01000000 10000000 10000200 00000000 00 00")
                                    << listen;
    }
    void knownLayouts()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(Message, message);
        QCOMPARE(encode(message).toHex(' '), bytes.toHex(' '));
        const DecodeResult r = decode(bytes);
        QVERIFY2(r.ok(), qPrintable(r.ok() ? QString() : r.error().text));
        QCOMPARE(r.message(), message);
    }

    // Structs of 255 bytes and more take the escaped length; a message that cannot fit in
    // 65535 bytes is not encoded at all.
    void longStructs()
    {
        Message m(Command::Connect, Subcommand::Req, 1, 1);
        m.bProtocol = BProtocol::faxG3({0, 0, QStringLiteral("ID"), QString(300, QLatin1Char('h'))});
        const QByteArray bytes = encode(m);
        QVERIFY(bytes.contains(QByteArray("\xFF\x2C\x01", 3))); // head line: 0xFF, 300
        const DecodeResult r = decode(bytes);
        QVERIFY(r.ok());
        QCOMPARE(r.message(), m);
        QCOMPARE(r.message().bProtocol->faxConfiguration()->headLine.size(), 300);

        Message huge(Command::Facility, Subcommand::Req, 1, 1);
        huge.facilityParameter = QByteArray(65530, 'x');
        QVERIFY(encode(huge).isEmpty());
        Message unknown(Command::ConnectActive, Subcommand::Req, 1, 1);
        QVERIFY(encode(unknown).isEmpty());
    }

    void malformed_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<DecodeErrorCode>("code");
        QTest::addColumn<int>("offset");
        using E = DecodeErrorCode;
        const QByteArray plci = hex("01010000");
        QTest::newRow("empty") << QByteArray() << E::TooShort << 0;
        QTest::newRow("seven bytes") << hex("08000100048200") << E::TooShort << 7;
        QTest::newRow("length longer than buffer")
            << header(20, 0x04, 0x83) + plci << E::LengthMismatch << 0;
        QTest::newRow("length shorter than buffer")
            << header(10, 0x04, 0x83) + plci << E::LengthMismatch << 0;
        QTest::newRow("unknown command") << wire(0x7E, 0x80, plci) << E::UnknownCommand << 4;
        QTest::newRow("unknown subcommand") << wire(0x04, 0x84, plci) << E::UnknownSubcommand << 5;
        QTest::newRow("no such message: CONNECT_ACTIVE_REQ")
            << wire(0x03, 0x80, plci) << E::UnknownSubcommand << 5;
        QTest::newRow("PLCI cut short") << wire(0x04, 0x82, hex("0101")) << E::Truncated << 8;
        QTest::newRow("reason missing") << wire(0x04, 0x82, plci) << E::Truncated << 12;
        QTest::newRow("NCPI runs past the message")
            << wire(0x82, 0x80, plci + hex("0a0102")) << E::StructOverrun << 12;
        QTest::newRow("escaped length cut short")
            << wire(0x82, 0x80, plci + hex("ff01")) << E::StructOverrun << 12;
        QTest::newRow("escaped length runs past the message")
            << wire(0x82, 0x80, plci + hex("ff2c01") + QByteArray(5, 'x')) << E::StructOverrun << 12;
        // CONNECT_RESP: PLCI, reject, then the B protocol struct at offset 14.
        QTest::newRow("B3 configuration runs past the B protocol")
            << wire(0x02, 0x83, plci + hex("0000") + hex("09 040004000400 00 00 05") + hex("0000000000 00 00 00 00"))
            << E::StructOverrun << 23;
        QTest::newRow("B protocol too short")
            << wire(0x02, 0x83, plci + hex("0000 02 0400 00 00 00 00")) << E::BadStruct << 17;
        QTest::newRow("B protocol with bytes left over")
            << wire(0x02, 0x83, plci + hex("0000 0b 000000000000 00 00 00 00 ee 00 00 00 00"))
            << E::BadStruct << 25;
        QTest::newRow("calling party number of one byte")
            << wire(0x05, 0x80, hex("01000000 00000000 00000000 00000000 01 00 00"))
            << E::BadStruct << 26;
        QTest::newRow("additional info part runs past it")
            << wire(0x04, 0x80, plci + hex("04 00 00 05 00")) << E::StructOverrun << 15;
        QTest::newRow("byte after DISCONNECT_RESP") << wire(0x04, 0x83, plci + hex("00"))
                                                    << E::TrailingBytes << 12;
        QTest::newRow("64-bit data pointer cut short")
            << wire(0x86, 0x80, hex("01010100 00000000 0008 0500 0000 11223344"))
            << E::Truncated << 22;
    }
    void malformed()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(DecodeErrorCode, code);
        QFETCH(int, offset);
        const DecodeResult r = decode(bytes);
        QVERIFY(!r.ok());
        QCOMPARE(r.error().code, code);
        QCOMPARE(int(r.error().offset), offset);
        QVERIFY(!r.error().text.isEmpty());
    }

    // Every prefix of a valid message is refused, never read past.
    void everyPrefixRefused()
    {
        Message m = populated(Command::Connect, Subcommand::Req);
        const QByteArray bytes = encode(m);
        for (int n = 0; n < bytes.size(); ++n) {
            QByteArray cut = bytes.left(n);
            if (n >= 2) {
                cut[0] = char(n & 0xFF);
                cut[1] = char(n >> 8);
            }
            // A copy of exactly n bytes, so a sanitizer sees any read beyond it.
            const DecodeResult r = decode(QByteArrayView(cut.constData(), n));
            QVERIFY2(!r.ok(), qPrintable(QString::number(n)));
        }
    }

    void traceLines_data()
    {
        QTest::addColumn<Message>("message");
        QTest::addColumn<QString>("line");
        Message busy(Command::Disconnect, Subcommand::Ind, 2, 0x0101);
        busy.number = 5;
        busy.reason = reason::UserBusy;
        QTest::newRow("DISCONNECT_IND")
            << busy << QStringLiteral("<- DISCONNECT_IND app 2 #5 plci 0x0101 reason user busy (0x3491)");
        const Message connect = g3Connect(1, QStringLiteral("7"));
        QTest::newRow("CONNECT_REQ")
            << connect
            << QStringLiteral("-> CONNECT_REQ app 1 #2 ctrl 1 cip 17 (G3 fax) called \"6\" calling \"7\" "
                              "B protocol 4/4/4 (high resolution, format 0, station \"ID\", head line \"Head\")");
        Message conf(Command::DataB3, Subcommand::Conf, 1, 0x00010101);
        conf.number = 9;
        conf.dataHandle = 3;
        conf.info = info::IllegalIdentifier;
        QTest::newRow("DATA_B3_CONF")
            << conf
            << QStringLiteral("<- DATA_B3_CONF app 1 #9 ncci 0x00010101 handle 3 info illegal controller/PLCI/NCCI (0x2002)");
        Message end(Command::DisconnectB3, Subcommand::Ind, 1, 0x00010101);
        end.number = 4;
        end.reason = reason::FaxNotG3;
        end.ncpi = FaxNcpi{9600, 0, 0, 3, QStringLiteral("AB")}.toBytes();
        QTest::newRow("DISCONNECT_B3_IND")
            << end
            << QStringLiteral("<- DISCONNECT_B3_IND app 1 #4 ncci 0x00010101 reason B3 remote is not a G3 fax "
                              "(0x3311) NCPI rate 9600 standard format 0 pages 3 station \"AB\"");
        Message resp(Command::Connect, Subcommand::Resp, 1, 0x0201);
        resp.reject = reject::Ignore;
        QTest::newRow("CONNECT_RESP ignoring")
            << resp << QStringLiteral("-> CONNECT_RESP app 1 #0 plci 0x0201 reject 1 (ignore) B protocol default");
        resp.reject = reason::CallRejected;
        QTest::newRow("CONNECT_RESP rejecting with a cause")
            << resp
            << QStringLiteral("-> CONNECT_RESP app 1 #0 plci 0x0201 reject 0x3495 (reject, call rejected) "
                              "B protocol default");
    }
    void traceLines()
    {
        QFETCH(Message, message);
        QFETCH(QString, line);
        QCOMPARE(traceLine(message), line);
    }

    void valueWords_data()
    {
        QTest::addColumn<bool>("isReason");
        QTest::addColumn<int>("value");
        QTest::addColumn<QString>("words");
        QTest::newRow("user busy") << true << 0x3491 << QStringLiteral("user busy (0x3491)");
        QTest::newRow("no answer") << true << 0x3493 << QStringLiteral("no answer (0x3493)");
        QTest::newRow("unnamed cause") << true << 0x34D5 << QStringLiteral("cause 85 (0x34d5)");
        QTest::newRow("not G3") << true << 0x3311 << QStringLiteral("remote is not a G3 fax (0x3311)");
        QTest::newRow("normal") << true << 0 << QStringLiteral("normal (0x0000)");
        QTest::newRow("unknown reason") << true << 0x7777 << QStringLiteral("unknown reason (0x7777)");
        QTest::newRow("info ok") << false << 0 << QStringLiteral("ok (0x0000)");
        QTest::newRow("out of PLCI") << false << 0x2003 << QStringLiteral("out of PLCI (0x2003)");
    }
    void valueWords()
    {
        QFETCH(bool, isReason);
        QFETCH(int, value);
        QFETCH(QString, words);
        QCOMPARE(isReason ? describeReason(quint16(value)) : describeInfo(quint16(value)), words);
    }

    void faxStructs()
    {
        const FaxB3Configuration config{1, 0, QStringLiteral("+49 30 1234"), QStringLiteral("Head")};
        QCOMPARE(FaxB3Configuration::fromBytes(config.toBytes()), config);
        QCOMPARE(FaxB3Configuration::fromBytes({}), FaxB3Configuration());
        QVERIFY(!FaxB3Configuration::fromBytes(config.toBytes() + "x"));
        QVERIFY(!FaxB3Configuration::fromBytes(config.toBytes().chopped(1)));
        // A station id holds at most 20 characters.
        const FaxB3Configuration longId{0, 0, QString(30, QLatin1Char('9')), {}};
        QCOMPARE(FaxB3Configuration::fromBytes(longId.toBytes())->stationId.size(), 20);

        const FaxNcpi ncpi{14400, 1, 0, 7, QStringLiteral("REMOTE")};
        QCOMPARE(FaxNcpi::fromBytes(ncpi.toBytes()), ncpi);
        QVERIFY(!FaxNcpi::fromBytes({}));
        QVERIFY(!FaxNcpi::fromBytes(ncpi.toBytes().left(7)));

        QVERIFY(!BProtocol::faxG4().faxConfiguration());
        QCOMPARE(BProtocol::faxG3(config).faxConfiguration(), config);
    }

    void responses()
    {
        Message ind(Command::DataB3, Subcommand::Ind, 4, 0x00010301);
        ind.number = 17;
        ind.dataHandle = 9;
        const Message resp = ind.response();
        QCOMPARE(resp.subcommand, Subcommand::Resp);
        QCOMPARE(resp.appId, quint16(4));
        QCOMPARE(resp.number, quint16(17));
        QCOMPARE(resp.address, 0x00010301u);
        QCOMPARE(resp.dataHandle, quint16(9));
        QVERIFY(decode(encode(resp)).ok());
    }
};

QUILLON_TEST_GUILESS_MAIN(TestCapiMessage)
#include "tst_capimessage.moc"
