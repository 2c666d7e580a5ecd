#include "simline/timeline.h"

namespace simline {

bool Timeline::add(qint64 dueNs, Task task)
{
    const bool earliest = m_queue.empty() || dueNs < m_queue.top().dueNs;
    m_queue.push(Entry{dueNs, m_nextOrder++, std::move(task)});
    return earliest;
}

std::vector<Timeline::Task> Timeline::takeDue(qint64 nowNs)
{
    std::vector<Task> due;
    while (!m_queue.empty() && m_queue.top().dueNs <= nowNs) {
        // top() is const: the task is moved out of the entry that pop() discards anyway.
        due.push_back(std::move(const_cast<Entry &>(m_queue.top()).task));
        m_queue.pop();
    }
    return due;
}

std::optional<qint64> Timeline::nextDueNs() const
{
    if (m_queue.empty())
        return std::nullopt;
    return m_queue.top().dueNs;
}

} // namespace simline
