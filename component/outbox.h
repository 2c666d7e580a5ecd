#pragma once

#include "capi/message.h"

namespace capi {
class Transport;
}

namespace quillon::component {

class Reporter;

// The way out to the line for one registered application: stamps each message with the
// application and, for a REQ, the next message number, shows it in the debug events and
// reports a message the line refused.
class Outbox
{
public:
    Outbox(capi::Transport &line, quint16 appId, quint32 controller, Reporter &report);

    // False when the line refused the message.
    bool put(capi::Message m);
    // What a message nobody takes up gets: an indication its plain RESP (a fax connection
    // nobody waits for is refused), so the line can go on; a failed confirmation a debug line,
    // unless it belongs to a call that is over (CONNECT, CONNECT_B3, DATA_B3).
    void unclaimed(const capi::Message &m);

    // The message number the next REQ gets.
    quint16 nextNumber() const { return m_nextNumber & 0x7FFF; }
    quint16 appId() const { return m_appId; }
    quint32 controller() const { return m_controller; }
    capi::Transport &line() const { return m_line; }

private:
    capi::Transport &m_line;
    quint16 m_appId;
    quint32 m_controller;
    Reporter &m_report;
    quint16 m_nextNumber = 1;
};

} // namespace quillon::component
