// Cost of a CAPI message's trace line, encoding and decoding, for the mix of messages a fax
// call exchanges: mostly DATA_B3 REQ, CONF, IND and RESP, with the call's set-up and clearing
// around them. The trace line is timed against the earlier implementation (a QStringList of
// QString::arg pieces, kept below for this comparison only) in the same process, rounds
// interleaved, and both must give the same text for every message of the mix.

#include "capi/message.h"
#include "capi/messagelayout_p.h"
#include "capi/trace.h"

#include <QCoreApplication>
#include <QStringList>

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

using namespace capi;

namespace old {

QString infoText(quint16 info);
QString reasonText(quint16 reason);
QString describeInfo(quint16 info);
QString describeReason(quint16 reason);
QString traceLine(const Message &m);

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
    case Param::ManufacturerId: return QStringLiteral("manufacturer ") + hex(m.manufacturerId, 8);
    case Param::DataPointer:
    case Param::Data64: return QString();
    case Param::CalledSubaddress:
    case Param::CallingSubaddress:
    case Param::ConnectedSubaddress:
    case Param::Bc:
    case Param::Llc:
    case Param::Hlc:
    case Param::InfoElement:
    case Param::FacilityParameter:
    case Param::ManufacturerData: break;
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
        {Param::ManufacturerData, &Message::manufacturerData, "data"},
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

} // namespace old

namespace {

// The messages of one fax call of `blocks` data blocks, as both ends see them.
std::vector<Message> faxCallMix(int blocks)
{
    std::vector<Message> mix;
    quint16 number = 1;
    const auto add = [&mix, &number](Message m) {
        m.number = number++;
        mix.push_back(std::move(m));
    };
    constexpr quint32 plci = 0x0101;
    constexpr quint32 ncci = 0x00010101;

    Message listen(Command::Listen, Subcommand::Req, 2, 1);
    listen.infoMask = infomask::CallProgression;
    listen.cipMask = cip::maskBit(cip::FaxG3) | cip::maskBit(cip::Audio3k1);
    add(listen);
    add(Message(Command::Listen, Subcommand::Conf, 2, 1));

    Message connect(Command::Connect, Subcommand::Req, 1, 1);
    connect.cip = cip::FaxG3;
    connect.calledParty.digits = QStringLiteral("0301234567");
    connect.callingParty.digits = QStringLiteral("0409876543");
    connect.bProtocol = BProtocol::faxG3({1, 0, QStringLiteral("+49 30 1234567"), QStringLiteral("Quillon test")});
    add(connect);
    add(Message(Command::Connect, Subcommand::Conf, 1, plci));
    Message ind(Command::Connect, Subcommand::Ind, 2, 0x0201);
    ind.cip = cip::FaxG3;
    ind.calledParty = connect.calledParty;
    ind.callingParty = connect.callingParty;
    add(ind);
    Message resp = ind.response();
    resp.bProtocol = BProtocol::faxG3({1, 0, QStringLiteral("+49 40 9876543"), {}});
    add(resp);
    Message alerting(Command::Info, Subcommand::Ind, 1, plci);
    alerting.infoNumber = infonumber::Alerting;
    add(alerting);
    add(Message(Command::ConnectActive, Subcommand::Ind, 1, plci));
    add(Message(Command::ConnectActive, Subcommand::Resp, 1, plci));
    add(Message(Command::ConnectB3, Subcommand::Req, 1, plci));
    add(Message(Command::ConnectB3, Subcommand::Conf, 1, ncci));
    add(Message(Command::ConnectB3, Subcommand::Ind, 2, 0x00010201));
    add(Message(Command::ConnectB3, Subcommand::Resp, 2, 0x00010201));
    Message active(Command::ConnectB3Active, Subcommand::Ind, 1, ncci);
    active.ncpi = FaxNcpi{14400, 1, 0, 0, QStringLiteral("+49 40 9876543")}.toBytes();
    add(active);
    add(Message(Command::ConnectB3Active, Subcommand::Resp, 1, ncci));

    const QByteArray block(2048, 'x');
    for (int i = 0; i < blocks; ++i) {
        const quint16 handle = quint16(i & 7);
        add(Message::dataB3Req(1, ncci, block, handle));
        Message conf(Command::DataB3, Subcommand::Conf, 1, ncci);
        conf.dataHandle = handle;
        add(conf);
        Message data(Command::DataB3, Subcommand::Ind, 2, 0x00010201);
        data.data = block;
        data.dataLength = 2048;
        data.dataHandle = quint16(i);
        add(data);
        add(data.response());
    }

    add(Message(Command::DisconnectB3, Subcommand::Req, 1, ncci));
    add(Message(Command::DisconnectB3, Subcommand::Conf, 1, ncci));
    Message b3End(Command::DisconnectB3, Subcommand::Ind, 1, ncci);
    b3End.ncpi = FaxNcpi{14400, 1, 0, 12, QStringLiteral("+49 40 9876543")}.toBytes();
    add(b3End);
    add(b3End.response());
    add(Message(Command::Disconnect, Subcommand::Req, 1, plci));
    add(Message(Command::Disconnect, Subcommand::Conf, 1, plci));
    Message end(Command::Disconnect, Subcommand::Ind, 1, plci);
    end.reason = reason::NormalClearing;
    add(end);
    add(end.response());
    Message busy(Command::Disconnect, Subcommand::Ind, 2, 0x0201);
    busy.reason = reason::UserBusy;
    add(busy);
    Message notFax(Command::DisconnectB3, Subcommand::Ind, 2, 0x00010201);
    notFax.reason = reason::FaxNotG3;
    add(notFax);
    return mix;
}

// CPU time of this thread in ns: the machine is shared, so wall time would count others' work.
qint64 cpuNs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

struct Spread
{
    double median = 0;
    double low = 0;
    double high = 0;
};

Spread spread(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], v.front(), v.back()};
}

// CPU nanoseconds per message of `work` over the whole mix, `passes` times.
double nsPerMessage(const std::vector<Message> &mix, int passes,
                    const std::function<qsizetype(const Message &)> &work)
{
    qsizetype sink = 0;
    const qint64 start = cpuNs();
    for (int p = 0; p < passes; ++p) {
        for (const Message &m : mix)
            sink += work(m);
    }
    const double ns = double(cpuNs() - start);
    if (sink == 42)
        std::puts(""); // keeps the work from being optimised away
    return ns / double(qsizetype(passes) * qsizetype(mix.size()));
}

void print(const char *what, const Spread &s)
{
    std::printf("%-44s median %7.1f CPU ns/message (min %.1f, max %.1f)\n", what, s.median,
                s.low, s.high);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int rounds = 15;
    const int passes = 40;
    const std::vector<Message> mix = faxCallMix(100);
    int data = 0;
    for (const Message &m : mix)
        data += m.command == Command::DataB3;
    std::printf("mix: %zu messages of one fax call, %d of them DATA_B3 REQ/CONF/IND/RESP; "
                "%d rounds of %d passes, interleaved\n",
                mix.size(), data, rounds, passes);

    std::vector<QByteArray> wire;
    for (const Message &m : mix) {
        if (old::traceLine(m) != traceLine(m)) {
            std::fprintf(stderr, "trace texts differ:\n  old %s\n  new %s\n",
                         qPrintable(old::traceLine(m)), qPrintable(traceLine(m)));
            return 1;
        }
        wire.push_back(encode(m));
        const DecodeResult r = decode(wire.back());
        if (!r.ok() || encode(r.message()) != wire.back()) {
            std::fprintf(stderr, "%s does not survive encode and decode\n",
                         qPrintable(messageName(m.command, m.subcommand)));
            return 1;
        }
    }

    std::vector<double> oldTrace, newTrace, enc, dec;
    const auto traceOld = [](const Message &m) { return old::traceLine(m).size(); };
    const auto traceNew = [](const Message &m) { return traceLine(m).size(); };
    const auto encodeOne = [](const Message &m) { return encode(m).size(); };
    for (int round = 0; round < rounds; ++round) {
        if (round % 2 == 0) {
            oldTrace.push_back(nsPerMessage(mix, passes, traceOld));
            newTrace.push_back(nsPerMessage(mix, passes, traceNew));
        } else {
            newTrace.push_back(nsPerMessage(mix, passes, traceNew));
            oldTrace.push_back(nsPerMessage(mix, passes, traceOld));
        }
        enc.push_back(nsPerMessage(mix, passes, encodeOne));
        qsizetype sink = 0;
        const qint64 start = cpuNs();
        for (int p = 0; p < passes; ++p) {
            for (const QByteArray &b : wire)
                sink += decode(b).ok();
        }
        dec.push_back(double(cpuNs() - start) / double(qsizetype(passes) * qsizetype(wire.size())));
        if (sink == 0)
            return 1;
    }
    std::vector<double> ratios;
    for (int i = 0; i < rounds; ++i)
        ratios.push_back(oldTrace[std::size_t(i)] / newTrace[std::size_t(i)]);

    print("trace line, earlier QStringList/arg version", spread(oldTrace));
    print("trace line, direct formatting", spread(newTrace));
    const Spread r = spread(ratios);
    std::printf("%-44s median %7.2fx (min %.2fx, max %.2fx)\n", "trace line, earlier / direct per round",
                r.median, r.low, r.high);
    print("encode (message to bytes)", spread(enc));
    print("decode (bytes to message)", spread(dec));
    return 0;
}
