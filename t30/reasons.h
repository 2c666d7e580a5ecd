#pragma once

#include <QString>
#include <QtGlobal>

#include <span>

// The T.30 outcome of a call as the CAPI reason B3 a fax connection ends with.
namespace t30 {

inline constexpr quint16 ReasonNormal = 0;
inline constexpr quint16 ReasonNotFax = 0x3311;          // remote station is no G3 fax
inline constexpr quint16 ReasonTrainingError = 0x3312;   // training failed
inline constexpr quint16 ReasonUnsupported = 0x3313;     // remote does not support the mode
inline constexpr quint16 ReasonRemoteAbort = 0x3314;     // disconnected by the remote
inline constexpr quint16 ReasonProcedureError = 0x3315;  // T.30 procedure error
inline constexpr quint16 ReasonTxUnderflow = 0x3316;     // local transmit data underflow
inline constexpr quint16 ReasonRxOverflow = 0x3317;      // local receive data overflow
inline constexpr quint16 ReasonLocalAbort = 0x3318;      // local abort

// Completion codes of our own, beside SpanDSP's T30_ERR_* (which are 0 and up).
inline constexpr int ErrorLocalAbort = -1;   // the owner ended the call
inline constexpr int ErrorDocument = -2;     // the document could not be converted

struct ReasonRow
{
    int t30Error;        // T30_ERR_*
    quint16 sending;     // reason for the transmitting side
    quint16 receiving;   // reason for the receiving side
    const char *meaning; // what the T.30 code says
};

// The whole mapping, one row per T30_ERR_* code.
std::span<const ReasonRow> reasonTable();

// The reason for a side's T.30 completion code; codes not in the table are procedure errors.
quint16 reasonFor(int t30Error, bool sending);

// SpanDSP's text for a completion code.
QString t30ErrorText(int t30Error);

} // namespace t30
