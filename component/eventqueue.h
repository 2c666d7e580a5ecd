#pragma once

#include "endpoint/quillonboundary.h"

#include <QObject>

#include <deque>
#include <functional>

namespace quillon::component {

// Raises an instance's events from the event loop, in the order they were posted, one at a
// time, never from inside the call that posted them. An event may carry a follow-up that runs
// right after the sink has handled it (the answer to IncomingFax is read there).
class EventQueue : public QObject
{
    Q_OBJECT

public:
    using FollowUp = std::function<void()>;

    explicit EventQueue(QObject *parent = nullptr);

    // While a Hold lives, no queue of the process raises events; they wait and are raised in
    // order once the last Hold is gone. A member call that waits with the event loop running
    // (StartCapi on a real line) holds them, so no event is raised inside the call.
    class Hold
    {
    public:
        Hold();
        ~Hold();
        Hold(const Hold &) = delete;
        Hold &operator=(const Hold &) = delete;
    };

    void setSink(EventSink sink);
    void post(EventSlot slot, QVariantList params = {}, FollowUp followUp = {});
    void debug(const QString &text) { post(EventSlot::Debug, {text}); }
    // Forgets events not raised yet (the instance is going away).
    void clear();
    bool idle() const { return m_pending.empty() && !m_raising; }

private:
    struct Pending
    {
        EventSlot slot;
        QVariantList params;
        FollowUp followUp;
    };

    void schedule();
    void drain();

    EventSink m_sink;
    std::deque<Pending> m_pending;
    bool m_scheduled = false;
    bool m_raising = false;
};

} // namespace quillon::component
