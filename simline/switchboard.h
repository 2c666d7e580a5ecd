#pragma once

// Call switching on the line: LISTEN and its CIP masks, offering a call to every listener
// whose mask matches, alerting, answering, rejecting, clearing, the no-answer timeout, and
// the far ends that the fault plan puts in place of the listeners.

#include "simline/applications.h"
#include "simline/calls.h"
#include "simline/relay.h"
#include "simline/settings.h"

namespace simline {

class Switchboard
{
public:

    Switchboard(Applications &apps, CallTable &calls, Relay &relay, const LineSettings &settings,
                Schedule schedule);

    void listen(const capi::Message &m);
    void connectReq(const capi::Message &m);
    void connectResp(const capi::Message &m);
    void alert(const capi::Message &m);
    void disconnectReq(const capi::Message &m);
    void selectBProtocol(const capi::Message &m);
    // Clears every leg of an application as its DISCONNECT_REQ would, without telling it; the
    // application is already gone from `apps`.
    void releaseApp(quint16 appId);

    // The call is over for everybody: B3 ends first, then every leg gets DISCONNECT_IND.
    void clearCall(Call &c, Leg *initiator, quint16 initiatorReason, quint16 othersReason,
                   quint16 lineReasonB3 = 0);

    // A B protocol the line can run, or the info value that says why not.
    static quint16 checkBProtocol(const std::optional<capi::BProtocol> &bp);

private:
    // A controller of the line: 1 to LineSettings::controllers().
    bool isController(quint32 address) const;
    void dropLeg(Leg &leg, quint16 reasonValue);
    void offerCall(Call &c, const capi::Message &req);
    void allResponded(Call &c);
    void connectCall(Call &c, Leg &answerer);
    void withdrawOffer(Leg &leg, quint16 rejectValue, bool tellIt);
    void scheduleNoAnswer(Call &c, std::chrono::milliseconds after);
    void noAnswer(quint64 id);
    void alertCaller(Call &c);

    Applications &m_apps;
    CallTable &m_calls;
    Relay &m_relay;
    const LineSettings &m_settings;
    Schedule m_schedule;
};

} // namespace simline
