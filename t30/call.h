#pragma once

#include "t30/impairments.h"
#include "t30/terminal.h"
#include "t30/wavrecorder.h"

#include <QList>
#include <QString>

#include <array>
#include <memory>
#include <vector>

// A back-to-back G3 fax call: the calling side transmits, the answering side receives, and
// they talk only through 8 kHz A-law audio over a simulated line. The owner steps the call
// with tick(), 20 ms of line time each, and so paces it in real time or runs it unpaced.
namespace t30 {

inline constexpr int TickSamples = 160; // 20 ms at 8 kHz
inline constexpr int TickMs = 20;

struct CallConfig
{
    TerminalConfig caller;   // transmits caller.document
    TerminalConfig answerer; // receives
    Impairments line;
    // Writes the call's audio as a WAV file in this folder when not empty: the left channel
    // is what the answering side hears (from the caller), the right what the caller hears.
    QString recordFolder;
    QString recordName = QStringLiteral("fax-call.wav");
    // A call still running after this much line time is ended.
    qint64 maxDurationMs = 30 * 60 * 1000;
    // Once one side has ended, the other gets this long to end by itself.
    qint64 lingerMs = 40 * 1000;
    // The caller's document is converted in a thread of its own: start() returns at once
    // and the call stands (ticks do nothing) until it is done. See preparing().
    bool prepareInBackground = false;
};

class Call
{
public:
    explicit Call(const CallConfig &config);
    ~Call();
    Call(const Call &) = delete;
    Call &operator=(const Call &) = delete;

    // Prepares both sides and the recording; false with the reason when the call cannot start
    // (the call is over then, with the sides' outcomes set).
    bool start(QString *error = nullptr);
    // 20 ms of line time; nothing while the call is preparing.
    void tick();
    // True while the caller's document is still being converted; a conversion that failed
    // ends the call (ErrorDocument on the caller's side, a local abort on the other).
    bool preparing();
    // Ticks until the call is over; returns the ticks run.
    qint64 runToEnd();
    bool finished() const;

    // Ends the call from one side, as its application would.
    void abort(Side side);

    qint64 elapsedMs() const { return m_ticks * TickMs; }
    const SideOutcome &outcome(Side side) const { return m_sides[size_t(side)]->outcome(); }
    // Both sides' events since the last call, in the order they happened.
    QList<Event> takeEvents();
    QString recordingPath() const { return m_recordPath; }

private:
    void collect(Terminal &side);
    void scheduleDropouts(const Event &e);

    CallConfig m_config;
    std::array<std::unique_ptr<Terminal>, 2> m_sides;
    LinePath m_toAnswerer;
    LinePath m_toCaller;
    WavRecorder m_recorder;
    QString m_recordPath;
    qint64 m_ticks = 0;
    qint64 m_firstEndTick = -1;
    int m_goAheads = 0; // CFR and MCF frames the transmitter received so far
    int m_trainings = 0; // DCS frames the receiver received so far
    struct Window
    {
        qint64 from, to; // samples of line time
    };
    std::vector<Window> m_drops;
    QList<Event> m_events;
    bool m_started = false;
    bool m_prepared = false; // both sides were ready at the last preparing()
};

} // namespace t30
