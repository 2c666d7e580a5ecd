#include "capi/simulatedline.h"
#include "capi/sffscanner.h"

#include <QElapsedTimer>
#include <QMetaObject>
#include <QPointer>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <deque>
#include <map>
#include <vector>

namespace capi {

namespace {

constexpr int kDefaultMaxApplications = 32;
constexpr int kDefaultBChannels = 2; // a basic rate line; a loopback call takes both
constexpr quint16 kMaxCip = 28;
constexpr quint16 kFaxTopRate = 14400; // V.17

// A message waiting for an application: its encoding and, for DATA_B3_IND, the block.
struct Queued
{
    QByteArray wire;
    QByteArray data;
};

struct App
{
    quint16 id = 0;
    quint64 serial = 0; // tells a re-registered id from the old one
    Registration registration;
    quint32 window = 1;
    QPointer<QObject> context; // lives in the registering thread; notifications go through it
    std::deque<Queued> queue;
    bool notifyPending = false;
    quint16 nextNumber = 1;
    quint32 infoMask = 0;
    quint32 cipMask = 0;
    quint32 cipMask2 = 0;
    std::map<quint32, quint32> unconfirmed; // DATA_B3_REQ put, not yet confirmed, by NCCI
};

// A piece of a block on its way to the receiving side.
struct Piece
{
    QByteArray data;
    quint16 flags = 0;
    quint64 blockId = 0;
};

// A block of a sender, confirmed once every piece of it has been answered.
struct SentBlock
{
    quint16 handle = 0;
    quint16 number = 0;
    int piecesLeft = 0;
};

enum class B3 { None, Requested, Incoming, Active };

struct Call;

// One side of a call: the caller's PLCI or an offered/answering PLCI.
struct Leg
{
    Call *call = nullptr;
    quint16 app = 0;
    quint32 plci = 0;
    bool offered = false; // an incoming leg still waiting for its CONNECT_RESP
    bool alerted = false;
    bool connected = false;
    std::optional<BProtocol> bProtocol;

    B3 b3 = B3::None;
    quint32 ncci = 0;
    // As a sender: pieces not yet delivered, blocks not yet confirmed.
    std::deque<Piece> outgoing;
    std::map<quint64, SentBlock> blocks;
    quint64 nextBlockId = 1;
    qint64 lineFreeAtNs = 0; // pacing: when the line is free for the next piece
    qint64 frontDueNs = 0;   // pacing: when the first waiting piece has fully arrived
    bool pumpScheduled = false;
    bool sentData = false;
    // As a receiver: DATA_B3_IND handles not yet answered, and what they belong to.
    std::map<quint16, quint64> inFlight;
    quint16 nextIndHandle = 0;
    SffPageCounter pagesReceived;

    quint16 b3Protocol() const { return bProtocol ? bProtocol->b3 : bproto::B3Transparent; }
    bool isFax() const { return bproto::isFaxG3B3(b3Protocol()); }
    FaxB3Configuration faxConfig() const
    {
        if (bProtocol) {
            if (auto c = bProtocol->faxConfiguration())
                return *c;
        }
        return {};
    }
};

// The remote that the line plays itself when a fault is injected.
enum class Remote { Applications, NoAnswer, NotFax };

struct Call
{
    quint64 id = 0;
    std::vector<std::unique_ptr<Leg>> legs; // legs[0] is the caller
    Leg *answerer = nullptr;
    Remote remote = Remote::Applications;
    quint16 cip = 0;
    QString calledDigits;
    bool alerted = false;
    std::vector<quint16> rejects;
    int dropAfterBlocks = -1;
    int blocksDelivered = 0;
    bool remoteConnected = false; // the line's own remote answered (NotFax)
    quint16 b3Resolution = 0;

    Leg *caller() const { return legs.front().get(); }
};

quint16 rejectToReason(quint16 r)
{
    switch (r) {
    case reject::NormalClearing: return reason::NormalClearing;
    case reject::UserBusy: return reason::UserBusy;
    case reject::ChannelNotAvailable: return reason::ChannelNotAvailable;
    case reject::FacilityRejected: return reason::FacilityRejected;
    case reject::ChannelUnacceptable: return reason::ChannelUnacceptable;
    case reject::IncompatibleDestination: return reason::IncompatibleDestination;
    case reject::DestinationOutOfOrder: return reason::DestinationOutOfOrder;
    default: return (r & 0xFF00) == 0x3400 ? r : reason::CallRejected;
    }
}

// The T.30 rate the modems would agree on for a line paced at `rate` bit/s.
quint16 faxRate(quint32 rate)
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

quint16 checkBProtocol(const std::optional<BProtocol> &bp)
{
    if (!bp)
        return info::Ok;
    if (bp->b1 != bproto::B1Hdlc64k && bp->b1 != bproto::B1Transparent64k &&
        bp->b1 != bproto::B1T30Modem)
        return info::B1NotSupported;
    if (bp->b2 != bproto::B2X75 && bp->b2 != bproto::B2Transparent && bp->b2 != bproto::B2T30)
        return info::B2NotSupported;
    if (bp->b3 != bproto::B3Transparent && bp->b3 != bproto::B3T90NL &&
        !bproto::isFaxG3B3(bp->b3))
        return info::B3NotSupported;
    const bool t30 = bp->b1 == bproto::B1T30Modem;
    if (t30 != (bp->b2 == bproto::B2T30) || t30 != bproto::isFaxG3B3(bp->b3))
        return info::BProtocolCombinationNotSupported;
    if (t30 && !bp->faxConfiguration())
        return info::B3ParameterNotSupported;
    return info::Ok;
}

} // namespace

struct SimulatedLine::State
{
    SimulatedLine *line;
    std::map<quint16, App> apps;
    quint64 nextSerial = 1;
    struct Inbound
    {
        quint16 app;
        quint64 serial;
        QByteArray wire;
        QByteArray data;
    };
    std::deque<Inbound> inbound;
    bool processScheduled = false;

    std::map<quint64, std::unique_ptr<Call>> calls;
    std::map<quint32, Leg *> legs; // by PLCI
    quint64 nextCallId = 1;
    quint8 nextPlci = 1;

    int channels = kDefaultBChannels;
    int maxApplications = kDefaultMaxApplications;
    Fault fault = Fault::None;
    int dropAfterBlocks = 0;
    quint32 rate = 0;
    std::chrono::milliseconds noAnswerTimeout{DefaultNoAnswerTimeoutMs};
    QElapsedTimer clock;
    Statistics stats;

    explicit State(SimulatedLine *l) : line(l) { clock.start(); }

    // ---- output ----

    void notify(App &a)
    {
        if (a.notifyPending || !a.context)
            return;
        a.notifyPending = true;
        const quint16 id = a.id;
        const quint64 serial = a.serial;
        SimulatedLine *l = line;
        QMetaObject::invokeMethod(
            a.context,
            [l, id, serial] {
                {
                    QMutexLocker lock(&l->m_mutex);
                    auto it = l->m_state->apps.find(id);
                    if (it == l->m_state->apps.end() || it->second.serial != serial)
                        return;
                    it->second.notifyPending = false;
                    if (it->second.queue.empty())
                        return;
                }
                emit l->messagesWaiting(id);
            },
            Qt::QueuedConnection);
    }

    // Queues `m` for application `appId`; an IND gets the application's next message number.
    void send(quint16 appId, Message m)
    {
        auto it = apps.find(appId);
        if (it == apps.end())
            return; // released meanwhile
        App &a = it->second;
        m.appId = appId;
        if (m.subcommand == Subcommand::Ind) {
            m.number = a.nextNumber++;
            if (a.nextNumber == 0)
                a.nextNumber = 1;
        }
        QByteArray wire = encode(m);
        Q_ASSERT(!wire.isEmpty());
        a.queue.push_back(Queued{std::move(wire), m.data});
        ++stats.messagesOut;
        notify(a);
    }

    void confirm(const Message &req, quint32 address, quint16 infoValue)
    {
        Message c(req.command, Subcommand::Conf, req.appId, address);
        c.number = req.number;
        c.info = infoValue;
        if (req.command == Command::DataB3)
            c.dataHandle = req.dataHandle;
        if (req.command == Command::Facility)
            c.facilitySelector = req.facilitySelector;
        send(req.appId, c);
    }

    // ---- calls and legs ----

    Leg *legByPlci(quint32 plci, quint16 app)
    {
        auto it = legs.find(plci & 0xFFFF);
        if (it == legs.end() || it->second->app != app)
            return nullptr;
        return it->second;
    }

    Leg *legByNcci(quint32 ncci, quint16 app)
    {
        Leg *leg = legByPlci(ncci, app);
        return leg && leg->b3 != B3::None && leg->ncci == ncci ? leg : nullptr;
    }

    Leg *peerOf(const Leg *leg) const
    {
        Call *c = leg->call;
        if (!c->answerer)
            return nullptr;
        return leg == c->caller() ? c->answerer : (leg == c->answerer ? c->caller() : nullptr);
    }

    bool allocatePlci(quint32 *plci)
    {
        for (int tries = 0; tries < 255; ++tries) {
            const quint32 candidate = ControllerNumber | (quint32(nextPlci) << 8);
            nextPlci = nextPlci == 255 ? 1 : nextPlci + 1;
            if (!legs.count(candidate)) {
                *plci = candidate;
                return true;
            }
        }
        return false;
    }

    Leg *addLeg(Call *c, quint16 app)
    {
        quint32 plci = 0;
        if (!allocatePlci(&plci))
            return nullptr;
        auto leg = std::make_unique<Leg>();
        leg->call = c;
        leg->app = app;
        leg->plci = plci;
        Leg *raw = leg.get();
        c->legs.push_back(std::move(leg));
        legs[plci] = raw;
        return raw;
    }

    // Ends a leg with DISCONNECT_IND (unless its application is gone) and forgets it.
    void dropLeg(Leg *leg, quint16 reasonValue)
    {
        if (leg->b3 != B3::None)
            endB3Silently(leg);
        Message ind(Command::Disconnect, Subcommand::Ind, leg->app, leg->plci);
        ind.reason = reasonValue;
        send(leg->app, ind);
        forgetLeg(leg);
    }

    void forgetLeg(Leg *leg)
    {
        legs.erase(leg->plci);
        Call *c = leg->call;
        if (c->answerer == leg)
            c->answerer = nullptr;
        for (auto &l : c->legs) {
            if (l.get() == leg) {
                // Keep the caller's slot so legs[0] stays the caller; mark it gone.
                if (&l == &c->legs.front()) {
                    leg->app = 0;
                    leg->plci = 0;
                } else {
                    l.reset();
                }
                break;
            }
        }
        c->legs.erase(std::remove(c->legs.begin() + 1, c->legs.end(), nullptr), c->legs.end());
        bool anyLeft = false;
        for (auto &l : c->legs)
            anyLeft = anyLeft || (l && l->plci != 0);
        if (!anyLeft)
            calls.erase(c->id); // deletes the call and its legs
    }

    // Clears the B3 state of a leg without a message (its DISCONNECT_B3_IND was sent or its
    // application is gone).
    void endB3Silently(Leg *leg)
    {
        if (auto it = apps.find(leg->app); it != apps.end())
            it->second.unconfirmed.erase(leg->ncci);
        leg->b3 = B3::None;
        leg->ncci = 0;
        leg->outgoing.clear();
        leg->blocks.clear();
        leg->inFlight.clear();
        leg->lineFreeAtNs = 0;
        leg->frontDueNs = 0;
        leg->sentData = false;
        leg->pagesReceived = SffPageCounter();
    }

    QByteArray faxNcpi(const Leg *leg, const Leg *peer, bool complete) const
    {
        if (!leg->isFax())
            return {};
        FaxNcpi n;
        n.rate = faxRate(rate);
        n.resolution = leg->call->b3Resolution;
        n.format = 0;
        // Pages of the document that crossed the line, whichever way it went.
        int pages = 0;
        for (const Leg *l : {leg, peer}) {
            if (l)
                pages += complete ? l->pagesReceived.pagesStarted() : l->pagesReceived.pagesComplete();
        }
        n.pages = quint16(pages);
        n.remoteStationId = peer ? peer->faxConfig().stationId : QString();
        return n.toBytes();
    }

    void sendDisconnectB3(Leg *leg, Leg *peer, quint16 reasonB3, bool complete)
    {
        Message ind(Command::DisconnectB3, Subcommand::Ind, leg->app, leg->ncci);
        ind.reason = reasonB3;
        ind.ncpi = faxNcpi(leg, peer, complete);
        send(leg->app, ind);
    }

    // Ends the B3 connection of a call on both sides. The initiator gets reason 0 (or
    // `lineReason` when the line itself ended it); for a fax the other side learns whether
    // the document came through whole. `orderly`: the initiator ended B3 with
    // DISCONNECT_B3_REQ, which for a sender marks the end of its document.
    void endB3(Leg *initiator, Leg *other, quint16 lineReason = 0, bool orderly = false)
    {
        Leg *sides[2] = {initiator, other};
        bool clean = lineReason == 0;
        for (Leg *s : sides) {
            if (!s)
                continue;
            Leg *sender = s == initiator ? other : initiator;
            if (!s->outgoing.empty())
                clean = false; // data left undelivered
            // A document cut short: no end record, unless its own sender ended it in order
            // between two records (a missing end record is tolerated).
            const SffPageCounter &doc = s->pagesReceived;
            if (sender && sender->sentData && !doc.atEnd() &&
                !(orderly && sender == initiator && doc.atRecordBoundary()))
                clean = false;
        }
        for (Leg *s : sides) {
            if (!s || s->b3 == B3::None)
                continue;
            Leg *p = s == initiator ? other : initiator;
            quint16 r = lineReason;
            if (!lineReason && s != initiator && !clean && s->isFax())
                r = reason::FaxRemoteAbort;
            sendDisconnectB3(s, p, r, lineReason == 0 && clean);
        }
        // Page counts are read above; now forget the B3 state of both.
        for (Leg *s : sides) {
            if (s && s->b3 != B3::None)
                endB3Silently(s);
        }
    }

    // The call is over for everybody.
    void clearCall(Call *c, Leg *initiator, quint16 initiatorReason, quint16 othersReason,
                   quint16 lineReasonB3 = 0)
    {
        if (c->answerer && (c->caller()->b3 != B3::None || c->answerer->b3 != B3::None)) {
            Leg *first = initiator ? initiator : c->caller();
            endB3(first, first == c->caller() ? c->answerer : c->caller(), lineReasonB3);
        }
        // Collect first: dropLeg may delete the call.
        std::vector<std::pair<Leg *, quint16>> todo;
        for (auto &l : c->legs) {
            if (l && l->plci != 0)
                todo.emplace_back(l.get(), l.get() == initiator ? initiatorReason : othersReason);
        }
        for (auto &[leg, r] : todo)
            dropLeg(leg, r);
    }

    bool callExists(quint64 id) const { return calls.count(id) != 0; }

    // ---- timers ----

    void scheduleNoAnswer(Call *c)
    {
        const quint64 id = c->id;
        SimulatedLine *l = line;
        QTimer::singleShot(noAnswerTimeout, line, [l, id] {
            QMutexLocker lock(&l->m_mutex);
            l->m_state->noAnswer(id);
        });
    }

    void noAnswer(quint64 id)
    {
        auto it = calls.find(id);
        if (it == calls.end())
            return;
        Call *c = it->second.get();
        if (c->answerer || c->remoteConnected || c->caller()->plci == 0)
            return;
        // The offers are withdrawn, the caller hears why nobody answered.
        std::vector<Leg *> offers;
        for (auto &l : c->legs) {
            if (l && l.get() != c->caller())
                offers.push_back(l.get());
        }
        for (Leg *l : offers)
            dropLeg(l, reason::NormalClearing);
        dropLeg(c->caller(), c->alerted ? reason::NoAnswer : reason::NoUserResponding);
    }

    // ---- data relay ----

    void pump(Leg *sender)
    {
        Leg *receiver = peerOf(sender);
        if (!receiver || sender->b3 != B3::Active || receiver->b3 != B3::Active)
            return;
        auto rit = apps.find(receiver->app);
        if (rit == apps.end())
            return;
        const quint32 window = rit->second.window;
        Call *c = sender->call;
        while (!sender->outgoing.empty() && receiver->inFlight.size() < window) {
            if (lineDropsNow(c))
                return;
            if (rate > 0) {
                // A piece reaches the receiver once its last bit has crossed the line.
                const qint64 now = clock.nsecsElapsed();
                if (sender->frontDueNs == 0) {
                    const qint64 bits = qint64(sender->outgoing.front().data.size()) * 8;
                    sender->frontDueNs = qMax(now, sender->lineFreeAtNs) +
                                         bits * 1000000000LL / qint64(rate);
                }
                if (now < sender->frontDueNs) {
                    schedulePump(sender, sender->frontDueNs - now);
                    return;
                }
                sender->lineFreeAtNs = sender->frontDueNs;
                sender->frontDueNs = 0;
            }
            Piece piece = std::move(sender->outgoing.front());
            sender->outgoing.pop_front();
            receiver->pagesReceived.feed(piece.data);
            if (receiver->isFax() && receiver->pagesReceived.invalid()) {
                badDocument(sender, receiver);
                return;
            }
            quint16 handle = receiver->nextIndHandle++;
            while (receiver->inFlight.count(handle))
                handle = receiver->nextIndHandle++;
            receiver->inFlight[handle] = piece.blockId;
            Message ind(Command::DataB3, Subcommand::Ind, receiver->app, receiver->ncci);
            ind.dataLength = quint16(piece.data.size());
            ind.dataHandle = handle;
            ind.flags = piece.flags;
            ind.data = std::move(piece.data);
            send(receiver->app, ind);
            ++c->blocksDelivered;
            if (lineDropsNow(c))
                return;
        }
    }

    // A T.30 sender whose data is not an SFF document: the fax modem cannot send it.
    void badDocument(Leg *sender, Leg *receiver)
    {
        sendDisconnectB3(sender, receiver, reason::FaxIllegalParameterCoding, false);
        sendDisconnectB3(receiver, sender, reason::FaxRemoteAbort, false);
        endB3Silently(sender);
        endB3Silently(receiver);
    }

    // The injected drop: once the given number of blocks went through, the line is gone.
    bool lineDropsNow(Call *c)
    {
        if (c->dropAfterBlocks < 0 || c->blocksDelivered < c->dropAfterBlocks)
            return false;
        dropLine(c);
        return true;
    }

    void schedulePump(Leg *sender, qint64 delayNs)
    {
        if (sender->pumpScheduled)
            return;
        sender->pumpScheduled = true;
        const quint64 id = sender->call->id;
        const quint32 plci = sender->plci;
        SimulatedLine *l = line;
        const auto delay = std::chrono::milliseconds((delayNs + 999999) / 1000000);
        QTimer::singleShot(delay, Qt::PreciseTimer, line, [l, id, plci] {
            QMutexLocker lock(&l->m_mutex);
            State *s = l->m_state.get();
            auto it = s->legs.find(plci);
            if (it == s->legs.end() || it->second->call->id != id)
                return;
            it->second->pumpScheduled = false;
            s->pump(it->second);
        });
    }

    // The line drops: both sides lose B3 and the call with a layer 1 error.
    void dropLine(Call *c)
    {
        clearCall(c, nullptr, reason::Layer1Error, reason::Layer1Error, reason::Layer1Error);
    }

    // ---- messages from applications ----

    void handle(Message &m);
    void handleListen(const Message &m);
    void handleConnectReq(const Message &m);
    void handleConnectResp(const Message &m);
    void handleAlert(const Message &m);
    void handleDisconnectReq(const Message &m);
    void handleConnectB3Req(const Message &m);
    void handleConnectB3Resp(const Message &m);
    void handleDisconnectB3Req(const Message &m);
    void handleDataB3Req(const Message &m);
    void handleDataB3Resp(const Message &m);
    void offerCall(Call *c, const Message &req);
    void allResponded(Call *c);
    void connectCall(Call *c, Leg *answerer);
    void releaseApp(quint16 appId);
};

void SimulatedLine::State::handle(Message &m)
{
    switch (m.subcommand) {
    case Subcommand::Req:
        switch (m.command) {
        case Command::Listen: handleListen(m); return;
        case Command::Connect: handleConnectReq(m); return;
        case Command::Alert: handleAlert(m); return;
        case Command::Disconnect: handleDisconnectReq(m); return;
        case Command::ConnectB3: handleConnectB3Req(m); return;
        case Command::DisconnectB3: handleDisconnectB3Req(m); return;
        case Command::DataB3: handleDataB3Req(m); return;
        case Command::Info:
            // Nothing to send on a loopback line; accepted for a known PLCI or controller.
            confirm(m, m.address,
                    (m.address == ControllerNumber || legByPlci(m.address, m.appId))
                        ? info::Ok
                        : info::IllegalIdentifier);
            return;
        case Command::SelectBProtocol: {
            Leg *leg = legByPlci(m.address, m.appId);
            quint16 result = leg ? checkBProtocol(m.bProtocol) : info::IllegalIdentifier;
            if (result == info::Ok && (!leg->connected || leg->b3 != B3::None))
                result = info::IllegalState;
            if (result == info::Ok)
                leg->bProtocol = m.bProtocol;
            confirm(m, m.address, result);
            return;
        }
        case Command::Facility: confirm(m, m.address, info::FacilityNotSupported); return;
        case Command::ResetB3: confirm(m, m.address, info::ResetNotSupported); return;
        default: return;
        }
    case Subcommand::Resp:
        switch (m.command) {
        case Command::Connect: handleConnectResp(m); return;
        case Command::ConnectB3: handleConnectB3Resp(m); return;
        case Command::DataB3: handleDataB3Resp(m); return;
        default: return; // the other responses only acknowledge an indication
        }
    default: return;
    }
}

void SimulatedLine::State::handleListen(const Message &m)
{
    if (m.address != ControllerNumber) {
        confirm(m, m.address, info::IllegalIdentifier);
        return;
    }
    App &a = apps.at(m.appId);
    a.infoMask = m.infoMask;
    a.cipMask = m.cipMask;
    a.cipMask2 = m.cipMask2;
    confirm(m, m.address, info::Ok);
}

void SimulatedLine::State::handleConnectReq(const Message &m)
{
    if (m.address != ControllerNumber) {
        confirm(m, 0, info::IllegalIdentifier);
        return;
    }
    if (const quint16 bad = checkBProtocol(m.bProtocol); bad != info::Ok) {
        confirm(m, 0, bad);
        return;
    }
    if (m.cip > kMaxCip) {
        confirm(m, 0, info::CipUnknown);
        return;
    }
    auto owned = std::make_unique<Call>();
    Call *c = owned.get();
    c->id = nextCallId++;
    c->cip = m.cip;
    c->calledDigits = m.calledParty.digits;
    calls[c->id] = std::move(owned);
    Leg *caller = addLeg(c, m.appId);
    if (!caller) {
        calls.erase(c->id);
        confirm(m, 0, info::OutOfPlci);
        return;
    }
    caller->bProtocol = m.bProtocol;
    c->b3Resolution = caller->faxConfig().resolution;
    confirm(m, caller->plci, info::Ok);

    // Both B channels of the line are in use by another call.
    if (int(calls.size()) * 2 > channels) {
        dropLeg(caller, reason::NoChannelAvailable);
        return;
    }
    if (m.calledParty.digits.isEmpty()) {
        dropLeg(caller, reason::InvalidNumberFormat);
        return;
    }
    switch (fault) {
    case Fault::UserBusy: dropLeg(caller, reason::UserBusy); return;
    case Fault::CallRejected: dropLeg(caller, reason::CallRejected); return;
    case Fault::NoAnswer: {
        c->remote = Remote::NoAnswer;
        c->alerted = true;
        if (apps.at(m.appId).infoMask & infomask::CallProgression) {
            Message info(Command::Info, Subcommand::Ind, m.appId, caller->plci);
            info.infoNumber = infonumber::Alerting;
            send(m.appId, info);
        }
        scheduleNoAnswer(c);
        return;
    }
    case Fault::NotG3Fax: {
        c->remote = Remote::NotFax;
        c->remoteConnected = true;
        caller->connected = true;
        Message active(Command::ConnectActive, Subcommand::Ind, m.appId, caller->plci);
        active.connectedNumber.digits = m.calledParty.digits;
        send(m.appId, active);
        return;
    }
    case Fault::DroppedLine: c->dropAfterBlocks = dropAfterBlocks; break;
    case Fault::None: break;
    }
    offerCall(c, m);
}

void SimulatedLine::State::offerCall(Call *c, const Message &req)
{
    const quint32 bit = cip::maskBit(c->cip);
    std::vector<quint16> listeners;
    for (const auto &[id, a] : apps) {
        if ((a.cipMask & 1) || (a.cipMask & bit))
            listeners.push_back(id);
    }
    for (quint16 id : listeners) {
        Leg *leg = addLeg(c, id);
        if (!leg)
            break;
        leg->offered = true;
        Message ind(Command::Connect, Subcommand::Ind, id, leg->plci);
        ind.cip = c->cip;
        ind.calledParty = req.calledParty;
        ind.callingParty = req.callingParty;
        ind.calledSubaddress = req.calledSubaddress;
        ind.callingSubaddress = req.callingSubaddress;
        ind.bc = req.bc;
        ind.llc = req.llc;
        ind.hlc = req.hlc;
        send(id, ind);
    }
    if (c->legs.size() == 1) {
        dropLeg(c->caller(), reason::NoUserResponding);
        return;
    }
    scheduleNoAnswer(c);
}

void SimulatedLine::State::handleConnectResp(const Message &m)
{
    Leg *leg = legByPlci(m.address, m.appId);
    if (!leg || !leg->offered)
        return; // too late (another application got the call) or not an offer
    Call *c = leg->call;
    leg->offered = false;
    if (m.reject == reject::Accept) {
        leg->bProtocol = m.bProtocol;
        connectCall(c, leg);
        return;
    }
    c->rejects.push_back(m.reject);
    const quint64 callId = c->id; // dropLeg may end the call
    dropLeg(leg, reason::Normal);
    if (callExists(callId))
        allResponded(c);
}

// When no offer is left open and nobody answered, the caller learns why.
void SimulatedLine::State::allResponded(Call *c)
{
    for (auto &l : c->legs) {
        if (l && l->offered)
            return;
    }
    if (c->answerer || c->caller()->plci == 0)
        return;
    quint16 r = reason::NoUserResponding; // everybody ignored the call
    for (quint16 rej : c->rejects) {
        if (rej == reject::UserBusy) {
            r = reason::UserBusy;
            break;
        }
        if (rej != reject::Ignore && r == reason::NoUserResponding)
            r = rejectToReason(rej);
    }
    dropLeg(c->caller(), r);
}

void SimulatedLine::State::connectCall(Call *c, Leg *answerer)
{
    c->answerer = answerer;
    Leg *caller = c->caller();
    // The others that were offered the call lose it.
    std::vector<Leg *> losers;
    for (auto &l : c->legs) {
        if (l && l.get() != caller && l.get() != answerer)
            losers.push_back(l.get());
    }
    for (Leg *l : losers)
        dropLeg(l, reason::AnotherApplicationGotCall);
    answerer->connected = true;
    caller->connected = true;
    send(answerer->app, Message(Command::ConnectActive, Subcommand::Ind, answerer->app, answerer->plci));
    Message active(Command::ConnectActive, Subcommand::Ind, caller->app, caller->plci);
    active.connectedNumber.digits = c->calledDigits;
    send(caller->app, active);
}

void SimulatedLine::State::handleAlert(const Message &m)
{
    Leg *leg = legByPlci(m.address, m.appId);
    if (!leg) {
        confirm(m, m.address, info::IllegalIdentifier);
        return;
    }
    if (!leg->offered) {
        confirm(m, m.address, info::IllegalState);
        return;
    }
    if (leg->alerted) {
        confirm(m, m.address, info::AlertAlreadySent);
        return;
    }
    leg->alerted = true;
    confirm(m, m.address, info::Ok);
    Call *c = leg->call;
    if (!c->alerted) {
        c->alerted = true;
        Leg *caller = c->caller();
        if (caller->plci && (apps.at(caller->app).infoMask & infomask::CallProgression)) {
            Message info(Command::Info, Subcommand::Ind, caller->app, caller->plci);
            info.infoNumber = infonumber::Alerting;
            send(caller->app, info);
        }
    }
}

void SimulatedLine::State::handleDisconnectReq(const Message &m)
{
    Leg *leg = legByPlci(m.address, m.appId);
    if (!leg) {
        confirm(m, m.address, info::IllegalIdentifier);
        return;
    }
    confirm(m, m.address, info::Ok);
    Call *c = leg->call;
    if (leg->offered) {
        // Clearing an offered call is refusing it.
        leg->offered = false;
        c->rejects.push_back(reject::NormalClearing);
        const quint64 callId = c->id;
        dropLeg(leg, reason::Normal);
        if (callExists(callId))
            allResponded(c);
        return;
    }
    clearCall(c, leg, reason::Normal, reason::NormalClearing);
}

void SimulatedLine::State::handleConnectB3Req(const Message &m)
{
    Leg *leg = legByPlci(m.address, m.appId);
    if (!leg) {
        confirm(m, m.address, info::IllegalIdentifier);
        return;
    }
    Leg *peer = peerOf(leg);
    const bool remoteNotFax = leg->call->remoteConnected && leg->call->remote == Remote::NotFax;
    if (!leg->connected || leg->b3 != B3::None || (!peer && !remoteNotFax) ||
        (peer && peer->b3 != B3::None)) {
        confirm(m, m.address, info::IllegalState);
        return;
    }
    int b3Count = 0;
    for (const auto &[plci, l] : legs)
        b3Count += l->app == m.appId && l->b3 != B3::None;
    if (quint32(b3Count) >= apps.at(m.appId).registration.maxLogicalConnections) {
        confirm(m, m.address, info::OutOfNcci);
        return;
    }
    leg->ncci = leg->plci | (1u << 16);
    leg->b3 = B3::Requested;
    confirm(m, leg->ncci, info::Ok);
    leg->call->b3Resolution = leg->faxConfig().resolution;

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
        sendDisconnectB3(leg, nullptr, failure, false);
        endB3Silently(leg);
        if (remoteNotFax) // the remote hangs up
            clearCall(leg->call, nullptr, reason::NormalClearing, reason::NormalClearing);
        return;
    }
    peer->ncci = peer->plci | (1u << 16);
    peer->b3 = B3::Incoming;
    Message ind(Command::ConnectB3, Subcommand::Ind, peer->app, peer->ncci);
    ind.ncpi = m.ncpi;
    send(peer->app, ind);
}

void SimulatedLine::State::handleConnectB3Resp(const Message &m)
{
    Leg *leg = legByNcci(m.address, m.appId);
    if (!leg || leg->b3 != B3::Incoming)
        return;
    Leg *peer = peerOf(leg);
    if (!peer || peer->b3 != B3::Requested)
        return;
    if (m.reject != reject::Accept) {
        sendDisconnectB3(leg, peer, reason::Normal, false);
        sendDisconnectB3(peer, leg, peer->isFax() ? reason::FaxRemoteAbort : reason::Normal, false);
        endB3Silently(leg);
        endB3Silently(peer);
        return;
    }
    leg->b3 = B3::Active;
    peer->b3 = B3::Active;
    for (Leg *s : {peer, leg}) {
        Message active(Command::ConnectB3Active, Subcommand::Ind, s->app, s->ncci);
        active.ncpi = faxNcpi(s, s == leg ? peer : leg, true);
        send(s->app, active);
    }
}

void SimulatedLine::State::handleDisconnectB3Req(const Message &m)
{
    Leg *leg = legByNcci(m.address, m.appId);
    if (!leg) {
        confirm(m, m.address, info::IllegalIdentifier);
        return;
    }
    confirm(m, m.address, info::Ok);
    endB3(leg, peerOf(leg), 0, true);
}

void SimulatedLine::State::handleDataB3Req(const Message &m)
{
    App &a = apps.at(m.appId);
    auto confirmData = [&](quint16 infoValue) {
        auto it = a.unconfirmed.find(m.address);
        if (it != a.unconfirmed.end() && it->second > 0 && --it->second == 0)
            a.unconfirmed.erase(it);
        confirm(m, m.address, infoValue);
    };
    Leg *leg = legByNcci(m.address, m.appId);
    if (!leg) {
        confirmData(info::IllegalIdentifier);
        return;
    }
    if (leg->b3 != B3::Active) {
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
    Leg *peer = peerOf(leg);
    const quint32 limit = apps.at(peer->app).registration.maxBlockLength;
    const quint64 blockId = leg->nextBlockId++;
    SentBlock block{m.dataHandle, m.number, 0};
    ++stats.blocksRelayed;
    stats.bytesRelayed += quint64(m.data.size());
    leg->sentData = true;
    if (quint32(m.data.size()) <= limit) {
        leg->outgoing.push_back(Piece{m.data, m.flags, blockId});
        block.piecesLeft = 1;
    } else {
        // The receiver takes smaller blocks: the one copy this block gets on its way.
        constexpr quint16 moreData = 0x0002;
        for (qsizetype off = 0; off < m.data.size(); off += limit) {
            const bool last = off + qsizetype(limit) >= m.data.size();
            leg->outgoing.push_back(Piece{m.data.mid(off, limit),
                                          quint16(last ? m.flags : (m.flags | moreData)),
                                          blockId});
            ++block.piecesLeft;
        }
        ++stats.blockCopies;
    }
    leg->blocks[blockId] = block;
    pump(leg);
}

void SimulatedLine::State::handleDataB3Resp(const Message &m)
{
    Leg *receiver = legByNcci(m.address, m.appId);
    if (!receiver)
        return;
    auto it = receiver->inFlight.find(m.dataHandle);
    if (it == receiver->inFlight.end())
        return;
    const quint64 blockId = it->second;
    receiver->inFlight.erase(it);
    Leg *sender = peerOf(receiver);
    if (!sender)
        return;
    auto bit = sender->blocks.find(blockId);
    if (bit != sender->blocks.end() && --bit->second.piecesLeft == 0) {
        Message req(Command::DataB3, Subcommand::Req, sender->app, sender->ncci);
        req.number = bit->second.number;
        req.dataHandle = bit->second.handle;
        sender->blocks.erase(bit);
        App &a = apps.at(sender->app);
        auto uit = a.unconfirmed.find(sender->ncci);
        if (uit != a.unconfirmed.end() && uit->second > 0 && --uit->second == 0)
            a.unconfirmed.erase(uit);
        confirm(req, sender->ncci, info::Ok);
    }
    pump(sender);
}

void SimulatedLine::State::releaseApp(quint16 appId)
{
    // Clear every call leg of the application as its DISCONNECT_REQ would, without telling it.
    std::vector<quint32> plcis;
    for (const auto &[plci, leg] : legs) {
        if (leg->app == appId)
            plcis.push_back(plci);
    }
    apps.erase(appId); // from here on nothing is queued for it
    for (quint32 plci : plcis) {
        auto it = legs.find(plci);
        if (it == legs.end())
            continue;
        Leg *leg = it->second;
        Call *c = leg->call;
        if (leg->offered) {
            leg->offered = false;
            c->rejects.push_back(reject::Ignore);
            const quint64 callId = c->id;
            forgetLeg(leg);
            if (callExists(callId))
                allResponded(c);
        } else {
            clearCall(c, leg, reason::Normal, reason::NormalClearing);
        }
    }
}

// ---- SimulatedLine ----

SimulatedLine &SimulatedLine::instance()
{
    static SimulatedLine line;
    return line;
}

SimulatedLine::SimulatedLine() : m_state(std::make_unique<State>(this)) {}

SimulatedLine::~SimulatedLine()
{
    // Applications never released still own a notification object in their thread.
    for (auto &[id, a] : m_state->apps) {
        QObject *context = a.context;
        if (!context)
            continue;
        if (context->thread() == QThread::currentThread() || !context->thread()->isRunning())
            delete context;
        else
            context->deleteLater();
    }
}

void SimulatedLine::setFault(Fault fault, int afterBlocks)
{
    QMutexLocker lock(&m_mutex);
    m_state->fault = fault;
    m_state->dropAfterBlocks = qMax(0, afterBlocks);
}

void SimulatedLine::setChannels(int channels)
{
    QMutexLocker lock(&m_mutex);
    m_state->channels = qMax(channels, 0);
}

int SimulatedLine::channels() const
{
    QMutexLocker lock(&m_mutex);
    return m_state->channels;
}

void SimulatedLine::setMaxApplications(int count)
{
    QMutexLocker lock(&m_mutex);
    m_state->maxApplications = qBound(1, count, 0xFFFF);
}

SimulatedLine::Fault SimulatedLine::fault() const
{
    QMutexLocker lock(&m_mutex);
    return m_state->fault;
}

void SimulatedLine::setRate(quint32 bitsPerSecond)
{
    QMutexLocker lock(&m_mutex);
    m_state->rate = bitsPerSecond;
}

quint32 SimulatedLine::rate() const
{
    QMutexLocker lock(&m_mutex);
    return m_state->rate;
}

void SimulatedLine::setNoAnswerTimeout(std::chrono::milliseconds timeout)
{
    QMutexLocker lock(&m_mutex);
    m_state->noAnswerTimeout = qMax(timeout, std::chrono::milliseconds(0));
}

std::chrono::milliseconds SimulatedLine::noAnswerTimeout() const
{
    QMutexLocker lock(&m_mutex);
    return m_state->noAnswerTimeout;
}

void SimulatedLine::resetFaults()
{
    QMutexLocker lock(&m_mutex);
    m_state->fault = Fault::None;
    m_state->dropAfterBlocks = 0;
    m_state->rate = 0;
    m_state->noAnswerTimeout = std::chrono::milliseconds(DefaultNoAnswerTimeoutMs);
}

SimulatedLine::Statistics SimulatedLine::statistics() const
{
    QMutexLocker lock(&m_mutex);
    return m_state->stats;
}

int SimulatedLine::applicationCount() const
{
    QMutexLocker lock(&m_mutex);
    return int(m_state->apps.size());
}

int SimulatedLine::callCount() const
{
    QMutexLocker lock(&m_mutex);
    return int(m_state->calls.size());
}

RegisterResult SimulatedLine::registerApplication(const Registration &r)
{
    if (r.maxLogicalConnections == 0)
        return {0, info::MaxConnectionsNotSupported};
    if (r.maxBlockLength < 128)
        return {0, info::BlockSizeTooSmall};
    if (r.maxBlockLength > 0xFFFF || r.maxDataBlocks == 0)
        return {0, info::BufferExceeds64k};
    QMutexLocker lock(&m_mutex);
    quint16 id = 1;
    while (id <= m_state->maxApplications && m_state->apps.count(id))
        ++id;
    if (id > m_state->maxApplications)
        return {0, info::TooManyApplications};
    App &a = m_state->apps[id];
    a.id = id;
    a.serial = m_state->nextSerial++;
    a.registration = r;
    a.window = qMin(r.maxDataBlocks, MaxWindow);
    a.context = new QObject; // in the registering thread
    return {id, info::Ok};
}

quint16 SimulatedLine::release(quint16 appId)
{
    QObject *context = nullptr;
    {
        QMutexLocker lock(&m_mutex);
        auto it = m_state->apps.find(appId);
        if (it == m_state->apps.end())
            return info::IllegalApplication;
        context = it->second.context;
        m_state->releaseApp(appId);
    }
    if (context)
        context->deleteLater();
    return info::Ok;
}

quint16 SimulatedLine::putMessage(const Message &m)
{
    if (!isToController(m.subcommand))
        return info::IllegalCommand;
    // The line takes the message as bytes, as a real controller would.
    QByteArray wire = encode(m);
    if (wire.isEmpty())
        return info::IllegalCommand;
    QMutexLocker lock(&m_mutex);
    auto it = m_state->apps.find(m.appId);
    if (it == m_state->apps.end())
        return info::IllegalApplication;
    App &a = it->second;
    if (m.command == Command::DataB3 && m.subcommand == Subcommand::Req) {
        quint32 &open = a.unconfirmed[m.address];
        if (open >= a.window) {
            return info::QueueFull; // the window of unconfirmed blocks is full
        }
        ++open;
    }
    ++m_state->stats.messagesIn;
    m_state->inbound.push_back(State::Inbound{m.appId, a.serial, std::move(wire), m.data});
    if (!m_state->processScheduled) {
        m_state->processScheduled = true;
        QMetaObject::invokeMethod(this, &SimulatedLine::processInbound, Qt::QueuedConnection);
    }
    return info::Ok;
}

void SimulatedLine::processInbound()
{
    QMutexLocker lock(&m_mutex);
    m_state->processScheduled = false;
    while (!m_state->inbound.empty()) {
        State::Inbound in = std::move(m_state->inbound.front());
        m_state->inbound.pop_front();
        auto app = m_state->apps.find(in.app);
        if (app == m_state->apps.end() || app->second.serial != in.serial)
            continue; // released meanwhile
        DecodeResult decoded = decode(in.wire);
        if (!decoded)
            continue; // cannot happen: encode() made these bytes
        Message &m = decoded.message();
        m.data = std::move(in.data);
        m_state->handle(m);
    }
}

std::optional<Message> SimulatedLine::getMessage(quint16 appId)
{
    Queued q;
    {
        QMutexLocker lock(&m_mutex);
        auto it = m_state->apps.find(appId);
        if (it == m_state->apps.end() || it->second.queue.empty())
            return std::nullopt;
        q = std::move(it->second.queue.front());
        it->second.queue.pop_front();
    }
    DecodeResult decoded = decode(q.wire);
    if (!decoded)
        return std::nullopt;
    Message m = std::move(decoded.message());
    m.data = std::move(q.data);
    return m;
}

Profile SimulatedLine::profile(quint32 controller) const
{
    Profile p;
    if (controller > ControllerNumber)
        return p;
    p.controllers = 1;
    {
        QMutexLocker lock(&m_mutex);
        p.bChannels = quint16(qMin(m_state->channels, 0xFFFF));
    }
    p.globalOptions = 0x0001; // internal controller
    p.b1Protocols = (1u << bproto::B1Hdlc64k) | (1u << bproto::B1Transparent64k) |
                    (1u << bproto::B1T30Modem);
    p.b2Protocols = (1u << bproto::B2X75) | (1u << bproto::B2Transparent) | (1u << bproto::B2T30);
    p.b3Protocols = (1u << bproto::B3Transparent) | (1u << bproto::B3T90NL) |
                    (1u << bproto::B3T30) | (1u << bproto::B3T30Extended);
    p.manufacturerSpecific = QByteArrayLiteral("SIMULATED LINE");
    return p;
}

QString SimulatedLine::manufacturer(quint32 controller) const
{
    if (controller > ControllerNumber)
        return {};
    return QStringLiteral("Quillon simulated ISDN line (loopback, no hardware)");
}

Version SimulatedLine::version(quint32 controller) const
{
    Version v;
    if (controller > ControllerNumber)
        return v;
    v.manufacturerMajor = 1;
    v.manufacturerMinor = 0;
    v.text = QStringLiteral("CAPI 2.0, simulated line 1.0");
    return v;
}

QString SimulatedLine::serialNumber(quint32 controller) const
{
    if (controller > ControllerNumber)
        return {};
    return QStringLiteral("SIMULATED");
}

} // namespace capi
