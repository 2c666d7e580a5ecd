#include "t30/reasons.h"

#include <spandsp.h>

#include <array>

namespace t30 {

namespace {

constexpr quint16 NF = ReasonNotFax, TR = ReasonTrainingError, US = ReasonUnsupported,
                  RA = ReasonRemoteAbort, PE = ReasonProcedureError, TU = ReasonTxUnderflow,
                  RO = ReasonRxOverflow, LA = ReasonLocalAbort;

constexpr std::array<ReasonRow, 64> Table{{
    {T30_ERR_OK, ReasonNormal, ReasonNormal, "OK"},
    // Link problems
    {T30_ERR_CEDTONE, NF, NF, "CED tone longer than 5 s"},
    {T30_ERR_T0_EXPIRED, NF, NF, "no initial communication"},
    {T30_ERR_T1_EXPIRED, NF, NF, "no first message"},
    {T30_ERR_T3_EXPIRED, PE, PE, "no procedural interrupt"},
    {T30_ERR_HDLC_CARRIER, PE, PE, "HDLC carrier did not stop"},
    {T30_ERR_CANNOT_TRAIN, TR, TR, "cannot train with any modem"},
    {T30_ERR_OPER_INT_FAIL, LA, LA, "operator intervention failed"},
    {T30_ERR_INCOMPATIBLE, US, US, "far end not compatible"},
    {T30_ERR_RX_INCAPABLE, US, US, "far end cannot receive"},
    {T30_ERR_TX_INCAPABLE, US, US, "far end cannot transmit"},
    {T30_ERR_NORESSUPPORT, US, US, "far end cannot take the resolution"},
    {T30_ERR_NOSIZESUPPORT, US, US, "far end cannot take the image size"},
    {T30_ERR_UNEXPECTED, PE, PE, "unexpected message"},
    // Transmitter
    {T30_ERR_TX_BADDCS, TR, TR, "bad response to DCS or training"},
    {T30_ERR_TX_BADPG, RA, RA, "DCN after a page"},
    {T30_ERR_TX_ECMPHD, PE, PE, "invalid ECM response"},
    {T30_ERR_TX_GOTDCN, RA, RA, "DCN while waiting for DIS"},
    {T30_ERR_TX_INVALRSP, PE, PE, "invalid response after a page"},
    {T30_ERR_TX_NODIS, NF, NF, "no DIS"},
    {T30_ERR_TX_PHBDEAD, TR, TR, "no response to DCS or training"},
    {T30_ERR_TX_PHDDEAD, PE, PE, "no response after a page"},
    {T30_ERR_TX_T5EXP, PE, PE, "receiver not ready (T5)"},
    // Receiver
    {T30_ERR_RX_ECMPHD, PE, PE, "invalid ECM response"},
    {T30_ERR_RX_GOTDCS, PE, PE, "DCS while waiting for DTC"},
    {T30_ERR_RX_INVALCMD, PE, PE, "unexpected command after a page"},
    {T30_ERR_RX_NOCARRIER, PE, PE, "carrier lost"},
    {T30_ERR_RX_NOEOL, PE, PE, "no EOL"},
    {T30_ERR_RX_NOFAX, PE, PE, "no first line"},
    {T30_ERR_RX_T2EXPDCN, PE, PE, "T2 expired waiting for DCN"},
    {T30_ERR_RX_T2EXPD, PE, PE, "T2 expired waiting for phase D"},
    {T30_ERR_RX_T2EXPFAX, PE, PE, "T2 expired waiting for a page"},
    {T30_ERR_RX_T2EXPMPS, PE, PE, "T2 expired waiting for the next page"},
    {T30_ERR_RX_T2EXPRR, PE, PE, "T2 expired waiting for RR"},
    {T30_ERR_RX_T2EXP, PE, PE, "T2 expired waiting for NSS, DCS or MCF"},
    {T30_ERR_RX_DCNWHY, RA, RA, "unexpected DCN waiting for DCS or DIS"},
    {T30_ERR_RX_DCNDATA, RA, RA, "unexpected DCN waiting for image data"},
    {T30_ERR_RX_DCNFAX, RA, RA, "unexpected DCN waiting for EOM, EOP or MPS"},
    {T30_ERR_RX_DCNPHD, RA, RA, "unexpected DCN after EOM or MPS"},
    {T30_ERR_RX_DCNRRD, RA, RA, "unexpected DCN after RR or RNR"},
    {T30_ERR_RX_DCNNORTN, RA, RA, "unexpected DCN after a retransmission request"},
    // Files: the sender runs short of data, the receiver cannot store it
    {T30_ERR_FILEERROR, TU, RO, "file cannot be opened"},
    {T30_ERR_NOPAGE, TU, RO, "page not found"},
    {T30_ERR_BADTIFF, TU, RO, "file format not compatible"},
    {T30_ERR_BADPAGE, TU, RO, "page number tag missing"},
    {T30_ERR_BADTAG, TU, RO, "incorrect tag values"},
    {T30_ERR_BADTIFFHDR, TU, RO, "bad file header"},
    {T30_ERR_NOMEM, TU, RO, "out of memory"},
    // General
    {T30_ERR_RETRYDCN, PE, PE, "disconnected after permitted retries"},
    {T30_ERR_CALLDROPPED, RA, RA, "call dropped"},
    // Negotiation
    {T30_ERR_NOPOLL, US, US, "poll not accepted"},
    {T30_ERR_IDENT_UNACCEPTABLE, US, US, "ident not acceptable"},
    {T30_ERR_SUB_UNACCEPTABLE, US, US, "sub-address not acceptable"},
    {T30_ERR_SEP_UNACCEPTABLE, US, US, "selective polling address not acceptable"},
    {T30_ERR_PSA_UNACCEPTABLE, US, US, "polled sub-address not acceptable"},
    {T30_ERR_SID_UNACCEPTABLE, US, US, "sender identification not acceptable"},
    {T30_ERR_PWD_UNACCEPTABLE, US, US, "password not acceptable"},
    {T30_ERR_TSA_UNACCEPTABLE, US, US, "TSA not acceptable"},
    {T30_ERR_IRA_UNACCEPTABLE, US, US, "IRA not acceptable"},
    {T30_ERR_CIA_UNACCEPTABLE, US, US, "CIA not acceptable"},
    {T30_ERR_ISP_UNACCEPTABLE, US, US, "ISP not acceptable"},
    {T30_ERR_CSA_UNACCEPTABLE, US, US, "CSA not acceptable"},
    {ErrorLocalAbort, LA, LA, "aborted by the local side"},
    {ErrorDocument, TU, RO, "document could not be converted"},
}};

} // namespace

std::span<const ReasonRow> reasonTable()
{
    return Table;
}

quint16 reasonFor(int t30Error, bool sending)
{
    for (const ReasonRow &row : Table)
        if (row.t30Error == t30Error)
            return sending ? row.sending : row.receiving;
    return ReasonProcedureError;
}

QString t30ErrorText(int t30Error)
{
    if (t30Error < 0) {
        for (const ReasonRow &row : Table)
            if (row.t30Error == t30Error)
                return QString::fromLatin1(row.meaning);
    }
    return QString::fromLatin1(t30_completion_code_to_str(t30Error));
}

} // namespace t30
