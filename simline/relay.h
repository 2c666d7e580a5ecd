#pragma once

// The B3 side of the line: setting up and ending B3 connections, relaying DATA_B3 blocks
// between the two legs of a call within each side's flow-control window, pacing them at
// the call's rate, and counting the pages of a fax document as they cross.

#include "simline/applications.h"
#include "simline/calls.h"
#include "simline/settings.h"

#include <QElapsedTimer>

#include <memory>

namespace t30 {
struct CallConfig;
struct Event;
struct SideOutcome;
} // namespace t30

namespace simline {

class FaxSession;

class Relay
{
public:
    // `clear(call, reason)`: the line clears the whole call with this reason on every side.
    Relay(Applications &apps, CallTable &calls, const LineSettings &settings, Statistics &stats,
          Schedule schedule, std::function<void(Call &, quint16)> clear);

    void connectB3Req(const capi::Message &m);
    void connectB3Resp(const capi::Message &m);
    void disconnectB3Req(const capi::Message &m);
    void dataB3Req(const capi::Message &m);
    void dataB3Resp(const capi::Message &m);

    // Ends the B3 connection of a call on both sides. The initiator gets reason 0 (or
    // `lineReason` when the line itself ended it); for a fax the other side learns whether
    // the document came through whole. `orderly`: the initiator ended B3 with
    // DISCONNECT_B3_REQ, which for a sender marks the end of its document.
    void endB3(Leg *initiator, Leg *other, quint16 lineReason = 0, bool orderly = false);
    // Forgets the B3 state of a leg without a message.
    void endB3Silently(Leg &leg);

    // The T.30 rate the modems agree on for a call.
    quint16 faxRate(const Call &c) const;

private:
    quint32 callRate(const Call &c) const;
    QByteArray faxNcpi(const Leg &leg, const Leg *peer, bool complete) const;
    void sendDisconnectB3(const Leg &leg, const Leg *peer, quint16 reasonB3, bool complete);
    void pump(Leg &sender);
    void schedulePump(Leg &sender, qint64 delayNs);
    bool dropsNow(Call &c, const Leg &receiver);
    void badDocument(Leg &sender, Leg &receiver);

    // G3 fax connections run a T.30 call (FaxSession) instead of relaying bytes.
    void faxData(Leg &sender, const capi::Message &m);
    t30::CallConfig faxCallConfig(const Call &c, const Leg &tx, const Leg &rx) const;
    void announceB3Active(Call &c, Leg &requester, Leg &answerer);
    void scheduleRehearsal(Call &c);
    void startFax(Call &c);
    void scheduleFax(Call &c, qint64 delayNs);
    void runFax(quint64 callId);
    bool faxReceiverBusy(Call &c, const FaxSession &f);
    void faxEvent(Call &c, FaxSession &f, const t30::Event &e);
    void queueForReceiver(Leg &transmitter, const QByteArray &data);
    void finishFax(Call &c);
    void abortFax(Call &c, const std::shared_ptr<FaxSession> &f, Leg *initiator, Leg *other,
                  quint16 lineReason);
    Leg *faxTransmitter(Call &c, const FaxSession &f);
    void endFaxSide(Leg &leg, quint16 reasonB3, const t30::SideOutcome &outcome);

    Applications &m_apps;
    CallTable &m_calls;
    const LineSettings &m_settings;
    Statistics &m_stats;
    Schedule m_schedule;
    std::function<void(Call &, quint16)> m_clear;
    QElapsedTimer m_clock;
};

} // namespace simline
