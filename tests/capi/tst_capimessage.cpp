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
    m.manufacturerId = 0x4E4C5551;
    m.manufacturerData = QByteArray("\x30\x00\x02", 3);
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

// Distinct values for every parameter, so that two parameters swapped in a layout change the
// bytes. Their encodings, written out by hand, are in the comments.
using Setter = void (*)(Message &);
constexpr quint32 kCtrl = 1;          // 01000000
constexpr quint32 kPlci = 0x0201;     // 01020000
constexpr quint32 kNcci = 0x00030201; // 01020300
const Setter setInfo = [](Message &m) { m.info = 0x2001; }; // 0120
const Setter setCip = [](Message &m) { m.cip = cip::FaxG3; }; // 1100
const Setter setReject = [](Message &m) { m.reject = reject::UserBusy; }; // 0300
const Setter setReason = [](Message &m) { m.reason = reason::UserBusy; }; // 9134
const Setter setReasonB3 = [](Message &m) { m.reason = reason::FaxNotG3; }; // 1133
const Setter setInfoMask = [](Message &m) { m.infoMask = 0x10; }; // 10000000
const Setter setCipMask = [](Message &m) { m.cipMask = 0x00020010; }; // 10000200
const Setter setCipMask2 = [](Message &m) { m.cipMask2 = 5; }; // 05000000
// 03 80 3132
const Setter setCalled = [](Message &m) { m.calledParty = {0x80, QStringLiteral("12")}; };
// 04 0080 3334
const Setter setCalling = [](Message &m) { m.callingParty = {0x00, 0x80, QStringLiteral("34")}; };
// 04 0183 3536
const Setter setConnected = [](Message &m) {
    m.connectedNumber = {0x01, 0x83, QStringLiteral("56")};
};
const Setter setCalledSub = [](Message &m) { m.calledSubaddress = hex("8050"); }; // 02 8050
const Setter setCallingSub = [](Message &m) { m.callingSubaddress = hex("8051"); }; // 02 8051
const Setter setConnectedSub = [](Message &m) { m.connectedSubaddress = hex("8052"); }; // 02 8052
// 13 0400 0400 0400 00 00 0a (0100 0000 02 4944 02 484c)
const Setter setBProtocol = [](Message &m) {
    m.bProtocol = BProtocol::faxG3({1, 0, QStringLiteral("ID"), QStringLiteral("HL")});
};
const Setter setBc = [](Message &m) { m.bc = hex("8890"); }; // 02 8890
const Setter setLlc = [](Message &m) { m.llc = hex("a1"); }; // 01 a1
const Setter setHlc = [](Message &m) { m.hlc = hex("9184"); }; // 02 9184
// 06 00 02 2a37 00 00
const Setter setAdditionalInfo = [](Message &m) { m.additionalInfo.keypadFacility = "*7"; };
// 0b 8025 0100 0000 0400 02 524d
const Setter setNcpi = [](Message &m) {
    m.ncpi = FaxNcpi{9600, 1, 0, 4, QStringLiteral("RM")}.toBytes();
};
const Setter setInfoNumber = [](Message &m) { m.infoNumber = infonumber::Alerting; }; // 0180
const Setter setInfoElement = [](Message &m) { m.infoElement = hex("0102"); }; // 02 0102
const Setter setFacilitySelector = [](Message &m) { m.facilitySelector = 1; }; // 0100
// 03 050607
const Setter setFacilityParameter = [](Message &m) { m.facilityParameter = hex("050607"); };
const Setter setDataPointer = [](Message &m) { m.dataPointer = 0xAABBCCDD; }; // ddccbbaa
const Setter setDataLength = [](Message &m) { m.dataLength = 2048; }; // 0008
const Setter setDataHandle = [](Message &m) { m.dataHandle = 5; }; // 0500
const Setter setFlags = [](Message &m) { m.flags = 4; }; // 0400
const Setter setData64 = [](Message &m) { m.data64 = 0x1122334455667788ull; }; // 8877665544332211
const Setter setManufacturerId = [](Message &m) { m.manufacturerId = 0x4E4C5551; }; // 51554c4e
const Setter setManufacturerData = [](Message &m) { m.manufacturerData = hex("3000"); }; // 02 3000

// The names of every message the codec knows.
QSet<QString> knownNames()
{
    QSet<QString> names;
    for (int c = 0; c < 256; ++c) {
        for (int s = 0x80; s <= 0x83; ++s) {
            if (isKnownMessage(Command(c), Subcommand(s)))
                names.insert(messageName(Command(c), Subcommand(s)));
        }
    }
    return names;
}

Message built(Command c, Subcommand s, quint32 address, std::initializer_list<Setter> setters)
{
    Message m(c, s, 1, address);
    m.number = 1;
    for (Setter set : setters)
        set(m);
    return m;
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
        QCOMPARE(rows, 48);
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

    // Every message of the table, its bytes written out by hand in the parameter order of
    // the CAPI 2.0 message descriptions, and its trace line.
    void everyLayout_data()
    {
        QTest::addColumn<Message>("message");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("trace");
        using C = Command;
        using S = Subcommand;
        QSet<QString> rowNames;
        const auto row = [&rowNames](const char *name, const Message &m, quint8 command,
                                     quint8 subcommand, const char *params, const char *trace) {
            rowNames.insert(messageName(m.command, m.subcommand));
            QTest::newRow(name) << m << wire(command, subcommand, hex(params))
                                << QString::fromUtf8(trace);
        };
        row("ALERT_REQ", built(C::Alert, S::Req, kPlci, {setAdditionalInfo}), 0x01, 0x80,
            "01020000 06 00 02 2a37 00 00",
            "-> ALERT_REQ app 1 #1 plci 0x0201 additional info present");
        row("ALERT_CONF", built(C::Alert, S::Conf, kPlci, {setInfo}), 0x01, 0x81, "01020000 0120",
            "<- ALERT_CONF app 1 #1 plci 0x0201 info message not supported in current state "
            "(0x2001)");
        row("CONNECT_REQ",
            built(C::Connect, S::Req, kCtrl,
                  {setCip, setCalled, setCalling, setCalledSub, setCallingSub, setBProtocol, setBc,
                   setLlc, setHlc, setAdditionalInfo}),
            0x02, 0x80,
            "01000000 1100 03 80 3132 04 0080 3334 02 8050 02 8051 13 0400 0400 0400 00 00 0a 0100 "
            "0000 02 4944 02 484c 02 8890 01 a1 02 9184 06 00 02 2a37 00 00",
            "-> CONNECT_REQ app 1 #1 ctrl 1 cip 17 (G3 fax) called \"12\" calling \"34\" called "
            "subaddress 80 50 calling subaddress 80 51 B protocol 4/4/4 (high resolution, format "
            "0, station \"ID\", head line \"HL\") bc 88 90 llc a1 hlc 91 84 additional info "
            "present");
        row("CONNECT_CONF", built(C::Connect, S::Conf, kPlci, {setInfo}), 0x02, 0x81,
            "01020000 0120",
            "<- CONNECT_CONF app 1 #1 plci 0x0201 info message not supported in current state "
            "(0x2001)");
        row("CONNECT_IND",
            built(C::Connect, S::Ind, kPlci,
                  {setCip, setCalled, setCalling, setCalledSub, setCallingSub, setBc, setLlc,
                   setHlc, setAdditionalInfo}),
            0x02, 0x82,
            "01020000 1100 03 80 3132 04 0080 3334 02 8050 02 8051 02 8890 01 a1 02 9184 06 00 02 "
            "2a37 00 00",
            "<- CONNECT_IND app 1 #1 plci 0x0201 cip 17 (G3 fax) called \"12\" calling \"34\" "
            "called "
            "subaddress 80 50 calling subaddress 80 51 bc 88 90 llc a1 hlc 91 84 additional info "
            "present");
        row("CONNECT_RESP",
            built(C::Connect, S::Resp, kPlci,
                  {setReject, setBProtocol, setConnected, setConnectedSub, setLlc,
                   setAdditionalInfo}),
            0x02, 0x83,
            "01020000 0300 13 0400 0400 0400 00 00 0a 0100 0000 02 4944 02 484c 04 0183 3536 02 "
            "8052 01 a1 06 00 02 2a37 00 00",
            "-> CONNECT_RESP app 1 #1 plci 0x0201 reject 3 (reject, user busy) B protocol 4/4/4 "
            "(high resolution, format 0, station \"ID\", head line \"HL\") connected \"56\" "
            "connected "
            "subaddress 80 52 llc a1 additional info present");
        row("CONNECT_ACTIVE_IND",
            built(C::ConnectActive, S::Ind, kPlci, {setConnected, setConnectedSub, setLlc}), 0x03,
            0x82, "01020000 04 0183 3536 02 8052 01 a1",
            "<- CONNECT_ACTIVE_IND app 1 #1 plci 0x0201 connected \"56\" connected subaddress 80 "
            "52 llc a1");
        row("CONNECT_ACTIVE_RESP", built(C::ConnectActive, S::Resp, kPlci, {}), 0x03, 0x83,
            "01020000", "-> CONNECT_ACTIVE_RESP app 1 #1 plci 0x0201");
        row("DISCONNECT_REQ", built(C::Disconnect, S::Req, kPlci, {setAdditionalInfo}), 0x04, 0x80,
            "01020000 06 00 02 2a37 00 00",
            "-> DISCONNECT_REQ app 1 #1 plci 0x0201 additional info present");
        row("DISCONNECT_CONF", built(C::Disconnect, S::Conf, kPlci, {setInfo}), 0x04, 0x81,
            "01020000 0120",
            "<- DISCONNECT_CONF app 1 #1 plci 0x0201 info message not supported in current state "
            "(0x2001)");
        row("DISCONNECT_IND", built(C::Disconnect, S::Ind, kPlci, {setReason}), 0x04, 0x82,
            "01020000 9134", "<- DISCONNECT_IND app 1 #1 plci 0x0201 reason user busy (0x3491)");
        row("DISCONNECT_RESP", built(C::Disconnect, S::Resp, kPlci, {}), 0x04, 0x83, "01020000",
            "-> DISCONNECT_RESP app 1 #1 plci 0x0201");
        row("LISTEN_REQ",
            built(C::Listen, S::Req, kCtrl,
                  {setInfoMask, setCipMask, setCipMask2, setCalling, setCallingSub}),
            0x05, 0x80, "01000000 10000000 10000200 05000000 04 0080 3334 02 8051",
            "-> LISTEN_REQ app 1 #1 ctrl 1 info mask 0x00000010 cip mask 0x00020010 cip mask 2 "
            "0x00000005 calling \"34\" calling subaddress 80 51");
        row("LISTEN_CONF", built(C::Listen, S::Conf, kCtrl, {setInfo}), 0x05, 0x81, "01000000 0120",
            "<- LISTEN_CONF app 1 #1 ctrl 1 info message not supported in current state (0x2001)");
        row("INFO_REQ", built(C::Info, S::Req, kPlci, {setCalled, setAdditionalInfo}), 0x08, 0x80,
            "01020000 03 80 3132 06 00 02 2a37 00 00",
            "-> INFO_REQ app 1 #1 plci 0x0201 called \"12\" additional info present");
        row("INFO_CONF", built(C::Info, S::Conf, kPlci, {setInfo}), 0x08, 0x81, "01020000 0120",
            "<- INFO_CONF app 1 #1 plci 0x0201 info message not supported in current state "
            "(0x2001)");
        row("INFO_IND", built(C::Info, S::Ind, kCtrl, {setInfoNumber, setInfoElement}), 0x08, 0x82,
            "01000000 0180 02 0102",
            "<- INFO_IND app 1 #1 ctrl 1 info number 0x8001 (alerting) element 01 02");
        row("INFO_RESP", built(C::Info, S::Resp, kCtrl, {}), 0x08, 0x83, "01000000",
            "-> INFO_RESP app 1 #1 ctrl 1");
        row("SELECT_B_PROTOCOL_REQ", built(C::SelectBProtocol, S::Req, kPlci, {setBProtocol}), 0x41,
            0x80, "01020000 13 0400 0400 0400 00 00 0a 0100 0000 02 4944 02 484c",
            "-> SELECT_B_PROTOCOL_REQ app 1 #1 plci 0x0201 B protocol 4/4/4 (high resolution, "
            "format 0, station \"ID\", head line \"HL\")");
        row("SELECT_B_PROTOCOL_CONF", built(C::SelectBProtocol, S::Conf, kPlci, {setInfo}), 0x41,
            0x81, "01020000 0120",
            "<- SELECT_B_PROTOCOL_CONF app 1 #1 plci 0x0201 info message not supported in "
            "current state (0x2001)");
        row("FACILITY_REQ",
            built(C::Facility, S::Req, kNcci, {setFacilitySelector, setFacilityParameter}), 0x80,
            0x80, "01020300 0100 03 050607",
            "-> FACILITY_REQ app 1 #1 ncci 0x00030201 facility 1 parameter 05 06 07");
        row("FACILITY_CONF",
            built(C::Facility, S::Conf, kNcci,
                  {setInfo, setFacilitySelector, setFacilityParameter}),
            0x80, 0x81, "01020300 0120 0100 03 050607",
            "<- FACILITY_CONF app 1 #1 ncci 0x00030201 info message not supported in current "
            "state (0x2001) facility 1 parameter 05 06 07");
        row("FACILITY_IND",
            built(C::Facility, S::Ind, kPlci, {setFacilitySelector, setFacilityParameter}), 0x80,
            0x82, "01020000 0100 03 050607",
            "<- FACILITY_IND app 1 #1 plci 0x0201 facility 1 parameter 05 06 07");
        row("FACILITY_RESP",
            built(C::Facility, S::Resp, kCtrl, {setFacilitySelector, setFacilityParameter}), 0x80,
            0x83, "01000000 0100 03 050607",
            "-> FACILITY_RESP app 1 #1 ctrl 1 facility 1 parameter 05 06 07");
        row("CONNECT_B3_REQ", built(C::ConnectB3, S::Req, kPlci, {setNcpi}), 0x82, 0x80,
            "01020000 0b 8025 0100 0000 0400 02 524d",
            "-> CONNECT_B3_REQ app 1 #1 plci 0x0201 NCPI rate 9600 high format 0 pages 4 station "
            "\"RM\"");
        row("CONNECT_B3_CONF", built(C::ConnectB3, S::Conf, kNcci, {setInfo}), 0x82, 0x81,
            "01020300 0120",
            "<- CONNECT_B3_CONF app 1 #1 ncci 0x00030201 info message not supported in current "
            "state (0x2001)");
        row("CONNECT_B3_IND", built(C::ConnectB3, S::Ind, kNcci, {setNcpi}), 0x82, 0x82,
            "01020300 0b 8025 0100 0000 0400 02 524d",
            "<- CONNECT_B3_IND app 1 #1 ncci 0x00030201 NCPI rate 9600 high format 0 pages 4 "
            "station \"RM\"");
        row("CONNECT_B3_RESP", built(C::ConnectB3, S::Resp, kNcci, {setReject, setNcpi}), 0x82,
            0x83, "01020300 0300 0b 8025 0100 0000 0400 02 524d",
            "-> CONNECT_B3_RESP app 1 #1 ncci 0x00030201 reject 3 (reject, user busy) NCPI rate "
            "9600 high format 0 pages 4 station \"RM\"");
        row("CONNECT_B3_ACTIVE_IND", built(C::ConnectB3Active, S::Ind, kNcci, {setNcpi}), 0x83,
            0x82, "01020300 0b 8025 0100 0000 0400 02 524d",
            "<- CONNECT_B3_ACTIVE_IND app 1 #1 ncci 0x00030201 NCPI rate 9600 high format 0 "
            "pages 4 station \"RM\"");
        row("CONNECT_B3_ACTIVE_RESP", built(C::ConnectB3Active, S::Resp, kNcci, {}), 0x83, 0x83,
            "01020300", "-> CONNECT_B3_ACTIVE_RESP app 1 #1 ncci 0x00030201");
        row("CONNECT_B3_T90_ACTIVE_IND", built(C::ConnectB3T90Active, S::Ind, kNcci, {setNcpi}),
            0x88, 0x82, "01020300 0b 8025 0100 0000 0400 02 524d",
            "<- CONNECT_B3_T90_ACTIVE_IND app 1 #1 ncci 0x00030201 NCPI rate 9600 high format 0 "
            "pages 4 station \"RM\"");
        row("CONNECT_B3_T90_ACTIVE_RESP", built(C::ConnectB3T90Active, S::Resp, kNcci, {}), 0x88,
            0x83, "01020300", "-> CONNECT_B3_T90_ACTIVE_RESP app 1 #1 ncci 0x00030201");
        row("DISCONNECT_B3_REQ", built(C::DisconnectB3, S::Req, kNcci, {setNcpi}), 0x84, 0x80,
            "01020300 0b 8025 0100 0000 0400 02 524d",
            "-> DISCONNECT_B3_REQ app 1 #1 ncci 0x00030201 NCPI rate 9600 high format 0 pages 4 "
            "station \"RM\"");
        row("DISCONNECT_B3_CONF", built(C::DisconnectB3, S::Conf, kNcci, {setInfo}), 0x84, 0x81,
            "01020300 0120",
            "<- DISCONNECT_B3_CONF app 1 #1 ncci 0x00030201 info message not supported in "
            "current state (0x2001)");
        row("DISCONNECT_B3_IND", built(C::DisconnectB3, S::Ind, kNcci, {setReasonB3, setNcpi}),
            0x84, 0x82, "01020300 1133 0b 8025 0100 0000 0400 02 524d",
            "<- DISCONNECT_B3_IND app 1 #1 ncci 0x00030201 reason B3 remote is not a G3 fax "
            "(0x3311) NCPI rate 9600 high format 0 pages 4 station \"RM\"");
        row("DISCONNECT_B3_RESP", built(C::DisconnectB3, S::Resp, kNcci, {}), 0x84, 0x83,
            "01020300", "-> DISCONNECT_B3_RESP app 1 #1 ncci 0x00030201");
        row("DATA_B3_REQ",
            built(C::DataB3, S::Req, kNcci,
                  {setDataPointer, setDataLength, setDataHandle, setFlags}),
            0x86, 0x80, "01020300 ddccbbaa 0008 0500 0400",
            "-> DATA_B3_REQ app 1 #1 ncci 0x00030201 len 2048 handle 5 flags 0x0004");
        row("DATA_B3_CONF", built(C::DataB3, S::Conf, kNcci, {setDataHandle, setInfo}), 0x86, 0x81,
            "01020300 0500 0120",
            "<- DATA_B3_CONF app 1 #1 ncci 0x00030201 handle 5 info message not supported in "
            "current state (0x2001)");
        row("DATA_B3_IND",
            built(C::DataB3, S::Ind, kNcci,
                  {setDataPointer, setDataLength, setDataHandle, setFlags, setData64}),
            0x86, 0x82, "01020300 ddccbbaa 0008 0500 0400 8877665544332211",
            "<- DATA_B3_IND app 1 #1 ncci 0x00030201 len 2048 handle 5 flags 0x0004");
        row("DATA_B3_RESP", built(C::DataB3, S::Resp, kNcci, {setDataHandle}), 0x86, 0x83,
            "01020300 0500", "-> DATA_B3_RESP app 1 #1 ncci 0x00030201 handle 5");
        row("RESET_B3_REQ", built(C::ResetB3, S::Req, kNcci, {setNcpi}), 0x87, 0x80,
            "01020300 0b 8025 0100 0000 0400 02 524d",
            "-> RESET_B3_REQ app 1 #1 ncci 0x00030201 NCPI rate 9600 high format 0 pages 4 "
            "station \"RM\"");
        row("RESET_B3_CONF", built(C::ResetB3, S::Conf, kNcci, {setInfo}), 0x87, 0x81,
            "01020300 0120",
            "<- RESET_B3_CONF app 1 #1 ncci 0x00030201 info message not supported in current "
            "state (0x2001)");
        row("RESET_B3_IND", built(C::ResetB3, S::Ind, kNcci, {setNcpi}), 0x87, 0x82,
            "01020300 0b 8025 0100 0000 0400 02 524d",
            "<- RESET_B3_IND app 1 #1 ncci 0x00030201 NCPI rate 9600 high format 0 pages 4 "
            "station \"RM\"");
        row("RESET_B3_RESP", built(C::ResetB3, S::Resp, kNcci, {}), 0x87, 0x83, "01020300",
            "-> RESET_B3_RESP app 1 #1 ncci 0x00030201");
        row("MANUFACTURER_REQ",
            built(C::Manufacturer, S::Req, kCtrl, {setManufacturerId, setManufacturerData}), 0xFF,
            0x80, "01000000 51554c4e 02 3000",
            "-> MANUFACTURER_REQ app 1 #1 ctrl 1 manufacturer 0x4e4c5551 data 30 00");
        row("MANUFACTURER_CONF", built(C::Manufacturer, S::Conf, kCtrl, {setManufacturerId}),
            0xFF, 0x81, "01000000 51554c4e 00",
            "<- MANUFACTURER_CONF app 1 #1 ctrl 1 manufacturer 0x4e4c5551");
        row("MANUFACTURER_IND",
            built(C::Manufacturer, S::Ind, kCtrl, {setManufacturerId, setManufacturerData}), 0xFF,
            0x82, "01000000 51554c4e 02 3000",
            "<- MANUFACTURER_IND app 1 #1 ctrl 1 manufacturer 0x4e4c5551 data 30 00");
        row("MANUFACTURER_RESP", built(C::Manufacturer, S::Resp, kCtrl, {setManufacturerId}),
            0xFF, 0x83, "01000000 51554c4e 00",
            "-> MANUFACTURER_RESP app 1 #1 ctrl 1 manufacturer 0x4e4c5551");
        QCOMPARE(rowNames, knownNames());
    }
    void everyLayout()
    {
        QFETCH(Message, message);
        QFETCH(QByteArray, bytes);
        QFETCH(QString, trace);
        QCOMPARE(encode(message).toHex(' '), bytes.toHex(' '));
        const DecodeResult r = decode(bytes);
        QVERIFY2(r.ok(), qPrintable(r.ok() ? QString() : r.error().text));
        QCOMPARE(r.message(), message);
        QCOMPARE(traceLine(message), trace);
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

    // The corners of each way a parameter reads: numbers wider than their digits, values
    // without words, long and foreign structs, messages outside the table.
    void traceCorners_data()
    {
        QTest::addColumn<Message>("message");
        QTest::addColumn<QString>("line");
        const auto row = [](const char *name, const Message &m, const char *line) {
            QTest::newRow(name) << m << QString::fromUtf8(line);
        };
        Message info(Command::Info, Subcommand::Ind, 7, 1);
        info.infoNumber = 0x0070;
        info.infoElement = QByteArray(20, '\x5a');
        row("INFO_IND to a controller, element of 20 bytes", info,
            "<- INFO_IND app 7 #0 ctrl 1 info number 0x0070 (info element) element 5a 5a 5a 5a "
            "5a 5a 5a 5a 5a 5a 5a 5a 5a 5a 5a 5a ... (20 bytes)");
        info.address = 0x0301;
        info.infoNumber = infonumber::Disconnect;
        row("INFO_IND to a PLCI", info,
            "<- INFO_IND app 7 #0 plci 0x0301 info number 0x8045 (disconnect) element 5a 5a 5a "
            "5a 5a 5a 5a 5a 5a 5a 5a 5a 5a 5a 5a 5a ... (20 bytes)");
        info.address = 0x00020301;
        info.infoElement = QByteArray(16, '\x01');
        row("INFO_IND to an NCCI, element of 16 bytes", info,
            "<- INFO_IND app 7 #0 ncci 0x00020301 info number 0x8045 (disconnect) element 01 01 "
            "01 01 01 01 01 01 01 01 01 01 01 01 01 01");

        Message wide(Command::DisconnectB3, Subcommand::Resp, 65535, 0x7FFF0301);
        wide.number = 65535;
        row("largest numbers", wide, "-> DISCONNECT_B3_RESP app 65535 #65535 ncci 0x7fff0301");
        Message plci(Command::Disconnect, Subcommand::Ind, 1, 0x12345);
        plci.reason = 0x3455;
        row("PLCI beyond four digits, unnamed cause", plci,
            "<- DISCONNECT_IND app 1 #0 plci 0x12345 reason cause 85 (0x3455)");
        plci.reason = 0x2222;
        row("unknown reason", plci,
            "<- DISCONNECT_IND app 1 #0 plci 0x12345 reason unknown reason (0x2222)");

        Message connect(Command::Connect, Subcommand::Ind, 1, 0x0101);
        connect.cip = 9;
        connect.calledParty = {0x81, QStringLiteral("\u00e9t\u00e9")};
        connect.callingParty.digits = QStringLiteral("%1 %2");
        connect.bc = QByteArray::fromHex("8890a3");
        connect.additionalInfo.sendingComplete = QByteArray();
        row("CONNECT_IND with unknown CIP and foreign digits", connect,
            "<- CONNECT_IND app 1 #0 plci 0x0101 cip 9 (CIP 9) called \"\u00e9t\u00e9\" calling "
            "\"%1 %2\" bc "
            "88 90 a3 additional info present");

        Message resp(Command::Connect, Subcommand::Resp, 1, 0x0101);
        BProtocol g4 = BProtocol::faxG4(bproto::B3T90NL);
        g4.b3Configuration = QByteArray::fromHex("0102030405060708090a0b0c0d0e0f1011");
        resp.bProtocol = g4;
        resp.reject = 0x0099;
        row("CONNECT_RESP, non-fax B3 configuration, unknown reject", resp,
            "-> CONNECT_RESP app 1 #0 plci 0x0101 reject 153 (reject 153) B protocol 0/0/1 B3 "
            "config 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f 10 ... (17 bytes)");
        resp.reject = 0x3401;
        resp.bProtocol = BProtocol::faxG3({0, 3, QString(), QStringLiteral("50% off")});
        row("CONNECT_RESP, cause reject, standard resolution", resp,
            "-> CONNECT_RESP app 1 #0 plci 0x0101 reject 0x3401 (reject, unassigned number) B "
            "protocol 4/4/4 (standard resolution, format 3, station \"\", head line \"50% off\")");
        resp.reject = 0x1234;
        resp.bProtocol->b3 = bproto::B3T30Extended;
        resp.bProtocol->b3Configuration = QByteArray::fromHex("0100");
        row("CONNECT_RESP, other reject, broken fax configuration", resp,
            "-> CONNECT_RESP app 1 #0 plci 0x0101 reject 0x1234 (reject 4660) B protocol 4/4/5 "
            "B3 config 01 00");

        Message listen(Command::Listen, Subcommand::Req, 1, 2);
        listen.cipMask2 = 0x80000001;
        listen.callingSubaddress = QByteArray::fromHex("80");
        row("LISTEN_REQ with CIP mask 2", listen,
            "-> LISTEN_REQ app 1 #0 ctrl 2 info mask 0x00000000 cip mask 0x00000000 cip mask 2 "
            "0x80000001 calling subaddress 80");

        Message data = Message::dataB3Req(1, 0x00010101, QByteArray(7, 'x'), 65535, 0x0004);
        data.data64 = 1;
        row("DATA_B3_REQ with flags and 64-bit pointer", data,
            "-> DATA_B3_REQ app 1 #0 ncci 0x00010101 len 7 handle 65535 flags 0x0004");
        Message conf(Command::DataB3, Subcommand::Conf, 1, 0x00010101);
        conf.info = 0x7777;
        row("DATA_B3_CONF with unknown info", conf,
            "<- DATA_B3_CONF app 1 #0 ncci 0x00010101 handle 0 info unknown info (0x7777)");

        Message ncpi(Command::ConnectB3Active, Subcommand::Ind, 1, 0x00010101);
        ncpi.ncpi = QByteArray::fromHex("0102");
        row("NCPI that is not a fax NCPI", ncpi,
            "<- CONNECT_B3_ACTIVE_IND app 1 #0 ncci 0x00010101 NCPI 01 02");
        ncpi.ncpi = FaxNcpi{65535, 7, 2, 1000, QStringLiteral("\"q\"")}.toBytes();
        row("fax NCPI, odd resolution", ncpi,
            "<- CONNECT_B3_ACTIVE_IND app 1 #0 ncci 0x00010101 NCPI rate 65535 high format 2 "
            "pages 1000 station \"\"q\"\"");

        Message facility(Command::Facility, Subcommand::Conf, 1, 0x00010101);
        facility.info = info::FacilityNotSupported;
        facility.facilitySelector = 0xFFFF;
        row("FACILITY_CONF, largest selector, no parameter", facility,
            "<- FACILITY_CONF app 1 #0 ncci 0x00010101 info facility not supported (0x300b) "
            "facility 65535");

        Message manufacturer(Command::Manufacturer, Subcommand::Ind, 1, 1);
        manufacturer.manufacturerId = 0x12345678;
        manufacturer.manufacturerData = QByteArray(300, '\x01');
        row("MANUFACTURER_IND of another manufacturer, long content", manufacturer,
            "<- MANUFACTURER_IND app 1 #0 ctrl 1 manufacturer 0x12345678 data 01 01 01 01 01 01 "
            "01 01 01 01 01 01 01 01 01 01 ... (300 bytes)");
        row("unknown command", Message(Command(0x7E), Subcommand::Req, 1, 1),
            "-> COMMAND_0x7e_REQ app 1 #0");
        row("unknown subcommand", Message(Command::Connect, Subcommand(0x84), 1, 1),
            "<- CONNECT_0x84 app 1 #0");
    }
    void traceCorners() { traceLines(); }

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

        // A MANUFACTURER_RESP names the manufacturer whose indication it answers.
        Message manufacturer(Command::Manufacturer, Subcommand::Ind, 4, 1);
        manufacturer.number = 3;
        manufacturer.manufacturerId = 0x4E4C5551;
        manufacturer.manufacturerData = "report";
        const Message answer = manufacturer.response();
        QCOMPARE(answer.manufacturerId, 0x4E4C5551u);
        QVERIFY(answer.manufacturerData.isEmpty());
        QCOMPARE(answer.number, quint16(3));
        QVERIFY(decode(encode(answer)).ok());
    }
};

QUILLON_TEST_GUILESS_MAIN(TestCapiMessage)
#include "tst_capimessage.moc"
