#include "component/faxendpoint.h"

#include "component/calltexts.h"
#include "component/eventqueue.h"
#include "component/faxfiles.h"
#include "component/outbox.h"
#include "capi/message.h"
#include "capi/trace.h"
#include "capi/transport.h"
#include "endpoint/quillonboundary.h"
#include "t30report/framereport.h"

#include <QMetaMethod>

namespace quillon::component {

namespace {

// Progress and cause information for the calls this application places or takes.
constexpr quint32 kInfoMask = capi::infomask::Cause | capi::infomask::CallProgression;

bool isFaxCall(quint16 cip)
{
    return cip == capi::cip::FaxG3 || cip == capi::cip::FaxG4 || cip == capi::cip::Audio3k1;
}

} // namespace

FaxEndpoint::FaxEndpoint(EventQueue &events, std::shared_ptr<LineProvider> lines,
                         QObject *parent)
    : QObject(parent), m_report(events), m_lines(std::move(lines))
{
    m_clearTimer.setSingleShot(true);
    m_clearTimer.setInterval(kRemoteClearTimeoutMs);
    connect(&m_clearTimer, &QTimer::timeout, this, [this] {
        if (m_call) {
            m_call->clearTimedOut();
            settle();
        }
    });
    // The check of a long file goes on between the line's messages, a step at each turn of
    // the event loop, so the window never waits for it.
    m_checkTimer.setInterval(0);
    connect(&m_checkTimer, &QTimer::timeout, this, [this] {
        if (m_call)
            m_call->checkDocument();
        settle();
    });
}

FaxEndpoint::~FaxEndpoint()
{
    stopCapi(Quietly);
}

// ---- members -------------------------------------------------------------------------------

bool FaxEndpoint::startCapi()
{
    if (m_out) {
        debug(QStringLiteral("StartCapi: already started as application %1").arg(m_out->appId()));
        return true;
    }
    QString why;
    std::optional<LineLease> lease = m_lines->acquire(&why);
    if (!lease)
        return refuse("StartCapi", why);
    capi::Transport &line = *lease->transport;
    if (!line.isInstalled())
        return refuse("StartCapi", QStringLiteral("no CAPI line is installed"));
    capi::RegisterResult registered;
    {
        // A real line may take seconds to answer; the window goes on painting meanwhile, but
        // no event of any instance is raised inside this call.
        EventQueue::Hold hold;
        registered = line.registerApplication({2, FaxCall::kMaxBlocks, FaxCall::kBlockLength});
    }
    if (!registered.ok())
        return refuse("StartCapi", QStringLiteral("registration with the line failed: %1 (%2)")
                                       .arg(registered.error.isEmpty()
                                                ? capi::describeInfo(registered.info)
                                                : registered.error,
                                            lease->name));
    if (m_lease && m_lease->transport != lease->transport)
        disconnect(m_lease->transport.get(), nullptr, this, nullptr);
    m_lease = lease;
    m_out = std::make_unique<Outbox>(line, registered.appId, lease->controller, m_report);
    connect(&line, &capi::Transport::messagesWaiting, this, &FaxEndpoint::onMessagesWaiting,
            Qt::UniqueConnection);
    connect(&line, &capi::Transport::applicationLost, this, &FaxEndpoint::onApplicationLost,
            Qt::UniqueConnection);
    connect(&line, &capi::Transport::diagnostic, this, &FaxEndpoint::onDiagnostic,
            Qt::UniqueConnection);
    const QString manufacturer = line.manufacturer(lease->controller);
    m_lineText = QStringLiteral("%1, controller %2: %3")
                     .arg(lease->name)
                     .arg(lease->controller)
                     .arg(manufacturer);
    debug(QStringLiteral("StartCapi: registered as application %1 on %2")
              .arg(registered.appId)
              .arg(manufacturer));
    for (const QString &note : std::as_const(lease->notes))
        debug(QStringLiteral("StartCapi: %1").arg(note));
    // Progress and cause information for our own calls; no incoming calls until Listen.
    putListen(0);
    settle();
    return true;
}

void FaxEndpoint::listen()
{
    if (!m_out) {
        debug(QStringLiteral("Listen: CAPI is not started"));
        return;
    }
    using capi::cip::maskBit;
    putListen(maskBit(capi::cip::Speech) | maskBit(capi::cip::Audio3k1)
              | maskBit(capi::cip::Telephony) | maskBit(capi::cip::FaxG3)
              | maskBit(capi::cip::FaxG4));
}

bool FaxEndpoint::sendFax(const SendRequest &request)
{
    const char *member = request.g4 ? "SendFaxG4" : "SendFax";
    QString reason;
    std::unique_ptr<OutgoingDocument> doc =
        OutgoingDocument::open(request.file, &reason);
    if (!doc)
        return refuse(member, QStringLiteral("cannot send %1: %2").arg(request.file, reason));
    if (!m_out)
        return refuse(member, QStringLiteral("CAPI is not started"));
    if (m_call)
        return refuse(member, QStringLiteral("a call is in progress (%1)")
                                  .arg(stateText(m_call->status().state)));
    if (request.numberToCall.isEmpty())
        return refuse(member, QStringLiteral("no number to call"));
    const std::optional<DialNumber> called = dialNumber(request.numberToCall, &reason);
    if (!called)
        return refuse(member, QStringLiteral("cannot call %1").arg(reason));
    if (called->digits.isEmpty())
        return refuse(member,
                      QStringLiteral("no number to call in \"%1\"").arg(request.numberToCall));
    const std::optional<DialNumber> own = dialNumber(request.ownNumber, &reason);
    if (!own)
        return refuse(member, QStringLiteral("cannot call from %1").arg(reason));

    m_call = FaxCall::place(*m_out, m_report, request, *called, *own, std::move(doc));
    if (!m_call)
        return refuse(member, QStringLiteral("the line did not take the call"));
    m_hasSent = true;
    settle();
    return true;
}

void FaxEndpoint::setReceiveFileName(const QString &path)
{
    m_receiveFileName = path;
    // Said now, not only when a call arrives and has to be refused for it.
    if (const QString problem = IncomingDocument::problemWith(path); !problem.isEmpty())
        debug(QStringLiteral("ReceiveFileName: a fax would be refused: %1").arg(problem));
}

void FaxEndpoint::disconnectCall()
{
    if (!m_call) {
        debug(QStringLiteral("Disconnect: no call in progress"));
        return;
    }
    m_call->hangUp();
    settle();
}

void FaxEndpoint::stopCapi(StopMode mode)
{
    m_report.setQuiet(mode == Quietly);
    if (!m_out) {
        if (mode == Reporting)
            debug(QStringLiteral("StopCapi: CAPI is not started"));
        m_report.setQuiet(false);
        return;
    }
    // Releasing the application clears its calls on the line; the far end learns it there.
    if (m_call) {
        m_call->stop();
        settle();
    }
    capi::Transport &line = m_out->line();
    const quint16 appId = m_out->appId();
    const quint16 info = line.release(appId);
    debug(QStringLiteral("StopCapi: application %1 released: %2")
              .arg(appId)
              .arg(capi::describeInfo(info)));
    m_out.reset();
    m_listening = false;
    m_ringingPhoneCalls.clear();
    settle();
    m_report.setQuiet(false);
}

void FaxEndpoint::onApplicationLost(quint16 appId, const QString &why)
{
    if (!m_out || appId != m_out->appId())
        return;
    debug(QStringLiteral("CAPI line lost: %1").arg(why));
    if (m_call) {
        m_call->lineLost();
        settle();
    }
    m_out->line().release(appId);
    m_out.reset();
    m_listening = false;
    m_ringingPhoneCalls.clear();
    settle();
}

void FaxEndpoint::onDiagnostic(quint16 appId, const QString &text)
{
    if (m_out && (appId == m_out->appId() || appId == 0))
        debug(text);
}

// The line last started on; before any, the provider's idle line.
LineLease FaxEndpoint::line() const
{
    return m_lease ? *m_lease : m_lines->idleLine();
}

QString FaxEndpoint::capiDescription() const
{
    const LineLease lease = line();
    if (!lease.transport)
        return {};
    const capi::Version v = lease.transport->version(lease.controller);
    return QStringLiteral("%1, CAPI %2.%3")
        .arg(lease.transport->manufacturer(lease.controller))
        .arg(v.capiMajor)
        .arg(v.capiMinor);
}

QString FaxEndpoint::serialNumber() const
{
    const LineLease lease = line();
    return lease.transport ? lease.transport->serialNumber(lease.controller) : QString();
}

CallStatus FaxEndpoint::status() const
{
    CallStatus s = m_call ? m_call->status() : m_lastCall;
    if (!m_call)
        s.state = m_listening ? CallStatus::State::Listening : CallStatus::State::Idle;
    s.started = m_out != nullptr;
    // The reason of the last call belongs to it, not to the call on now.
    s.lastReason = m_call ? QString() : m_lastReason;
    s.line = m_lineText;
    s.sends = m_hasSent;
    s.receives = m_listening;
    return s;
}

PageImage FaxEndpoint::pagePicture() const
{
    if (m_call)
        return m_call->pagePicture();
    if (m_lastCall.outgoing && m_lastCall.page > 0)
        return readPage(m_lastCall.documentPath, m_lastCall.pageOffset);
    return m_lastPicture;
}

// ---- messages ------------------------------------------------------------------------------

void FaxEndpoint::onMessagesWaiting(quint16 appId)
{
    // Stop taking messages when a handler released the application.
    while (m_out && m_out->appId() == appId) {
        std::optional<capi::Message> m = m_out->line().getMessage(appId);
        if (!m)
            break;
        debug(capi::traceLine(*m));
        handle(*m);
    }
}

void FaxEndpoint::putListen(quint32 cipMask)
{
    capi::Message m(capi::Command::Listen, capi::Subcommand::Req, m_out->appId(),
                    m_out->controller());
    m.infoMask = kInfoMask;
    m.cipMask = cipMask;
    m_listenNumber = m_out->nextNumber();
    m_listenMask = cipMask;
    m_out->put(m);
}

void FaxEndpoint::handle(const capi::Message &m)
{
    using C = capi::Command;
    using S = capi::Subcommand;
    if (m.command == C::Listen && m.subcommand == S::Conf) {
        onListenConfirmed(m);
        return;
    }
    if (m.command == C::Connect && m.subcommand == S::Ind) {
        onConnectIndication(m);
        return;
    }
    if (m.command == C::Manufacturer && m.subcommand == S::Ind) {
        onManufacturerIndication(m);
        return;
    }
    if (m_call && m_call->owns(m)) {
        m_call->handle(m);
        settle();
        return;
    }
    m_out->unclaimed(m);
    if (m.command == C::Disconnect && m.subcommand == S::Ind)
        m_ringingPhoneCalls.remove(m.plci());
}

void FaxEndpoint::onListenConfirmed(const capi::Message &m)
{
    if (m.number != m_listenNumber)
        return;
    if (m.info != capi::info::Ok) {
        debug(QStringLiteral("Listen refused: %1").arg(capi::describeInfo(m.info)));
        return;
    }
    m_listening = m_listenMask != 0;
    settle();
}

void FaxEndpoint::onConnectIndication(const capi::Message &m)
{
    const QString called = m.calledParty.digits;
    const QString calling = m.callingParty.digits;
    const QString type = calltext::callType(m.cip);
    if (!m_lease->settings.answers(called)) {
        // Not one of this endpoint's numbers: another device on the bus may take it.
        capi::Message resp = m.response();
        resp.reject = capi::reject::Ignore;
        m_out->put(resp);
        debug(QStringLiteral("incoming %1 to %2 ignored: not one of the answer numbers %3")
                  .arg(type, called, m_lease->settings.answerNumbers.join(QStringLiteral(", "))));
        return;
    }
    m_report.post(EventSlot::IncomingCall, {called, calling, type});

    if (!isFaxCall(m.cip)) {
        // Phone calls ring on: this application never answers them.
        m_ringingPhoneCalls.insert(m.plci());
        m_out->put(capi::Message(capi::Command::Alert, capi::Subcommand::Req, m_out->appId(),
                                 m.plci()));
        m_report.post(EventSlot::IncomingPhoneCall, {called, calling});
        return;
    }
    if (m_call) {
        capi::Message resp = m.response();
        resp.reject = capi::reject::UserBusy;
        m_out->put(resp);
        debug(QStringLiteral("incoming %1 from %2 refused: busy with another call")
                  .arg(type, calling));
        return;
    }
    m_call = FaxCall::offer(*m_out, m_report, m);
    settle();
    const quint32 plci = m.plci();
    m_report.post(EventSlot::IncomingFax, {called, calling}, [this, plci] { decideIncoming(plci); });
}

// The controller's report of a T.30 frame or training becomes a Debug line, so the fax
// handshake stands in the debug list, and moves a sending call's pages on (the controller
// took the whole document long before); other manufacturers' indications are only answered.
void FaxEndpoint::onManufacturerIndication(const capi::Message &m)
{
    m_out->put(m.response());
    if (m.manufacturerId != t30::ManufacturerId)
        return;
    const std::optional<t30::FrameReport> report = t30::decodeReport(m.manufacturerData);
    if (!report)
        return;
    debug(report->debugLine());
    if (m_call && (m.address & 0x7F) == (m_out->controller() & 0x7F)) {
        m_call->frameReport(*report);
        settle();
    }
}

void FaxEndpoint::decideIncoming(quint32 plci)
{
    // The caller may have hung up, or Disconnect or StopCapi came while the event was raised.
    if (!m_call || !m_call->isOffered(plci))
        return;
    m_call->answer(m_acceptFax, m_receiveFileName);
    settle();
}

// After anything that may move the call on: an ended call is let go, the wait for the
// remote's clearing runs while the call is in it, and the status window learns of a change.
void FaxEndpoint::settle()
{
    if (m_call && m_call->ended()) {
        m_lastCall = m_call->status();
        m_lastReason = m_call->endText();
        m_lastPicture = m_lastCall.outgoing ? PageImage{} : m_call->pagePicture();
        m_call.reset();
    }
    if (m_call && m_call->checkingDocument()) {
        if (!m_checkTimer.isActive())
            m_checkTimer.start();
    } else
        m_checkTimer.stop();
    const bool awaitingClear = m_call && m_call->phase() == FaxCall::Phase::AwaitingClear;
    if (!awaitingClear)
        m_clearTimer.stop();
    else if (!m_clearTimer.isActive())
        m_clearTimer.start();
    // The status is derived from the call after every message; without a status window
    // nobody listens, and the first listener's first change is always told.
    if (!isSignalConnected(QMetaMethod::fromSignal(&FaxEndpoint::statusChanged))) {
        m_shownKnown = false;
        return;
    }
    const CallStatus now = status();
    if (!m_shownKnown || now != m_shown) {
        m_shown = now;
        m_shownKnown = true;
        emit statusChanged();
    }
}

bool FaxEndpoint::refuse(const char *member, const QString &why)
{
    debug(QStringLiteral("%1: %2").arg(QLatin1String(member), why));
    return false;
}

} // namespace quillon::component
