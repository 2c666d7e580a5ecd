#include "component/lineprovider.h"

#include "simline/numberplan.h"
#include "simline/simulatedline.h"
#include "capi20/capi20transport.h"

#include <QDir>

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
    // The far end of each called number: the built-in test numbers, a plan file's rules on
    // top. The line-wide fault that a host may have set stays the fallback.
    std::optional<simline::FaultPlan> plan = simline::builtInNumberPlan();
    if (!settings->numberPlan.isEmpty()) {
        QString error;
        plan = simline::loadNumberPlan(settings->numberPlan, &error);
        if (!plan) {
            // The plan's error names its file first; the settings file and key go before it.
            const QString file = settings->numberPlan + QStringLiteral(": ");
            if (error.startsWith(file))
                error = error.mid(file.size());
            *why = QStringLiteral("%1: [simulated] numbers=%2: %3")
                       .arg(QDir::toNativeSeparators(lineSettingsPath()), settings->numberPlan, error);
            return std::nullopt;
        }
    }
    simline::SimulatedLine &line = simulatedLine();
    plan->setFallback(line.faultPlan().fallback());
    line.setFaultPlan(*plan);
    // The pace as the exchange sets it: the B channel's rate, scaled; 0 is unpaced.
    const double speed = settings->speed.value_or(line.speed());
    if (settings->speed)
        line.setSpeed(speed);
    line.setRecordFolder(settings->recordFolder);
    lease.transport = simulated();
    lease.controller = simline::SimulatedLine::ControllerNumber;
    lease.name = speed == 1.0 ? QStringLiteral("simulated line")
                 : speed == 0 ? QStringLiteral("simulated line, unpaced")
                              : QStringLiteral("simulated line at %1 times the B channel's pace")
                                    .arg(speed);
    if (!settings->numberPlan.isEmpty())
        lease.notes << QStringLiteral("number plan %1 on top of the built-in test numbers: %2")
                           .arg(settings->numberPlan,
                                simline::describePlan(*plan).join(QStringLiteral(", ")));
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
