#include "component/lineprovider.h"

#include "simline/numberplan.h"
#include "simline/simulatedline.h"
#include "capi20/capi20transport.h"

    line.setRecordFolder(settings->recordFolder);
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
