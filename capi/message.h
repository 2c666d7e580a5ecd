#pragma once

// CAPI 2.0 messages: the header, the parameters a fax application and a controller exchange,
// and their byte encoding. One table of parameters (messagelayout_p.h) and one of parameter
// orders (message.cpp) drive encode(), decode() and the trace lines (trace.h).


#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>
#include <variant>

namespace capi {

enum class Command : quint8 {
    Alert = 0x01,
    Connect = 0x02,
    ConnectActive = 0x03,
    Disconnect = 0x04,
    Listen = 0x05,
    Info = 0x08,
    SelectBProtocol = 0x41,
    Facility = 0x80,
    ConnectB3 = 0x82,
    ConnectB3Active = 0x83,
    DisconnectB3 = 0x84,
    DataB3 = 0x86,
    ResetB3 = 0x87,
    ConnectB3T90Active = 0x88,
    Manufacturer = 0xFF,
};

enum class Subcommand : quint8 {
    Req = 0x80,
    Conf = 0x81,
    Ind = 0x82,
    Resp = 0x83,
};

// REQ and RESP travel from the application to the controller, CONF and IND the other way.
constexpr bool isToController(Subcommand s)
{
    return s == Subcommand::Req || s == Subcommand::Resp;
}

// CIP values (bit n of a LISTEN_REQ CIP mask stands for CIP value n; bit 0 means "any").
namespace cip {
constexpr quint16 Any = 0;
constexpr quint16 Speech = 1;
constexpr quint16 UnrestrictedDigital = 2;
constexpr quint16 Audio3k1 = 4;
constexpr quint16 Telephony = 16;
constexpr quint16 FaxG3 = 17;
constexpr quint16 FaxG4 = 18;
constexpr quint32 maskBit(quint16 cipValue) { return cipValue < 32 ? (1u << cipValue) : 0u; }
} // namespace cip

// B1, B2 and B3 protocol identifiers.
namespace bproto {
constexpr quint16 B1Hdlc64k = 0;        // 64 kbit/s with HDLC framing
constexpr quint16 B1Transparent64k = 1; // 64 kbit/s bit-transparent
constexpr quint16 B1T30Modem = 4;       // T.30 modem for G3 fax
constexpr quint16 B2X75 = 0;            // ISO 7776 (X.75 SLP)
constexpr quint16 B2Transparent = 1;
constexpr quint16 B2T30 = 4;            // T.30 for G3 fax
constexpr quint16 B3Transparent = 0;
constexpr quint16 B3T90NL = 1;          // T.90NL with T.70NL compatibility
constexpr quint16 B3Iso8208 = 2;
constexpr quint16 B3T30 = 4;            // T.30 for G3 fax
constexpr quint16 B3T30Extended = 5;    // T.30 for G3 fax with extensions
constexpr bool isFaxG3B3(quint16 b3) { return b3 == B3T30 || b3 == B3T30Extended; }
} // namespace bproto

// CONNECT_RESP and CONNECT_B3_RESP reject values.
namespace reject {
constexpr quint16 Accept = 0;
constexpr quint16 Ignore = 1;
constexpr quint16 NormalClearing = 2;
constexpr quint16 UserBusy = 3;
constexpr quint16 ChannelNotAvailable = 4;
constexpr quint16 FacilityRejected = 5;
constexpr quint16 ChannelUnacceptable = 6;
constexpr quint16 IncompatibleDestination = 7;
constexpr quint16 DestinationOutOfOrder = 8;
} // namespace reject

// Info values of CONF messages and of register/put/get.
namespace info {
constexpr quint16 Ok = 0x0000;
constexpr quint16 NcpiIgnored = 0x0001;
constexpr quint16 FlagsIgnored = 0x0002;
constexpr quint16 AlertAlreadySent = 0x0003;
constexpr quint16 TooManyApplications = 0x1001;
constexpr quint16 BlockSizeTooSmall = 0x1002;
constexpr quint16 BufferExceeds64k = 0x1003;
constexpr quint16 MessageBufferTooSmall = 0x1004;
constexpr quint16 MaxConnectionsNotSupported = 0x1005;
constexpr quint16 RegisterBusy = 0x1007;
constexpr quint16 RegisterOsResource = 0x1008;
constexpr quint16 NotInstalled = 0x1009;
constexpr quint16 IllegalApplication = 0x1101;
constexpr quint16 IllegalCommand = 0x1102; // illegal command, subcommand or message length
constexpr quint16 QueueFull = 0x1103;      // not accepted: internal busy condition
constexpr quint16 QueueEmpty = 0x1104;
constexpr quint16 QueueOverflow = 0x1105;
constexpr quint16 IllegalState = 0x2001;  // message not supported in current state
constexpr quint16 IllegalIdentifier = 0x2002; // illegal controller, PLCI or NCCI
constexpr quint16 OutOfPlci = 0x2003;
constexpr quint16 OutOfNcci = 0x2004;
constexpr quint16 OutOfListen = 0x2005;
constexpr quint16 OutOfFaxResources = 0x2006;
constexpr quint16 IllegalParameterCoding = 0x2007;
constexpr quint16 B1NotSupported = 0x3001;
constexpr quint16 B2NotSupported = 0x3002;
constexpr quint16 B3NotSupported = 0x3003;
constexpr quint16 B1ParameterNotSupported = 0x3004;
constexpr quint16 B2ParameterNotSupported = 0x3005;
constexpr quint16 B3ParameterNotSupported = 0x3006;
constexpr quint16 BProtocolCombinationNotSupported = 0x3007;
constexpr quint16 NcpiNotSupported = 0x3008;
constexpr quint16 CipUnknown = 0x3009;
constexpr quint16 FlagsNotSupported = 0x300A;
constexpr quint16 FacilityNotSupported = 0x300B;
constexpr quint16 DataLengthNotSupported = 0x300C;
constexpr quint16 ResetNotSupported = 0x300D;
} // namespace info

// DISCONNECT_IND reasons and DISCONNECT_B3_IND reasons B3.
namespace reason {
constexpr quint16 Normal = 0x0000;
constexpr quint16 Layer1Error = 0x3301;
constexpr quint16 Layer2Error = 0x3302;
constexpr quint16 Layer3Error = 0x3303;
constexpr quint16 AnotherApplicationGotCall = 0x3304;
constexpr quint16 FaxNotG3 = 0x3311;
constexpr quint16 FaxTrainingError = 0x3312;
constexpr quint16 FaxModeNotSupported = 0x3313;
constexpr quint16 FaxRemoteAbort = 0x3314;
constexpr quint16 FaxRemoteProcedureError = 0x3315;
constexpr quint16 FaxLocalTransmitUnderrun = 0x3316;
constexpr quint16 FaxLocalReceiveOverflow = 0x3317;
constexpr quint16 FaxLocalAbort = 0x3318;
constexpr quint16 FaxIllegalParameterCoding = 0x3319;
// 0x34xx: 0x3400 | (0x80 | Q.931 cause)
constexpr quint16 fromQ931Cause(quint8 cause) { return quint16(0x3480 | (cause & 0x7F)); }
constexpr quint16 UnassignedNumber = 0x3481;
constexpr quint16 NormalClearing = 0x3490;
constexpr quint16 UserBusy = 0x3491;
constexpr quint16 NoUserResponding = 0x3492;
constexpr quint16 NoAnswer = 0x3493;
constexpr quint16 CallRejected = 0x3495;
constexpr quint16 DestinationOutOfOrder = 0x349B;
constexpr quint16 InvalidNumberFormat = 0x349C;
constexpr quint16 FacilityRejected = 0x349D;
constexpr quint16 NormalUnspecified = 0x349F;
constexpr quint16 NoChannelAvailable = 0x34A2;
constexpr quint16 TemporaryFailure = 0x34A9;
constexpr quint16 ChannelNotAvailable = 0x34AC;
constexpr quint16 ChannelUnacceptable = 0x3486;
constexpr quint16 IncompatibleDestination = 0x34D8;
// A call ended as it should: no reason, or normal clearing as the network words it.
constexpr bool isNormalClearing(quint16 r)
{
    return r == 0 || r == 0x3400 || r == 0x3480 || r == NormalClearing || r == NormalUnspecified;
}
} // namespace reason

// INFO_IND info numbers for call progress: 0x8000 | Q.931 message type.
namespace infonumber {
constexpr quint16 Alerting = 0x8001;
constexpr quint16 CallProceeding = 0x8002;
constexpr quint16 Connect = 0x8007;
constexpr quint16 Disconnect = 0x8045;
} // namespace infonumber

// LISTEN_REQ info mask bits.
namespace infomask {
constexpr quint32 Cause = 0x0001;
constexpr quint32 Display = 0x0004;
constexpr quint32 CallProgression = 0x0010;
} // namespace infomask

// Called party number: type of number and numbering plan (0x80: unknown, unknown plan) and
// IA5 digits. An empty number is encoded as an empty struct.
struct CalledPartyNumber
{
    quint8 type = 0x80;
    QString digits;
    bool operator==(const CalledPartyNumber &) const = default;
};

// Calling party number (also the layout of the connected number): type and plan, presentation
// and screening (0x80: presentation allowed, user provided), IA5 digits.
struct CallingPartyNumber
{
    quint8 type = 0x00;
    quint8 presentation = 0x80;
    QString digits;
    bool operator==(const CallingPartyNumber &) const = default;
};

// B3 configuration for T.30 (G3 fax). Station id at most 20 characters.
struct FaxB3Configuration
{
    quint16 resolution = 0; // 0 standard (98 lpi), 1 high (196 lpi)
    quint16 format = 0;     // 0 SFF
    QString stationId;
    QString headLine;
    bool operator==(const FaxB3Configuration &) const = default;

    QByteArray toBytes() const;
    // Strict: std::nullopt when the bytes are not exactly this struct.
    static std::optional<FaxB3Configuration> fromBytes(QByteArrayView bytes);
};

// B protocol struct. Configurations are kept as their bytes, since their meaning depends on
// the protocol; FaxB3Configuration reads the T.30 one.
struct BProtocol
{
    quint16 b1 = bproto::B1Hdlc64k;
    quint16 b2 = bproto::B2X75;
    quint16 b3 = bproto::B3Transparent;
    QByteArray b1Configuration;
    QByteArray b2Configuration;
    QByteArray b3Configuration;
    // The optional sixth struct (global configuration); absent when not set.
    std::optional<QByteArray> globalConfiguration;
    bool operator==(const BProtocol &) const = default;

    // B1 4, B2 4, B3 4 with the given fax configuration.
    static BProtocol faxG3(const FaxB3Configuration &config);
    // B1 0, B2 0 and a transparent (or T.90NL) B3, as for G4 facsimile.
    static BProtocol faxG4(quint16 b3 = bproto::B3Transparent);
    std::optional<FaxB3Configuration> faxConfiguration() const;
};

// Fax NCPI, as in CONNECT_B3_ACTIVE_IND and DISCONNECT_B3_IND of a T.30 connection.
struct FaxNcpi
{
    quint16 rate = 0; // bit/s
    quint16 resolution = 0;
    quint16 format = 0;
    quint16 pages = 0;
    QString remoteStationId;
    bool operator==(const FaxNcpi &) const = default;

    QByteArray toBytes() const;
    static std::optional<FaxNcpi> fromBytes(QByteArrayView bytes);
};

// Additional info struct. All parts empty encodes as an empty struct.
struct AdditionalInfo
{
    QByteArray bChannelInformation;
    QByteArray keypadFacility;
    QByteArray userUserData;
    QByteArray facilityDataArray;
    std::optional<QByteArray> sendingComplete;
    bool operator==(const AdditionalInfo &) const = default;
    bool isEmpty() const;
};

// A CAPI message: the header and every parameter any message of the table can carry. Only
// the parameters in the order of (command, subcommand) are encoded; the others are ignored.
struct Message
{
    // Header
    quint16 appId = 0;
    Command command = Command::Connect;
    Subcommand subcommand = Subcommand::Req;
    quint16 number = 0; // message number; a CONF or RESP repeats the one it answers

    // Parameters
    quint32 address = 0; // controller, PLCI or NCCI, as the message needs
    quint16 info = 0;
    quint16 cip = 0;
    quint16 reject = 0;
    quint16 reason = 0; // DISCONNECT_IND reason, DISCONNECT_B3_IND reason B3
    quint32 infoMask = 0;
    quint32 cipMask = 0;
    quint32 cipMask2 = 0;
    CalledPartyNumber calledParty;
    CallingPartyNumber callingParty;
    CallingPartyNumber connectedNumber;
    QByteArray calledSubaddress;
    QByteArray callingSubaddress;
    QByteArray connectedSubaddress;
    std::optional<BProtocol> bProtocol; // std::nullopt: empty struct (the defaults)
    QByteArray bc;
    QByteArray llc;
    QByteArray hlc;
    AdditionalInfo additionalInfo;
    QByteArray ncpi; // content depends on the B3 protocol; FaxNcpi reads the T.30 one
    quint16 infoNumber = 0;
    QByteArray infoElement;
    quint16 facilitySelector = 0;
    QByteArray facilityParameter;
    quint32 dataPointer = 0; // DATA_B3: the 32-bit pointer field; the data travels in `data`
    quint16 dataLength = 0;
    quint16 dataHandle = 0;
    quint16 flags = 0;
    std::optional<quint64> data64; // the optional 64-bit pointer field of DATA_B3_REQ/IND
    quint32 manufacturerId = 0;    // MANUFACTURER_*: whose extension the message carries
    QByteArray manufacturerData;   // MANUFACTURER_*: its content, coded as a struct

    // The data block of DATA_B3_REQ and DATA_B3_IND. Not part of the encoding: a real CAPI
    // passes it by pointer beside the message. Implicitly shared, so passing it on is free.
    QByteArray data;

    Message() = default;
    Message(Command c, Subcommand s, quint16 app = 0, quint32 addr = 0)
        : appId(app), command(c), subcommand(s), address(addr)
    {
    }
    bool operator==(const Message &) const = default;

    // The controller and the PLCI parts of the address (an NCCI holds its PLCI).
    quint8 controller() const { return quint8(address & 0x7F); }
    quint32 plci() const { return address & 0xFFFF; }

    // The RESP to this IND: same application, message number and address; a DATA_B3_RESP
    // carries the data handle of its DATA_B3_IND, a MANUFACTURER_RESP the manufacturer id.
    Message response() const;
    // A DATA_B3_REQ carrying `block`, with length and handle set.
    static Message dataB3Req(quint16 app, quint32 ncci, const QByteArray &block, quint16 handle,
                             quint16 flags = 0);
};

// Name of a command ("CONNECT_B3"), of a subcommand ("IND") and of both ("CONNECT_B3_IND").
QString commandName(Command c);
QString subcommandName(Subcommand s);
QString messageName(Command c, Subcommand s);

// Whether (command, subcommand) is a message this library encodes.
bool isKnownMessage(Command c, Subcommand s);

// The encoding of `m`, header included, with the total length filled in. Empty when the
// message does not fit a CAPI message (unknown message, a struct or the whole over 65535
// bytes).
QByteArray encode(const Message &m);

enum class DecodeErrorCode {
    TooShort,         // fewer bytes than a header
    LengthMismatch,   // the length field disagrees with the buffer
    UnknownCommand,   // no such command
    UnknownSubcommand, // no such subcommand, or not a message of that command
    Truncated,        // a fixed-size parameter runs past the end of the message
    StructOverrun,    // a struct runs past its message or the struct that holds it
    BadStruct,        // a struct's content is not what its parameter needs
    TrailingBytes,    // bytes left after the last parameter
};

struct DecodeError
{
    DecodeErrorCode code = DecodeErrorCode::TooShort;
    qsizetype offset = 0; // byte offset in the buffer where decoding stopped
    QString text;
    bool operator==(const DecodeError &) const = default;
};

// Either a message or the reason why the bytes are not one.
class DecodeResult
{
public:
    DecodeResult(Message m) : m_value(std::move(m)) {}
    DecodeResult(DecodeError e) : m_value(std::move(e)) {}
    bool ok() const { return std::holds_alternative<Message>(m_value); }
    explicit operator bool() const { return ok(); }
    const Message &message() const { return std::get<Message>(m_value); }
    Message &message() { return std::get<Message>(m_value); }
    const DecodeError &error() const { return std::get<DecodeError>(m_value); }

private:
    std::variant<Message, DecodeError> m_value;
};

// Strict and total: any buffer yields a message or an error, never a read outside `bytes`.
DecodeResult decode(QByteArrayView bytes);

} // namespace capi
