#pragma once

#include <QtGlobal>

namespace capi {
class Transport;
}

namespace quillon::component {

// The CAPI line every instance of the component works on, and its controller. This is the one
// place that chooses it: the process's simulated ISDN line, paced at the B-channel rate of
// 64 kbit/s when the component first uses it, so an operator can follow a fax as it goes.
capi::Transport &capiLine();
quint32 capiController();

} // namespace quillon::component
