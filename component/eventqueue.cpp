#include "component/eventqueue.h"

#include <QPointer>

#include <vector>

namespace quillon::component {

namespace {
int g_holds = 0;
std::vector<QPointer<EventQueue>> g_held; // queues that had events to raise during a hold
} // namespace

EventQueue::Hold::Hold()
{
    ++g_holds;
}

EventQueue::Hold::~Hold()
{
    if (--g_holds > 0)
        return;
    const std::vector<QPointer<EventQueue>> held = std::move(g_held);
    g_held.clear();
    for (const QPointer<EventQueue> &queue : held)
        if (queue)
            queue->schedule();
}

EventQueue::EventQueue(QObject *parent) : QObject(parent) {}

void EventQueue::setSink(EventSink sink)
{
    m_sink = std::move(sink);
}

void EventQueue::post(EventSlot slot, QVariantList params, FollowUp followUp)
{
    m_pending.push_back({slot, std::move(params), std::move(followUp)});
    schedule();
}

void EventQueue::clear()
{
    m_pending.clear();
}

void EventQueue::schedule()
{
    if (m_scheduled || m_raising)
        return;
    m_scheduled = true;
    QMetaObject::invokeMethod(this, &EventQueue::drain, Qt::QueuedConnection);
}

void EventQueue::drain()
{
    m_scheduled = false;
    // A handler that runs a nested event loop (a message box) does not see the next event
    // before it returns.
    if (m_raising)
        return;
    if (g_holds > 0) {
        g_held.emplace_back(this);
        return;
    }
    // Everything waiting now is raised in this turn of the event loop, so the queue never
    // grows longer than what one turn produces; events posted meanwhile wait for the next.
    QPointer<EventQueue> alive(this);
    for (std::size_t n = m_pending.size(); n > 0 && !m_pending.empty(); --n) {
        Pending next = std::move(m_pending.front());
        m_pending.pop_front();
        m_raising = true;
        if (m_sink) {
            // The sink may replace itself while it runs; call a copy.
            const EventSink sink = m_sink;
            sink(static_cast<int>(next.slot), next.params);
        }
        if (alive && next.followUp)
            next.followUp();
        if (!alive)
            return;
        m_raising = false;
    }
    if (!m_pending.empty())
        schedule();
}

} // namespace quillon::component
