#pragma once

// Readable trace lines of CAPI messages and words for info and reason values.

#include "capi/message.h"

#include <QString>

namespace capi {

// One line for one message: direction ("->" application to controller, "<-" controller to
// application), name, application id, message number and the parameters that matter, with
// info and reason values as words and numbers. Example:
//   <- DISCONNECT_IND app 2 #7 plci 0x0201 reason user busy (0x3491)
QString traceLine(const Message &m);

// Words for an info value (CONF messages, register, put): "ok", "illegal PLCI/NCCI", ...
QString infoText(quint16 info);
// Words for a DISCONNECT_IND reason or a DISCONNECT_B3_IND reason B3: "normal clearing",
// "user busy", "remote is not a G3 fax", ... Q.931 causes without a name read "cause 42".
QString reasonText(quint16 reason);
// The words with the number: "user busy (0x3491)".
QString describeInfo(quint16 info);
QString describeReason(quint16 reason);
// A CONNECT_RESP's reject value in words with its number: "ignore (1)",
// "reject, call rejected (0x3495)".
QString describeReject(quint16 reject);

} // namespace capi
