#include "component/faxcall.h"

#include "component/calltexts.h"
#include "component/faxfiles.h"
#include "component/outbox.h"
#include "component/reporter.h"
#include "capi/message.h"
#include "capi/trace.h"
#include "t30report/framereport.h"

#include <algorithm>

namespace quillon::component {

namespace {

using Phase = FaxCall::Phase;
using C = capi::Command;
using S = capi::Subcommand;

constexpr int kStationIdLength = 20;
constexpr int kG4Rate = 64000;

constexpr quint32 bit(Phase p)
{
    return 1u << int(p);
}

template <typename... P>
constexpr quint32 in(P... phases)
{
    return (bit(phases) | ...);
}

// The phases in which the call has its PLCI and the line may clear it.
constexpr quint32 kPlaced = in(Phase::Alerting, Phase::Offered, Phase::Answering,
                               Phase::Connected, Phase::Transfer, Phase::ClosingFax,
                               Phase::AwaitingClear, Phase::Clearing);
// The phases after the fax connection came up for data.
constexpr quint32 kAfterB3Active =
    in(Phase::Transfer, Phase::ClosingFax, Phase::AwaitingClear, Phase::Clearing);

// T.30 frame control fields (X bit clear) that tell how far a page got.
namespace fcf {
constexpr quint8 Mps = 0x4E, Eop = 0x2E, Eom = 0x8E, PriMps = 0x5E, PriEop = 0x3E,
                 PriEom = 0x9E;
constexpr quint8 Pps = 0xBE, Eor = 0xCE; // the second field says which of the above follows
constexpr quint8 Mcf = 0x8C, Rtp = 0xCC, Err = 0x1C;
} // namespace fcf

bool isPostPage(quint8 f)
{
    return f == fcf::Mps || f == fcf::Eop || f == fcf::Eom || f == fcf::PriMps
           || f == fcf::PriEop || f == fcf::PriEom;
}

// A command the transmitter sends after a page's last image data; PPS-NULL only ends a
// partial page (an ECM block) within a page.
bool endsPage(const t30::FrameReport &r)
{
    if (r.fcf == fcf::Pps || r.fcf == fcf::Eor)
        return r.frame.size() > 3 && isPostPage(quint8(r.frame[3]) & 0xFE);
    return isPostPage(r.fcf);
}

// The far fax's answer that takes a page: MCF, RTP (retrain, page taken), ERR (to EOR).
bool takesPage(quint8 f)
{
    return f == fcf::Mcf || f == fcf::Rtp || f == fcf::Err;
}

capi::BProtocol g3Protocol(const QString &ownNumber, int resolution, const QString &headLine)
{
    capi::FaxB3Configuration config;
    config.resolution = quint16(resolution);
    config.format = 0;
    config.stationId = ownNumber.left(kStationIdLength);
    config.headLine = headLine;
    return capi::BProtocol::faxG3(config);
}

} // namespace

std::optional<DialNumber> dialNumber(const QString &typed, QString *reason)
{
    DialNumber n;
    for (qsizetype i = 0; i < typed.size(); ++i) {
        const QChar c = typed.at(i);
        if ((c >= u'0' && c <= u'9') || c == u'*' || c == u'#') {
            n.digits += c;
        } else if (c == u'+' && n.digits.isEmpty() && !n.international) {
            n.international = true;
        } else if (c != u' ' && c != u'-' && c != u'/' && c != u'(' && c != u')') {
            *reason = QStringLiteral("\"%1\" is no number: '%2' is not a digit, *, # or a "
                                     "separator (space - / parentheses)")
                          .arg(typed, c);
            return std::nullopt;
        }
    }
    return n;
}

// One row of the call's table: the message, the phases it is handled in and its handler.
// A message of the call that no row takes gets the answer any unclaimed message gets.
struct FaxCall::Entry
{
    C command;
    S subcommand;
    quint32 phases;
    Handler handler;
};

const FaxCall::Entry FaxCall::kTable[] = {
    {C::Connect, S::Conf, in(Phase::Dialing), &FaxCall::onConnectConf},
    {C::Info, S::Ind, kPlaced, &FaxCall::onInfo},
    {C::ConnectActive, S::Ind, in(Phase::Alerting, Phase::Answering), &FaxCall::onConnectActive},
    {C::ConnectB3, S::Conf, in(Phase::Connected), &FaxCall::onConnectB3Conf},
    {C::ConnectB3, S::Ind, in(Phase::Connected), &FaxCall::onConnectB3},
    {C::ConnectB3Active, S::Ind, in(Phase::Connected), &FaxCall::onB3Active},
    {C::DataB3, S::Conf, kAfterB3Active, &FaxCall::onDataConf},
    {C::DataB3, S::Ind, in(Phase::Transfer), &FaxCall::onData},
    {C::DisconnectB3, S::Ind, in(Phase::Connected, Phase::Transfer), &FaxCall::onB3EndedByRemote},
    {C::DisconnectB3, S::Ind, in(Phase::ClosingFax), &FaxCall::onB3Closed},
    {C::DisconnectB3, S::Ind, in(Phase::Clearing), &FaxCall::onB3EndedWhileClearing},
    {C::Disconnect, S::Ind, kPlaced, &FaxCall::onDisconnected},
};

FaxCall::FaxCall(Outbox &out, Reporter &report) : m_out(out), m_report(report)
{
    m_clock.start();
}

FaxCall::~FaxCall() = default;

std::unique_ptr<FaxCall> FaxCall::place(Outbox &out, Reporter &report,
                                        const SendRequest &request, const DialNumber &called,
                                        const DialNumber &own,
                                        std::unique_ptr<OutgoingDocument> document)
{
    std::unique_ptr<FaxCall> call(new FaxCall(out, report));
    call->m_outgoing = true;
    call->m_g4 = request.g4;
    call->m_resolution = document->firstPageFine() ? 1 : 0;
    call->m_ownNumber = request.ownNumber;
    call->m_remoteNumber = request.numberToCall;
    call->m_document = std::move(document);

    capi::Message m(C::Connect, S::Req, out.appId(), out.controller());
    m.cip = request.g4 ? capi::cip::FaxG4 : capi::cip::FaxG3;
    // Type of number and numbering plan: unknown, or international in the ISDN plan.
    m.calledParty.digits = called.digits;
    if (called.international)
        m.calledParty.type = 0x91;
    m.callingParty.digits = own.digits;
    if (own.international)
        m.callingParty.type = 0x11;
    if (request.g4) {
        m.bProtocol = capi::BProtocol::faxG4(capi::bproto::B3T90NL);
    } else {
        QStringList head;
        for (const QString &part : {request.header, request.sender})
            if (!part.isEmpty())
                head << part;
        m.bProtocol = g3Protocol(request.ownNumber, call->m_resolution,
                                 head.join(QStringLiteral("  ")));
    }
    if (!out.put(m))
        return nullptr;
    const OutgoingDocument &doc = *call->m_document;
    report.progress(calltext::dialing(request.numberToCall, m.cip,
                                      doc.checked() ? doc.pageCount() : -1));
    return call;
}

std::unique_ptr<FaxCall> FaxCall::offer(Outbox &out, Reporter &report,
                                        const capi::Message &connectIndication)
{
    std::unique_ptr<FaxCall> call(new FaxCall(out, report));
    call->m_phase = Phase::Offered;
    call->m_g4 = connectIndication.cip == capi::cip::FaxG4;
    call->m_plci = connectIndication.plci();
    call->m_offerNumber = connectIndication.number;
    call->m_ownNumber = connectIndication.calledParty.digits;
    call->m_remoteNumber = connectIndication.callingParty.digits;
    out.put(capi::Message(C::Alert, S::Req, out.appId(), call->m_plci));
    return call;
}

bool FaxCall::owns(const capi::Message &m) const
{
    if (m.command == C::Connect && m.subcommand == S::Conf)
        return m_phase == Phase::Dialing;
    return m_plci && m.plci() == m_plci;
}

void FaxCall::handle(const capi::Message &m)
{
    const auto entry = std::find_if(std::begin(kTable), std::end(kTable), [&](const Entry &e) {
        return e.command == m.command && e.subcommand == m.subcommand && (e.phases & bit(m_phase));
    });
    if (entry == std::end(kTable)) {
        m_out.unclaimed(m);
        return;
    }
    // An indication is answered before it is acted on; the fax connection's answer is the
    // decision its handler makes, and a data block is answered once it is safely written,
    // so a sender never has a block confirmed that the receiver lost.
    if (m.subcommand == S::Ind && m.command != C::ConnectB3 && m.command != C::DataB3)
        m_out.put(m.response());
    (this->*entry->handler)(m);
}

// ---- the call ------------------------------------------------------------------------------

void FaxCall::onConnectConf(const capi::Message &m)
{
    if (m.info != capi::info::Ok) {
        finish(calltext::callNotPlaced(m.info), capi::reason::Normal, false);
        return;
    }
    m_plci = m.plci();
    // A Disconnect given while dialing clears the call as soon as it has its PLCI.
    if (m_hungUpIn)
        clear();
    else
        m_phase = Phase::Alerting;
}

void FaxCall::onInfo(const capi::Message &m)
{
    if (!m_outgoing)
        return;
    if (m.infoNumber == capi::infonumber::Alerting)
        m_report.progress(calltext::alerting());
    else if (m.infoNumber == capi::infonumber::CallProceeding)
        m_report.progress(calltext::callProceeding());
}

void FaxCall::onConnectActive(const capi::Message &)
{
    m_phase = Phase::Connected;
    m_reached = Reached::LineUp;
    m_report.progress(calltext::connected());
    if (m_outgoing)
        m_out.put(capi::Message(C::ConnectB3, S::Req, m_out.appId(), m_plci));
}

void FaxCall::answer(bool accept, const QString &receiveFileName)
{
    if (m_phase != Phase::Offered)
        return;
    QString reason;
    if (!accept)
        reason = QStringLiteral("AcceptFax is False");
    else
        m_received = IncomingDocument::create(receiveFileName, &reason);
    if (!m_received) {
        m_report.debug(QStringLiteral("incoming fax rejected: %1").arg(reason));
        rejectOffered(capi::reason::CallRejected,
                      calltext::rejected(capi::reason::CallRejected, reason));
        return;
    }
    capi::Message resp(C::Connect, S::Resp, m_out.appId(), m_plci);
    resp.number = m_offerNumber;
    resp.bProtocol = m_g4 ? capi::BProtocol::faxG4(capi::bproto::B3T90NL)
                          : g3Protocol(m_ownNumber, 0, {});
    resp.reject = capi::reject::Accept;
    resp.connectedNumber.digits = m_ownNumber;
    m_phase = Phase::Answering;
    m_report.progress(calltext::answering(shownPath(receiveFileName)));
    m_out.put(resp);
}

void FaxCall::rejectOffered(quint16 rejectValue, const QString &text)
{
    capi::Message resp(C::Connect, S::Resp, m_out.appId(), m_plci);
    resp.number = m_offerNumber;
    resp.reject = rejectValue;
    m_out.put(resp);
    // A refused call is over for this side at once; a DISCONNECT_IND that may follow for its
    // PLCI is answered as any other.
    finish(text, capi::reason::Normal, true);
}

void FaxCall::hangUp()
{
    if (m_phase == Phase::Clearing || m_phase == Phase::Ended) {
        m_report.debug(QStringLiteral("Disconnect: the call is already being cleared"));
        return;
    }
    if (!m_hungUpIn)
        m_hungUpIn = m_phase;
    m_report.progress(calltext::disconnecting());
    switch (m_phase) {
    case Phase::Dialing:
        return; // the DISCONNECT_REQ goes out when the PLCI is known
    case Phase::Offered:
        rejectOffered(capi::reject::NormalClearing,
                      calltext::notAnswered(capi::reject::NormalClearing));
        return;
    case Phase::Transfer:
        m_phase = Phase::ClosingFax;
        m_out.put(capi::Message(C::DisconnectB3, S::Req, m_out.appId(), m_ncci));
        return;
    case Phase::ClosingFax:
        // The document is handed over, and a G3 controller still sends it page by page:
        // Disconnect ends the call now rather than after the last page.
        clear();
        return;
    default:
        clear();
        return;
    }
}

void FaxCall::clear()
{
    m_phase = Phase::Clearing;
    m_out.put(capi::Message(C::Disconnect, S::Req, m_out.appId(), m_plci));
}

void FaxCall::clearTimedOut()
{
    if (m_phase == Phase::AwaitingClear)
        clear();
}

void FaxCall::stop()
{
    if (!ended())
        finish(calltext::capiStopped(), capi::reason::Normal, !m_b3End);
}

void FaxCall::lineLost()
{
    if (ended())
        return;
    m_dataFault = true;
    finish(calltext::lineLost(), capi::reason::Normal, !m_b3End);
}

bool FaxCall::checkingDocument() const
{
    return m_document && !m_document->checked() && !m_dataFault && !m_hungUpIn && !ended();
}

void FaxCall::checkDocument()
{
    if (!checkingDocument())
        return;
    QString reason;
    if (!m_document->checkMore(&reason)) {
        m_report.debug(QStringLiteral("cannot send %1: %2").arg(m_document->name(), reason));
        dataFailed(QStringLiteral("the file to send is no valid fax"));
        return;
    }
    if (m_document->checked() && m_phase == Phase::Transfer)
        pumpData();
}

void FaxCall::onDisconnected(const capi::Message &m)
{
    // A Disconnect given after the fax connection had ended cuts nothing short.
    QString cause = m_localCause;
    if (cause.isEmpty() && m_hungUpIn && *m_hungUpIn != Phase::AwaitingClear)
        cause = QStringLiteral("disconnected here");
    finish(calltext::callEnded(m.reason, m_b3End.has_value(), m_b3End ? m_b3End->reason : 0,
                               cause),
           m.reason, false);
}

// ---- the fax connection --------------------------------------------------------------------

void FaxCall::onConnectB3Conf(const capi::Message &m)
{
    if (m.info != capi::info::Ok) {
        m_report.debug(QStringLiteral("fax connection refused: %1").arg(capi::describeInfo(m.info)));
        m_dataFault = true;
        clear();
        return;
    }
    m_ncci = m.address;
}

void FaxCall::onConnectB3(const capi::Message &m)
{
    capi::Message resp = m.response();
    resp.reject = capi::reject::Accept;
    m_ncci = m.address;
    m_out.put(resp);
}

void FaxCall::onB3Active(const capi::Message &m)
{
    m_phase = Phase::Transfer;
    m_reached = Reached::FaxUp;
    m_ncci = m.address;
    m_faxUpMs = m_clock.elapsed();
    QString text;
    if (m_g4) {
        m_rate = kG4Rate;
        m_remoteStationId = m_remoteNumber;
        text = calltext::g4Connection(kG4Rate, m_outgoing, m_resolution, m_remoteStationId);
    } else {
        if (const std::optional<capi::FaxNcpi> ncpi = capi::FaxNcpi::fromBytes(m.ncpi)) {
            m_rate = ncpi->rate;
            m_remoteStationId = ncpi->remoteStationId;
            m_resolution = ncpi->resolution;
        }
        text = calltext::faxConnection(m_rate, m_resolution, m_remoteStationId);
    }
    m_report.post(EventSlot::Connected, {text});
    if (m_outgoing)
        pumpData();
}

void FaxCall::pumpData()
{
    OutgoingDocument &doc = *m_document;
    if (!doc.checked())
        return; // the data waits for the end of the file's check
    while (m_phase == Phase::Transfer && m_blockEnds.size() < kMaxBlocks && !doc.atEnd()) {
        QString error;
        const QByteArray block = doc.nextBlock(kBlockLength, &error);
        if (block.isEmpty()) {
            m_report.debug(error);
            dataFailed(QStringLiteral("the file to send could not be read"));
            return;
        }
        // Pages whose first byte goes out with this block. A G3 controller sends the first
        // page once it has the document, and each later one after the far fax confirmed the
        // page before (frameReport()).
        const int startedByData = m_g4 ? doc.pageCount() : std::min(1, doc.pageCount());
        while (m_pagesStarted < startedByData && doc.pageOffset(m_pagesStarted + 1) < doc.sent()) {
            ++m_pagesStarted;
            m_report.progress(calltext::sendingPage(m_pagesStarted, doc.pageCount()));
        }
        const quint16 handle = m_nextHandle++;
        m_blockEnds.insert(handle, doc.sent());
        if (!m_out.put(capi::Message::dataB3Req(m_out.appId(), m_ncci, block, handle))) {
            m_blockEnds.remove(handle);
            dataFailed(QStringLiteral("the line refused the fax data"));
            return;
        }
    }
    if (m_phase == Phase::Transfer && doc.atEnd() && m_blockEnds.isEmpty()) {
        // A G3 controller still sends the pages now: that text follows the last page's MCF.
        if (m_g4)
            m_report.progress(calltext::allPagesSent());
        m_phase = Phase::ClosingFax;
        m_out.put(capi::Message(C::DisconnectB3, S::Req, m_out.appId(), m_ncci));
    }
}

void FaxCall::onDataConf(const capi::Message &m)
{
    const auto it = m_blockEnds.find(m.dataHandle);
    if (!m_outgoing || it == m_blockEnds.end())
        return;
    const qint64 end = it.value();
    m_blockEnds.erase(it);
    if (m.info != capi::info::Ok) {
        // Once the fax connection is ending, the blocks still in flight went with it: the call
        // is ended already, and a request for it now would go to a connection that is gone.
        if (m_phase != Phase::Transfer)
            return;
        m_report.debug(QStringLiteral("fax data block %1 refused: %2")
                           .arg(m.dataHandle)
                           .arg(capi::describeInfo(m.info)));
        dataFailed(QStringLiteral("the line refused the fax data"));
        return;
    }
    m_confirmed = std::max(m_confirmed, end);
    // The relay's confirmation follows the data across the line: a G4 page is sent once all
    // of it is confirmed.
    if (m_g4)
        pagesConfirmed(pagesTaken());
    pumpData();
}

void FaxCall::frameReport(const t30::FrameReport &r)
{
    if (!m_outgoing || m_g4 || !m_document || !(bit(m_phase) & kAfterB3Active))
        return;
    if (r.kind == t30::FrameReport::Kind::Sent) {
        m_pageEndSent = endsPage(r);
    } else if (r.kind == t30::FrameReport::Kind::Received) {
        // The answer to the command after a page; a command repeated after a lost answer
        // sets the flag again.
        if (m_pageEndSent && takesPage(r.fcf))
            pagesConfirmed(m_pagesDone + 1);
        m_pageEndSent = false;
    }
}

// The pages whose data the line has confirmed, every byte of them.
int FaxCall::pagesTaken() const
{
    const OutgoingDocument &doc = *m_document;
    const int pages = doc.pageCount();
    int whole = m_pagesDone; // never more than were taken
    while (whole < pages
           && m_confirmed >= (whole + 1 < pages ? doc.pageOffset(whole + 2) : doc.size()))
        ++whole;
    return whole;
}

// The first `pages` pages have been sent and confirmed; no more than the controller has.
void FaxCall::pagesConfirmed(int pages)
{
    const int count = m_document->pageCount();
    pages = std::min(pages, pagesTaken());
    while (m_pagesDone < pages) {
        ++m_pagesDone;
        m_pageDoneMs.append(m_clock.elapsed());
        m_report.progress(calltext::pageSent(m_pagesDone, count));
        if (m_g4)
            continue;
        // T.30 goes on with the next page once this one is confirmed.
        if (m_pagesDone < count && m_pagesStarted <= m_pagesDone) {
            m_pagesStarted = m_pagesDone + 1;
            m_report.progress(calltext::sendingPage(m_pagesStarted, count));
        }
        if (m_pagesDone == count)
            m_report.progress(calltext::allPagesSent());
    }
}

// The data of the pages sent: for G3 the pages the far fax confirmed, whatever part of the
// document the controller holds already.
qint64 FaxCall::bytesSent() const
{
    if (m_g4 || m_pagesDone >= m_document->pageCount())
        return m_confirmed;
    if (m_pagesDone == 0)
        return 0;
    return std::min(m_confirmed, m_document->pageOffset(m_pagesDone + 1));
}

void FaxCall::onData(const capi::Message &m)
{
    if (!m_received) {
        m_out.put(m.response());
        return;
    }
    const int before = m_received->pages();
    QString error;
    if (!m_received->write(m.data, &error)) {
        // The fax connection is ended before the block is answered: its sender never has it
        // confirmed.
        m_report.debug(error);
        dataFailed(m_received->stillThere()
                       ? QStringLiteral("the receive file could not be written")
                       : QStringLiteral("the receive file was deleted"));
        m_out.put(m.response());
        return;
    }
    // The sender checks only the framing of what it sends; a line that does not decode is
    // found here, and the fax ends before the block is answered, as for a failed write.
    const bool faultFound = m_received->faulty() && !m_dataFault;
    if (faultFound)
        dataFailed(QStringLiteral("the received document is damaged"));
    m_out.put(m.response());
    if (faultFound)
        return;
    const int after = m_received->pages();
    // A page is done with the last block that held its data: the one before the next page's.
    const qint64 now = m_clock.elapsed();
    for (int page = std::max(before, 1); page < after; ++page)
        m_pageDoneMs.append(m_lastDataMs >= 0 && page == before ? m_lastDataMs : now);
    m_lastDataMs = now;
    for (int page = before + 1; page <= after; ++page) {
        if (page > 1)
            m_report.progress(calltext::pageReceived(page - 1));
        m_report.progress(calltext::receivingPage(page));
    }
}

void FaxCall::dataFailed(const QString &cause)
{
    m_dataFault = true;
    if (m_localCause.isEmpty())
        m_localCause = cause;
    hangUp();
}

void FaxCall::recordB3End(const capi::Message &m)
{
    B3End end;
    end.reason = m.reason;
    if (!m_g4) {
        if (const std::optional<capi::FaxNcpi> ncpi = capi::FaxNcpi::fromBytes(m.ncpi))
            end.reportedPages = ncpi->pages;
    }
    m_b3End = end;
    // A G3 controller counts the pages it had confirmed; one that reports no frames says so
    // only here.
    if (m_outgoing && !m_g4 && m_document && end.reportedPages > m_pagesDone)
        pagesConfirmed(end.reportedPages);
}

// The side that closed the fax connection clears the call; the other side waits for its
// DISCONNECT_IND, and clears the call itself only if none comes (clearTimedOut()).
void FaxCall::onB3EndedByRemote(const capi::Message &m)
{
    recordB3End(m);
    m_phase = Phase::AwaitingClear;
}

void FaxCall::onB3Closed(const capi::Message &m)
{
    recordB3End(m);
    // A G3 controller that was still sending when the remote ended the fax: the remote
    // clears the call.
    if (m.reason == capi::reason::FaxRemoteAbort && !m_hungUpIn) {
        m_phase = Phase::AwaitingClear;
        return;
    }
    clear();
}

void FaxCall::onB3EndedWhileClearing(const capi::Message &m)
{
    recordB3End(m);
}

// ---- the end -------------------------------------------------------------------------------

FinishedCall FaxCall::facts(quint16 reason, bool abortedNow) const
{
    FinishedCall f;
    f.outgoing = m_outgoing;
    f.g4 = m_g4;
    // A Disconnect after the fax connection ended does not cut the document short.
    f.abortedHere = abortedNow || (m_hungUpIn && *m_hungUpIn != Phase::AwaitingClear);
    f.dataFault = m_dataFault;
    if (m_b3End) {
        f.reasonB3 = m_b3End->reason;
        f.reportedPages = m_b3End->reportedPages;
    }
    f.reason = reason;
    if (m_document) {
        f.allConfirmed = m_document->atEnd() && m_blockEnds.isEmpty()
                         && m_confirmed == m_document->size();
        f.pageCount = m_document->pageCount();
    }
    if (m_received)
        f.documentComplete = m_received->complete();
    return f;
}

void FaxCall::finish(const QString &text, quint16 reason, bool abortedNow)
{
    const FinishedCall f = facts(reason, abortedNow);
    const bool sent = faxSent(f);
    const bool received = faxReceived(f);
    if (pagesDisputed(f))
        m_report.debug(QStringLiteral("the remote reported %1 of %2 pages")
                           .arg(f.reportedPages)
                           .arg(f.pageCount));
    if (m_received) {
        m_received->close();
        const int pages = m_received->pages();
        if (received) {
            m_report.progress(calltext::pageReceived(pages));
            m_report.progress(calltext::faxReceived(pages, m_received->bytes()));
        } else {
            m_report.progress(calltext::faxIncomplete(m_received->bytes(), pages,
                                                      shownPath(m_received->name())));
            const QString fault = m_received->fault();
            if (!fault.isEmpty())
                m_report.debug(QStringLiteral("received document: %1").arg(fault));
        }
    }
    m_phase = Phase::Ended;
    m_endText = text;
    m_endMs = m_clock.elapsed();
    if (received && m_pageDoneMs.size() < m_received->pages())
        m_pageDoneMs.append(m_lastDataMs >= 0 ? m_lastDataMs : m_endMs);
    // One line that says what the call did, as its last progress text.
    m_report.progress(QStringLiteral("%1; %2").arg(text, resultText()));
    if (m_outgoing)
        m_report.post(EventSlot::FaxSent, {sent});
    if (received)
        m_report.post(EventSlot::FaxReceived);
    m_report.post(EventSlot::Disconnected);
}

QString FaxCall::resultText() const
{
    calltext::CallResult r;
    r.outgoing = m_outgoing;
    r.faxConnected = m_reached == Reached::FaxUp;
    r.g4 = m_g4;
    r.rate = m_rate;
    r.resolution = m_resolution;
    r.stationId = m_remoteStationId;
    r.milliseconds = m_clock.elapsed();
    if (m_document) {
        r.pages = m_pagesDone;
        r.pageCount = m_document->checked() ? m_document->pageCount() : -1;
        r.bytes = bytesSent();
    } else if (m_received) {
        r.pages = m_received->complete() ? m_received->pages()
                                         : std::max(0, m_received->pages() - 1);
        r.bytes = m_received->bytes();
    }
    return calltext::result(r);
}

PageImage FaxCall::pagePicture() const
{
    if (m_received)
        return m_received->currentPage();
    if (m_document && m_pagesStarted > 0)
        return readPage(m_document->path(), m_document->pageOffset(m_pagesStarted));
    return {};
}

// ---- status --------------------------------------------------------------------------------

CallStatus::State FaxCall::state() const
{
    if (m_hungUpIn)
        return CallStatus::State::Disconnecting;
    switch (m_reached) {
    case Reached::FaxUp:
        return m_outgoing ? CallStatus::State::Sending : CallStatus::State::Receiving;
    case Reached::LineUp:
        return CallStatus::State::Connected;
    case Reached::Placed:
        break;
    }
    return m_outgoing ? CallStatus::State::Calling : CallStatus::State::Ringing;
}

CallStatus FaxCall::status() const
{
    CallStatus s;
    s.state = state();
    s.outgoing = m_outgoing;
    s.g4 = m_g4;
    s.ownNumber = m_ownNumber;
    s.remoteNumber = m_remoteNumber;
    s.remoteStationId = m_remoteStationId;
    s.rate = m_rate;
    if (m_clock.isValid()) {
        const qint64 base = m_clock.msecsSinceReference();
        s.startedAt = base;
        s.faxUpAt = m_faxUpMs >= 0 ? base + m_faxUpMs : 0;
        for (qint64 ms : m_pageDoneMs)
            s.pageDoneAt.append(base + ms);
        s.endedAt = m_endMs >= 0 ? base + m_endMs : 0;
    }
    if (m_document) {
        s.page = m_pagesStarted;
        s.pageCount = m_document->pageCount();
        s.bytes = bytesSent();
        s.totalBytes = m_document->size();
        s.documentPath = m_document->path();
        s.pageOffset = m_pagesStarted ? m_document->pageOffset(m_pagesStarted) : 0;
    } else if (m_received) {
        s.page = m_received->pages();
        s.bytes = m_received->bytes();
        s.documentPath = m_received->path();
        s.pageOffset = m_received->currentPageOffset();
    }
    return s;
}

} // namespace quillon::component
