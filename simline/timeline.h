#pragma once

// The line's later turns: tasks due at times on the line's clock, kept in due order. The
// owner runs one timer for the earliest and, when it fires, every task due by then in one
// batch, so a thousand paced calls cost one timer and one turn per tick, not one each.

#include <QtGlobal>

#include <functional>
#include <optional>
#include <queue>
#include <vector>

namespace simline {

class Timeline
{
public:
    using Task = std::function<void()>;

    // Adds a task due at `dueNs`; true when it is now the earliest.
    bool add(qint64 dueNs, Task task);
    // Takes the tasks due at or before `nowNs`, earliest first (in the order added when due
    // together). Tasks added while they run wait for the next batch.
    std::vector<Task> takeDue(qint64 nowNs);
    std::optional<qint64> nextDueNs() const;
    bool empty() const { return m_queue.empty(); }
    std::size_t size() const { return m_queue.size(); }

private:
    struct Entry
    {
        qint64 dueNs;
        quint64 order;
        Task task;
        bool operator>(const Entry &o) const { return dueNs != o.dueNs ? dueNs > o.dueNs : order > o.order; }
    };
    std::priority_queue<Entry, std::vector<Entry>, std::greater<>> m_queue;
    quint64 m_nextOrder = 0;
};

} // namespace simline
