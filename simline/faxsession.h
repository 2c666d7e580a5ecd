#pragma once

// The T.30 call of one G3 fax connection (B3 protocol 4): the sending side's controller is a
// T.30 transmitter, the other side's a receiver, talking G.711 audio through the t30 engine.
// The session collects the sender's SFF document, runs the call once the document is whole,
// on the line's clock or as fast as the CPU allows, and hands back what the call reports.
// The relay turns that into CAPI messages.

#include "simline/pagecount.h"
#include "t30/call.h"

#include <QByteArray>
#include <QElapsedTimer>

#include <memory>

namespace simline {

class FaxSession
{
public:
    enum class State {
        Collecting, // the sender's document is coming in
        Running,    // the T.30 call runs
        Finished,   // the T.30 call is over; its outcomes hold
    };

    FaxSession() = default;
    ~FaxSession();
    FaxSession(const FaxSession &) = delete;
    FaxSession &operator=(const FaxSession &) = delete;

    State state() const { return m_state; }

    // The leg whose application sends the document (0 until it sends); the other receives.
    quint32 transmitterPlci = 0;
    // The transmitter ended B3 in order (DISCONNECT_B3_REQ), so it may hear of the end now.
    bool closeRequested = false;
    // DISCONNECT_B3_IND went to the receiver / the transmitter.
    bool receiverEnded = false;
    bool transmitterEnded = false;
    int pagesDelivered = 0; // received pages queued for the receiving application
    bool endRecordQueued = false;
    bool sliceScheduled = false;

    // Phase B rehearsed: T.30 in SpanDSP 0.0.6 needs the whole document when the DIS comes,
    // but the sender's data only follows CONNECT_B3_ACTIVE_IND, which carries the rate. So
    // the line first runs the same call (same line, same seed, same offers) with a blank
    // page of the sender's resolution, unpaced, until the transmitter's training passed (or
    // the handshake failed), and announces that rate. Both calls are deterministic up to the
    // first page, so the real one trains to the same rate. False when it cannot start.
    bool startRehearsal(t30::CallConfig config, sff::Resolution resolution);
    // Runs the rehearsal on for a slice of CPU time; true once its rate is known.
    bool rehearse();
    bool rehearsing() const { return m_rehearsal != nullptr; }
    // The rate the transmitter's training passed at; without a passed training the last
    // rate it tried, 0 when it tried none.
    int rehearsedRate() const { return m_rehearsedRate; }
    // The application whose leg the rehearsal took as the transmitter.
    quint32 rehearsalTransmitterPlci = 0;

    // A block of the sender's document; false, and the block not taken, when the document
    // would grow past `limit` bytes.
    bool take(QByteArrayView block, qsizetype limit);
    const PageCount &document() const { return m_pages; }
    // Whether the document so far can be sent as it is: whole pages, at least one.
    bool sendable() const;

    // Starts the call with the collected document as config.caller.document (an end record is
    // added when the sender ended between two records). False with the reason when the call
    // cannot start; the session is Finished then, with the sides' outcomes set.
    bool start(t30::CallConfig config, QString *error);

    // Runs the call on: with `pace` 0 for a slice of CPU time, else until its line time
    // catches up with the wall clock times `pace`; in both cases no further than a received
    // page. Returns the events of the slice.
    QList<t30::Event> advance(double pace);
    // Wall time until the next slice is due.
    qint64 nextSliceNs(double pace) const;

    // Ends the call at once from both sides (the call is being cleared or cut short).
    void abort();

    const t30::SideOutcome &transmitter() const;
    const t30::SideOutcome &receiver() const;
    qint64 elapsedMs() const { return m_call ? m_call->elapsedMs() : 0; }
    QString recordingPath() const { return m_call ? m_call->recordingPath() : QString(); }

private:
    State m_state = State::Collecting;
    QByteArray m_document;
    PageCount m_pages;
    std::unique_ptr<t30::Call> m_call;
    std::unique_ptr<t30::Call> m_rehearsal;
    int m_rehearsedRate = 0;
    QElapsedTimer m_clock; // wall time since the start, for pacing
    bool m_preparing = false; // the document was still being converted at the last advance
    t30::SideOutcome m_none;
};

} // namespace simline
