#include "t30/call.h"

#include <QDir>

#include <spandsp.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace t30 {

Call::Call(const CallConfig &config)
    : m_config(config),
      m_sides{std::make_unique<Terminal>(Side::Caller, config.caller),
              std::make_unique<Terminal>(Side::Answerer, config.answerer)},
      m_toAnswerer(config.line, config.line.seed),
      m_toCaller(config.line, config.line.seed * 2654435761u + 1)
{
    for (const Dropout &d : m_config.line.dropouts) {
        if (d.anchor == DropoutAnchor::CallStart) {
            const qint64 from = qint64(d.offsetMs) * SamplesPerMs;
            m_drops.push_back({from, from + qint64(d.lengthMs) * SamplesPerMs});
        }
    }
}

Call::~Call()
{
    m_recorder.close();
}

bool Call::start(QString *error)
{
    m_started = true;
    QString why;
    bool ok = m_sides[0]->start(&why, m_config.prepareInBackground);
    if (ok)
        ok = m_sides[1]->start(&why);
    if (ok && !m_config.recordFolder.isEmpty()) {
        QDir().mkpath(m_config.recordFolder);
        m_recordPath = QDir(m_config.recordFolder).filePath(m_config.recordName);
        ok = m_recorder.open(m_recordPath, &why);
    }
    if (!ok) {
        for (auto &side : m_sides)
            side->abort();
        if (error)
            *error = why;
    }
    for (auto &side : m_sides)
        collect(*side);
    return ok;
}

bool Call::finished() const
{
    return m_sides[0]->ended() && m_sides[1]->ended();
}

bool Call::preparing()
{
    if (m_prepared || !m_started || finished())
        return false;
    const bool ready = m_sides[0]->ready() && m_sides[1]->ready();
    m_prepared = ready;
    // A side that ended while the call was prepared (its document failed, or it was aborted)
    // ends the other at once: no line time has run.
    if (ready && (m_sides[0]->ended() || m_sides[1]->ended())) {
        for (auto &side : m_sides) {
            side->abort();
            collect(*side);
        }
        m_recorder.close();
    }
    return !ready;
}

void Call::tick()
{
    if (preparing() || !m_started || finished())
        return;
    int16_t fromCaller[TickSamples];
    int16_t fromAnswerer[TickSamples];
    uchar alaw[TickSamples];

    // Each side's audio goes through G.711 A-law, as on the B channel, and the line.
    const qint64 t0 = m_ticks * TickSamples;
    int dropFrom = 0, dropTo = 0;
    for (const Window &w : m_drops) {
        if (w.to > t0 && w.from < t0 + TickSamples) {
            dropFrom = int(std::max<qint64>(w.from - t0, 0));
            dropTo = int(std::min<qint64>(w.to - t0, TickSamples));
            break;
        }
    }
    m_sides[0]->transmit(alaw, TickSamples);
    for (int i = 0; i < TickSamples; ++i)
        fromCaller[i] = alaw_to_linear(alaw[i]);
    m_sides[1]->transmit(alaw, TickSamples);
    for (int i = 0; i < TickSamples; ++i)
        fromAnswerer[i] = alaw_to_linear(alaw[i]);
    if (m_config.line.any()) {
        m_toAnswerer.process(fromCaller, TickSamples, dropFrom, dropTo);
        m_toCaller.process(fromAnswerer, TickSamples);
        // The impaired signal reaches the far side as A-law again.
        for (int i = 0; i < TickSamples; ++i) {
            fromCaller[i] = alaw_to_linear(linear_to_alaw(fromCaller[i]));
            fromAnswerer[i] = alaw_to_linear(linear_to_alaw(fromAnswerer[i]));
        }
    }
    if (m_recorder.isOpen())
        m_recorder.write(fromCaller, fromAnswerer, TickSamples);
    m_sides[1]->receiveLinear(fromCaller, TickSamples);
    m_sides[0]->receiveLinear(fromAnswerer, TickSamples);
    ++m_ticks;

    for (auto &side : m_sides) {
        side->poll();
        collect(*side);
    }
    const bool anyEnded = m_sides[0]->ended() || m_sides[1]->ended();
    if (anyEnded && m_firstEndTick < 0)
        m_firstEndTick = m_ticks;
    const bool lingered = m_firstEndTick >= 0
                          && (m_ticks - m_firstEndTick) * TickMs >= m_config.lingerMs;
    if (lingered || elapsedMs() >= m_config.maxDurationMs) {
        for (auto &side : m_sides) {
            if (!side->ended())
                side->abort();
            collect(*side);
        }
    }
    if (finished())
        m_recorder.close();
}

qint64 Call::runToEnd()
{
    const qint64 before = m_ticks;
    while (m_started && !finished()) {
        if (preparing())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        tick();
    }
    return m_ticks - before;
}

void Call::abort(Side side)
{
    m_sides[size_t(side)]->abort();
    collect(*m_sides[size_t(side)]);
}

void Call::scheduleDropouts(const Event &e)
{
    if (e.type != Event::Type::FrameReceived)
        return;
    DropoutAnchor anchor;
    int index = 0;
    if (e.side == Side::Caller && (e.frame.fcf == 0x84 || e.frame.fcf == 0x8C)) { // CFR, MCF
        anchor = DropoutAnchor::Page;
        index = ++m_goAheads;
    } else if (e.side == Side::Answerer && e.frame.fcf == 0x82) { // DCS
        anchor = DropoutAnchor::Training;
        index = ++m_trainings;
    } else {
        return;
    }
    const qint64 now = m_ticks * TickSamples;
    for (const Dropout &d : m_config.line.dropouts) {
        if (d.anchor == anchor && d.index == index) {
            const qint64 from = now + qint64(d.offsetMs) * SamplesPerMs;
            m_drops.push_back({from, from + qint64(d.lengthMs) * SamplesPerMs});
        }
    }
}

void Call::collect(Terminal &side)
{
    for (Event &e : side.takeEvents()) {
        scheduleDropouts(e);
        m_events.append(std::move(e));
    }
}

QList<Event> Call::takeEvents()
{
    return std::exchange(m_events, {});
}

} // namespace t30
