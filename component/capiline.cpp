#include "component/capiline.h"

#include "simline/simulatedline.h"

namespace quillon::component {

namespace {
constexpr quint32 kBChannelRate = 64000;
}

capi::Transport &capiLine()
{
    static simline::SimulatedLine &line = [] () -> simline::SimulatedLine & {
        simline::SimulatedLine &simulated = simline::SimulatedLine::instance();
        simulated.setRate(kBChannelRate);
        return simulated;
    }();
    return line;
}

quint32 capiController()
{
    return simline::SimulatedLine::ControllerNumber;
}

} // namespace quillon::component
