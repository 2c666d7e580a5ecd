#include "component/lineprovider.h"

#include "simline/simulatedline.h"
#include "capi20/capi20transport.h"

#include <algorithm>

namespace quillon::component {

namespace {
constexpr quint32 kBChannelRate = 64000;
}

LineProvider::~LineProvider() = default;

FixedLine::FixedLine(std::shared_ptr<capi::Transport> transport, quint32 controller)
{
    m_lease.transport = std::move(transport);
    m_lease.controller = controller;
    m_lease.name = QStringLiteral("simulated line");
}

std::optional<LineLease> FixedLine::acquire(QString *why)
{
    if (!m_lease.transport) {
        *why = QStringLiteral("no CAPI line is installed");
        return std::nullopt;
    }
    return m_lease;
}

ProcessLines::ProcessLines() = default;

ProcessLines::~ProcessLines() = default;

simline::SimulatedLine &ProcessLines::simulatedLine()
{
    if (!m_simulated) {
        // Created by the first endpoint that needs it, so its timers run in that thread.
        m_simulated = std::make_shared<simline::SimulatedLine>();
        m_simulated->setRate(kBChannelRate);
    }
    return *m_simulated;
}

std::shared_ptr<capi::Transport> ProcessLines::simulated()
{
    simulatedLine();
    return m_simulated;
}

std::shared_ptr<capi::Transport> ProcessLines::capi20Line(const LineSettings &settings)
{
    capi20::Config config;
    config.driver = settings.driver;
    config.host = settings.host;
    config.port = settings.port;
    config.controller = settings.controller;
    const QString key = QStringLiteral("%1|%2|%3|%4")
                            .arg(config.driver, config.host)
                            .arg(config.port)
                            .arg(config.controller);
    // Alive while an endpoint holds it; the last one to let go releases its registrations.
    if (std::shared_ptr<capi::Transport> line = m_capi20Lines[key].lock())
        return line;
    auto line = std::make_shared<capi20::Capi20Transport>(config);
    m_capi20Lines[key] = line;
    return line;
}

std::optional<LineLease> ProcessLines::acquire(QString *why)
{
    const std::optional<LineSettings> settings = readLineSettings(lineSettingsPath(), why);
    if (!settings)
        return std::nullopt;
    LineLease lease;
    lease.settings = *settings;
    if (settings->type == LineSettings::Type::Capi20) {
        lease.transport = capi20Line(*settings);
        lease.name = static_cast<capi20::Capi20Transport &>(*lease.transport).lineName();
        lease.controller = settings->controller;
        return lease;
    }
    lease.transport = simulated();
    lease.controller = simline::SimulatedLine::ControllerNumber;
    const double speed = settings->speed.value_or(1.0);
    if (settings->speed)
        static_cast<simline::SimulatedLine &>(*lease.transport)
            .setRate(quint32(std::min(kBChannelRate * speed, 1e9)));
    lease.name = speed == 1.0 ? QStringLiteral("simulated line")
                 : speed == 0 ? QStringLiteral("simulated line, unpaced")
                              : QStringLiteral("simulated line at %1 times the B channel's pace")
                                    .arg(speed);
    if (!settings->numberPlan.isEmpty())
        lease.notes << QStringLiteral("number plan %1: this line uses its built-in test numbers")
                           .arg(settings->numberPlan);
    return lease;
}

LineLease ProcessLines::idleLine()
{
    LineLease lease;
    lease.transport = simulated();
    lease.controller = simline::SimulatedLine::ControllerNumber;
    lease.name = QStringLiteral("simulated line");
    return lease;
}

} // namespace quillon::component
