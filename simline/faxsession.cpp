#include "simline/faxsession.h"

#include "faxtiff/faxtiff.h"
#include "sff/writer.h"

#include <algorithm>

namespace simline {

namespace {

constexpr qint64 kTickNs = qint64(t30::TickMs) * 1000 * 1000;
// An unpaced call runs in slices of this much CPU time, so the line's thread stays free.
constexpr qint64 kUnpacedSliceNs = 3 * 1000 * 1000;
// How often a call whose document is still being converted looks again.
constexpr qint64 kPreparingPollNs = 1000 * 1000;
// Phase B is over well within this much line time; a rehearsal is not run longer.
constexpr qint64 kRehearsalMaxMs = 90 * 1000;
// The blank page of a rehearsal: its lines do not matter, its resolution and width do.
constexpr int kRehearsalLines = 64;

// A paced call that fell behind catches up by at most this many ticks a slice.
constexpr qint64 kMaxCatchUpTicks = 250;

} // namespace

FaxSession::~FaxSession() = default;

bool FaxSession::startRehearsal(t30::CallConfig config, sff::Resolution resolution)
{
    sff::Writer page;
    page.beginPage(resolution);
    page.addWhiteLines(kRehearsalLines);
    config.caller.document = page.finish();
    config.recordFolder.clear();
    config.maxDurationMs = kRehearsalMaxMs;
    m_rehearsal = std::make_unique<t30::Call>(config);
    if (!m_rehearsal->start()) {
        m_rehearsal.reset();
        return false;
    }
    return true;
}

bool FaxSession::rehearse()
{
    if (!m_rehearsal)
        return true;
    QElapsedTimer slice;
    slice.start();
    bool known = false;
    while (!known && slice.nsecsElapsed() < kUnpacedSliceNs) {
        m_rehearsal->tick();
        for (const t30::Event &e : m_rehearsal->takeEvents()) {
            if (e.side != t30::Side::Caller || e.type != t30::Event::Type::Training)
                continue;
            m_rehearsedRate = e.frame.bitRate;
            known = known || e.ok;
        }
        known = known || m_rehearsal->finished() || m_rehearsal->elapsedMs() >= kRehearsalMaxMs;
    }
    if (known)
        m_rehearsal.reset();
    return known;
}

bool FaxSession::take(QByteArrayView block, qsizetype limit)
{
    if (m_state != State::Collecting)
        return true;
    if (m_document.size() + block.size() > limit)
        return false;
    m_document.append(block);
    m_pages.feed(block);
    return true;
}

bool FaxSession::sendable() const
{
    return !m_pages.invalid() && m_pages.pagesStarted() > 0
           && (m_pages.atEnd() || m_pages.atRecordBoundary());
}

bool FaxSession::start(t30::CallConfig config, QString *error)
{
    if (m_state != State::Collecting)
        return false;
    config.caller.document = m_document;
    if (!m_pages.atEnd())
        config.caller.document += faxtiff::sffEndRecord();
    m_document.clear();
    // A long document takes most of a second to convert: not in the line's turn.
    config.prepareInBackground = true;
    m_call = std::make_unique<t30::Call>(config);
    m_clock.start();
    if (!m_call->start(error)) {
        m_state = State::Finished;
        return false;
    }
    m_state = State::Running;
    return true;
}

QList<t30::Event> FaxSession::advance(double pace)
{
    if (m_state != State::Running)
        return {};
    m_preparing = m_call->preparing();
    if (m_preparing) {
        m_clock.start(); // line time starts once the document is ready
        return m_call->takeEvents();
    }
    QList<t30::Event> events = m_call->takeEvents();
    // One tick; false once a page has come, so the receiver takes it before the call goes on.
    auto step = [&] {
        m_call->tick();
        const QList<t30::Event> more = m_call->takeEvents();
        events += more;
        return std::none_of(more.begin(), more.end(), [](const t30::Event &e) {
            return e.type == t30::Event::Type::PageReceived;
        });
    };
    if (pace <= 0) {
        QElapsedTimer slice;
        slice.start();
        bool more = true;
        while (more && !m_call->finished() && slice.nsecsElapsed() < kUnpacedSliceNs)
            more = step();
    } else {
        const qint64 due = qint64(double(m_clock.nsecsElapsed()) * pace / double(kTickNs));
        const qint64 done = m_call->elapsedMs() / t30::TickMs;
        for (qint64 n = std::min(due - done, kMaxCatchUpTicks); n > 0 && !m_call->finished(); --n) {
            if (!step())
                break;
        }
    }
    if (m_call->finished())
        m_state = State::Finished;
    return events;
}

qint64 FaxSession::nextSliceNs(double pace) const
{
    if (m_preparing)
        return kPreparingPollNs;
    if (pace <= 0 || !m_call)
        return 0;
    const qint64 nextTick = m_call->elapsedMs() / t30::TickMs + 1;
    const qint64 dueAt = qint64(double(nextTick) * double(kTickNs) / pace);
    return std::max<qint64>(0, dueAt - m_clock.nsecsElapsed());
}

void FaxSession::abort()
{
    if (m_state == State::Running) {
        m_call->abort(t30::Side::Caller);
        m_call->abort(t30::Side::Answerer);
    }
    if (m_call)
        m_state = State::Finished;
}

const t30::SideOutcome &FaxSession::transmitter() const
{
    return m_call ? m_call->outcome(t30::Side::Caller) : m_none;
}

const t30::SideOutcome &FaxSession::receiver() const
{
    return m_call ? m_call->outcome(t30::Side::Answerer) : m_none;
}

} // namespace simline
