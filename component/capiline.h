#pragma once

#include "component/linesettings.h"

#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

namespace capi {
class Transport;
}

namespace quillon::component {

// The line an endpoint works on from one StartCapi to the next.
struct LineLease
{
    std::shared_ptr<capi::Transport> transport;
    quint32 controller = 1;
    QString name;      // the line in words, e.g. "remote CAPI 127.0.0.1:2662"
    QStringList notes; // what the operator should know about the choice
    LineSettings settings;
};

// The one place that chooses the line, from the settings file, read anew each time: the
// process's simulated ISDN line (shared by every instance, paced at the B channel's
// 64 kbit/s times the speed factor), or a libcapi20 line for the driver, host and port given
// (shared by the instances that name the same one). std::nullopt with the reason when the
// settings cannot be used.
std::optional<LineLease> acquireLine(QString *why);

// The simulated line, for the properties an endpoint reports before it ever started.
capi::Transport &simulatedLine();

} // namespace quillon::component
