#include "component/capiline.h"

#include "capi/simulatedline.h"
#include "capi20/capi20transport.h"

#include <algorithm>
#include <map>

namespace quillon::component {

namespace {

constexpr quint32 kBChannelRate = 64000;

std::shared_ptr<capi::Transport> capi20Line(const LineSettings &settings)
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
    static std::map<QString, std::weak_ptr<capi20::Capi20Transport>> lines;
    if (std::shared_ptr<capi20::Capi20Transport> line = lines[key].lock())
        return line;
    auto line = std::make_shared<capi20::Capi20Transport>(config);
    lines[key] = line;
    return line;
}

} // namespace

capi::Transport &simulatedLine()
{
    static capi::SimulatedLine &line = [] () -> capi::SimulatedLine & {
        capi::SimulatedLine &simulated = capi::SimulatedLine::instance();
        simulated.setRate(kBChannelRate);
        return simulated;
    }();
    return line;
}

std::optional<LineLease> acquireLine(QString *why)
{
    const std::optional<LineSettings> settings = readLineSettings(lineSettingsPath(), why);
    if (!settings)
        return std::nullopt;
    LineLease lease;
    lease.settings = *settings;
    if (settings->type == LineSettings::Type::Capi20) {
        auto line = capi20Line(*settings);
        lease.name = static_cast<capi20::Capi20Transport &>(*line).lineName();
        lease.controller = settings->controller;
        lease.transport = std::move(line);
        return lease;
    }
    auto &simulated = static_cast<capi::SimulatedLine &>(simulatedLine());
    // The process's line is never deleted: hand it out without an owner.
    lease.transport = std::shared_ptr<capi::Transport>(std::shared_ptr<void>(), &simulated);
    lease.controller = capi::SimulatedLine::ControllerNumber;
    const double speed = settings->speed.value_or(1.0);
    if (settings->speed)
        simulated.setRate(quint32(std::min(kBChannelRate * speed, 1e9)));
    lease.name = speed == 1.0 ? QStringLiteral("simulated line")
                 : speed == 0 ? QStringLiteral("simulated line, unpaced")
                              : QStringLiteral("simulated line at %1 times the B channel's pace")
                                    .arg(speed);
    if (!settings->numberPlan.isEmpty())
        lease.notes << QStringLiteral("number plan %1: this line uses its built-in test numbers")
                           .arg(settings->numberPlan);
    return lease;
}

} // namespace quillon::component
