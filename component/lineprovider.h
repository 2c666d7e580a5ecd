#pragma once

#include <QString>

#include <memory>
#include <optional>

namespace capi {
class Transport;
}

namespace quillon::component {

// A CAPI line as an endpoint holds it while it is started: the transport and the controller
// its calls go out on. Every holder shares the one transport, so two endpoints on it can call
// each other.
struct LineLease
{
    std::shared_ptr<capi::Transport> transport;
    quint32 controller = 0;
};

// Where an endpoint gets its line from when CAPI is started.
class LineProvider
{
public:
    virtual ~LineProvider();

    // The line, or std::nullopt with the reason in *why when no line can be had.
    virtual std::optional<LineLease> acquire(QString *why) = 0;
};

// Hands out one given line: for a host (or a test) that owns its line itself.
class FixedLine final : public LineProvider
{
public:
    FixedLine(std::shared_ptr<capi::Transport> transport, quint32 controller);

    std::optional<LineLease> acquire(QString *why) override;

private:
    LineLease m_lease;
};

// The line of the component in this process, chosen here and nowhere else: the simulated
// ISDN line, paced at the B-channel rate of 64 kbit/s so an operator can follow a fax as it
// goes. It is created when the first endpoint asks, in that endpoint's thread (its timers run
// in that thread's event loop), and kept for every later one.
class ProcessLines final : public LineProvider
{
public:
    ProcessLines();
    ~ProcessLines() override;

    std::optional<LineLease> acquire(QString *why) override;

private:
    std::optional<LineLease> m_line;
};

} // namespace quillon::component
