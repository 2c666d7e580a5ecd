#pragma once

#include <QString>

namespace quillon::component {

// What the status window shows about an endpoint: its call's status, or the last call's.
struct CallStatus
{
    enum class State { Idle, Listening, Calling, Ringing, Connected, Sending, Receiving,
                       Disconnecting };

    State state = State::Idle;
    bool started = false;
    bool sends = false;    // the endpoint has placed a call
    bool receives = false; // the endpoint listens for calls
    QString line; // the line and controller the endpoint last started on
    bool outgoing = false;
    bool g4 = false;
    QString ownNumber;
    QString remoteNumber;
    QString remoteStationId;
    int page = 0;      // the page being sent or received, 1-based; 0 before the first
    int pageCount = 0; // pages of the document being sent; 0 when not known (receiving)
    qint64 bytes = 0;  // fax data sent or received on this call
    qint64 totalBytes = 0; // size of the file being sent; 0 when receiving
    int rate = 0;      // line rate in bit/s as the connection reported it
    QString lastReason; // the end of the last call, in words
    QString documentPath; // the local file being sent or received (its current page is shown)
    qint64 pageOffset = 0; // where the current page starts in that file

    bool operator==(const CallStatus &) const = default;
};

QString stateText(CallStatus::State state);

} // namespace quillon::component
