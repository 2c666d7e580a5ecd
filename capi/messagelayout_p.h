#pragma once

// The table of parameter orders, shared by the encoder, the decoder and the trace.

#include "capi/message.h"

#include <array>

namespace capi {

enum class Param : quint8 {
    Controller,
    Plci,
    Ncci,
    Address, // controller, PLCI or NCCI
    Info,
    Cip,
    Reject,
    Reason,
    ReasonB3,
    InfoMask,
    CipMask,
    CipMask2,
    CalledParty,
    CallingParty,
    CalledSubaddress,
    CallingSubaddress,
    ConnectedNumber,
    ConnectedSubaddress,
    BProtocol,
    Bc,
    Llc,
    Hlc,
    AdditionalInfo,
    Ncpi,
    InfoNumber,
    InfoElement,
    FacilitySelector,
    FacilityParameter,
    DataPointer,
    DataLength,
    DataHandle,
    Flags,
    Data64, // optional 64-bit data pointer, last parameter of DATA_B3_REQ/IND
};

struct Layout
{
    Command command;
    Subcommand subcommand;
    quint8 count;
    std::array<Param, 12> params;
};

// The layout of (c, s), nullptr for a message not in the table.
QUILLON_CAPI_EXPORT const Layout *findLayout(Command c, Subcommand s);

} // namespace capi
