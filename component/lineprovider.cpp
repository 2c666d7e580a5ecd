#include "component/lineprovider.h"

#include "capi/simulatedline.h"

namespace quillon::component {

namespace {
constexpr quint32 kBChannelRate = 64000;
}

LineProvider::~LineProvider() = default;

FixedLine::FixedLine(std::shared_ptr<capi::Transport> transport, quint32 controller)
    : m_lease{std::move(transport), controller}
{
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

std::optional<LineLease> ProcessLines::acquire(QString *)
{
    if (!m_line) {
        auto simulated = std::make_shared<capi::SimulatedLine>();
        simulated->setRate(kBChannelRate);
        m_line = LineLease{std::move(simulated), capi::SimulatedLine::ControllerNumber};
    }
    return m_line;
}

} // namespace quillon::component
