#pragma once

// The simulated ISDN line: an in-process CAPI controller (controller 1) with a loopback line.
// A call to any number is offered to every application that listens with a matching CIP
// mask, the caller included; once answered, the data blocks of each side are relayed to the
// other with DATA_B3 flow control. What the far end of a number does can be planned
// (FaultPlan), to play the faults of a real line.

#include "capi/transport.h"
#include "simline/calls.h"
#include "simline/faultplan.h"

#include <QList>
#include <QMutex>

#include <chrono>
#include <memory>
#include <optional>

namespace simline {

class SimulatedLine final : public capi::Transport
{
    Q_OBJECT

public:
    // A line of its own, with its own applications, calls, faults and rate. Its timers
    // (no-answer timeout, pacing) run in the event loop of the thread that creates it.
    explicit SimulatedLine(QObject *parent = nullptr);
    ~SimulatedLine() override;

    static constexpr quint32 ControllerNumber = 1;
    static constexpr int DefaultNoAnswerTimeoutMs = 30000;
    // The transmit window of a connection is the registered maxDataBlocks, at most this.
    static constexpr quint32 MaxWindow = 7;

    // The line-wide far end, for every number that no rule of the plan names.
    enum class Fault {
        None,
        UserBusy,     // every call is refused at once: DISCONNECT_IND user busy (0x3491)
        NoAnswer,     // the remote rings and never answers: no answer (0x3493) after the timeout
        CallRejected, // the remote refuses: call rejected (0x3495)
        NotG3Fax,     // a remote that is not a fax answers; a T.30 connection fails with
                      // reason B3 0x3311 and the remote clears the call
        DroppedLine,  // the line drops after the given number of relayed data blocks
    };

    // Faults stay in force for every following call on this line until changed or reset.
    void setFault(Fault fault, int afterBlocks = 0);
    Fault fault() const;
    // The far end per called number; the plan's fallback is the line-wide fault above.
    void setFaultPlan(const FaultPlan &plan);
    FaultPlan faultPlan() const;
    void setRule(const QString &numberOrPrefix, const FarEnd &rule);
    // Paces the relayed data at this many bit/s; 0 relays as fast as the event loop allows.
    // A G3 fax call (B3 protocol 4) is a T.30 call over audio and keeps its own modem rates.
    void setRate(quint32 bitsPerSecond);
    quint32 rate() const;
    // Scales the pacing: 1 real time, 2 twice as fast, 0 as fast as possible. The rate the
    // calls report stays the line's rate. A T.30 fax call runs on a line clock at this speed.
    void setSpeed(double speed);
    double speed() const;
    // Writes each fax call's audio into this folder as a WAV file; empty: no recordings.
    void setRecordFolder(const QString &folder);
    QString recordFolder() const;
    // The time written into the head lines of fax pages; invalid (the default): the current time.
    void setHeadLineTime(const QDateTime &time);
    // The most of a fax document the line collects from a sender (default 128 MiB); a block
    // past it ends the fax, the sender with a local abort, the receiver with a remote abort.
    void setFaxDocumentLimit(qsizetype bytes);
    // How long a call may ring (offered or faulted) before it is cleared as not answered.
    void setNoAnswerTimeout(std::chrono::milliseconds timeout);
    std::chrono::milliseconds noAnswerTimeout() const;
    // B channels of the line; a loopback call takes two (one per side). Default 2, a basic
    // rate line: one call at a time. A call beyond the free channels is cleared with 0x34A2.
    // A controller numbers the PLCIs of 254 channels: a line of more is offered as several
    // controllers (1, 2, ...), each called and listened on by itself, at most 127.
    void setChannels(int channels);
    int channels() const;
    // Applications that may register at once (default 32).
    void setMaxApplications(int count);
    // No fault, no rule, no pacing, real-time speed, the default no-answer timeout.
    void resetFaults();

    using Statistics = simline::Statistics;
    Statistics statistics() const;
    int applicationCount() const;
    int callCount() const;
    // The calls on the line now, and the last ones that ended (oldest first).
    QList<CallInfo> calls() const;
    QList<CallInfo> recentCalls() const;
    // The call a PLCI (or NCCI) of the line belongs to.
    std::optional<CallInfo> callInfo(quint32 plci) const;

    // Transport
    bool isInstalled() const override { return true; }
    capi::RegisterResult registerApplication(const capi::Registration &registration) override;
    quint16 release(quint16 appId) override;
    quint16 putMessage(const capi::Message &m) override;
    std::optional<capi::Message> getMessage(quint16 appId) override;
    capi::Profile profile(quint32 controller) const override;
    QString manufacturer(quint32 controller) const override;
    capi::Version version(quint32 controller) const override;
    QString serialNumber(quint32 controller) const override;

private:
    SimulatedLine(const SimulatedLine &) = delete;
    SimulatedLine &operator=(const SimulatedLine &) = delete;

    // Handles the messages put since the last pass, in the line's own thread.
    void processInbound();
    void handle(capi::Message &m);
    bool hasController(quint32 controller) const;
    // The tasks due now run as one turn; the timer is armed for the next.
    void runDue();
    void armTimer();
    // Ends a turn of the line: the calls that ended are swept.
    void endTurn();
    void wake(quint16 appId, quint64 serial);

    struct Parts;
    mutable QMutex m_mutex;
    std::unique_ptr<Parts> m_parts;
};

} // namespace simline
