#pragma once

#include "component/linesettings.h"

#include <QString>
#include <QStringList>

#include <map>
#include <memory>
#include <optional>

namespace capi {
class Transport;
}
namespace simline {
class SimulatedLine;
}

namespace quillon::component {

// A CAPI line as an endpoint holds it while it is started: the transport and the controller
// its calls go out on. Every holder shares the one transport, so two endpoints on it can call
// each other.
struct LineLease
{
    std::shared_ptr<capi::Transport> transport;
    quint32 controller = 1;
    QString name;      // the line in words, e.g. "remote CAPI 127.0.0.1:2662"
    QStringList notes; // what the operator should know about the choice
    LineSettings settings;
};

// Where an endpoint gets its line from when CAPI is started.
class LineProvider
{
public:
    virtual ~LineProvider();

    // The line, or std::nullopt with the reason in *why when no line can be had.
    virtual std::optional<LineLease> acquire(QString *why) = 0;
    // The line whose properties an endpoint reports before it ever started.
    virtual LineLease idleLine() = 0;
};

// Hands out one given line: for a host (or a test) that owns its line itself.
class FixedLine final : public LineProvider
{
public:
    FixedLine(std::shared_ptr<capi::Transport> transport, quint32 controller);

    std::optional<LineLease> acquire(QString *why) override;
    LineLease idleLine() override { return m_lease; }

private:
    LineLease m_lease;
};

// The lines of the component in this process, chosen here and nowhere else, from the
// settings file read anew at each acquire: the simulated ISDN line (one per process, shared
// by every endpoint, paced at the B channel's 64 kbit/s times the speed factor, created when
// first needed in that thread, whose event loop runs its timers), or a libcapi20 line for the
// driver, host and port given (shared by the endpoints that name the same one, alive while
// one holds it).
class ProcessLines final : public LineProvider
{
public:
    ProcessLines();
    ~ProcessLines() override;

    std::optional<LineLease> acquire(QString *why) override;
    LineLease idleLine() override;
    // The simulated line, created on first use. Each acquire of it sets its far ends per
    // number from the settings (the built-in test numbers, a plan file on top); its owner may
    // set the line-wide fault, which answers for every other number.
    simline::SimulatedLine &simulatedLine();

private:
    std::shared_ptr<capi::Transport> simulated();
    std::shared_ptr<capi::Transport> capi20Line(const LineSettings &settings);

    std::shared_ptr<simline::SimulatedLine> m_simulated;
    std::map<QString, std::weak_ptr<capi::Transport>> m_capi20Lines;
};

} // namespace quillon::component
