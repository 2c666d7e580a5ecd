#pragma once

#include <QList>
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
    // Times of the call on the monotonic clock (QElapsedTimer::msecsSinceReference()), 0 when
    // not reached: placed or offered, the fax connection up, each page done (sent and
    // confirmed, or its last data received), the call's end.
    qint64 startedAt = 0;
    qint64 faxUpAt = 0;
    QList<qint64> pageDoneAt;
    qint64 endedAt = 0;

    bool operator==(const CallStatus &) const = default;
};

QString stateText(CallStatus::State state);

// The elapsed time of the call and the time each page took, at monotonic time `now`:
// "1:05 in all; pages 41.0 s, 19.2 s; page 3 for 4.8 s". Pages are timed from the fax
// connection's start; "-" before a call.
QString timingText(const CallStatus &status, qint64 now);

} // namespace quillon::component
