#pragma once

#include "component/eventqueue.h"

namespace quillon::component {

// How an endpoint and its call tell the host what happens: progress and debug texts, which
// fall silent while the endpoint is being stopped quietly, and the call's other events.
class Reporter
{
public:
    explicit Reporter(EventQueue &events) : m_events(events) {}

    void setQuiet(bool quiet) { m_quiet = quiet; }

    void progress(const QString &text)
    {
        if (!m_quiet)
            m_events.post(EventSlot::CallProgress, {text});
    }
    void debug(const QString &text)
    {
        if (!m_quiet)
            m_events.debug(text);
    }
    void post(EventSlot slot, QVariantList params = {}, EventQueue::FollowUp followUp = {})
    {
        m_events.post(slot, std::move(params), std::move(followUp));
    }

private:
    EventQueue &m_events;
    bool m_quiet = false;
};

} // namespace quillon::component
