#pragma once

// The simulated ISDN line: an in-process CAPI controller (controller 1) with a loopback line.
// A call to any number is offered to every application that listens with a matching CIP
// mask, the caller included; once answered, the data blocks of each side are relayed to the
// other with DATA_B3 flow control. Faults of a real line can be injected.

#include "capi/capi_export.h"
#include "capi/transport.h"

#include <QMutex>

#include <chrono>
#include <memory>

namespace capi {

class QUILLON_CAPI_EXPORT SimulatedLine final : public Transport
{
    Q_OBJECT

public:
    // A line of its own, with its own applications, calls, faults and rate. Its timers
    // (no-answer timeout, pacing) run in the event loop of the thread that creates it.
    SimulatedLine();

    // Transitional: one shared line per process for the callers that still look it up
    // instead of being handed a line. Created on first use in the calling thread.
    static SimulatedLine &instance();

    static constexpr quint32 ControllerNumber = 1;
    static constexpr int DefaultNoAnswerTimeoutMs = 30000;
    // The transmit window of a connection is the registered maxDataBlocks, at most this.
    static constexpr quint32 MaxWindow = 7;

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
    // Paces the relayed data at this many bit/s; 0 relays as fast as the event loop allows.
    void setRate(quint32 bitsPerSecond);
    quint32 rate() const;
    // How long a call may ring (offered or faulted) before it is cleared as not answered.
    void setNoAnswerTimeout(std::chrono::milliseconds timeout);
    std::chrono::milliseconds noAnswerTimeout() const;
    // B channels of the line; a loopback call takes two (one per side). Default 2, a basic
    // rate line: one call at a time. A call beyond the free channels is cleared with 0x34A2.
    void setChannels(int channels);
    int channels() const;
    // Applications that may register at once (default 32).
    void setMaxApplications(int count);
    // No fault, no pacing, the default no-answer timeout.
    void resetFaults();

    // Counters, for tests and benchmarks.
    struct Statistics
    {
        quint64 messagesIn = 0;    // put by applications
        quint64 messagesOut = 0;   // queued for applications
        quint64 blocksRelayed = 0; // DATA_B3 blocks taken from a sender
        quint64 bytesRelayed = 0;
        quint64 blockCopies = 0;   // blocks copied on their way (only when split)
    };
    Statistics statistics() const;
    int applicationCount() const;
    int callCount() const;

    // Transport
    bool isInstalled() const override { return true; }
    RegisterResult registerApplication(const Registration &registration) override;
    quint16 release(quint16 appId) override;
    quint16 putMessage(const Message &m) override;
    std::optional<Message> getMessage(quint16 appId) override;
    Profile profile(quint32 controller) const override;
    QString manufacturer(quint32 controller) const override;
    Version version(quint32 controller) const override;
    QString serialNumber(quint32 controller) const override;

    ~SimulatedLine() override;

private:
    SimulatedLine(const SimulatedLine &) = delete;
    SimulatedLine &operator=(const SimulatedLine &) = delete;

    // Handles the messages put since the last pass, in the line's own thread.
    void processInbound();

    struct State;
    friend struct State;
    mutable QMutex m_mutex;
    std::unique_ptr<State> m_state;
};

} // namespace capi
