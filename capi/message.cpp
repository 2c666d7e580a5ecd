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

    // The manufacturer-specific part is coded as a struct, so a receiver that does not know
    // the manufacturer can still skip it.
    L(C::Manufacturer, S::Req, {P::Controller, P::ManufacturerId, P::ManufacturerData}),
    L(C::Manufacturer, S::Conf, {P::Controller, P::ManufacturerId, P::ManufacturerData}),
    L(C::Manufacturer, S::Ind, {P::Controller, P::ManufacturerId, P::ManufacturerData}),
    L(C::Manufacturer, S::Resp, {P::Controller, P::ManufacturerId, P::ManufacturerData}),
};

// Where each (command, subcommand) sits in kLayouts: -1 for a message not in the table.
constexpr auto kLayoutIndex = [] {
    std::array<qint8, 256 * 4> index{};
    index.fill(-1);
    for (std::size_t i = 0; i < std::size(kLayouts); ++i) {
        const Layout &l = kLayouts[i];
        index[std::size_t(l.command) * 4 + (std::size_t(l.subcommand) - 0x80)] = qint8(i);
    }
    return index;
}();

constexpr qsizetype kHeaderSize = 8;

// ---- writing ----

// Appends little-endian fields to one buffer. Structs are written in place: a length byte is
// kept free and filled in when the struct ends.
class Writer
{
public:
    explicit Writer(qsizetype capacity) { m_out.reserve(capacity); }
    void byte(quint8 v) { m_out.append(char(v)); }
    void word(quint16 v)
    {
        const char b[2] = {char(v), char(v >> 8)};
        m_out.append(b, 2);
    }
    void dword(quint32 v)
    {
        char b[4];
        qToLittleEndian(v, b);
        m_out.append(b, 4);
    }
    void qword(quint64 v)
    {
        char b[8];
        qToLittleEndian(v, b);
        m_out.append(b, 8);
    }
    // Latin-1 characters; as QString::toLatin1(), '?' for the others.
    void latin1(QStringView s)
    {
        for (QChar c : s)
            m_out.append(c.unicode() < 0x100 ? char(c.unicode()) : '?');
    }

    // A struct: a length byte, or 0xFF and a length word from 255 bytes on.
    qsizetype beginStruct()
    {
        m_out.append('\0');
        return m_out.size();
    }
    void endStruct(qsizetype start)
    {
        const qsizetype size = m_out.size() - start;
        if (size > 0xFFFF) {
            m_failed = true;
        } else if (size < 255) {
            m_out[start - 1] = char(size);
        } else {
            m_out[start - 1] = char(0xFF);
            const char length[2] = {char(size), char(size >> 8)};
            m_out.insert(start, length, 2);
        }
    }
    void structure(QByteArrayView content)
    {
        const qsizetype start = beginStruct();
        m_out.append(content);
        endStruct(start);
    }
    void text(QStringView s)
    {
        const qsizetype start = beginStruct();
        latin1(s);
        endStruct(start);
    }
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
    QByteArray structBytes(const char *what) { return structure(what).rest().toByteArray(); }
    QString structText(const char *what) { return QString::fromLatin1(structure(what).rest()); }

    // The unread bytes, consumed.
    QByteArrayView rest()
    {
        const QByteArrayView out = m_buf.sliced(m_pos, m_end - m_pos);
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
        w.byte(0);
        return;
    }
    const qsizetype start = w.beginStruct();
    w.byte(n.type);
    w.latin1(n.digits);
    w.endStruct(start);
}

CalledPartyNumber readCalled(Reader &r, const char *what)
{
    CalledPartyNumber n;
    Reader in = r.structure(what);
    if (in.remaining() > 0) {
        n.type = in.byte("called party number type");
        n.digits = QString::fromLatin1(in.rest());
    }
    r.finishInner(in, what);
    return n;
}

void writeCalling(Writer &w, const CallingPartyNumber &n)
{
    if (n == CallingPartyNumber()) {
        w.byte(0);
        return;
    }
    const qsizetype start = w.beginStruct();
    w.byte(n.type);
    w.byte(n.presentation);
    w.latin1(n.digits);
    w.endStruct(start);
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

void writeBProtocol(Writer &w, const std::optional<BProtocol> &b)
{
    if (!b) {
        w.byte(0); // the defaults
        return;
    }
    const qsizetype start = w.beginStruct();
    w.word(b->b1);
    w.word(b->b2);
    w.word(b->b3);
    w.structure(b->b1Configuration);
    w.structure(b->b2Configuration);
    w.structure(b->b3Configuration);
    if (b->globalConfiguration)
        w.structure(*b->globalConfiguration);
    w.endStruct(start);
}

std::optional<BProtocol> readBProtocol(Reader &r, const char *what)
{
    Reader in = r.structure(what);
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
    r.finishInner(in, what);
    return b;
}

void writeAdditionalInfo(Writer &w, const AdditionalInfo &a)
{
    if (a.isEmpty()) {
        w.byte(0);
        return;
    }
    const qsizetype start = w.beginStruct();
    w.structure(a.bChannelInformation);
    w.structure(a.keypadFacility);
    w.structure(a.userUserData);
    w.structure(a.facilityDataArray);
    if (a.sendingComplete)
        w.structure(*a.sendingComplete);
    w.endStruct(start);
}

AdditionalInfo readAdditionalInfo(Reader &r, const char *what)
{
    AdditionalInfo a;
    Reader in = r.structure(what);
    if (r.failed() || in.remaining() == 0)
        return a;
    a.bChannelInformation = in.structBytes("B channel information");
    a.keypadFacility = in.structBytes("keypad facility");
    a.userUserData = in.structBytes("user-user data");
    a.facilityDataArray = in.structBytes("facility data array");
    if (in.remaining() > 0)
        a.sendingComplete = in.structBytes("sending complete");
    r.finishInner(in, what);
    return a;
}

void writeParam(Writer &w, const Message &m, const ParamSpec &p)
{
    switch (p.coding) {
    case Coding::Word: w.word(m.*p.word); return;
    case Coding::Dword: w.dword(m.*p.dword); return;
    case Coding::OptionalQword:
        if (m.data64)
            w.qword(*m.data64);
        return;
    case Coding::Struct: w.structure(m.*p.bytes); return;
    case Coding::CalledNumber: writeCalled(w, m.calledParty); return;
    case Coding::CallingNumber: writeCalling(w, m.*p.number); return;
    case Coding::BProtocol: writeBProtocol(w, m.bProtocol); return;
    case Coding::AdditionalInfo: writeAdditionalInfo(w, m.additionalInfo); return;
    }
}

void readParam(Reader &r, Message &m, const ParamSpec &p)
{
    switch (p.coding) {
    case Coding::Word: m.*p.word = r.word(p.name); return;
    case Coding::Dword: m.*p.dword = r.dword(p.name); return;
    case Coding::OptionalQword:
        // Present in the 64-bit form of the message only.
        if (r.remaining() > 0)
            m.data64 = r.fixed(8, p.name);
        return;
    case Coding::Struct: m.*p.bytes = r.structBytes(p.name); return;
    case Coding::CalledNumber: m.calledParty = readCalled(r, p.name); return;
    case Coding::CallingNumber: m.*p.number = readCalling(r, p.name); return;
    case Coding::BProtocol: m.bProtocol = readBProtocol(r, p.name); return;
    case Coding::AdditionalInfo: m.additionalInfo = readAdditionalInfo(r, p.name); return;
    }
}

} // namespace

const Layout *findLayout(Command c, Subcommand s)
{
    const unsigned sub = unsigned(s) - 0x80;
    if (sub > 3)
        return nullptr;
    const qint8 i = kLayoutIndex[std::size_t(c) * 4 + sub];
    return i < 0 ? nullptr : &kLayouts[std::size_t(i)];
}

QByteArray FaxB3Configuration::toBytes() const
{
    Writer w(16 + stationId.size() + headLine.size());
    w.word(resolution);
    w.word(format);
    w.text(QStringView(stationId).left(20));
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
    Writer w(32);
    w.word(rate);
    w.word(resolution);
    w.word(format);
    w.word(pages);
    w.text(QStringView(remoteStationId).left(20));
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
    if (command == Command::Manufacturer)
        r.manufacturerId = manufacturerId;
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

const char *commandWord(Command c)
{
    switch (c) {
    case C::Alert: return "ALERT";
    case C::Connect: return "CONNECT";
    case C::ConnectActive: return "CONNECT_ACTIVE";
    case C::Disconnect: return "DISCONNECT";
    case C::Listen: return "LISTEN";
    case C::Info: return "INFO";
    case C::SelectBProtocol: return "SELECT_B_PROTOCOL";
    case C::Facility: return "FACILITY";
    case C::ConnectB3: return "CONNECT_B3";
    case C::ConnectB3Active: return "CONNECT_B3_ACTIVE";
    case C::DisconnectB3: return "DISCONNECT_B3";
    case C::DataB3: return "DATA_B3";
    case C::ResetB3: return "RESET_B3";
    case C::ConnectB3T90Active: return "CONNECT_B3_T90_ACTIVE";
    case C::Manufacturer: return "MANUFACTURER";
    }
    return nullptr;
}

const char *subcommandWord(Subcommand s)
{
    switch (s) {
    case S::Req: return "REQ";
    case S::Conf: return "CONF";
    case S::Ind: return "IND";
    case S::Resp: return "RESP";
    }
    return nullptr;
}

QString commandName(Command c)
{
    if (const char *word = commandWord(c))
        return QString::fromLatin1(word);
    return QStringLiteral("COMMAND_0x%1").arg(quint8(c), 2, 16, QLatin1Char('0'));
}

QString subcommandName(Subcommand s)
{
    if (const char *word = subcommandWord(s))
        return QString::fromLatin1(word);
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
    Writer w(kHeaderSize + 56);
    w.word(0); // total length, filled in below
    w.word(m.appId);
    w.byte(quint8(m.command));
    w.byte(quint8(m.subcommand));
    w.word(m.number);
    for (int i = 0; i < layout->count; ++i)
        writeParam(w, m, spec(layout->params[i]));
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
    if (!commandWord(Command(command))) {
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
        readParam(r, m, spec(layout->params[i]));
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
