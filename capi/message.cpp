#include "capi/message.h"
#include "capi/messagelayout_p.h"

#include <QtEndian>

#include <array>

namespace capi {

namespace {

constexpr Layout L(Command c, Subcommand s, std::initializer_list<Param> ps)
{
    Layout l{c, s, quint8(ps.size()), {}};
    std::size_t i = 0;
    for (Param p : ps)
        l.params[i++] = p;
    return l;
}

using C = Command;
using S = Subcommand;
using P = Param;

// The parameter order of every message, as the CAPI 2.0 message descriptions give it.
constexpr Layout kLayouts[] = {
    L(C::Alert, S::Req, {P::Plci, P::AdditionalInfo}),
    L(C::Alert, S::Conf, {P::Plci, P::Info}),

    L(C::Connect, S::Req,
      {P::Controller, P::Cip, P::CalledParty, P::CallingParty, P::CalledSubaddress,
       P::CallingSubaddress, P::BProtocol, P::Bc, P::Llc, P::Hlc, P::AdditionalInfo}),
    L(C::Connect, S::Conf, {P::Plci, P::Info}),
    L(C::Connect, S::Ind,
      {P::Plci, P::Cip, P::CalledParty, P::CallingParty, P::CalledSubaddress,
       P::CallingSubaddress, P::Bc, P::Llc, P::Hlc, P::AdditionalInfo}),
    L(C::Connect, S::Resp,
      {P::Plci, P::Reject, P::BProtocol, P::ConnectedNumber, P::ConnectedSubaddress, P::Llc,
       P::AdditionalInfo}),

    L(C::ConnectActive, S::Ind, {P::Plci, P::ConnectedNumber, P::ConnectedSubaddress, P::Llc}),
    L(C::ConnectActive, S::Resp, {P::Plci}),

    L(C::Disconnect, S::Req, {P::Plci, P::AdditionalInfo}),
    L(C::Disconnect, S::Conf, {P::Plci, P::Info}),
    L(C::Disconnect, S::Ind, {P::Plci, P::Reason}),
    L(C::Disconnect, S::Resp, {P::Plci}),

    L(C::Listen, S::Req,
      {P::Controller, P::InfoMask, P::CipMask, P::CipMask2, P::CallingParty,
       P::CallingSubaddress}),
    L(C::Listen, S::Conf, {P::Controller, P::Info}),

    L(C::Info, S::Req, {P::Address, P::CalledParty, P::AdditionalInfo}),
    L(C::Info, S::Conf, {P::Address, P::Info}),
    L(C::Info, S::Ind, {P::Address, P::InfoNumber, P::InfoElement}),
    L(C::Info, S::Resp, {P::Address}),

    L(C::SelectBProtocol, S::Req, {P::Plci, P::BProtocol}),
    L(C::SelectBProtocol, S::Conf, {P::Plci, P::Info}),

    L(C::Facility, S::Req, {P::Address, P::FacilitySelector, P::FacilityParameter}),
    L(C::Facility, S::Conf, {P::Address, P::Info, P::FacilitySelector, P::FacilityParameter}),
    L(C::Facility, S::Ind, {P::Address, P::FacilitySelector, P::FacilityParameter}),
    L(C::Facility, S::Resp, {P::Address, P::FacilitySelector, P::FacilityParameter}),

    L(C::ConnectB3, S::Req, {P::Plci, P::Ncpi}),
    L(C::ConnectB3, S::Conf, {P::Ncci, P::Info}),
    L(C::ConnectB3, S::Ind, {P::Ncci, P::Ncpi}),
    L(C::ConnectB3, S::Resp, {P::Ncci, P::Reject, P::Ncpi}),

    L(C::ConnectB3Active, S::Ind, {P::Ncci, P::Ncpi}),
    L(C::ConnectB3Active, S::Resp, {P::Ncci}),

    L(C::ConnectB3T90Active, S::Ind, {P::Ncci, P::Ncpi}),
    L(C::ConnectB3T90Active, S::Resp, {P::Ncci}),

    L(C::DisconnectB3, S::Req, {P::Ncci, P::Ncpi}),
    L(C::DisconnectB3, S::Conf, {P::Ncci, P::Info}),
    L(C::DisconnectB3, S::Ind, {P::Ncci, P::ReasonB3, P::Ncpi}),
    L(C::DisconnectB3, S::Resp, {P::Ncci}),

    L(C::DataB3, S::Req,
      {P::Ncci, P::DataPointer, P::DataLength, P::DataHandle, P::Flags, P::Data64}),
    L(C::DataB3, S::Conf, {P::Ncci, P::DataHandle, P::Info}),
    L(C::DataB3, S::Ind,
      {P::Ncci, P::DataPointer, P::DataLength, P::DataHandle, P::Flags, P::Data64}),
    L(C::DataB3, S::Resp, {P::Ncci, P::DataHandle}),

    L(C::ResetB3, S::Req, {P::Ncci, P::Ncpi}),
    L(C::ResetB3, S::Conf, {P::Ncci, P::Info}),
    L(C::ResetB3, S::Ind, {P::Ncci, P::Ncpi}),
    L(C::ResetB3, S::Resp, {P::Ncci}),
};

constexpr qsizetype kHeaderSize = 8;

// ---- writing ----

class Writer
{
public:
    void byte(quint8 v) { m_out.append(char(v)); }
    void word(quint16 v)
    {
        byte(quint8(v));
        byte(quint8(v >> 8));
    }
    void dword(quint32 v)
    {
        word(quint16(v));
        word(quint16(v >> 16));
    }
    void qword(quint64 v)
    {
        dword(quint32(v));
        dword(quint32(v >> 32));
    }
    // A struct: a length byte, or 0xFF and a length word from 255 bytes on.
    void structure(QByteArrayView content)
    {
        if (content.size() > 0xFFFF) {
            m_failed = true;
            return;
        }
        if (content.size() < 255) {
            byte(quint8(content.size()));
        } else {
            byte(0xFF);
            word(quint16(content.size()));
        }
        m_out.append(content.data(), content.size());
    }
    void text(const QString &s) { structure(s.toLatin1()); }
    void markFailed() { m_failed = true; }
    bool failed() const { return m_failed; }
    QByteArray &bytes() { return m_out; }

private:
    QByteArray m_out;
    bool m_failed = false;
};

// ---- reading ----

// Reads little-endian fields from [pos, end) of a buffer; offsets count from the buffer's
// start, so errors inside nested structs point at the right byte.
class Reader
{
public:
    Reader(QByteArrayView buffer, qsizetype pos, qsizetype end)
        : m_buf(buffer), m_pos(pos), m_end(end)
    {
    }
    qsizetype pos() const { return m_pos; }
    qsizetype remaining() const { return m_end - m_pos; }
    bool failed() const { return m_error.has_value(); }
    const DecodeError &error() const { return *m_error; }

    void fail(DecodeErrorCode code, qsizetype offset, const QString &text)
    {
        if (!m_error)
            m_error = DecodeError{code, offset, text};
    }

    quint64 fixed(int size, const char *what)
    {
        if (failed())
            return 0;
        if (remaining() < size) {
            fail(DecodeErrorCode::Truncated, m_pos,
                 QStringLiteral("%1 needs %2 bytes at offset %3, %4 left")
                     .arg(QLatin1String(what))
                     .arg(size)
                     .arg(m_pos)
                     .arg(remaining()));
            return 0;
        }
        quint64 v = 0;
        for (int i = size - 1; i >= 0; --i)
            v = (v << 8) | quint8(m_buf[m_pos + i]);
        m_pos += size;
        return v;
    }
    quint8 byte(const char *what) { return quint8(fixed(1, what)); }
    quint16 word(const char *what) { return quint16(fixed(2, what)); }
    quint32 dword(const char *what) { return quint32(fixed(4, what)); }

    // A struct's content, as a reader over it. On error the returned reader is empty.
    Reader structure(const char *what)
    {
        if (failed())
            return Reader(m_buf, m_pos, m_pos);
        const qsizetype start = m_pos;
        if (remaining() < 1) {
            fail(DecodeErrorCode::StructOverrun, start,
                 QStringLiteral("%1: no length byte at offset %2").arg(QLatin1String(what)).arg(start));
            return Reader(m_buf, m_pos, m_pos);
        }
        qsizetype length = quint8(m_buf[m_pos]);
        qsizetype headerSize = 1;
        if (length == 0xFF) {
            if (remaining() < 3) {
                fail(DecodeErrorCode::StructOverrun, start,
                     QStringLiteral("%1: escaped length word at offset %2 runs past the end")
                         .arg(QLatin1String(what))
                         .arg(start));
                return Reader(m_buf, m_pos, m_pos);
            }
            length = quint8(m_buf[m_pos + 1]) | (qsizetype(quint8(m_buf[m_pos + 2])) << 8);
            headerSize = 3;
        }
        if (remaining() - headerSize < length) {
            fail(DecodeErrorCode::StructOverrun, start,
                 QStringLiteral("%1 at offset %2 is %3 bytes long, only %4 left")
                     .arg(QLatin1String(what))
                     .arg(start)
                     .arg(length)
                     .arg(remaining() - headerSize));
            return Reader(m_buf, m_pos, m_pos);
        }
        Reader inner(m_buf, m_pos + headerSize, m_pos + headerSize + length);
        m_pos += headerSize + length;
        return inner;
    }
    QByteArray structBytes(const char *what)
    {
        Reader r = structure(what);
        return r.rest();
    }
    QString structText(const char *what) { return QString::fromLatin1(structBytes(what)); }

    // The unread bytes, consumed.
    QByteArray rest()
    {
        QByteArray out(m_buf.data() + m_pos, m_end - m_pos);
        m_pos = m_end;
        return out;
    }
    // A nested struct must be used up exactly; its errors move to the outer reader.
    void finishInner(Reader &inner, const char *what)
    {
        if (inner.failed()) {
            const DecodeError &e = inner.error();
            DecodeErrorCode code = e.code == DecodeErrorCode::Truncated
                                       ? DecodeErrorCode::BadStruct
                                       : e.code;
            fail(code, e.offset, e.text);
        } else if (inner.remaining() != 0) {
            fail(DecodeErrorCode::BadStruct, inner.pos(),
                 QStringLiteral("%1 has %2 bytes too many at offset %3")
                     .arg(QLatin1String(what))
                     .arg(inner.remaining())
                     .arg(inner.pos()));
        }
    }

private:
    QByteArrayView m_buf;
    qsizetype m_pos;
    qsizetype m_end;
    std::optional<DecodeError> m_error;
};

// ---- structs ----

void writeCalled(Writer &w, const CalledPartyNumber &n)
{
    if (n.digits.isEmpty() && n.type == CalledPartyNumber().type) {
        w.structure({});
        return;
    }
    QByteArray b;
    b.append(char(n.type));
    b.append(n.digits.toLatin1());
    w.structure(b);
}

CalledPartyNumber readCalled(Reader &r)
{
    CalledPartyNumber n;
    Reader in = r.structure("called party number");
    if (in.remaining() > 0) {
        n.type = in.byte("called party number type");
        n.digits = QString::fromLatin1(in.rest());
    }
    r.finishInner(in, "called party number");
    return n;
}

void writeCalling(Writer &w, const CallingPartyNumber &n)
{
    if (n == CallingPartyNumber()) {
        w.structure({});
        return;
    }
    QByteArray b;
    b.append(char(n.type));
    b.append(char(n.presentation));
    b.append(n.digits.toLatin1());
    w.structure(b);
}

CallingPartyNumber readCalling(Reader &r, const char *what)
{
    CallingPartyNumber n;
    Reader in = r.structure(what);
    if (in.remaining() > 0) {
        n.type = in.byte(what);
        n.presentation = in.byte(what);
        n.digits = QString::fromLatin1(in.rest());
    }
    r.finishInner(in, what);
    return n;
}

QByteArray bProtocolBytes(const BProtocol &b, bool *failed)
{
    Writer w;
    w.word(b.b1);
    w.word(b.b2);
    w.word(b.b3);
    w.structure(b.b1Configuration);
    w.structure(b.b2Configuration);
    w.structure(b.b3Configuration);
    if (b.globalConfiguration)
        w.structure(*b.globalConfiguration);
    *failed = w.failed();
    return w.bytes();
}

std::optional<BProtocol> readBProtocol(Reader &r)
{
    Reader in = r.structure("B protocol");
    if (r.failed() || in.remaining() == 0)
        return std::nullopt;
    BProtocol b;
    b.b1 = in.word("B1 protocol");
    b.b2 = in.word("B2 protocol");
    b.b3 = in.word("B3 protocol");
    b.b1Configuration = in.structBytes("B1 configuration");
    b.b2Configuration = in.structBytes("B2 configuration");
    b.b3Configuration = in.structBytes("B3 configuration");
    if (in.remaining() > 0)
        b.globalConfiguration = in.structBytes("global configuration");
    r.finishInner(in, "B protocol");
    return b;
}

QByteArray additionalInfoBytes(const AdditionalInfo &a, bool *failed)
{
    *failed = false;
    if (a.isEmpty())
        return {};
    Writer w;
    w.structure(a.bChannelInformation);
    w.structure(a.keypadFacility);
    w.structure(a.userUserData);
    w.structure(a.facilityDataArray);
    if (a.sendingComplete)
        w.structure(*a.sendingComplete);
    *failed = w.failed();
    return w.bytes();
}

AdditionalInfo readAdditionalInfo(Reader &r)
{
    AdditionalInfo a;
    Reader in = r.structure("additional info");
    if (r.failed() || in.remaining() == 0)
        return a;
    a.bChannelInformation = in.structBytes("B channel information");
    a.keypadFacility = in.structBytes("keypad facility");
    a.userUserData = in.structBytes("user-user data");
    a.facilityDataArray = in.structBytes("facility data array");
    if (in.remaining() > 0)
        a.sendingComplete = in.structBytes("sending complete");
    r.finishInner(in, "additional info");
    return a;
}

const char *paramName(Param p)
{
    switch (p) {
    case Param::Controller: return "controller";
    case Param::Plci: return "PLCI";
    case Param::Ncci: return "NCCI";
    case Param::Address: return "controller/PLCI/NCCI";
    case Param::Info: return "info";
    case Param::Cip: return "CIP value";
    case Param::Reject: return "reject";
    case Param::Reason: return "reason";
    case Param::ReasonB3: return "reason B3";
    case Param::InfoMask: return "info mask";
    case Param::CipMask: return "CIP mask";
    case Param::CipMask2: return "CIP mask 2";
    case Param::CalledParty: return "called party number";
    case Param::CallingParty: return "calling party number";
    case Param::CalledSubaddress: return "called party subaddress";
    case Param::CallingSubaddress: return "calling party subaddress";
    case Param::ConnectedNumber: return "connected number";
    case Param::ConnectedSubaddress: return "connected subaddress";
    case Param::BProtocol: return "B protocol";
    case Param::Bc: return "BC";
    case Param::Llc: return "LLC";
    case Param::Hlc: return "HLC";
    case Param::AdditionalInfo: return "additional info";
    case Param::Ncpi: return "NCPI";
    case Param::InfoNumber: return "info number";
    case Param::InfoElement: return "info element";
    case Param::FacilitySelector: return "facility selector";
    case Param::FacilityParameter: return "facility parameter";
    case Param::DataPointer: return "data pointer";
    case Param::DataLength: return "data length";
    case Param::DataHandle: return "data handle";
    case Param::Flags: return "flags";
    case Param::Data64: return "data64";
    }
    return "parameter";
}

// The raw-struct parameters and the member each one lives in.
QByteArray Message::*rawStructMember(Param p)
{
    switch (p) {
    case Param::CalledSubaddress: return &Message::calledSubaddress;
    case Param::CallingSubaddress: return &Message::callingSubaddress;
    case Param::ConnectedSubaddress: return &Message::connectedSubaddress;
    case Param::Bc: return &Message::bc;
    case Param::Llc: return &Message::llc;
    case Param::Hlc: return &Message::hlc;
    case Param::Ncpi: return &Message::ncpi;
    case Param::InfoElement: return &Message::infoElement;
    case Param::FacilityParameter: return &Message::facilityParameter;
    default: return nullptr;
    }
}

// The word parameters and their members.
quint16 Message::*wordMember(Param p)
{
    switch (p) {
    case Param::Info: return &Message::info;
    case Param::Cip: return &Message::cip;
    case Param::Reject: return &Message::reject;
    case Param::Reason:
    case Param::ReasonB3: return &Message::reason;
    case Param::InfoNumber: return &Message::infoNumber;
    case Param::FacilitySelector: return &Message::facilitySelector;
    case Param::DataLength: return &Message::dataLength;
    case Param::DataHandle: return &Message::dataHandle;
    case Param::Flags: return &Message::flags;
    default: return nullptr;
    }
}

// The dword parameters and their members.
quint32 Message::*dwordMember(Param p)
{
    switch (p) {
    case Param::Controller:
    case Param::Plci:
    case Param::Ncci:
    case Param::Address: return &Message::address;
    case Param::InfoMask: return &Message::infoMask;
    case Param::CipMask: return &Message::cipMask;
    case Param::CipMask2: return &Message::cipMask2;
    case Param::DataPointer: return &Message::dataPointer;
    default: return nullptr;
    }
}

void writeParam(Writer &w, const Message &m, Param p)
{
    if (auto member = wordMember(p)) {
        w.word(m.*member);
        return;
    }
    if (auto member = dwordMember(p)) {
        w.dword(m.*member);
        return;
    }
    if (auto member = rawStructMember(p)) {
        w.structure(m.*member);
        return;
    }
    bool failed = false;
    switch (p) {
    case Param::CalledParty: writeCalled(w, m.calledParty); break;
    case Param::CallingParty: writeCalling(w, m.callingParty); break;
    case Param::ConnectedNumber: writeCalling(w, m.connectedNumber); break;
    case Param::BProtocol:
        w.structure(m.bProtocol ? bProtocolBytes(*m.bProtocol, &failed) : QByteArray());
        break;
    case Param::AdditionalInfo: w.structure(additionalInfoBytes(m.additionalInfo, &failed)); break;
    case Param::Data64:
        if (m.data64)
            w.qword(*m.data64);
        break;
    default: break;
    }
    if (failed)
        w.markFailed();
}

void readParam(Reader &r, Message &m, Param p)
{
    const char *what = paramName(p);
    if (auto member = wordMember(p)) {
        m.*member = r.word(what);
        return;
    }
    if (auto member = dwordMember(p)) {
        m.*member = r.dword(what);
        return;
    }
    if (auto member = rawStructMember(p)) {
        m.*member = r.structBytes(what);
        return;
    }
    switch (p) {
    case Param::CalledParty: m.calledParty = readCalled(r); break;
    case Param::CallingParty: m.callingParty = readCalling(r, what); break;
    case Param::ConnectedNumber: m.connectedNumber = readCalling(r, what); break;
    case Param::BProtocol: m.bProtocol = readBProtocol(r); break;
    case Param::AdditionalInfo: m.additionalInfo = readAdditionalInfo(r); break;
    case Param::Data64:
        // Present in the 64-bit form of the message only.
        if (r.remaining() > 0)
            m.data64 = r.fixed(8, what);
        break;
    default: break;
    }
}

bool isCommand(quint8 c)
{
    switch (Command(c)) {
    case C::Alert:
    case C::Connect:
    case C::ConnectActive:
    case C::Disconnect:
    case C::Listen:
    case C::Info:
    case C::SelectBProtocol:
    case C::Facility:
    case C::ConnectB3:
    case C::ConnectB3Active:
    case C::DisconnectB3:
    case C::DataB3:
    case C::ResetB3:
    case C::ConnectB3T90Active:
    case C::Manufacturer: return true;
    }
    return false;
}

} // namespace

const Layout *findLayout(Command c, Subcommand s)
{
    for (const Layout &l : kLayouts) {
        if (l.command == c && l.subcommand == s)
            return &l;
    }
    return nullptr;
}

QByteArray FaxB3Configuration::toBytes() const
{
    Writer w;
    w.word(resolution);
    w.word(format);
    w.text(stationId.left(20));
    w.text(headLine);
    return w.failed() ? QByteArray() : w.bytes();
}

std::optional<FaxB3Configuration> FaxB3Configuration::fromBytes(QByteArrayView bytes)
{
    FaxB3Configuration c;
    if (bytes.isEmpty())
        return c; // an empty configuration stands for the defaults
    Reader r(bytes, 0, bytes.size());
    c.resolution = r.word("resolution");
    c.format = r.word("format");
    c.stationId = r.structText("station id");
    c.headLine = r.structText("head line");
    if (r.failed() || r.remaining() != 0)
        return std::nullopt;
    return c;
}

BProtocol BProtocol::faxG3(const FaxB3Configuration &config)
{
    BProtocol b;
    b.b1 = bproto::B1T30Modem;
    b.b2 = bproto::B2T30;
    b.b3 = bproto::B3T30;
    b.b3Configuration = config.toBytes();
    return b;
}

BProtocol BProtocol::faxG4(quint16 b3)
{
    BProtocol b;
    b.b1 = bproto::B1Hdlc64k;
    b.b2 = bproto::B2X75;
    b.b3 = b3;
    return b;
}

std::optional<FaxB3Configuration> BProtocol::faxConfiguration() const
{
    if (!bproto::isFaxG3B3(b3))
        return std::nullopt;
    return FaxB3Configuration::fromBytes(b3Configuration);
}

QByteArray FaxNcpi::toBytes() const
{
    Writer w;
    w.word(rate);
    w.word(resolution);
    w.word(format);
    w.word(pages);
    w.text(remoteStationId.left(20));
    return w.failed() ? QByteArray() : w.bytes();
}

std::optional<FaxNcpi> FaxNcpi::fromBytes(QByteArrayView bytes)
{
    if (bytes.isEmpty())
        return std::nullopt;
    Reader r(bytes, 0, bytes.size());
    FaxNcpi n;
    n.rate = r.word("rate");
    n.resolution = r.word("resolution");
    n.format = r.word("format");
    n.pages = r.word("pages");
    n.remoteStationId = r.structText("remote station id");
    if (r.failed() || r.remaining() != 0)
        return std::nullopt;
    return n;
}

bool AdditionalInfo::isEmpty() const
{
    return bChannelInformation.isEmpty() && keypadFacility.isEmpty() && userUserData.isEmpty() &&
           facilityDataArray.isEmpty() && !sendingComplete;
}

Message Message::response() const
{
    Message r(command, Subcommand::Resp, appId, address);
    r.number = number;
    if (command == Command::DataB3)
        r.dataHandle = dataHandle;
    if (command == Command::Facility)
        r.facilitySelector = facilitySelector;
    return r;
}

Message Message::dataB3Req(quint16 app, quint32 ncci, const QByteArray &block, quint16 handle,
                           quint16 blockFlags)
{
    Message m(Command::DataB3, Subcommand::Req, app, ncci);
    m.data = block;
    m.dataLength = quint16(qMin<qsizetype>(block.size(), 0xFFFF));
    m.dataHandle = handle;
    m.flags = blockFlags;
    return m;
}

QString commandName(Command c)
{
    switch (c) {
    case C::Alert: return QStringLiteral("ALERT");
    case C::Connect: return QStringLiteral("CONNECT");
    case C::ConnectActive: return QStringLiteral("CONNECT_ACTIVE");
    case C::Disconnect: return QStringLiteral("DISCONNECT");
    case C::Listen: return QStringLiteral("LISTEN");
    case C::Info: return QStringLiteral("INFO");
    case C::SelectBProtocol: return QStringLiteral("SELECT_B_PROTOCOL");
    case C::Facility: return QStringLiteral("FACILITY");
    case C::ConnectB3: return QStringLiteral("CONNECT_B3");
    case C::ConnectB3Active: return QStringLiteral("CONNECT_B3_ACTIVE");
    case C::DisconnectB3: return QStringLiteral("DISCONNECT_B3");
    case C::DataB3: return QStringLiteral("DATA_B3");
    case C::ResetB3: return QStringLiteral("RESET_B3");
    case C::ConnectB3T90Active: return QStringLiteral("CONNECT_B3_T90_ACTIVE");
    case C::Manufacturer: return QStringLiteral("MANUFACTURER");
    }
    return QStringLiteral("COMMAND_0x%1").arg(quint8(c), 2, 16, QLatin1Char('0'));
}

QString subcommandName(Subcommand s)
{
    switch (s) {
    case S::Req: return QStringLiteral("REQ");
    case S::Conf: return QStringLiteral("CONF");
    case S::Ind: return QStringLiteral("IND");
    case S::Resp: return QStringLiteral("RESP");
    }
    return QStringLiteral("0x%1").arg(quint8(s), 2, 16, QLatin1Char('0'));
}

QString messageName(Command c, Subcommand s)
{
    return commandName(c) + QLatin1Char('_') + subcommandName(s);
}

bool isKnownMessage(Command c, Subcommand s)
{
    return findLayout(c, s) != nullptr;
}

QByteArray encode(const Message &m)
{
    const Layout *layout = findLayout(m.command, m.subcommand);
    if (!layout)
        return {};
    Writer w;
    w.word(0); // total length, filled in below
    w.word(m.appId);
    w.byte(quint8(m.command));
    w.byte(quint8(m.subcommand));
    w.word(m.number);
    for (int i = 0; i < layout->count; ++i)
        writeParam(w, m, layout->params[i]);
    QByteArray &out = w.bytes();
    if (w.failed() || out.size() > 0xFFFF)
        return {};
    qToLittleEndian<quint16>(quint16(out.size()), out.data());
    return out;
}

DecodeResult decode(QByteArrayView bytes)
{
    const qsizetype size = bytes.size();
    if (size < kHeaderSize) {
        return DecodeError{DecodeErrorCode::TooShort, size,
                           QStringLiteral("%1 bytes, a message header needs 8").arg(size)};
    }
    Reader r(bytes, 0, size);
    const quint16 length = r.word("length");
    if (length != size) {
        return DecodeError{DecodeErrorCode::LengthMismatch, 0,
                           QStringLiteral("length field says %1 bytes, the buffer holds %2")
                               .arg(length)
                               .arg(size)};
    }
    Message m;
    m.appId = r.word("application id");
    const quint8 command = r.byte("command");
    const quint8 subcommand = r.byte("subcommand");
    m.number = r.word("message number");
    if (!isCommand(command)) {
        return DecodeError{DecodeErrorCode::UnknownCommand, 4,
                           QStringLiteral("unknown command 0x%1")
                               .arg(command, 2, 16, QLatin1Char('0'))};
    }
    m.command = Command(command);
    if (subcommand < 0x80 || subcommand > 0x83) {
        return DecodeError{DecodeErrorCode::UnknownSubcommand, 5,
                           QStringLiteral("unknown subcommand 0x%1")
                               .arg(subcommand, 2, 16, QLatin1Char('0'))};
    }
    m.subcommand = Subcommand(subcommand);
    const Layout *layout = findLayout(m.command, m.subcommand);
    if (!layout) {
        return DecodeError{DecodeErrorCode::UnknownSubcommand, 5,
                           QStringLiteral("%1 is not a message this line knows")
                               .arg(messageName(m.command, m.subcommand))};
    }
    for (int i = 0; i < layout->count && !r.failed(); ++i)
        readParam(r, m, layout->params[i]);
    if (r.failed())
        return r.error();
    if (r.remaining() != 0) {
        return DecodeError{DecodeErrorCode::TrailingBytes, r.pos(),
                           QStringLiteral("%1 bytes after the last parameter of %2")
                               .arg(r.remaining())
                               .arg(messageName(m.command, m.subcommand))};
    }
    return m;
}

} // namespace capi
