#include "exchange/calllog.h"
#include "capi/trace.h"
#include "t30report/framereport.h"

namespace exchange {

namespace {

QString hex(quint32 v, int digits)
{
    return QStringLiteral("0x%1").arg(v, digits, 16, QLatin1Char('0'));
}

QString cipText(quint16 cip)
{
    switch (cip) {
    case capi::cip::Speech: return QStringLiteral("speech");
    case capi::cip::Audio3k1: return QStringLiteral("3.1 kHz audio");
    case capi::cip::Telephony: return QStringLiteral("telephony");
    case capi::cip::FaxG3: return QStringLiteral("fax G3");
    case capi::cip::FaxG4: return QStringLiteral("fax G4");
    default: return QStringLiteral("CIP %1").arg(cip);
    }
}

} // namespace

QString CallLog::note(const capi::Message &m, bool toLine, const QString &client)
{
    using C = capi::Command;
    using S = capi::Subcommand;
    if (toLine) {
        if (m.command == C::Connect && m.subcommand == S::Req)
            return QStringLiteral("call: %1 calls %2 from %3, %4")
                .arg(client, m.calledParty.digits.isEmpty() ? QStringLiteral("(no number)") : m.calledParty.digits,
                     m.callingParty.digits.isEmpty() ? QStringLiteral("(no number)") : m.callingParty.digits,
                     cipText(m.cip));
        if (m.command == C::Connect && m.subcommand == S::Resp)
            return QStringLiteral("answer: %1 plci %2 %3")
                .arg(client, hex(m.address, 4),
                     m.reject == capi::reject::Accept ? QStringLiteral("accepts")
                                                      : QStringLiteral("rejects: %1").arg(capi::describeReject(m.reject)));
        return {};
    }
    switch (m.command) {
    case C::Connect:
        if (m.subcommand == S::Conf && m.info != capi::info::Ok)
            return QStringLiteral("call refused: %1, %2").arg(client, capi::describeInfo(m.info));
        if (m.subcommand == S::Ind)
            return QStringLiteral("offered: %1 plci %2 number %3 from %4, %5")
                .arg(client, hex(m.address, 4), m.calledParty.digits, m.callingParty.digits, cipText(m.cip));
        return {};
    case C::ConnectActive:
        return m.subcommand == S::Ind ? QStringLiteral("connected: %1 plci %2").arg(client, hex(m.address, 4)) : QString();
    case C::ConnectB3Active:
        return m.subcommand == S::Ind ? QStringLiteral("B3 up: %1 ncci %2").arg(client, hex(m.address, 8)) : QString();
    case C::DataB3: {
        if (m.subcommand != S::Ind)
            return {};
        simline::PageCount &pages = m_pages[{m.appId, m.address}];
        const int before = pages.pagesStarted();
        pages.feed(m.data);
        if (pages.pagesStarted() > before)
            return QStringLiteral("page %1: %2 ncci %3 receiving").arg(pages.pagesStarted()).arg(client, hex(m.address, 8));
        return {};
    }
    case C::DisconnectB3: {
        if (m.subcommand != S::Ind)
            return {};
        m_pages.erase({m.appId, m.address});
        QString pages;
        if (auto ncpi = capi::FaxNcpi::fromBytes(m.ncpi))
            pages = QStringLiteral(", %1 page(s) at %2 bit/s").arg(ncpi->pages).arg(ncpi->rate);
        return QStringLiteral("B3 cleared: %1 ncci %2 reason B3 %3%4")
            .arg(client, hex(m.address, 8), capi::describeReason(m.reason), pages);
    }
    case C::Manufacturer: {
        // The T.30 handshake, as the client's application writes it in its debug list.
        if (m.subcommand != S::Ind || m.manufacturerId != t30::ManufacturerId)
            return {};
        const std::optional<t30::FrameReport> report = t30::decodeReport(m.manufacturerData);
        return report ? QStringLiteral("%1: %2").arg(client, report->debugLine()) : QString();
    }
    case C::Disconnect:
        return m.subcommand == S::Ind ? QStringLiteral("cleared: %1 plci %2 reason %3")
                                            .arg(client, hex(m.address, 4), capi::describeReason(m.reason))
                                      : QString();
    default: return {};
    }
}

void CallLog::forget(quint16 appId)
{
    for (auto it = m_pages.begin(); it != m_pages.end();) {
        if (it->first.first == appId)
            it = m_pages.erase(it);
        else
            ++it;
    }
}

} // namespace exchange
