#include "simline/calls.h"

#include <algorithm>

namespace simline {

using namespace capi;

quint16 Leg::b3Protocol() const
{
    return bProtocol ? bProtocol->b3 : bproto::B3Transparent;
}

bool Leg::isFax() const
{
    return bproto::isFaxG3B3(b3Protocol());
}

FaxB3Configuration Leg::faxConfig() const
{
    if (bProtocol) {
        if (auto c = bProtocol->faxConfiguration())
            return *c;
    }
    return {};
}

Leg *Call::answerer()
{
    if (!answererPlci)
        return nullptr;
    Leg &a = legs.at(answererPlci);
    return a.gone ? nullptr : &a;
}

std::vector<Leg *> Call::otherLegs(const Leg *except)
{
    std::vector<Leg *> out;
    for (auto &[plci, leg] : legs) {
        if (!leg.gone && plci != callerPlci && &leg != except)
            out.push_back(&leg);
    }
    return out;
}

bool Call::finished() const
{
    for (const auto &[plci, leg] : legs) {
        if (!leg.gone)
            return false;
    }
    return true;
}

CallInfo Call::info() const
{
    return CallInfo{id, calledDigits, farEnd.text(), faultText, rate, finished()};
}

Call &CallTable::create()
{
    const quint64 id = m_nextCallId++;
    Call &c = m_calls[id];
    c.id = id;
    m_maybeOver.push_back(id); // swept at the end of the turn when no leg joins it
    return c;
}

Leg *CallTable::addLeg(Call &call, quint16 app, quint32 controller)
{
    if (controller < 1 || controller > quint32(MaxControllers) ||
        m_plcisInUse[controller] >= PlcisPerController)
        return nullptr;
    quint8 &next = m_nextPlci[controller];
    for (int tries = 0; tries < PlcisPerController; ++tries) {
        next = next >= 255 ? 1 : next + 1;
        const quint32 candidate = controller | (quint32(next) << 8);
        if (m_plcis.count(candidate))
            continue;
        if (call.finished())
            ++m_liveCalls; // its first leg, or its first since all were gone
        m_plcis[candidate] = call.id;
        m_appPlcis[app].insert(candidate);
        ++m_plcisInUse[controller];
        Leg &leg = call.legs[candidate];
        leg.call = call.id;
        leg.app = app;
        leg.plci = candidate;
        return &leg;
    }
    return nullptr;
}

void CallTable::markGone(Leg &leg)
{
    leg.offered = false;
    if (leg.gone)
        return;
    m_maybeOver.push_back(leg.call);
    leg.gone = true;
    if (callOf(leg).finished())
        --m_liveCalls;
}

Call *CallTable::call(quint64 id)
{
    auto it = m_calls.find(id);
    return it == m_calls.end() ? nullptr : &it->second;
}

Leg *CallTable::leg(quint32 plci)
{
    auto it = m_plcis.find(plci & 0xFFFF);
    if (it == m_plcis.end())
        return nullptr;
    Leg &l = m_calls.at(it->second).legs.at(it->first);
    return l.gone ? nullptr : &l;
}

Leg *CallTable::leg(quint32 plci, quint16 app)
{
    Leg *l = leg(plci);
    return l && l->app == app ? l : nullptr;
}

Leg *CallTable::legByNcci(quint32 ncci, quint16 app)
{
    Leg *l = leg(ncci, app);
    return l && l->b3.state != B3::None && l->b3.ncci == ncci ? l : nullptr;
}

Leg *CallTable::peerOf(const Leg &leg)
{
    Call &c = callOf(leg);
    Leg *answerer = c.answerer();
    if (!answerer)
        return nullptr;
    Leg &caller = c.caller();
    if (&leg == &caller)
        return caller.gone ? nullptr : answerer;
    return &leg == answerer && !caller.gone ? &caller : nullptr;
}

std::vector<Leg *> CallTable::liveLegsOf(quint16 app)
{
    std::vector<Leg *> out;
    auto it = m_appPlcis.find(app);
    if (it == m_appPlcis.end())
        return out;
    for (quint32 plci : it->second) {
        Leg &l = m_calls.at(m_plcis.at(plci)).legs.at(plci);
        if (!l.gone)
            out.push_back(&l);
    }
    return out;
}

std::vector<CallInfo> CallTable::infos() const
{
    std::vector<const Call *> calls;
    for (const auto &[id, c] : m_calls)
        calls.push_back(&c);
    std::sort(calls.begin(), calls.end(), [](const Call *a, const Call *b) { return a->id < b->id; });
    std::vector<CallInfo> out;
    for (const Call *c : calls)
        out.push_back(c->info());
    return out;
}

std::vector<CallInfo> CallTable::sweep()
{
    std::vector<CallInfo> swept;
    if (m_maybeOver.empty())
        return swept;
    std::sort(m_maybeOver.begin(), m_maybeOver.end()); // in call order, each once
    m_maybeOver.erase(std::unique(m_maybeOver.begin(), m_maybeOver.end()), m_maybeOver.end());
    for (quint64 id : m_maybeOver) {
        auto it = m_calls.find(id);
        if (it == m_calls.end() || !it->second.finished())
            continue;
        swept.push_back(it->second.info());
        for (const auto &[plci, leg] : it->second.legs) {
            m_plcis.erase(plci);
            auto app = m_appPlcis.find(leg.app);
            if (app != m_appPlcis.end() && app->second.erase(plci) && app->second.empty())
                m_appPlcis.erase(app);
            --m_plcisInUse[controllerOf(plci)];
        }
        m_calls.erase(it);
    }
    m_maybeOver.clear();
    return swept;
}

} // namespace simline
