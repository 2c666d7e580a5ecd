#include "simline/switchboard.h"

namespace simline {

using namespace capi;

namespace {

constexpr quint16 kMaxCip = 28;

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

} // namespace

Switchboard::Switchboard(Applications &apps, CallTable &calls, Relay &relay,
                         const LineSettings &settings, Schedule schedule)
    : m_apps(apps), m_calls(calls), m_relay(relay), m_settings(settings),
      m_schedule(std::move(schedule))
{
}

quint16 Switchboard::checkBProtocol(const std::optional<BProtocol> &bp)
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

// Ends a leg with DISCONNECT_IND (unless its application is gone) and marks it gone.
void Switchboard::dropLeg(Leg &leg, quint16 reasonValue)
{
    if (leg.b3.state != B3::None)
        m_relay.endB3Silently(leg);
    Message ind(Command::Disconnect, Subcommand::Ind, leg.app, leg.plci);
    ind.reason = reasonValue;
    m_apps.send(leg.app, ind);
    m_calls.markGone(leg);
}

void Switchboard::clearCall(Call &c, Leg *initiator, quint16 initiatorReason, quint16 othersReason,
                            quint16 lineReasonB3)
{
    Leg *answerer = c.answerer();
    Leg &caller = c.caller();
    if (answerer && (caller.b3.state != B3::None || answerer->b3.state != B3::None)) {
        Leg *first = initiator ? initiator : &caller;
        m_relay.endB3(first, first == &caller ? answerer : &caller, lineReasonB3);
    }
    for (auto &[plci, leg] : c.legs) {
        if (!leg.gone)
            dropLeg(leg, &leg == initiator ? initiatorReason : othersReason);
    }
}

bool Switchboard::isController(quint32 address) const
{
    return address >= CallTable::Controller && address <= quint32(m_settings.controllers());
}

void Switchboard::listen(const Message &m)
{
    if (!isController(m.address)) {
        m_apps.confirm(m, m.address, info::IllegalIdentifier);
        return;
    }
    m_apps.at(m.appId).listening[m.address] = Listening{m.infoMask, m.cipMask, m.cipMask2};
    m_apps.confirm(m, m.address, info::Ok);
}

void Switchboard::alertCaller(Call &c)
{
    if (c.alerted)
        return;
    c.alerted = true;
    Leg &caller = c.caller();
    App *a = m_apps.find(caller.app);
    if (!caller.gone && a && (a->infoMaskOn(CallTable::controllerOf(caller.plci)) & infomask::CallProgression)) {
        Message info(Command::Info, Subcommand::Ind, caller.app, caller.plci);
        info.infoNumber = infonumber::Alerting;
        m_apps.send(caller.app, info);
    }
}

void Switchboard::connectReq(const Message &m)
{
    if (!isController(m.address)) {
        m_apps.confirm(m, 0, info::IllegalIdentifier);
        return;
    }
    if (const quint16 bad = checkBProtocol(m.bProtocol); bad != info::Ok) {
        m_apps.confirm(m, 0, bad);
        return;
    }
    if (m.cip > kMaxCip) {
        m_apps.confirm(m, 0, info::CipUnknown);
        return;
    }
    Call &c = m_calls.create();
    c.cip = m.cip;
    c.calledDigits = m.calledParty.digits;
    Leg *caller = m_calls.addLeg(c, m.appId, m.address);
    if (!caller) {
        m_apps.confirm(m, 0, info::OutOfPlci); // the empty call goes at the end of the turn
        return;
    }
    c.callerPlci = caller->plci;
    caller->bProtocol = m.bProtocol;
    c.b3Resolution = caller->faxConfig().resolution;
    m_apps.confirm(m, caller->plci, info::Ok);

    // Every B channel of the line is in use by other calls.
    if (m_calls.liveCalls() * 2 > m_settings.channels) {
        dropLeg(*caller, reason::NoChannelAvailable);
        return;
    }
    if (m.calledParty.digits.isEmpty()) {
        dropLeg(*caller, reason::InvalidNumberFormat);
        return;
    }
    c.farEnd = m_settings.plan.ruleFor(c.calledDigits);
    if (c.farEnd.rateFactor < 1.0)
        c.faultText = QStringLiteral("slower modem: %1 bit/s").arg(m_relay.faxRate(c));
    switch (c.farEnd.behaviour) {
    case FarEnd::Behaviour::Busy:
        c.faultText = QStringLiteral("busy");
        dropLeg(*caller, reason::UserBusy);
        return;
    case FarEnd::Behaviour::Reject:
        c.faultText = QStringLiteral("rejected, reason 0x%1").arg(c.farEnd.cause, 4, 16, QLatin1Char('0'));
        dropLeg(*caller, c.farEnd.cause);
        return;
    case FarEnd::Behaviour::NoAnswer:
        c.faultText = QStringLiteral("no answer");
        c.remote = Remote::NoAnswer;
        alertCaller(c);
        scheduleNoAnswer(c, c.farEnd.delay.count() > 0 ? c.farEnd.delay : m_settings.noAnswerTimeout);
        return;
    case FarEnd::Behaviour::NotFax: {
        c.faultText = QStringLiteral("not a fax");
        c.remote = Remote::NotFax;
        c.remoteConnected = true;
        caller->connected = true;
        Message active(Command::ConnectActive, Subcommand::Ind, m.appId, caller->plci);
        active.connectedNumber.digits = m.calledParty.digits;
        m_apps.send(m.appId, active);
        return;
    }
    case FarEnd::Behaviour::DropAfterBlocks:
    case FarEnd::Behaviour::DropAfterPages:
    case FarEnd::Behaviour::Answer: break;
    }
    offerCall(c, m);
}

// Every listener is offered the call once: on the caller's controller when it listens
// there, else on the first other controller where it does and a PLCI is free.
void Switchboard::offerCall(Call &c, const Message &req)
{
    const quint32 callerController = CallTable::controllerOf(c.callerPlci);
    for (quint16 id : m_apps.listenersFor(c.cip)) {
        const App &a = m_apps.at(id);
        Leg *leg = a.listensFor(c.cip, callerController) ? m_calls.addLeg(c, id, callerController) : nullptr;
        for (auto it = a.listening.begin(); !leg && it != a.listening.end(); ++it) {
            if (it->first != callerController && a.listensFor(c.cip, it->first))
                leg = m_calls.addLeg(c, id, it->first);
        }
        if (!leg)
            continue;
        leg->offered = true;
        Message ind(Command::Connect, Subcommand::Ind, id, leg->plci);
        ind.cip = c.cip;
        ind.calledParty = req.calledParty;
        ind.callingParty = req.callingParty;
        ind.calledSubaddress = req.calledSubaddress;
        ind.callingSubaddress = req.callingSubaddress;
        ind.bc = req.bc;
        ind.llc = req.llc;
        ind.hlc = req.hlc;
        m_apps.send(id, ind);
    }
    if (c.legs.size() == 1) {
        dropLeg(c.caller(), reason::NoUserResponding);
        return;
    }
    scheduleNoAnswer(c, m_settings.noAnswerTimeout);
}

void Switchboard::scheduleNoAnswer(Call &c, std::chrono::milliseconds after)
{
    const quint64 id = c.id;
    m_schedule(after, [this, id] { noAnswer(id); });
}

void Switchboard::noAnswer(quint64 id)
{
    Call *c = m_calls.call(id);
    if (!c || c->answerer() || c->remoteConnected || c->caller().gone)
        return;
    // The offers are withdrawn, the caller hears why nobody answered.
    for (Leg *l : c->otherLegs())
        dropLeg(*l, reason::NormalClearing);
    dropLeg(c->caller(), c->alerted ? reason::NoAnswer : reason::NoUserResponding);
}

void Switchboard::connectResp(const Message &m)
{
    Leg *leg = m_calls.leg(m.address, m.appId);
    if (!leg || !leg->offered)
        return; // too late (another application got the call) or not an offer
    Call &c = m_calls.callOf(*leg);
    if (m.reject == reject::Accept) {
        leg->offered = false;
        leg->bProtocol = m.bProtocol;
        connectCall(c, *leg);
        return;
    }
    withdrawOffer(*leg, m.reject, true);
}

// An offered leg leaves the call: refused, cleared or its application gone.
void Switchboard::withdrawOffer(Leg &leg, quint16 rejectValue, bool tellIt)
{
    Call &c = m_calls.callOf(leg);
    c.rejects.push_back(rejectValue);
    if (tellIt) {
        dropLeg(leg, reason::Normal);
    } else {
        m_calls.markGone(leg);
    }
    allResponded(c);
}

// When no offer is left open and nobody answered, the caller learns why.
void Switchboard::allResponded(Call &c)
{
    for (const Leg *l : c.otherLegs()) {
        if (l->offered)
            return;
    }
    if (c.answererPlci || c.caller().gone)
        return;
    quint16 r = reason::NoUserResponding; // everybody ignored the call
    for (quint16 rej : c.rejects) {
        if (rej == reject::UserBusy) {
            r = reason::UserBusy;
            break;
        }
        if (rej != reject::Ignore && r == reason::NoUserResponding)
            r = rejectToReason(rej);
    }
    dropLeg(c.caller(), r);
}

void Switchboard::connectCall(Call &c, Leg &answerer)
{
    c.answererPlci = answerer.plci;
    Leg &caller = c.caller();
    // The others that were offered the call lose it.
    for (Leg *l : c.otherLegs(&answerer))
        dropLeg(*l, reason::AnotherApplicationGotCall);
    answerer.connected = true;
    caller.connected = true;
    m_apps.send(answerer.app, Message(Command::ConnectActive, Subcommand::Ind, answerer.app, answerer.plci));
    Message active(Command::ConnectActive, Subcommand::Ind, caller.app, caller.plci);
    active.connectedNumber.digits = c.calledDigits;
    m_apps.send(caller.app, active);
}

void Switchboard::alert(const Message &m)
{
    Leg *leg = m_calls.leg(m.address, m.appId);
    if (!leg) {
        m_apps.confirm(m, m.address, info::IllegalIdentifier);
        return;
    }
    if (!leg->offered) {
        m_apps.confirm(m, m.address, info::IllegalState);
        return;
    }
    if (leg->alerted) {
        m_apps.confirm(m, m.address, info::AlertAlreadySent);
        return;
    }
    leg->alerted = true;
    m_apps.confirm(m, m.address, info::Ok);
    alertCaller(m_calls.callOf(*leg));
}

void Switchboard::disconnectReq(const Message &m)
{
    Leg *leg = m_calls.leg(m.address, m.appId);
    if (!leg) {
        m_apps.confirm(m, m.address, info::IllegalIdentifier);
        return;
    }
    m_apps.confirm(m, m.address, info::Ok);
    if (leg->offered) {
        // Clearing an offered call is refusing it.
        withdrawOffer(*leg, reject::NormalClearing, true);
        return;
    }
    clearCall(m_calls.callOf(*leg), leg, reason::Normal, reason::NormalClearing);
}

void Switchboard::selectBProtocol(const Message &m)
{
    Leg *leg = m_calls.leg(m.address, m.appId);
    quint16 result = leg ? checkBProtocol(m.bProtocol) : info::IllegalIdentifier;
    if (result == info::Ok && (!leg->connected || leg->b3.state != B3::None))
        result = info::IllegalState;
    if (result == info::Ok)
        leg->bProtocol = m.bProtocol;
    m_apps.confirm(m, m.address, result);
}

void Switchboard::releaseApp(quint16 appId)
{
    for (Leg *leg : m_calls.liveLegsOf(appId)) {
        if (leg->gone)
            continue; // cleared by an earlier leg of this application
        if (leg->offered)
            withdrawOffer(*leg, reject::Ignore, false);
        else
            clearCall(m_calls.callOf(*leg), leg, reason::Normal, reason::NormalClearing);
    }
}

} // namespace simline
