#include "simline/relay.h"

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
    bool clean = lineReason == 0;
    for (Leg *s : sides) {
        if (!s)
            continue;
        Leg *sender = s == initiator ? other : initiator;
        if (!s->b3.outgoing.empty())
            clean = false; // data left undelivered
        // A document cut short: no end record, unless its own sender ended it in order
        // between two records (a missing end record is tolerated).
        const PageCount &doc = s->b3.pagesReceived;
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
    for (const Leg *l : m_calls.liveLegs())
        b3Count += l->app == m.appId && l->b3.state != B3::None;
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
    for (Leg *s : {peer, leg}) {
        Message active(Command::ConnectB3Active, Subcommand::Ind, s->app, s->b3.ncci);
        active.ncpi = faxNcpi(*s, s == leg ? peer : leg, true);
        m_apps.send(s->app, active);
    }
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
    const double paced = m_settings.speed > 0 ? double(callRate(c)) * m_settings.speed : 0.0;
    B3Link &out = sender.b3;
    B3Link &in = receiver->b3;
    while (!out.outgoing.empty() && in.inFlight.size() < window) {
        if (dropsNow(c, *receiver))
            return;
        if (paced > 0) {
            // A piece reaches the receiver once its last bit has crossed the line.
            const qint64 now = m_clock.nsecsElapsed();
            if (out.frontDueNs == 0) {
                const double bits = double(out.outgoing.front().data.size()) * 8;
                out.frontDueNs = qMax(now, out.lineFreeAtNs) + qint64(bits * 1e9 / paced);
            }
            if (now < out.frontDueNs) {
                schedulePump(sender, out.frontDueNs - now);
                return;
            }
            out.lineFreeAtNs = out.frontDueNs;
            out.frontDueNs = 0;
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

} // namespace simline
