#include "capi/trace.h"
#include "capi/messagelayout_p.h"

#include <QVarLengthArray>

namespace capi {

namespace {

// A trace line is written into one buffer on the stack and becomes a QString once.
class Text
{
public:
    void put(char c) { m_buf.append(char16_t(uchar(c))); }
    void put(const char *latin1)
    {
        for (; *latin1; ++latin1)
            m_buf.append(char16_t(uchar(*latin1)));
    }
    void put(QStringView s) { m_buf.append(s.utf16(), s.size()); }
    void dec(quint32 v)
    {
        char16_t digits[10];
        int n = 0;
        do {
            digits[n++] = char16_t(u'0' + v % 10);
            v /= 10;
        } while (v);
        while (n > 0)
            m_buf.append(digits[--n]);
    }
    // 0x and at least `width` lower-case hex digits.
    void hex(quint32 v, int width)
    {
        put("0x");
        char16_t digits[8];
        int n = 0;
        do {
            digits[n++] = char16_t("0123456789abcdef"[v & 0xF]);
            v >>= 4;
        } while (v);
        for (int pad = width - n; pad > 0; --pad)
            m_buf.append(u'0');
        while (n > 0)
            m_buf.append(digits[--n]);
    }
    void quoted(QStringView s)
    {
        put('"');
        put(s);
        put('"');
    }
    // Up to 16 bytes in hex, and the size when there are more.
    void bytes(QByteArrayView b)
    {
        constexpr qsizetype shown = 16;
        const char *digits = "0123456789abcdef";
        for (qsizetype i = 0; i < qMin(b.size(), shown); ++i) {
            if (i > 0)
                put(' ');
            put(digits[uchar(b[i]) >> 4]);
            put(digits[uchar(b[i]) & 0xF]);
        }
        if (b.size() > shown) {
            put(" ... (");
            dec(quint32(b.size()));
            put(" bytes)");
        }
    }
    QString take() const
    {
        return QString(reinterpret_cast<const QChar *>(m_buf.constData()), m_buf.size());
    }

private:
    QVarLengthArray<char16_t, 256> m_buf;
};

// Q.931 cause words; nullptr for a cause without a name.
const char *q931CauseWords(quint8 cause)
{
    switch (cause) {
    case 0: return "normal, no cause";
    case 1: return "unassigned number";
    case 2: return "no route to network";
    case 3: return "no route to destination";
    case 6: return "channel unacceptable";
    case 16: return "normal clearing";
    case 17: return "user busy";
    case 18: return "no user responding";
    case 19: return "no answer";
    case 21: return "call rejected";
    case 22: return "number changed";
    case 27: return "destination out of order";
    case 28: return "invalid number format";
    case 29: return "facility rejected";
    case 31: return "normal, unspecified";
    case 34: return "no circuit/channel available";
    case 38: return "network out of order";
    case 41: return "temporary failure";
    case 42: return "switching equipment congestion";
    case 44: return "requested channel not available";
    case 47: return "resource unavailable";
    case 57: return "bearer capability not authorized";
    case 58: return "bearer capability not available";
    case 65: return "bearer capability not implemented";
    case 88: return "incompatible destination";
    case 102: return "recovery on timer expiry";
    case 111: return "protocol error";
    case 127: return "interworking, unspecified";
    default: return nullptr;
    }
}

const char *cipWords(quint16 cip)
{
    switch (cip) {
    case 0: return "no predefined profile";
    case 1: return "speech";
    case 2: return "unrestricted digital";
    case 3: return "restricted digital";
    case 4: return "3.1 kHz audio";
    case 5: return "7 kHz audio";
    case 16: return "telephony";
    case 17: return "G3 fax";
    case 18: return "G4 fax";
    default: return nullptr;
    }
}

const char *infoWords(quint16 v)
{
    switch (v) {
    case info::Ok: return "ok";
    case info::NcpiIgnored: return "NCPI not supported, ignored";
    case info::FlagsIgnored: return "flags not supported, ignored";
    case info::AlertAlreadySent: return "alert already sent";
    case info::TooManyApplications: return "too many applications";
    case info::BlockSizeTooSmall: return "logical block size too small";
    case info::BufferExceeds64k: return "buffer exceeds 64 kByte";
    case info::MessageBufferTooSmall: return "message buffer size too small";
    case info::MaxConnectionsNotSupported: return "number of logical connections not supported";
    case info::RegisterBusy: return "register: internal busy condition";
    case info::RegisterOsResource: return "register: OS resource error";
    case info::NotInstalled: return "CAPI not installed";
    case info::IllegalApplication: return "illegal application number";
    case info::IllegalCommand: return "illegal command, subcommand or message length";
    case info::QueueFull: return "not accepted: internal busy condition";
    case info::QueueEmpty: return "queue is empty";
    case info::QueueOverflow: return "queue overflow, a message was lost";
    case info::IllegalState: return "message not supported in current state";
    case info::IllegalIdentifier: return "illegal controller/PLCI/NCCI";
    case info::OutOfPlci: return "out of PLCI";
    case info::OutOfNcci: return "out of NCCI";
    case info::OutOfListen: return "out of LISTEN";
    case info::OutOfFaxResources: return "out of fax resources";
    case info::IllegalParameterCoding: return "illegal message parameter coding";
    case info::B1NotSupported: return "B1 protocol not supported";
    case info::B2NotSupported: return "B2 protocol not supported";
    case info::B3NotSupported: return "B3 protocol not supported";
    case info::B1ParameterNotSupported: return "B1 protocol parameter not supported";
    case info::B2ParameterNotSupported: return "B2 protocol parameter not supported";
    case info::B3ParameterNotSupported: return "B3 protocol parameter not supported";
    case info::BProtocolCombinationNotSupported: return "B protocol combination not supported";
    case info::NcpiNotSupported: return "NCPI not supported";
    case info::CipUnknown: return "CIP value unknown";
    case info::FlagsNotSupported: return "flags not supported";
    case info::FacilityNotSupported: return "facility not supported";
    case info::DataLengthNotSupported: return "data length not supported";
    case info::ResetNotSupported: return "reset procedure not supported";
    default: return "unknown info";
    }
}

// Reason words other than the Q.931 causes.
const char *reasonWords(quint16 r)
{
    switch (r) {
    case reason::Normal: return "normal";
    case reason::Layer1Error: return "protocol error layer 1 (line dropped)";
    case reason::Layer2Error: return "protocol error layer 2";
    case reason::Layer3Error: return "protocol error layer 3";
    case reason::AnotherApplicationGotCall: return "another application got the call";
    case reason::FaxNotG3: return "remote is not a G3 fax";
    case reason::FaxTrainingError: return "training error";
    case reason::FaxModeNotSupported: return "transfer mode not supported by remote";
    case reason::FaxRemoteAbort: return "remote abort";
    case reason::FaxRemoteProcedureError: return "remote procedure error";
    case reason::FaxLocalTransmitUnderrun: return "local transmit data underrun";
    case reason::FaxLocalReceiveOverflow: return "local receive data overflow";
    case reason::FaxLocalAbort: return "local abort";
    case reason::FaxIllegalParameterCoding: return "illegal parameter coding (bad SFF)";
    default: return "unknown reason";
    }
}

void putReasonWords(Text &t, quint16 r)
{
    if ((r & 0xFF00) != 0x3400) {
        t.put(reasonWords(r));
    } else if (const char *words = q931CauseWords(quint8(r & 0x7F))) {
        t.put(words);
    } else {
        t.put("cause ");
        t.dec(r & 0x7F);
    }
}

void putRejectWords(Text &t, quint16 r)
{
    switch (r) {
    case reject::Accept: t.put("accept"); return;
    case reject::Ignore: t.put("ignore"); return;
    case reject::NormalClearing: t.put("reject, normal clearing"); return;
    case reject::UserBusy: t.put("reject, user busy"); return;
    case reject::ChannelNotAvailable: t.put("reject, channel not available"); return;
    case reject::FacilityRejected: t.put("reject, facility rejected"); return;
    case reject::ChannelUnacceptable: t.put("reject, channel unacceptable"); return;
    case reject::IncompatibleDestination: t.put("reject, incompatible destination"); return;
    case reject::DestinationOutOfOrder: t.put("reject, destination out of order"); return;
    default:
        if ((r & 0xFF00) == 0x3400) {
            t.put("reject, ");
            putReasonWords(t, r);
        } else {
            t.put("reject ");
            t.dec(r);
        }
    }
}

const char *infoNumberWords(quint16 n)
{
    switch (n) {
    case infonumber::Alerting: return "alerting";
    case infonumber::CallProceeding: return "call proceeding";
    case infonumber::Connect: return "connect";
    case infonumber::Disconnect: return "disconnect";
    default: return "info element";
    }
}

// "words (0x....)"
void putDescribed(Text &t, quint16 v, bool isReason)
{
    if (isReason)
        putReasonWords(t, v);
    else
        t.put(infoWords(v));
    t.put(" (");
    t.hex(v, 4);
    t.put(')');
}

void putBProtocol(Text &t, const std::optional<BProtocol> &b)
{
    if (!b) {
        t.put("B protocol default");
        return;
    }
    t.put("B protocol ");
    t.dec(b->b1);
    t.put('/');
    t.dec(b->b2);
    t.put('/');
    t.dec(b->b3);
    if (const auto fax = b->faxConfiguration()) {
        t.put(fax->resolution ? " (high resolution, format " : " (standard resolution, format ");
        t.dec(fax->format);
        t.put(", station ");
        t.quoted(fax->stationId);
        t.put(", head line ");
        t.quoted(fax->headLine);
        t.put(')');
    } else if (!b->b3Configuration.isEmpty()) {
        t.put(" B3 config ");
        t.bytes(b->b3Configuration);
    }
}

void putNcpi(Text &t, const QByteArray &ncpi)
{
    if (const auto fax = FaxNcpi::fromBytes(ncpi)) {
        t.put("NCPI rate ");
        t.dec(fax->rate);
        t.put(fax->resolution ? " high format " : " standard format ");
        t.dec(fax->format);
        t.put(" pages ");
        t.dec(fax->pages);
        t.put(" station ");
        t.quoted(fax->remoteStationId);
    } else {
        t.put("NCPI ");
        t.bytes(ncpi);
    }
}

quint32 numberOf(const Message &m, const ParamSpec &p)
{
    return p.word ? m.*p.word : p.dword ? m.*p.dword : 0;
}

// One parameter, with the space before it; nothing for parameters not worth a word (empty
// structs, pointers).
void putParam(Text &t, const Message &m, const ParamSpec &p)
{
    const auto labelled = [&t, &p] {
        t.put(' ');
        t.put(p.label);
        t.put(' ');
    };
    const quint32 v = numberOf(m, p);
    switch (p.traceAs) {
    case TraceAs::Nothing: return;
    case TraceAs::Decimal: labelled(); t.dec(v); return;
    case TraceAs::Hex4:
    case TraceAs::Hex8:
    case TraceAs::Hex4IfSet:
    case TraceAs::Hex8IfSet:
        if (v == 0 && (p.traceAs == TraceAs::Hex4IfSet || p.traceAs == TraceAs::Hex8IfSet))
            return;
        labelled();
        t.hex(v, p.traceAs == TraceAs::Hex4 || p.traceAs == TraceAs::Hex4IfSet ? 4 : 8);
        return;
    case TraceAs::Address:
        if (v & 0xFFFF0000u) {
            t.put(" ncci ");
            t.hex(v, 8);
        } else if (v & 0xFF00u) {
            t.put(" plci ");
            t.hex(v, 4);
        } else {
            t.put(" ctrl ");
            t.dec(v);
        }
        return;
    case TraceAs::Info:
    case TraceAs::Reason:
        labelled();
        putDescribed(t, quint16(v), p.traceAs == TraceAs::Reason);
        return;
    case TraceAs::Cip:
        labelled();
        t.dec(v);
        t.put(" (");
        if (const char *words = cipWords(quint16(v))) {
            t.put(words);
        } else {
            t.put("CIP ");
            t.dec(v);
        }
        t.put(')');
        return;
    case TraceAs::Reject:
        labelled();
        if (v < 0x100)
            t.dec(v);
        else
            t.hex(v, 4);
        t.put(" (");
        putRejectWords(t, quint16(v));
        t.put(')');
        return;
    case TraceAs::InfoNumber:
        labelled();
        t.hex(v, 4);
        t.put(" (");
        t.put(infoNumberWords(quint16(v)));
        t.put(')');
        return;
    case TraceAs::Digits: {
        const QString &digits = p.number ? (m.*p.number).digits : m.calledParty.digits;
        if (!digits.isEmpty()) {
            labelled();
            t.quoted(digits);
        }
        return;
    }
    case TraceAs::BProtocol: t.put(' '); putBProtocol(t, m.bProtocol); return;
    case TraceAs::Present:
        if (!m.additionalInfo.isEmpty()) {
            t.put(' ');
            t.put(p.label);
        }
        return;
    case TraceAs::Ncpi:
        if (!(m.*p.bytes).isEmpty()) {
            t.put(' ');
            putNcpi(t, m.*p.bytes);
        }
        return;
    case TraceAs::Bytes:
        if (!(m.*p.bytes).isEmpty()) {
            labelled();
            t.bytes(m.*p.bytes);
        }
        return;
    }
}

} // namespace

QString infoText(quint16 v)
{
    return QString::fromLatin1(infoWords(v));
}

QString reasonText(quint16 r)
{
    Text t;
    putReasonWords(t, r);
    return t.take();
}

QString describeInfo(quint16 v)
{
    Text t;
    putDescribed(t, v, false);
    return t.take();
}

QString describeReject(quint16 v)
{
    Text t;
    putRejectWords(t, v);
    t.put(" (");
    if ((v & 0xFF00) == 0x3400)
        t.hex(v, 4);
    else
        t.dec(v);
    t.put(')');
    return t.take();
}

QString describeReason(quint16 v)
{
    Text t;
    putDescribed(t, v, true);
    return t.take();
}

QString traceLine(const Message &m)
{
    Text t;
    t.put(isToController(m.subcommand) ? "-> " : "<- ");
    const char *command = commandWord(m.command);
    const char *subcommand = subcommandWord(m.subcommand);
    if (command && subcommand) {
        t.put(command);
        t.put('_');
        t.put(subcommand);
    } else {
        t.put(messageName(m.command, m.subcommand));
    }
    t.put(" app ");
    t.dec(m.appId);
    t.put(" #");
    t.dec(m.number);
    if (const Layout *layout = findLayout(m.command, m.subcommand)) {
        for (int i = 0; i < layout->count; ++i)
            putParam(t, m, spec(layout->params[i]));
    }
    return t.take();
}

} // namespace capi
