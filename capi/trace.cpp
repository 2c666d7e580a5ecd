#include "capi/trace.h"
#include "capi/messagelayout_p.h"

#include <QStringList>

namespace capi {

namespace {

QString hex(quint32 v, int digits)
{
    return QStringLiteral("0x%1").arg(v, digits, 16, QLatin1Char('0'));
}

QString q931CauseText(quint8 cause)
{
    switch (cause) {
    case 0: return QStringLiteral("normal, no cause");
    case 1: return QStringLiteral("unassigned number");
    case 2: return QStringLiteral("no route to network");
    case 3: return QStringLiteral("no route to destination");
    case 6: return QStringLiteral("channel unacceptable");
    case 16: return QStringLiteral("normal clearing");
    case 17: return QStringLiteral("user busy");
    case 18: return QStringLiteral("no user responding");
    case 19: return QStringLiteral("no answer");
    case 21: return QStringLiteral("call rejected");
    case 22: return QStringLiteral("number changed");
    case 27: return QStringLiteral("destination out of order");
    case 28: return QStringLiteral("invalid number format");
    case 29: return QStringLiteral("facility rejected");
    case 31: return QStringLiteral("normal, unspecified");
    case 34: return QStringLiteral("no circuit/channel available");
    case 38: return QStringLiteral("network out of order");
    case 41: return QStringLiteral("temporary failure");
    case 42: return QStringLiteral("switching equipment congestion");
    case 44: return QStringLiteral("requested channel not available");
    case 47: return QStringLiteral("resource unavailable");
    case 57: return QStringLiteral("bearer capability not authorized");
    case 58: return QStringLiteral("bearer capability not available");
    case 65: return QStringLiteral("bearer capability not implemented");
    case 88: return QStringLiteral("incompatible destination");
    case 102: return QStringLiteral("recovery on timer expiry");
    case 111: return QStringLiteral("protocol error");
    case 127: return QStringLiteral("interworking, unspecified");
    default: return QStringLiteral("cause %1").arg(cause);
    }
}

QString cipText(quint16 cip)
{
    switch (cip) {
    case 0: return QStringLiteral("no predefined profile");
    case 1: return QStringLiteral("speech");
    case 2: return QStringLiteral("unrestricted digital");
    case 3: return QStringLiteral("restricted digital");
    case 4: return QStringLiteral("3.1 kHz audio");
    case 5: return QStringLiteral("7 kHz audio");
    case 16: return QStringLiteral("telephony");
    case 17: return QStringLiteral("G3 fax");
    case 18: return QStringLiteral("G4 fax");
    default: return QStringLiteral("CIP %1").arg(cip);
    }
}

QString rejectText(quint16 r)
{
    switch (r) {
    case reject::Accept: return QStringLiteral("accept");
    case reject::Ignore: return QStringLiteral("ignore");
    case reject::NormalClearing: return QStringLiteral("reject, normal clearing");
    case reject::UserBusy: return QStringLiteral("reject, user busy");
    case reject::ChannelNotAvailable: return QStringLiteral("reject, channel not available");
    case reject::FacilityRejected: return QStringLiteral("reject, facility rejected");
    case reject::ChannelUnacceptable: return QStringLiteral("reject, channel unacceptable");
    case reject::IncompatibleDestination: return QStringLiteral("reject, incompatible destination");
    case reject::DestinationOutOfOrder: return QStringLiteral("reject, destination out of order");
    default:
        if ((r & 0xFF00) == 0x3400)
            return QStringLiteral("reject, ") + reasonText(r);
        return QStringLiteral("reject %1").arg(r);
    }
}

QString bytesText(const QByteArray &b)
{
    constexpr int shown = 16;
    QString s = QString::fromLatin1(b.left(shown).toHex(' '));
    if (b.size() > shown)
        s += QStringLiteral(" ... (%1 bytes)").arg(b.size());
    return s;
}

QString quoted(const QString &s)
{
    return QLatin1Char('"') + s + QLatin1Char('"');
}

QString addressText(quint32 a)
{
    if (a & 0xFFFF0000u)
        return QStringLiteral("ncci ") + hex(a, 8);
    if (a & 0xFF00u)
        return QStringLiteral("plci ") + hex(a, 4);
    return QStringLiteral("ctrl %1").arg(a);
}

QString bProtocolText(const std::optional<BProtocol> &b)
{
    if (!b)
        return QStringLiteral("B protocol default");
    QString s = QStringLiteral("B protocol %1/%2/%3").arg(b->b1).arg(b->b2).arg(b->b3);
    if (const auto fax = b->faxConfiguration()) {
        s += QStringLiteral(" (%1, format %2, station %3, head line %4)")
                 .arg(fax->resolution ? QStringLiteral("high resolution")
                                      : QStringLiteral("standard resolution"))
                 .arg(fax->format)
                 .arg(quoted(fax->stationId), quoted(fax->headLine));
    } else if (!b->b3Configuration.isEmpty()) {
        s += QStringLiteral(" B3 config ") + bytesText(b->b3Configuration);
    }
    return s;
}

QString ncpiText(const QByteArray &ncpi)
{
    if (const auto fax = FaxNcpi::fromBytes(ncpi)) {
        return QStringLiteral("NCPI rate %1 %2 format %3 pages %4 station %5")
            .arg(fax->rate)
            .arg(fax->resolution ? QStringLiteral("high") : QStringLiteral("standard"))
            .arg(fax->format)
            .arg(fax->pages)
            .arg(quoted(fax->remoteStationId));
    }
    return QStringLiteral("NCPI ") + bytesText(ncpi);
}

QString infoNumberText(quint16 n)
{
    switch (n) {
    case infonumber::Alerting: return QStringLiteral("alerting");
    case infonumber::CallProceeding: return QStringLiteral("call proceeding");
    case infonumber::Connect: return QStringLiteral("connect");
    case infonumber::Disconnect: return QStringLiteral("disconnect");
    default: return QStringLiteral("info element");
    }
}

// One parameter as text; empty for parameters not worth a word (empty structs, pointers).
QString paramText(const Message &m, Param p)
{
    switch (p) {
    case Param::Controller: return QStringLiteral("ctrl %1").arg(m.address);
    case Param::Plci: return QStringLiteral("plci ") + hex(m.address, 4);
    case Param::Ncci: return QStringLiteral("ncci ") + hex(m.address, 8);
    case Param::Address: return addressText(m.address);
    case Param::Info: return QStringLiteral("info ") + describeInfo(m.info);
    case Param::Cip: return QStringLiteral("cip %1 (%2)").arg(m.cip).arg(cipText(m.cip));
    case Param::Reject:
        return QStringLiteral("reject %1 (%2)")
            .arg(m.reject < 0x100 ? QString::number(m.reject) : hex(m.reject, 4), rejectText(m.reject));
    case Param::Reason: return QStringLiteral("reason ") + describeReason(m.reason);
    case Param::ReasonB3: return QStringLiteral("reason B3 ") + describeReason(m.reason);
    case Param::InfoMask: return QStringLiteral("info mask ") + hex(m.infoMask, 8);
    case Param::CipMask: return QStringLiteral("cip mask ") + hex(m.cipMask, 8);
    case Param::CipMask2: return m.cipMask2 ? QStringLiteral("cip mask 2 ") + hex(m.cipMask2, 8) : QString();
    case Param::CalledParty:
        return m.calledParty.digits.isEmpty() ? QString() : QStringLiteral("called ") + quoted(m.calledParty.digits);
    case Param::CallingParty:
        return m.callingParty.digits.isEmpty() ? QString() : QStringLiteral("calling ") + quoted(m.callingParty.digits);
    case Param::ConnectedNumber:
        return m.connectedNumber.digits.isEmpty() ? QString() : QStringLiteral("connected ") + quoted(m.connectedNumber.digits);
    case Param::BProtocol: return bProtocolText(m.bProtocol);
    case Param::AdditionalInfo:
        return m.additionalInfo.isEmpty() ? QString() : QStringLiteral("additional info present");
    case Param::Ncpi: return m.ncpi.isEmpty() ? QString() : ncpiText(m.ncpi);
    case Param::InfoNumber:
        return QStringLiteral("info number %1 (%2)").arg(hex(m.infoNumber, 4), infoNumberText(m.infoNumber));
    case Param::FacilitySelector: return QStringLiteral("facility %1").arg(m.facilitySelector);
    case Param::DataLength: return QStringLiteral("len %1").arg(m.dataLength);
    case Param::DataHandle: return QStringLiteral("handle %1").arg(m.dataHandle);
    case Param::Flags: return m.flags ? QStringLiteral("flags ") + hex(m.flags, 4) : QString();
    case Param::DataPointer:
    case Param::Data64: return QString();
    case Param::CalledSubaddress:
    case Param::CallingSubaddress:
    case Param::ConnectedSubaddress:
    case Param::Bc:
    case Param::Llc:
    case Param::Hlc:
    case Param::InfoElement:
    case Param::FacilityParameter: break;
    }
    // Raw structs: shown in hex when present.
    static const struct { Param p; QByteArray Message::*member; const char *name; } raws[] = {
        {Param::CalledSubaddress, &Message::calledSubaddress, "called subaddress"},
        {Param::CallingSubaddress, &Message::callingSubaddress, "calling subaddress"},
        {Param::ConnectedSubaddress, &Message::connectedSubaddress, "connected subaddress"},
        {Param::Bc, &Message::bc, "bc"},
        {Param::Llc, &Message::llc, "llc"},
        {Param::Hlc, &Message::hlc, "hlc"},
        {Param::InfoElement, &Message::infoElement, "element"},
        {Param::FacilityParameter, &Message::facilityParameter, "parameter"},
    };
    for (const auto &r : raws) {
        if (r.p == p) {
            const QByteArray &b = m.*(r.member);
            return b.isEmpty() ? QString() : QLatin1String(r.name) + QLatin1Char(' ') + bytesText(b);
        }
    }
    return QString();
}

} // namespace

QString infoText(quint16 info)
{
    switch (info) {
    case info::Ok: return QStringLiteral("ok");
    case info::NcpiIgnored: return QStringLiteral("NCPI not supported, ignored");
    case info::FlagsIgnored: return QStringLiteral("flags not supported, ignored");
    case info::AlertAlreadySent: return QStringLiteral("alert already sent");
    case info::TooManyApplications: return QStringLiteral("too many applications");
    case info::BlockSizeTooSmall: return QStringLiteral("logical block size too small");
    case info::BufferExceeds64k: return QStringLiteral("buffer exceeds 64 kByte");
    case info::MessageBufferTooSmall: return QStringLiteral("message buffer size too small");
    case info::MaxConnectionsNotSupported: return QStringLiteral("number of logical connections not supported");
    case info::RegisterBusy: return QStringLiteral("register: internal busy condition");
    case info::RegisterOsResource: return QStringLiteral("register: OS resource error");
    case info::NotInstalled: return QStringLiteral("CAPI not installed");
    case info::IllegalApplication: return QStringLiteral("illegal application number");
    case info::IllegalCommand: return QStringLiteral("illegal command, subcommand or message length");
    case info::QueueFull: return QStringLiteral("not accepted: internal busy condition");
    case info::QueueEmpty: return QStringLiteral("queue is empty");
    case info::QueueOverflow: return QStringLiteral("queue overflow, a message was lost");
    case info::IllegalState: return QStringLiteral("message not supported in current state");
    case info::IllegalIdentifier: return QStringLiteral("illegal controller/PLCI/NCCI");
    case info::OutOfPlci: return QStringLiteral("out of PLCI");
    case info::OutOfNcci: return QStringLiteral("out of NCCI");
    case info::OutOfListen: return QStringLiteral("out of LISTEN");
    case info::OutOfFaxResources: return QStringLiteral("out of fax resources");
    case info::IllegalParameterCoding: return QStringLiteral("illegal message parameter coding");
    case info::B1NotSupported: return QStringLiteral("B1 protocol not supported");
    case info::B2NotSupported: return QStringLiteral("B2 protocol not supported");
    case info::B3NotSupported: return QStringLiteral("B3 protocol not supported");
    case info::B1ParameterNotSupported: return QStringLiteral("B1 protocol parameter not supported");
    case info::B2ParameterNotSupported: return QStringLiteral("B2 protocol parameter not supported");
    case info::B3ParameterNotSupported: return QStringLiteral("B3 protocol parameter not supported");
    case info::BProtocolCombinationNotSupported: return QStringLiteral("B protocol combination not supported");
    case info::NcpiNotSupported: return QStringLiteral("NCPI not supported");
    case info::CipUnknown: return QStringLiteral("CIP value unknown");
    case info::FlagsNotSupported: return QStringLiteral("flags not supported");
    case info::FacilityNotSupported: return QStringLiteral("facility not supported");
    case info::DataLengthNotSupported: return QStringLiteral("data length not supported");
    case info::ResetNotSupported: return QStringLiteral("reset procedure not supported");
    default: return QStringLiteral("unknown info");
    }
}

QString reasonText(quint16 r)
{
    if ((r & 0xFF00) == 0x3400)
        return q931CauseText(quint8(r & 0x7F));
    switch (r) {
    case reason::Normal: return QStringLiteral("normal");
    case reason::Layer1Error: return QStringLiteral("protocol error layer 1 (line dropped)");
    case reason::Layer2Error: return QStringLiteral("protocol error layer 2");
    case reason::Layer3Error: return QStringLiteral("protocol error layer 3");
    case reason::AnotherApplicationGotCall: return QStringLiteral("another application got the call");
    case reason::FaxNotG3: return QStringLiteral("remote is not a G3 fax");
    case reason::FaxTrainingError: return QStringLiteral("training error");
    case reason::FaxModeNotSupported: return QStringLiteral("transfer mode not supported by remote");
    case reason::FaxRemoteAbort: return QStringLiteral("remote abort");
    case reason::FaxRemoteProcedureError: return QStringLiteral("remote procedure error");
    case reason::FaxLocalTransmitUnderrun: return QStringLiteral("local transmit data underrun");
    case reason::FaxLocalReceiveOverflow: return QStringLiteral("local receive data overflow");
    case reason::FaxLocalAbort: return QStringLiteral("local abort");
    case reason::FaxIllegalParameterCoding: return QStringLiteral("illegal parameter coding (bad SFF)");
    default: return QStringLiteral("unknown reason");
    }
}

QString describeInfo(quint16 v)
{
    return QStringLiteral("%1 (%2)").arg(infoText(v), hex(v, 4));
}

QString describeReason(quint16 v)
{
    return QStringLiteral("%1 (%2)").arg(reasonText(v), hex(v, 4));
}

QString traceLine(const Message &m)
{
    QStringList parts;
    parts << (isToController(m.subcommand) ? QStringLiteral("->") : QStringLiteral("<-"))
          << messageName(m.command, m.subcommand)
          << QStringLiteral("app %1 #%2").arg(m.appId).arg(m.number);
    if (const Layout *layout = findLayout(m.command, m.subcommand)) {
        for (int i = 0; i < layout->count; ++i) {
            const QString t = paramText(m, layout->params[i]);
            if (!t.isEmpty())
                parts << t;
        }
    }
    return parts.join(QLatin1Char(' '));
}

} // namespace capi
