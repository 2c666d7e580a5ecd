#pragma once

// Words for what crosses the exchange: one line per call, connection, page and clearing,
// read from the messages themselves, so the log cannot drift from what the clients saw.

#include "capi/message.h"
#include "simline/pagecount.h"

#include <QString>

#include <map>
#include <utility>

namespace exchange {

class CallLog
{
public:
    // A message from a client (`toLine`) or to one. `client` names the client in the line.
    // Returns the log line the message calls for, or an empty string.
    QString note(const capi::Message &m, bool toLine, const QString &client);
    // Forgets the page counts of an application that is gone.
    void forget(quint16 appId);

private:
    // Pages received per application and NCCI.
    std::map<std::pair<quint16, quint32>, simline::PageCount> m_pages;
};

} // namespace exchange
