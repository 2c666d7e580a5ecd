#include "component/calloutcome.h"

#include "capi/message.h"

namespace quillon::component {

namespace {

bool pagesReported(const FinishedCall &call)
{
    return call.g4 || call.reportedPages == call.pageCount;
}

} // namespace

bool faxSent(const FinishedCall &call)
{
    return call.outgoing && !call.abortedHere && !call.dataFault && call.allConfirmed
           && call.reasonB3 == capi::reason::Normal && capi::reason::isNormalClearing(call.reason)
           && pagesReported(call);
}

bool faxReceived(const FinishedCall &call)
{
    // A call cleared without a DISCONNECT_B3_IND leaves a complete document received.
    return !call.outgoing && call.documentComplete && !call.abortedHere && !call.dataFault
           && call.reasonB3.value_or(capi::reason::Normal) == capi::reason::Normal;
}

bool pagesDisputed(const FinishedCall &call)
{
    return call.outgoing && call.allConfirmed && call.reasonB3 && !pagesReported(call);
}

} // namespace quillon::component
