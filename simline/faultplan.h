#pragma once

// What the far end of a call does, chosen by the number dialled.
//
// Each behaviour as the caller sees it on the wire (reasons are DISCONNECT_IND reasons
// unless named as B3 reasons):
//   Answer          the call is offered to the applications that listen (the normal case).
//   Busy            DISCONNECT_IND 0x3491 (user busy) right after CONNECT_CONF; nobody is offered
//                   the call.
//   NoAnswer        the far end rings: INFO_IND alerting (when the caller's info mask asks for
//                   call progression), then DISCONNECT_IND 0x3493 (no answer) after `delay`, or
//                   after the line's no-answer timeout when `delay` is zero.
//   Reject          DISCONNECT_IND with `cause` (a 0x34xx reason; 0x3495 call rejected by
//                   default) right after CONNECT_CONF.
//   NotFax          something that is no fax answers: CONNECT_ACTIVE_IND, then CONNECT_B3_REQ
//                   is confirmed and fails with DISCONNECT_B3_IND B3 reason 0x3311 (0x3302 for a
//                   non-fax B3), after which the far end hangs up with DISCONNECT_IND 0x3490.
//   DropAfterBlocks the call is offered and runs normally until `count` DATA_B3 blocks reached
//                   the receiving side; then both sides get DISCONNECT_B3_IND and
//                   DISCONNECT_IND with reason 0x3301 (layer 1 error).
//   DropAfterPages  as DropAfterBlocks, once the receiving side has `count` whole pages and the
//                   next page has begun; a document of at most `count` pages comes through.
// A `rateFactor` below 1 makes the far end's modem slower: the call runs at that factor of
// the line's rate (of 14400 bit/s on an unpaced line), and the fax NCPI reports the rate the
// modems would agree on. It combines with every behaviour that connects.
// A G3 fax call (T.30 over audio) to the far end also goes through `line` (noise, drop-outs,
// attenuation) and is limited to what the far fax offers (`ecm`, `modems`); the byte relay
// of G4 and transparent calls ignores them.

#include "t30report/frames.h"
#include "t30/impairments.h"

#include <QList>
#include <QString>

#include <chrono>
#include <utility>

namespace simline {

struct FarEnd
{
    enum class Behaviour { Answer, Busy, NoAnswer, Reject, NotFax, DropAfterBlocks, DropAfterPages };

    Behaviour behaviour = Behaviour::Answer;
    std::chrono::milliseconds delay{0}; // NoAnswer: rings this long (0: the line's timeout)
    quint16 cause = 0;                  // Reject: the DISCONNECT_IND reason
    int count = 0;                      // DropAfterBlocks, DropAfterPages
    double rateFactor = 1.0;            // 0 < factor <= 1
    t30::Impairments line;              // what the line does to a T.30 call's audio
    bool ecm = true;                    // the far fax offers error correction
    int modems = t30::SupportAllModems; // the far fax's modems (t30::ModemSet flags)

    static FarEnd answer() { return {}; }
    static FarEnd busy() { return make(Behaviour::Busy); }
    static FarEnd noAnswer(std::chrono::milliseconds after = std::chrono::milliseconds(0));
    static FarEnd reject(quint16 cause = 0x3495);
    static FarEnd notFax() { return make(Behaviour::NotFax); }
    static FarEnd dropAfterBlocks(int blocks);
    static FarEnd dropAfterPages(int pages);
    static FarEnd slower(double factor);
    FarEnd withRateFactor(double factor) const;

    // Whether a fax call to the far end goes through a line as it should and meets a fax
    // with every modem and ECM.
    bool faxLineClean() const;
    bool isNormal() const
    {
        return behaviour == Behaviour::Answer && rateFactor >= 1.0 && faxLineClean();
    }
    // For a status window and a trace: "answer", "busy", "no answer after 5 s",
    // "reject 0x3495", "not a fax", "drop after 4 blocks", "drop after 2 pages",
    // "answer at 0.5 of the rate", "answer; line 18 dB SNR, 30 ms drop-out 1000 ms into
    // page 1, no ECM".
    QString text() const;

    bool operator==(const FarEnd &) const = default;

private:
    static FarEnd make(Behaviour b)
    {
        FarEnd f;
        f.behaviour = b;
        return f;
    }
};

// A lookup from the called number to what the far end does. A rule is for one number
// ("991") or, written with a trailing '*', for every number that starts so ("99*"; "*" alone
// matches every number). An exact rule wins over every prefix, a longer prefix over a
// shorter one; a number no rule matches gets the fallback (normally: answer).
class FaultPlan
{
public:
    void setRule(const QString &numberOrPrefix, const FarEnd &rule);
    void removeRule(const QString &numberOrPrefix);
    void clearRules() { m_rules.clear(); }
    // The rules as set, in the order first set.
    const QList<std::pair<QString, FarEnd>> &rules() const { return m_rules; }

    void setFallback(const FarEnd &rule) { m_fallback = rule; }
    const FarEnd &fallback() const { return m_fallback; }

    FarEnd ruleFor(const QString &number) const;

    bool operator==(const FaultPlan &) const = default;

private:
    QList<std::pair<QString, FarEnd>> m_rules;
    FarEnd m_fallback;
};

} // namespace simline
