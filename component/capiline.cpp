#include "component/capiline.h"

#include "capi/simulatedline.h"

namespace quillon::component {

namespace {
constexpr quint32 kBChannelRate = 64000;
}

capi::Transport &capiLine()
{
    static capi::SimulatedLine &line = [] () -> capi::SimulatedLine & {
        capi::SimulatedLine &simulated = capi::SimulatedLine::instance();
        simulated.setRate(kBChannelRate);
        return simulated;
    }();
    return line;
}

quint32 capiController()
{
    return capi::SimulatedLine::ControllerNumber;
}

} // namespace quillon::component
