#pragma once

// The calls on the line and the legs they join, as the switchboard and the relay share them.
// A call is found by its id, a leg by its PLCI; neither is held by pointer across turns.
// A leg that is cleared is only marked gone (markGone), and a call whose legs are all gone
// is removed by sweep() at the end of the turn, so a handler never finds a call deleted
// under it. PLCIs are numbered per controller: 255 on each.

#include "capi/message.h"
#include "simline/faultplan.h"
#include "simline/pagecount.h"
#include "simline/settings.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <unordered_map>
#include <vector>

namespace simline {

class FaxSession;

// Counters, for tests and benchmarks.
struct Statistics
{
    quint64 messagesIn = 0;    // put by applications
    quint64 messagesOut = 0;   // queued for applications
    quint64 blocksRelayed = 0; // DATA_B3 blocks taken from a sender
    quint64 bytesRelayed = 0;
    quint64 blockCopies = 0;   // blocks copied on their way (only when split)
};

// What a status window may show of a call, without decoding any NCPI.
struct CallInfo
{
    quint64 id = 0;
    QString calledNumber;
    QString farEnd;    // the rule the called number met, FarEnd::text()
    QString faultText; // what the fault did to the call; empty while it met none
    quint16 rate = 0;  // bit/s the modems run at
    bool ended = false;
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

// The B3 connection of a leg, as the relay keeps it; reset whole when B3 ends.
struct B3Link
{
    B3 state = B3::None;
    quint32 ncci = 0;
    // As a sender: pieces not yet delivered, blocks not yet confirmed.
    std::deque<Piece> outgoing;
    std::map<quint64, SentBlock> blocks;
    quint64 nextBlockId = 1;
    qint64 lineFreeAtNs = 0; // pacing: when the line is free for the next piece
    qint64 frontDueNs = 0;   // pacing: when the first waiting piece has fully arrived
    bool sentData = false;
    // As a receiver: DATA_B3_IND handles not yet answered, and the blocks they belong to.
    std::map<quint16, quint64> inFlight;
    quint16 nextIndHandle = 0;
    PageCount pagesReceived;
};

// One side of a call: the caller's PLCI or an offered/answering PLCI.
struct Leg
{
    quint64 call = 0;
    quint16 app = 0;
    quint32 plci = 0;
    bool gone = false;    // cleared; kept until its call is swept
    bool offered = false; // an incoming leg still waiting for its CONNECT_RESP
    bool alerted = false;
    bool connected = false;
    std::optional<capi::BProtocol> bProtocol;
    B3Link b3;
    bool pumpScheduled = false;

    quint16 b3Protocol() const;
    bool isFax() const;
    capi::FaxB3Configuration faxConfig() const;
};

// Who plays the far end: the applications that listen, or the line itself for a fault.
enum class Remote { Applications, NoAnswer, NotFax };

struct Call
{
    quint64 id = 0;
    std::map<quint32, Leg> legs; // by PLCI; the caller's is callerPlci
    quint32 callerPlci = 0;
    quint32 answererPlci = 0;    // 0 until answered
    FarEnd farEnd;
    Remote remote = Remote::Applications;
    quint16 cip = 0;
    QString calledDigits;
    bool alerted = false;
    std::vector<quint16> rejects;
    int blocksDelivered = 0;
    bool remoteConnected = false; // the line's own remote answered (NotFax)
    quint16 b3Resolution = 0;
    quint16 rate = 0;
    QString faultText;
    // The T.30 call of a G3 fax connection, while B3 is up; shared, so a turn that runs it
    // keeps it alive while the call is cleared under it.
    std::shared_ptr<FaxSession> fax;

    Leg &caller() { return legs.at(callerPlci); }
    const Leg &caller() const { return legs.at(callerPlci); }
    Leg *answerer();
    // The live legs offered the call and not yet answered or cleared, callers excluded.
    std::vector<Leg *> otherLegs(const Leg *except = nullptr);
    bool finished() const;
    CallInfo info() const;
};

class CallTable
{
public:
    static constexpr quint32 Controller = 1; // the first controller
    static constexpr int MaxControllers = LineSettings::MaxControllers;
    static constexpr int PlcisPerController = 255;

    // The controller of a PLCI or NCCI.
    static quint32 controllerOf(quint32 plci) { return plci & 0x7F; }

    Call &create();
    // A new leg of `call` for `app` with a free PLCI of `controller` (1..127), nullptr when
    // all 255 of that controller are taken.
    Leg *addLeg(Call &call, quint16 app, quint32 controller = Controller);
    // Clears a leg: it stays until its call is swept.
    void markGone(Leg &leg);

    Call *call(quint64 id);
    // A live leg of `app` by PLCI (the NCCI's PLCI part is used), nullptr when none.
    Leg *leg(quint32 plci, quint16 app);
    // A live leg of any application by PLCI.
    Leg *leg(quint32 plci);
    Leg *legByNcci(quint32 ncci, quint16 app);
    Call &callOf(const Leg &leg) { return m_calls.at(leg.call); }
    // The other side of a connected call, nullptr before it is answered or once it is gone.
    Leg *peerOf(const Leg &leg);

    // The live legs of an application, in PLCI order, for a caller that may clear some of them.
    std::vector<Leg *> liveLegsOf(quint16 app);
    // Calls with a leg that is not gone.
    int liveCalls() const { return m_liveCalls; }
    int size() const { return int(m_calls.size()); }
    std::vector<CallInfo> infos() const;

    // Removes the calls that are over; returns what they were. Only the calls that lost a
    // leg (or never had one) since the last sweep are looked at.
    std::vector<CallInfo> sweep();

private:
    // Hashed, as every message looks its leg and call up; a Call stays where it is while
    // others come and go.
    std::unordered_map<quint64, Call> m_calls;
    std::unordered_map<quint32, quint64> m_plcis; // every PLCI of an unswept call, gone legs included
    std::map<quint16, std::set<quint32>> m_appPlcis; // the same PLCIs by application
    std::vector<quint64> m_maybeOver;   // calls to look at in the next sweep
    int m_liveCalls = 0;
    quint64 m_nextCallId = 1;
    std::array<quint8, MaxControllers + 1> m_nextPlci{}; // per controller, 0 before its first
    std::array<int, MaxControllers + 1> m_plcisInUse{};
};

} // namespace simline
