#include "simline/relay.h"

#include "faxtiff/faxtiff.h"
#include "simline/faxsession.h"
#include "t30/reasons.h"
#include "t30/terminal.h"
#include "t30report/framereport.h"

#include <QDateTime>

#include <cmath>

namespace simline {

using namespace capi;

namespace {

constexpr quint16 kFaxTopRate = 14400; // V.17

// The T.30 rate the modems would agree on for a line paced at `rate` bit/s.
quint16 faxRateFor(quint32 rate)
{
    if (rate == 0 || rate >= kFaxTopRate)
        return kFaxTopRate;
    static const quint16 rates[] = {12000, 9600, 7200, 4800, 2400};
    for (quint16 r : rates) {
        if (rate >= r)
            return r;
    }
    return 2400;
}

// A fax session's transmitter gets its DISCONNECT_B3_IND this long after the T.30 call ended
// when it has not ended B3 itself by then.
constexpr auto kTransmitterCloseWait = std::chrono::seconds(2);

// The reason B3 of a side of a T.30 call. A side the line ended (the other had ended and no
// longer answered, or the call was cut short) sees a remote abort.
quint16 b3ReasonOf(const t30::SideOutcome &o)
{
    return o.t30Error == t30::ErrorLocalAbort ? reason::FaxRemoteAbort : o.reason;
}

} // namespace

Relay::Relay(Applications &apps, CallTable &calls, const LineSettings &settings, Statistics &stats,
             Schedule schedule, std::function<void(Call &, quint16)> clear)
    : m_apps(apps), m_calls(calls), m_settings(settings), m_stats(stats),
      m_schedule(std::move(schedule)), m_clear(std::move(clear))
{
    m_clock.start();
}

quint32 Relay::callRate(const Call &c) const
{
    if (c.farEnd.rateFactor >= 1.0)
        return m_settings.rate;
    const quint32 base = m_settings.rate ? m_settings.rate : kFaxTopRate;
    return qMax<quint32>(1, quint32(std::lround(base * c.farEnd.rateFactor)));
}

quint16 Relay::faxRate(const Call &c) const
{
    return faxRateFor(callRate(c));
}

void Relay::endB3Silently(Leg &leg)
{
    if (App *a = m_apps.find(leg.app))
        a->unconfirmed.erase(leg.b3.ncci);
    leg.b3 = B3Link{};
}

QByteArray Relay::faxNcpi(const Leg &leg, const Leg *peer, bool complete) const
{
    if (!leg.isFax())
        return {};
    const Call &c = m_calls.callOf(leg);
    FaxNcpi n;
    n.rate = faxRate(c);
    n.resolution = c.b3Resolution;
    n.format = 0;
    // Pages of the document that crossed the line, whichever way it went.
    int pages = 0;
    for (const Leg *l : {&leg, peer}) {
        if (l)
            pages += complete ? l->b3.pagesReceived.pagesStarted() : l->b3.pagesReceived.pagesComplete();
    }
    n.pages = quint16(pages);
    n.remoteStationId = peer ? peer->faxConfig().stationId : QString();
    return n.toBytes();
}

void Relay::sendDisconnectB3(const Leg &leg, const Leg *peer, quint16 reasonB3, bool complete)
{
    Message ind(Command::DisconnectB3, Subcommand::Ind, leg.app, leg.b3.ncci);
    ind.reason = reasonB3;
    ind.ncpi = faxNcpi(leg, peer, complete);
    m_apps.send(leg.app, ind);
}

void Relay::endB3(Leg *initiator, Leg *other, quint16 lineReason, bool orderly)
{
    Leg *sides[2] = {initiator, other};
    Leg *any = initiator ? initiator : other;
    std::shared_ptr<FaxSession> fax = any ? m_calls.callOf(*any).fax : nullptr;
    if (fax) {
        Call &c = m_calls.callOf(*any);
        const bool byTransmitter = initiator && (fax->transmitterPlci == initiator->plci
                                                 || fax->transmitterPlci == 0);
        if (orderly && lineReason == 0 && byTransmitter) {
            // The sender's end of its document: the T.30 call runs (or has run) to its end,
            // and the sender hears of that end before B3 goes.
            if (fax->state() == FaxSession::State::Collecting && fax->sendable()) {
                fax->closeRequested = true;
                startFax(c);
                return;
            }
            // Once: a second DISCONNECT_B3_REQ ends the fax at once.
            if (fax->state() != FaxSession::State::Collecting && !fax->closeRequested) {
                fax->closeRequested = true;
                finishFax(c);
                return;
            }
        }
        c.fax.reset();
        if (fax->state() != FaxSession::State::Collecting) {
            abortFax(c, fax, initiator, other, lineReason);
            return;
        }
    }
    bool clean = lineReason == 0;
    for (Leg *s : sides) {
        if (!s)
            continue;
        Leg *sender = s == initiator ? other : initiator;
        if (!s->b3.outgoing.empty())
            clean = false; // data left undelivered
        // A document cut short: no end record, unless its own sender ended it in order
        // between two records (a missing end record is tolerated).
        const PageCount &doc = fax ? fax->document() : s->b3.pagesReceived;
        if (sender && sender->b3.sentData && !doc.atEnd() &&
            !(orderly && sender == initiator && doc.atRecordBoundary()))
            clean = false;
    }
    for (Leg *s : sides) {
        if (!s || s->b3.state == B3::None)
            continue;
        Leg *p = s == initiator ? other : initiator;
        quint16 r = lineReason;
        if (!lineReason && s != initiator && !clean && s->isFax())
            r = reason::FaxRemoteAbort;
        sendDisconnectB3(*s, p, r, lineReason == 0 && clean);
    }
    // Page counts are read above; now forget the B3 state of both.
    for (Leg *s : sides) {
        if (s && s->b3.state != B3::None)
            endB3Silently(*s);
    }
}

void Relay::connectB3Req(const Message &m)
{
    Leg *leg = m_calls.leg(m.address, m.appId);
    if (!leg) {
        m_apps.confirm(m, m.address, info::IllegalIdentifier);
        return;
    }
    Call &c = m_calls.callOf(*leg);
    Leg *peer = m_calls.peerOf(*leg);
    const bool remoteNotFax = c.remoteConnected && c.remote == Remote::NotFax;
    if (!leg->connected || leg->b3.state != B3::None || (!peer && !remoteNotFax) ||
        (peer && peer->b3.state != B3::None)) {
        m_apps.confirm(m, m.address, info::IllegalState);
        return;
    }
    int b3Count = 0;
    for (const Leg *l : m_calls.liveLegsOf(m.appId))
        b3Count += l->b3.state != B3::None;
    if (quint32(b3Count) >= m_apps.at(m.appId).registration.maxLogicalConnections) {
        m_apps.confirm(m, m.address, info::OutOfNcci);
        return;
    }
    leg->b3.ncci = leg->plci | (1u << 16);
    leg->b3.state = B3::Requested;
    m_apps.confirm(m, leg->b3.ncci, info::Ok);
    c.b3Resolution = leg->faxConfig().resolution;

    // A remote that does not speak the protocol: the B3 connection fails.
    quint16 failure = 0;
    if (remoteNotFax)
        failure = leg->isFax() ? reason::FaxNotG3 : reason::Layer2Error;
    else if (leg->isFax() != peer->isFax())
        failure = leg->isFax() ? reason::FaxNotG3 : reason::Layer2Error;
    else if (!leg->isFax() &&
             leg->bProtocol.value_or(BProtocol()).b2 != peer->bProtocol.value_or(BProtocol()).b2)
        failure = reason::Layer2Error; // the two sides' layer 2 cannot meet
    if (failure) {
        sendDisconnectB3(*leg, nullptr, failure, false);
        endB3Silently(*leg);
        if (remoteNotFax) // the remote hangs up
            m_clear(c, reason::NormalClearing);
        return;
    }
    peer->b3.ncci = peer->plci | (1u << 16);
    peer->b3.state = B3::Incoming;
    Message ind(Command::ConnectB3, Subcommand::Ind, peer->app, peer->b3.ncci);
    ind.ncpi = m.ncpi;
    m_apps.send(peer->app, ind);
}

void Relay::connectB3Resp(const Message &m)
{
    Leg *leg = m_calls.legByNcci(m.address, m.appId);
    if (!leg || leg->b3.state != B3::Incoming)
        return;
    Leg *peer = m_calls.peerOf(*leg);
    if (!peer || peer->b3.state != B3::Requested)
        return;
    if (m.reject != reject::Accept) {
        sendDisconnectB3(*leg, peer, reason::Normal, false);
        sendDisconnectB3(*peer, leg, peer->isFax() ? reason::FaxRemoteAbort : reason::Normal, false);
        endB3Silently(*leg);
        endB3Silently(*peer);
        return;
    }
    leg->b3.state = B3::Active;
    peer->b3.state = B3::Active;
    Call &c = m_calls.callOf(*leg);
    c.rate = faxRate(c);
    if (leg->b3Protocol() == bproto::B3T30 && peer->b3Protocol() == bproto::B3T30) {
        // The controllers talk T.30 (B3 protocol 5 keeps the relay of SFF bytes). The NCPI
        // carries the rate their training passes at, which a rehearsal of phase B learns
        // first; the side that asked for B3 is taken to be the one that sends.
        c.fax = std::make_shared<FaxSession>();
        c.rate = kFaxTopRate;
        c.fax->rehearsalTransmitterPlci = peer->plci;
        const auto resolution = c.b3Resolution ? sff::Resolution::Fine : sff::Resolution::Standard;
        if (c.fax->startRehearsal(faxCallConfig(c, *peer, *leg), resolution)) {
            scheduleRehearsal(c);
            return;
        }
    }
    announceB3Active(c, *peer, *leg);
}

void Relay::announceB3Active(Call &c, Leg &requester, Leg &answerer)
{
    for (Leg *s : {&requester, &answerer}) {
        Leg *other = s == &answerer ? &requester : &answerer;
        Message active(Command::ConnectB3Active, Subcommand::Ind, s->app, s->b3.ncci);
        if (c.fax) {
            FaxNcpi n;
            n.rate = c.rate;
            n.resolution = c.b3Resolution;
            n.remoteStationId = other->faxConfig().stationId;
            active.ncpi = n.toBytes();
        } else {
            active.ncpi = faxNcpi(*s, other, true);
        }
        m_apps.send(s->app, active);
    }
}

// A slice of the rehearsal at each turn of the line's loop; its end brings B3 up.
void Relay::scheduleRehearsal(Call &c)
{
    const quint64 id = c.id;
    m_schedule(std::chrono::nanoseconds(0), [this, id, weak = std::weak_ptr<FaxSession>(c.fax)] {
        Call *call = m_calls.call(id);
        const std::shared_ptr<FaxSession> f = weak.lock();
        if (!call || !f || call->fax != f || !f->rehearsing())
            return; // the call or its B3 connection ended meanwhile
        if (!f->rehearse()) {
            scheduleRehearsal(*call);
            return;
        }
        Leg *requester = m_calls.leg(f->rehearsalTransmitterPlci);
        Leg *answerer = requester && requester->call == id ? m_calls.peerOf(*requester) : nullptr;
        if (!answerer || requester->b3.state != B3::Active || answerer->b3.state != B3::Active)
            return;
        if (f->rehearsedRate() > 0)
            call->rate = quint16(f->rehearsedRate());
        announceB3Active(*call, *requester, *answerer);
    });
}

void Relay::disconnectB3Req(const Message &m)
{
    Leg *leg = m_calls.legByNcci(m.address, m.appId);
    if (!leg) {
        m_apps.confirm(m, m.address, info::IllegalIdentifier);
        return;
    }
    m_apps.confirm(m, m.address, info::Ok);
    endB3(leg, m_calls.peerOf(*leg), 0, true);
}

void Relay::dataB3Req(const Message &m)
{
    App &a = m_apps.at(m.appId);
    auto confirmData = [&](quint16 infoValue) {
        a.confirmedOne(m.address);
        m_apps.confirm(m, m.address, infoValue);
    };
    Leg *leg = m_calls.legByNcci(m.address, m.appId);
    if (!leg) {
        confirmData(info::IllegalIdentifier);
        return;
    }
    if (leg->b3.state != B3::Active) {
        confirmData(info::IllegalState);
        return;
    }
    if (m.dataLength != m.data.size()) {
        confirmData(info::IllegalParameterCoding);
        return;
    }
    if (m.dataLength > a.registration.maxBlockLength) {
        confirmData(info::DataLengthNotSupported);
        return;
    }
    if (m_calls.callOf(*leg).fax) {
        faxData(*leg, m);
        return;
    }
    Leg *peer = m_calls.peerOf(*leg);
    const quint32 limit = m_apps.at(peer->app).registration.maxBlockLength;
    B3Link &link = leg->b3;
    const quint64 blockId = link.nextBlockId++;
    SentBlock block{m.dataHandle, m.number, 0};
    ++m_stats.blocksRelayed;
    m_stats.bytesRelayed += quint64(m.data.size());
    link.sentData = true;
    if (quint32(m.data.size()) <= limit) {
        link.outgoing.push_back(Piece{m.data, m.flags, blockId});
        block.piecesLeft = 1;
    } else {
        // The receiver takes smaller blocks: the one copy this block gets on its way.
        constexpr quint16 moreData = 0x0002;
        for (qsizetype off = 0; off < m.data.size(); off += limit) {
            const bool last = off + qsizetype(limit) >= m.data.size();
            link.outgoing.push_back(Piece{m.data.mid(off, limit),
                                          quint16(last ? m.flags : (m.flags | moreData)), blockId});
            ++block.piecesLeft;
        }
        ++m_stats.blockCopies;
    }
    link.blocks[blockId] = block;
    pump(*leg);
}

void Relay::dataB3Resp(const Message &m)
{
    Leg *receiver = m_calls.legByNcci(m.address, m.appId);
    if (!receiver)
        return;
    auto it = receiver->b3.inFlight.find(m.dataHandle);
    if (it == receiver->b3.inFlight.end())
        return;
    const quint64 blockId = it->second;
    receiver->b3.inFlight.erase(it);
    Leg *sender = m_calls.peerOf(*receiver);
    if (!sender)
        return;
    auto bit = sender->b3.blocks.find(blockId);
    if (bit != sender->b3.blocks.end() && --bit->second.piecesLeft == 0) {
        Message req(Command::DataB3, Subcommand::Req, sender->app, sender->b3.ncci);
        req.number = bit->second.number;
        req.dataHandle = bit->second.handle;
        sender->b3.blocks.erase(bit);
        m_apps.at(sender->app).confirmedOne(sender->b3.ncci);
        m_apps.confirm(req, sender->b3.ncci, info::Ok);
    }
    pump(*sender);
    Call &c = m_calls.callOf(*receiver);
    if (c.fax && !faxReceiverBusy(c, *c.fax)) {
        if (c.fax->state() == FaxSession::State::Running)
            scheduleFax(c, 0);
        else
            finishFax(c);
    }
}

void Relay::pump(Leg &sender)
{
    Leg *receiver = m_calls.peerOf(sender);
    if (!receiver || sender.b3.state != B3::Active || receiver->b3.state != B3::Active)
        return;
    App *receiverApp = m_apps.find(receiver->app);
    if (!receiverApp)
        return;
    const quint32 window = receiverApp->window;
    Call &c = m_calls.callOf(sender);
    // The wall-clock rate: the call's rate scaled by the line's speed; 0 is unpaced.
    // The pages of a T.30 call took their time on the line already.
    const double paced = m_settings.speed > 0 && !c.fax ? double(callRate(c)) * m_settings.speed
                                                        : 0.0;
    B3Link &out = sender.b3;
    B3Link &in = receiver->b3;
    bool lineBusy = false; // a piece was just delivered and the next one waited for the line
    while (!out.outgoing.empty() && in.inFlight.size() < window) {
        if (dropsNow(c, *receiver))
            return;
        if (paced > 0) {
            // A piece reaches the receiver once its last bit has crossed the line. One that
            // waited behind the piece before starts when that one's last bit left, however
            // late this turn runs; otherwise it starts now, the line having been idle.
            const qint64 now = m_clock.nsecsElapsed();
            if (out.frontDueNs == 0) {
                const double bits = double(out.outgoing.front().data.size()) * 8;
                const qint64 start = lineBusy ? out.lineFreeAtNs : qMax(now, out.lineFreeAtNs);
                out.frontDueNs = start + qint64(bits * 1e9 / paced);
            }
            if (now < out.frontDueNs) {
                schedulePump(sender, out.frontDueNs - now);
                return;
            }
            out.lineFreeAtNs = out.frontDueNs;
            out.frontDueNs = 0;
            lineBusy = true;
        }
        Piece piece = std::move(out.outgoing.front());
        out.outgoing.pop_front();
        in.pagesReceived.feed(piece.data);
        if (receiver->isFax() && in.pagesReceived.invalid()) {
            badDocument(sender, *receiver);
            return;
        }
        quint16 handle = in.nextIndHandle++;
        while (in.inFlight.count(handle))
            handle = in.nextIndHandle++;
        in.inFlight[handle] = piece.blockId;
        Message ind(Command::DataB3, Subcommand::Ind, receiver->app, in.ncci);
        ind.dataLength = quint16(piece.data.size());
        ind.dataHandle = handle;
        ind.flags = piece.flags;
        ind.data = std::move(piece.data);
        m_apps.send(receiver->app, ind);
        ++c.blocksDelivered;
        if (dropsNow(c, *receiver))
            return;
    }
}

void Relay::schedulePump(Leg &sender, qint64 delayNs)
{
    if (sender.pumpScheduled)
        return;
    sender.pumpScheduled = true;
    const quint64 id = sender.call;
    const quint32 plci = sender.plci;
    m_schedule(std::chrono::nanoseconds(delayNs), [this, id, plci] {
        Leg *leg = m_calls.leg(plci);
        if (!leg || leg->call != id)
            return;
        leg->pumpScheduled = false;
        pump(*leg);
    });
}

// A T.30 sender whose data is not an SFF document: the fax modem cannot send it.
void Relay::badDocument(Leg &sender, Leg &receiver)
{
    sendDisconnectB3(sender, &receiver, reason::FaxIllegalParameterCoding, false);
    sendDisconnectB3(receiver, &sender, reason::FaxRemoteAbort, false);
    endB3Silently(sender);
    endB3Silently(receiver);
}

// A planned drop: once the given number of blocks or pages went through, the line is gone.
bool Relay::dropsNow(Call &c, const Leg &receiver)
{
    const FarEnd &f = c.farEnd;
    bool drop = false;
    if (f.behaviour == FarEnd::Behaviour::DropAfterBlocks) {
        drop = c.blocksDelivered >= f.count;
        if (drop)
            c.faultText = QStringLiteral("line dropped after %1 blocks").arg(c.blocksDelivered);
    } else if (f.behaviour == FarEnd::Behaviour::DropAfterPages) {
        drop = receiver.b3.pagesReceived.pagesStarted() > f.count;
        if (drop)
            c.faultText = QStringLiteral("line dropped after %1 pages").arg(f.count);
    }
    if (drop)
        m_clear(c, reason::Layer1Error);
    return drop;
}

// ---- G3 fax connections: the T.30 call -------------------------------------------------------

Leg *Relay::faxTransmitter(Call &c, const FaxSession &f)
{
    Leg *leg = f.transmitterPlci ? m_calls.leg(f.transmitterPlci) : nullptr;
    return leg && leg->call == c.id ? leg : nullptr;
}

// DISCONNECT_B3_IND with what T.30 negotiated and how far it got, and B3 is gone.
void Relay::endFaxSide(Leg &leg, quint16 reasonB3, const t30::SideOutcome &o)
{
    FaxNcpi n;
    n.rate = quint16(o.bitRate);
    n.resolution = o.resolution == sff::Resolution::Fine ? 1 : 0;
    n.pages = quint16(o.pages);
    n.remoteStationId = o.farStation;
    Message ind(Command::DisconnectB3, Subcommand::Ind, leg.app, leg.b3.ncci);
    ind.reason = reasonB3;
    ind.ncpi = n.toBytes();
    m_apps.send(leg.app, ind);
    endB3Silently(leg);
}

// A block of the sender's document: collected and confirmed at once, since T.30 sends a
// document only once it is whole. Its end starts the call.
void Relay::faxData(Leg &sender, const Message &m)
{
    Call &c = m_calls.callOf(sender);
    const std::shared_ptr<FaxSession> f = c.fax;
    App &a = m_apps.at(m.appId);
    auto confirmData = [&](quint16 infoValue) {
        a.confirmedOne(m.address);
        m_apps.confirm(m, m.address, infoValue);
    };
    // Data from the receiving side, or after the document's end, has nowhere to go.
    if (f->state() != FaxSession::State::Collecting
        || (f->transmitterPlci && f->transmitterPlci != sender.plci)) {
        confirmData(info::IllegalState);
        return;
    }
    f->transmitterPlci = sender.plci;
    ++m_stats.blocksRelayed;
    m_stats.bytesRelayed += quint64(m.data.size());
    sender.b3.sentData = true;
    if (!f->take(m.data, m_settings.faxDocumentLimit)) {
        // The line keeps no document without end: the fax ends here, as a controller out of
        // room for it would end it.
        c.fax.reset();
        c.faultText = m_settings.faxDocumentLimit >= (1 << 20)
                          ? QStringLiteral("fax document larger than %1 MiB")
                                .arg(m_settings.faxDocumentLimit >> 20)
                          : QStringLiteral("fax document larger than %1 bytes")
                                .arg(m_settings.faxDocumentLimit);
        Leg *peer = m_calls.peerOf(sender);
        sendDisconnectB3(sender, peer, reason::FaxLocalAbort, false);
        endB3Silently(sender);
        if (peer) {
            sendDisconnectB3(*peer, &sender, reason::FaxRemoteAbort, false);
            endB3Silently(*peer);
        }
        return;
    }
    if (f->document().invalid()) {
        c.fax.reset();
        if (Leg *peer = m_calls.peerOf(sender))
            badDocument(sender, *peer);
        return;
    }
    confirmData(info::Ok);
    if (f->document().atEnd())
        startFax(c);
}

// The T.30 call between the two legs, as both the rehearsal and the call itself run it.
t30::CallConfig Relay::faxCallConfig(const Call &c, const Leg &tx, const Leg &rx) const
{
    const FaxB3Configuration sending = tx.faxConfig();
    t30::CallConfig config;
    config.caller.stationId = sending.stationId;
    config.caller.headLine = sending.headLine;
    config.caller.headTime = m_settings.headLineTime;
    config.answerer.stationId = rx.faxConfig().stationId;
    // The line to the called number, and what its fax offers; the noise is seeded by the
    // rule, so every call to a number meets the same line.
    config.line = c.farEnd.line;
    config.answerer.ecm = c.farEnd.ecm;
    config.answerer.modems = c.farEnd.modems;
    return config;
}

void Relay::startFax(Call &c)
{
    const std::shared_ptr<FaxSession> f = c.fax;
    Leg *tx = faxTransmitter(c, *f);
    Leg *rx = tx ? m_calls.peerOf(*tx) : nullptr;
    if (!tx || !rx)
        return;
    t30::CallConfig config = faxCallConfig(c, *tx, *rx);
    config.recordFolder = m_settings.recordFolder;
    config.recordName = QStringLiteral("fax-%1-call%2-%3.wav")
                            .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")))
                            .arg(c.id)
                            .arg(c.calledDigits.isEmpty() ? QStringLiteral("line") : c.calledDigits);
    QString why;
    if (!f->start(config, &why)) {
        c.faultText = QStringLiteral("fax call not started: %1").arg(why);
        finishFax(c);
        return;
    }
    scheduleFax(c, 0);
}

bool Relay::faxReceiverBusy(Call &c, const FaxSession &f)
{
    Leg *tx = faxTransmitter(c, f);
    Leg *rx = tx ? m_calls.peerOf(*tx) : nullptr;
    return tx && rx && (!tx->b3.outgoing.empty() || !rx->b3.inFlight.empty());
}

void Relay::scheduleFax(Call &c, qint64 delayNs)
{
    FaxSession &f = *c.fax;
    if (f.sliceScheduled)
        return;
    f.sliceScheduled = true;
    const quint64 id = c.id;
    m_schedule(std::chrono::nanoseconds(delayNs), [this, id] { runFax(id); });
}

void Relay::runFax(quint64 callId)
{
    Call *c = m_calls.call(callId);
    if (!c || !c->fax)
        return;
    const std::shared_ptr<FaxSession> f = c->fax; // alive while the call is cleared under us
    f->sliceScheduled = false;
    // The line's clock stands while the receiving application has not taken every block of
    // the pages so far: its controller confirms a page only once the page is delivered.
    if (faxReceiverBusy(*c, *f))
        return; // dataB3Resp runs it on
    const double pace = m_settings.speed;
    for (const t30::Event &e : f->advance(pace)) {
        faxEvent(*c, *f, e);
        if (c->fax != f)
            return; // the call was cut short
    }
    if (f->state() == FaxSession::State::Finished)
        finishFax(*c);
    else
        scheduleFax(*c, f->nextSliceNs(pace));
}

void Relay::faxEvent(Call &c, FaxSession &f, const t30::Event &e)
{
    using Type = t30::Event::Type;
    if (e.type == Type::Training && e.ok && e.side == t30::Side::Caller)
        c.rate = quint16(e.frame.bitRate);
    Leg *tx = faxTransmitter(c, f);
    if (!tx)
        return;
    if (const std::optional<t30::FrameReport> report = t30::reportOf(e)) {
        // Each controller tells its own application what its T.30 sent, received and trained.
        Leg *leg = e.side == t30::Side::Caller ? tx : m_calls.peerOf(*tx);
        if (leg && leg->b3.state == B3::Active) {
            Message ind(Command::Manufacturer, Subcommand::Ind, leg->app, leg->plci & 0x7F);
            ind.manufacturerId = t30::ManufacturerId;
            ind.manufacturerData = t30::encodeReport(*report);
            m_apps.send(leg->app, ind);
        }
        return;
    }
    if (e.type != Type::PageReceived)
        return;
    queueForReceiver(*tx, f.pagesDelivered++ == 0 ? faxtiff::sffStreamHeader() + e.sff : e.sff);
}

// Received SFF goes to the receiving application in blocks it can take, under its window.
void Relay::queueForReceiver(Leg &transmitter, const QByteArray &data)
{
    Leg *rx = m_calls.peerOf(transmitter);
    App *app = rx ? m_apps.find(rx->app) : nullptr;
    if (!app)
        return;
    const qsizetype limit = qMax<qsizetype>(1, qMin<qsizetype>(app->registration.maxBlockLength, 2048));
    for (qsizetype off = 0; off < data.size(); off += limit)
        transmitter.b3.outgoing.push_back(Piece{data.mid(off, limit), 0, 0});
    pump(transmitter);
}

// Once the T.30 call is over and the receiver has every block, each side learns how it ended.
void Relay::finishFax(Call &c)
{
    const std::shared_ptr<FaxSession> f = c.fax;
    if (!f || f->state() != FaxSession::State::Finished)
        return;
    Leg *tx = faxTransmitter(c, *f);
    Leg *rx = tx ? m_calls.peerOf(*tx) : nullptr;
    if (!tx || !rx)
        return;
    if (f->transmitter().bitRate)
        c.rate = quint16(f->transmitter().bitRate);
    if (!f->receiverEnded && rx->b3.state == B3::Active) {
        if (f->receiver().success() && f->pagesDelivered > 0 && !f->endRecordQueued) {
            f->endRecordQueued = true;
            queueForReceiver(*tx, faxtiff::sffEndRecord());
            if (c.fax != f)
                return;
        }
        if (!tx->b3.outgoing.empty() || !rx->b3.inFlight.empty())
            return; // dataB3Resp comes back here
        f->receiverEnded = true;
        endFaxSide(*rx, b3ReasonOf(f->receiver()), f->receiver());
    }
    f->receiverEnded = true;
    if (!f->transmitterEnded && tx->b3.state == B3::Active) {
        if (!f->closeRequested) {
            const quint64 id = c.id;
            m_schedule(kTransmitterCloseWait, [this, id, weak = std::weak_ptr<FaxSession>(f)] {
                Call *call = m_calls.call(id);
                const std::shared_ptr<FaxSession> same = weak.lock();
                if (!call || !same || call->fax != same)
                    return;
                same->closeRequested = true;
                finishFax(*call);
            });
            return;
        }
        f->transmitterEnded = true;
        endFaxSide(*tx, b3ReasonOf(f->transmitter()), f->transmitter());
    }
    c.fax.reset();
}

// The call is cleared, or a side ended B3, while T.30 ran or its end was being delivered.
void Relay::abortFax(Call &c, const std::shared_ptr<FaxSession> &f, Leg *initiator, Leg *other,
                     quint16 lineReason)
{
    const bool over = f->state() == FaxSession::State::Finished;
    f->abort();
    if (f->transmitter().bitRate)
        c.rate = quint16(f->transmitter().bitRate);
    Leg *tx = faxTransmitter(c, *f);
    const bool undelivered = tx && !tx->b3.outgoing.empty();
    for (Leg *s : {initiator, other}) {
        if (!s || s->b3.state == B3::None)
            continue;
        const bool transmits = s->plci == f->transmitterPlci;
        const t30::SideOutcome &o = transmits ? f->transmitter() : f->receiver();
        // A call that had ended keeps its outcome, unless the receiver loses blocks of it.
        quint16 r = s == initiator ? reason::Normal : reason::FaxRemoteAbort;
        if (over && (transmits || !undelivered))
            r = b3ReasonOf(o);
        if (lineReason)
            r = lineReason;
        endFaxSide(*s, r, o);
    }
}

} // namespace simline
