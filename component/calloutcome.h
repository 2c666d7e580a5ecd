#pragma once

#include <QtGlobal>

#include <optional>

namespace quillon::component {

// What is known of a call when it is over: the facts its outcome is judged on.
struct FinishedCall
{
    bool outgoing = false;
    bool g4 = false;
    bool abortedHere = false; // this side ended the call before its fax connection ended
    bool dataFault = false;   // a block was refused, or could not be read or written
    std::optional<quint16> reasonB3; // how the fax connection ended, when it did
    int reportedPages = -1;   // pages the remote counted at the end of a G3 fax connection
    quint16 reason = 0;       // the clearing of the call
    // Sending: every byte of the document confirmed by the line, and its pages.
    bool allConfirmed = false;
    int pageCount = 0;
    // Receiving: the data ended with the document's end record and read without a fault.
    bool documentComplete = false;
};

// The value of FaxSent: the whole document went out and was confirmed, the fax connection and
// the call ended normally, nobody here cut it short, and a G3 remote counted every page.
bool faxSent(const FinishedCall &call);
// Whether the receiver raises FaxReceived: the document came whole and nothing cut it short.
bool faxReceived(const FinishedCall &call);
// Every byte went out, but the remote counted a different number of pages.
bool pagesDisputed(const FinishedCall &call);

} // namespace quillon::component
