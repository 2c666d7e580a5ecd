#pragma once

// The component's settings file: which line the component works on and how. INI, read at
// each StartCapi:
//
//   [line]       type=simulated|capi20, controller=1, driver=|rcapi|fritzbox, host=, port=
//   [answer]     numbers=   the numbers (MSNs) the receiving endpoint answers on; empty: all
//   [simulated]  speed=1    numbers=<number-plan file>   record=<folder for call recordings>
//
// A missing file means the defaults: the simulated line at the B channel's pace.

#include <QString>
#include <QStringList>

#include <optional>

namespace quillon::component {

struct LineSettings
{
    enum class Type { Simulated, Capi20 };

    Type type = Type::Simulated;
    quint32 controller = 1;
    QString driver; // capi20: empty uses libcapi20's own configuration
    QString host;
    int port = 0; // 0: the driver's default
    QStringList answerNumbers; // empty: every number
    // simulated: 1 real time, 0 as fast as possible, else a factor; not given: the line keeps
    // its pace (the B channel's, unless a test or benchmark changed it)
    std::optional<double> speed;
    QString numberPlan;        // simulated: a number-plan file; empty: the built-in numbers
    QString recordFolder;      // simulated: where call recordings go; empty: none

    bool operator==(const LineSettings &) const = default;
    // Whether the receiving endpoint answers a call to `calledNumber`.
    bool answers(const QString &calledNumber) const;
};

// $XDG_CONFIG_HOME/quillon/quillon.conf (by default ~/.config/quillon/quillon.conf).
QString lineSettingsPath();

// The settings in `path`, the defaults when there is no such file. A file that cannot be read
// or a key or value that is not understood gives std::nullopt and, in `error`, a line that
// names the file, the key and the value.
std::optional<LineSettings> readLineSettings(const QString &path, QString *error);

} // namespace quillon::component
