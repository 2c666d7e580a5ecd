#include "component/faxendpoint.h"

#include "component/capiline.h"
#include "component/eventqueue.h"
#include "component/faxfiles.h"
#include "capi/message.h"
#include "capi/simulatedline.h"
#include "capi/trace.h"
#include "capi/transport.h"
#include "platform/drivepath.h"
#include "endpoint/quillonboundary.h"

#include <QHash>
#include <QTimer>

#include <algorithm>

namespace quillon::component {

namespace {

constexpr quint32 kMaxBlocks = 7;
constexpr int kBlockLength = 2048;
constexpr int kStationIdLength = 20;
constexpr int kG4Rate = 64000;
// How long the side that did not end the fax connection waits for the other to clear the call.
constexpr int kRemoteClearTimeoutMs = 5000;
// A CONNECT_RESP may reject with a Q.931 cause: the caller learns "call rejected".
constexpr quint16 kRejectCall = capi::reason::CallRejected;
// Progress and cause information for the calls this application places or takes.
constexpr quint32 kInfoMask = capi::infomask::Cause | capi::infomask::CallProgression;

QString callType(quint16 cip)
{
    switch (cip) {
    case capi::cip::FaxG3: return QStringLiteral("fax G3");
    case capi::cip::FaxG4: return QStringLiteral("fax G4");
    case capi::cip::Audio3k1: return QStringLiteral("3.1 kHz audio");
    case capi::cip::Telephony: return QStringLiteral("telephony");
    case capi::cip::Speech: return QStringLiteral("speech");
    default: return QStringLiteral("CIP %1").arg(cip);
    }
}

bool isFaxCall(quint16 cip)
{
    return cip == capi::cip::FaxG3 || cip == capi::cip::FaxG4 || cip == capi::cip::Audio3k1;
}

QString resolutionText(int resolution)
{
    return resolution ? QStringLiteral("fine resolution (196 lpi)")
                      : QStringLiteral("standard resolution (98 lpi)");
}

// What the operator reads when a call ends: the reason of the call and, when the fax
// connection ended abnormally, its reason too.
QString endText(quint16 reason, bool b3Ended, quint16 reasonB3)
{
    QString text = QStringLiteral("call ended: %1").arg(capi::describeReason(reason));
    if (b3Ended && reasonB3 != capi::reason::Normal)
        text += QStringLiteral("; fax: %1").arg(capi::describeReason(reasonB3));
    return text;
}

} // namespace

struct FaxEndpoint::Call
{
    bool outgoing = false;
    bool g4 = false;
    Phase phase = Phase::Dialing;
    quint32 plci = 0;
    quint32 ncci = 0;
    quint16 offerNumber = 0;       // message number of the CONNECT_IND while offered
    bool disconnectWanted = false; // Disconnect given before the PLCI was known
    bool localAbort = false;       // this side ended the call before its fax connection ended
    bool dataFault = false;        // a block was refused or could not be read or written
    bool b3Ended = false;
    quint16 reasonB3 = 0;
    int ncpiPages = -1;
    int resolution = 0;

    std::unique_ptr<OutgoingDocument> out;
    QHash<quint16, qint64> blockEnds; // unconfirmed blocks: handle -> end offset in the file
    quint16 nextHandle = 0;
    qint64 confirmed = 0;
    int pagesStarted = 0;
    int pagesDone = 0;

    std::unique_ptr<IncomingDocument> in;
};

FaxEndpoint::FaxEndpoint(EventQueue &events, QObject *parent) : QObject(parent), m_events(events)
{
}

FaxEndpoint::~FaxEndpoint()
{
    stopCapi(Quietly);
}

// ---- members -------------------------------------------------------------------------------

bool FaxEndpoint::startCapi()
{
    if (m_appId) {
        debug(QStringLiteral("StartCapi: already started as application %1").arg(m_appId));
        return true;
    }
    QString why;
    std::optional<LineLease> lease = acquireLine(&why);
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
        registered = line.registerApplication({2, kMaxBlocks, kBlockLength});
    }
    if (!registered.ok())
        return refuse("StartCapi", QStringLiteral("registration with the line failed: %1 (%2)")
                                       .arg(registered.error.isEmpty()
                                                ? capi::describeInfo(registered.info)
                                                : registered.error,
                                            lease->name));
    if (m_lineHolder.get() != lease->transport.get() && m_line)
        disconnect(m_line, nullptr, this, nullptr);
    m_lineHolder = lease->transport;
    m_line = m_lineHolder.get();
    m_controller = lease->controller;
    m_answer = lease->settings;
    m_appId = registered.appId;
    m_nextNumber = 1;
    connect(m_line, &capi::Transport::messagesWaiting, this, &FaxEndpoint::onMessagesWaiting,
            Qt::UniqueConnection);
    connect(m_line, &capi::Transport::applicationLost, this, &FaxEndpoint::onApplicationLost,
            Qt::UniqueConnection);
    connect(m_line, &capi::Transport::diagnostic, this, &FaxEndpoint::onDiagnostic,
            Qt::UniqueConnection);
    const QString manufacturer = line.manufacturer(m_controller);
    m_status.line = QStringLiteral("%1, controller %2: %3")
                        .arg(lease->name)
                        .arg(m_controller)
                        .arg(manufacturer);
    debug(QStringLiteral("StartCapi: registered as application %1 on %2")
              .arg(m_appId)
              .arg(manufacturer));
    for (const QString &note : std::as_const(lease->notes))
        debug(QStringLiteral("StartCapi: %1").arg(note));
    // Progress and cause information for our own calls; no incoming calls until Listen.
    putListen(0);
    m_status.started = true;
    setState(CallStatus::State::Idle);
    return true;
}

void FaxEndpoint::listen()
{
    if (!m_appId) {
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
        OutgoingDocument::open(platform::localPath(request.file), &reason);
    if (!doc)
        return refuse(member, QStringLiteral("cannot send %1: %2").arg(request.file, reason));
    if (!m_appId)
        return refuse(member, QStringLiteral("CAPI is not started"));
    if (m_call)
        return refuse(member, QStringLiteral("a call is in progress (%1)")
                                  .arg(stateText(m_status.state)));
    if (request.numberToCall.isEmpty())
        return refuse(member, QStringLiteral("no number to call"));

    const int resolution = doc->firstPageFine() ? 1 : 0;
    capi::Message m(capi::Command::Connect, capi::Subcommand::Req, m_appId, m_controller);
    m.cip = request.g4 ? capi::cip::FaxG4 : capi::cip::FaxG3;
    m.calledParty.digits = request.numberToCall;
    m.callingParty.digits = request.ownNumber;
    if (request.g4) {
        m.bProtocol = capi::BProtocol::faxG4(capi::bproto::B3T90NL);
    } else {
        capi::FaxB3Configuration config;
        config.resolution = quint16(resolution);
        config.format = 0;
        config.stationId = request.ownNumber.left(kStationIdLength);
        QStringList head;
        for (const QString &part : {request.header, request.sender})
            if (!part.isEmpty())
                head << part;
        config.headLine = head.join(QStringLiteral("  "));
        m.bProtocol = capi::BProtocol::faxG3(config);
    }

    auto call = std::make_unique<Call>();
    call->outgoing = true;
    call->g4 = request.g4;
    call->resolution = resolution;
    call->out = std::move(doc);
    m_call = std::move(call);
    if (!put(m)) {
        m_call.reset();
        return refuse(member, QStringLiteral("the line did not take the call"));
    }

    m_status.outgoing = true;
    m_status.g4 = request.g4;
    m_status.ownNumber = request.ownNumber;
    m_status.remoteNumber = request.numberToCall;
    m_status.remoteStationId.clear();
    m_status.page = 0;
    m_status.pageCount = m_call->out->pageCount();
    m_status.bytes = 0;
    m_status.totalBytes = m_call->out->size();
    m_status.rate = 0;
    m_status.documentPath = m_call->out->path();
    m_status.pageOffset = 0;
    progress(QStringLiteral("dialing %1 (%2, %3 page(s))")
                 .arg(request.numberToCall, callType(m.cip))
                 .arg(m_status.pageCount));
    setState(CallStatus::State::Calling);
    return true;
}

void FaxEndpoint::disconnectCall()
{
    if (!m_call) {
        debug(QStringLiteral("Disconnect: no call in progress"));
        return;
    }
    Call &call = *m_call;
    if (call.phase == Phase::ClosingFax || call.phase == Phase::Clearing) {
        debug(QStringLiteral("Disconnect: the call is already being cleared"));
        return;
    }
    // Once the fax connection has ended, the document is whole or not already: clearing the
    // call then does not cut it short.
    if (!call.b3Ended)
        call.localAbort = true;
    progress(QStringLiteral("disconnecting"));
    setState(CallStatus::State::Disconnecting);
    switch (call.phase) {
    case Phase::Dialing:
        call.disconnectWanted = true; // the DISCONNECT_REQ goes out when the PLCI is known
        return;
    case Phase::Offered:
        rejectOffered(capi::reject::NormalClearing, QStringLiteral("call ended: not answered"));
        return;
    case Phase::Transfer:
        if (call.ncci && !call.b3Ended) {
            call.phase = Phase::ClosingFax;
            put(capi::Message(capi::Command::DisconnectB3, capi::Subcommand::Req, m_appId,
                              call.ncci));
            return;
        }
        [[fallthrough]];
    default:
        call.phase = Phase::Clearing;
        put(capi::Message(capi::Command::Disconnect, capi::Subcommand::Req, m_appId, call.plci));
        return;
    }
}

void FaxEndpoint::stopCapi(StopMode mode)
{
    m_quiet = mode == Quietly;
    if (!m_appId) {
        if (mode == Reporting)
            debug(QStringLiteral("StopCapi: CAPI is not started"));
        m_quiet = false;
        return;
    }
    // Releasing the application clears its calls on the line; the far end learns it there.
    if (m_call) {
        if (!m_call->b3Ended)
            m_call->localAbort = true;
        finishCall(QStringLiteral("call ended: CAPI stopped"), capi::reason::Normal);
    }
    const quint16 info = m_line->release(m_appId);
    debug(QStringLiteral("StopCapi: application %1 released: %2")
              .arg(m_appId)
              .arg(capi::describeInfo(info)));
    m_appId = 0;
    m_listening = false;
    m_ringingPhoneCalls.clear();
    m_status.started = false;
    setState(CallStatus::State::Idle);
    m_quiet = false;
}

QString FaxEndpoint::capiDescription() const
{
    // The controller of the line last started on; before any, the simulated line's.
    capi::Transport &line = m_line ? *m_line : simulatedLine();
    const quint32 controller = m_line ? m_controller : capi::SimulatedLine::ControllerNumber;
    const capi::Version v = line.version(controller);
    return QStringLiteral("%1, CAPI %2.%3")
        .arg(line.manufacturer(controller))
        .arg(v.capiMajor)
        .arg(v.capiMinor);
}

QString FaxEndpoint::serialNumber() const
{
    if (!m_line)
        return simulatedLine().serialNumber(capi::SimulatedLine::ControllerNumber);
    return m_line->serialNumber(m_controller);
}

// ---- messages ------------------------------------------------------------------------------

void FaxEndpoint::onApplicationLost(quint16 appId, const QString &why)
{
    if (appId != m_appId || !m_line)
        return;
    debug(QStringLiteral("CAPI line lost: %1").arg(why));
    if (m_call) {
        if (!m_call->b3Ended)
            m_call->localAbort = true;
        m_call->dataFault = true;
        finishCall(QStringLiteral("call ended: CAPI line lost"), capi::reason::Normal);
    }
    m_line->release(m_appId);
    m_appId = 0;
    m_listening = false;
    m_ringingPhoneCalls.clear();
    m_status.started = false;
    setState(CallStatus::State::Idle);
}

void FaxEndpoint::onDiagnostic(quint16 appId, const QString &text)
{
    if (m_appId && (appId == m_appId || appId == 0))
        debug(text);
}

void FaxEndpoint::onMessagesWaiting(quint16 appId)
{
    if (appId != m_appId || !m_line)
        return;
    // Stop taking messages when a handler released the application.
    while (m_appId == appId) {
        std::optional<capi::Message> m = m_line->getMessage(appId);
        if (!m)
            break;
        debug(capi::traceLine(*m));
        handle(*m);
    }
}

bool FaxEndpoint::put(capi::Message m)
{
    m.appId = m_appId;
    if (m.subcommand == capi::Subcommand::Req)
        m.number = m_nextNumber++ & 0x7FFF;
    debug(capi::traceLine(m));
    const quint16 info = m_line->putMessage(m);
    if (info != capi::info::Ok) {
        debug(QStringLiteral("the line refused %1: %2")
                  .arg(capi::messageName(m.command, m.subcommand), capi::describeInfo(info)));
        return false;
    }
    return true;
}

void FaxEndpoint::respond(const capi::Message &indication)
{
    put(indication.response());
}

void FaxEndpoint::putListen(quint32 cipMask)
{
    capi::Message m(capi::Command::Listen, capi::Subcommand::Req, m_appId, m_controller);
    m.infoMask = kInfoMask;
    m.cipMask = cipMask;
    m_listenNumber = m_nextNumber & 0x7FFF;
    m_listenMask = cipMask;
    put(m);
}

bool FaxEndpoint::isOurs(const capi::Message &m) const
{
    return m_call && m_call->plci && m.plci() == m_call->plci;
}

void FaxEndpoint::handle(const capi::Message &m)
{
    using C = capi::Command;
    using S = capi::Subcommand;
    if (m.subcommand == S::Conf) {
        switch (m.command) {
        case C::Listen:
            if (m.number != m_listenNumber)
                return;
            if (m.info != capi::info::Ok) {
                debug(QStringLiteral("Listen refused: %1").arg(capi::describeInfo(m.info)));
            } else {
                m_listening = m_listenMask != 0;
                if (!m_call)
                    setState(restingState());
            }
            return;
        case C::Connect:
            if (!m_call || !m_call->outgoing || m_call->phase != Phase::Dialing)
                return;
            if (m.info != capi::info::Ok) {
                finishCall(QStringLiteral("call not placed: %1").arg(capi::describeInfo(m.info)),
                           capi::reason::Normal);
                return;
            }
            m_call->plci = m.plci();
            if (m_call->disconnectWanted) {
                m_call->phase = Phase::Clearing;
                put(capi::Message(C::Disconnect, S::Req, m_appId, m_call->plci));
            } else {
                m_call->phase = Phase::Alerting;
            }
            return;
        case C::ConnectB3:
            if (!isOurs(m))
                return;
            if (m.info != capi::info::Ok) {
                debug(QStringLiteral("fax connection refused: %1").arg(capi::describeInfo(m.info)));
                m_call->dataFault = true;
                m_call->phase = Phase::Clearing;
                put(capi::Message(C::Disconnect, S::Req, m_appId, m_call->plci));
                return;
            }
            m_call->ncci = m.address;
            return;
        case C::DataB3:
            onDataConfirmed(m);
            return;
        default:
            if (m.info != capi::info::Ok)
                debug(QStringLiteral("%1: %2").arg(capi::messageName(m.command, m.subcommand),
                                                   capi::describeInfo(m.info)));
            return;
        }
    }
    if (m.subcommand != S::Ind)
        return;

    switch (m.command) {
    case C::Connect:
        onConnectIndication(m);
        return;
    case C::Info:
        respond(m);
        if (isOurs(m) && m_call->outgoing) {
            if (m.infoNumber == capi::infonumber::Alerting)
                progress(QStringLiteral("alerting"));
            else if (m.infoNumber == capi::infonumber::CallProceeding)
                progress(QStringLiteral("call proceeding"));
        }
        return;
    case C::ConnectActive:
        respond(m);
        if (!isOurs(m) || m_call->phase == Phase::Clearing)
            return;
        m_call->phase = Phase::Connected;
        progress(QStringLiteral("connected"));
        setState(CallStatus::State::Connected);
        if (m_call->outgoing)
            put(capi::Message(C::ConnectB3, S::Req, m_appId, m_call->plci));
        return;
    case C::ConnectB3: {
        capi::Message resp = m.response();
        resp.reject = isOurs(m) && m_call->phase == Phase::Connected ? capi::reject::Accept
                                                                      : capi::reject::NormalClearing;
        if (resp.reject == capi::reject::Accept)
            m_call->ncci = m.address;
        put(resp);
        return;
    }
    case C::ConnectB3Active:
        respond(m);
        onB3Active(m);
        return;
    case C::DataB3:
        onDataIndication(m);
        return;
    case C::DisconnectB3:
        respond(m);
        onB3Disconnected(m);
        return;
    case C::Disconnect:
        respond(m);
        if (m_ringingPhoneCalls.remove(m.plci()))
            return;
        if (isOurs(m))
            finishCall(endText(m.reason, m_call->b3Ended, m_call->reasonB3), m.reason);
        return;
    default:
        // Every other indication is answered so the line can go on.
        respond(m);
        return;
    }
}

// ---- incoming calls ------------------------------------------------------------------------

void FaxEndpoint::onConnectIndication(const capi::Message &m)
{
    const QString called = m.calledParty.digits;
    const QString calling = m.callingParty.digits;
    const QString type = callType(m.cip);
    if (!m_answer.answers(called)) {
        // Not one of this endpoint's numbers: another device on the bus may take it.
        capi::Message resp = m.response();
        resp.reject = capi::reject::Ignore;
        put(resp);
        debug(QStringLiteral("incoming %1 to %2 ignored: not one of the answer numbers %3")
                  .arg(type, called, m_answer.answerNumbers.join(QStringLiteral(", "))));
        return;
    }
    m_events.post(EventSlot::IncomingCall, {called, calling, type});

    if (!isFaxCall(m.cip)) {
        // Phone calls ring on: this application never answers them.
        m_ringingPhoneCalls.insert(m.plci());
        put(capi::Message(capi::Command::Alert, capi::Subcommand::Req, m_appId, m.plci()));
        m_events.post(EventSlot::IncomingPhoneCall, {called, calling});
        return;
    }
    if (m_call) {
        capi::Message resp = m.response();
        resp.reject = capi::reject::UserBusy;
        put(resp);
        debug(QStringLiteral("incoming %1 from %2 refused: busy with another call")
                  .arg(type, calling));
        return;
    }

    auto call = std::make_unique<Call>();
    call->g4 = m.cip == capi::cip::FaxG4;
    call->phase = Phase::Offered;
    call->plci = m.plci();
    call->offerNumber = m.number;
    m_call = std::move(call);
    m_status.outgoing = false;
    m_status.g4 = m_call->g4;
    m_status.ownNumber = called;
    m_status.remoteNumber = calling;
    m_status.remoteStationId.clear();
    m_status.page = 0;
    m_status.pageCount = 0;
    m_status.bytes = 0;
    m_status.totalBytes = 0;
    m_status.rate = 0;
    m_status.documentPath.clear();
    setState(CallStatus::State::Ringing);
    put(capi::Message(capi::Command::Alert, capi::Subcommand::Req, m_appId, m.plci()));
    const quint32 plci = m.plci();
    m_events.post(EventSlot::IncomingFax, {called, calling}, [this, plci] { decideIncoming(plci); });
}

void FaxEndpoint::decideIncoming(quint32 plci)
{
    // The caller may have hung up, or Disconnect or StopCapi came while the event was raised.
    if (!m_call || m_call->plci != plci || m_call->phase != Phase::Offered)
        return;
    Call &call = *m_call;
    QString reason;
    if (!m_acceptFax) {
        reason = QStringLiteral("AcceptFax is False");
    } else {
        const QString path = platform::localPath(m_receiveFileName);
        call.in = IncomingDocument::create(path, &reason);
        if (!call.in && m_receiveFileName != path)
            reason = QStringLiteral("%1 (%2)").arg(reason, m_receiveFileName);
    }
    if (!call.in) {
        debug(QStringLiteral("incoming fax rejected: %1").arg(reason));
        rejectOffered(kRejectCall, QStringLiteral("call ended: call rejected"));
        return;
    }
    capi::Message resp(capi::Command::Connect, capi::Subcommand::Resp, m_appId, plci);
    resp.number = call.offerNumber;
    if (call.g4) {
        resp.bProtocol = capi::BProtocol::faxG4(capi::bproto::B3T90NL);
    } else {
        capi::FaxB3Configuration config;
        config.stationId = m_status.ownNumber.left(kStationIdLength);
        resp.bProtocol = capi::BProtocol::faxG3(config);
    }
    resp.reject = capi::reject::Accept;
    resp.connectedNumber.digits = m_status.ownNumber;
    call.phase = Phase::Answering;
    m_status.documentPath = call.in->path();
    progress(QStringLiteral("answering, receiving into %1").arg(m_receiveFileName));
    put(resp);
}

void FaxEndpoint::rejectOffered(quint16 rejectValue, const QString &text)
{
    capi::Message resp(capi::Command::Connect, capi::Subcommand::Resp, m_appId, m_call->plci);
    resp.number = m_call->offerNumber;
    resp.reject = rejectValue;
    m_call->localAbort = true;
    put(resp);
    // A refused call is over for this side at once; a DISCONNECT_IND that may follow for its
    // PLCI is answered as any other.
    finishCall(text, capi::reason::Normal);
}

// ---- the fax connection --------------------------------------------------------------------

void FaxEndpoint::onB3Active(const capi::Message &m)
{
    if (!isOurs(m) || m_call->phase != Phase::Connected)
        return;
    Call &call = *m_call;
    call.phase = Phase::Transfer;
    call.ncci = m.address;
    QString text;
    if (call.g4) {
        m_status.rate = kG4Rate;
        m_status.remoteStationId = m_status.remoteNumber;
        text = QStringLiteral("%1 bit/s, fax G4, %2, remote station id \"%3\"")
                   .arg(kG4Rate)
                   .arg(call.outgoing ? resolutionText(call.resolution)
                                      : QStringLiteral("resolution as sent"))
                   .arg(m_status.remoteStationId);
    } else {
        const std::optional<capi::FaxNcpi> ncpi = capi::FaxNcpi::fromBytes(m.ncpi);
        if (ncpi) {
            m_status.rate = ncpi->rate;
            m_status.remoteStationId = ncpi->remoteStationId;
            call.resolution = ncpi->resolution;
        }
        text = QStringLiteral("%1 bit/s, %2, remote station id \"%3\"")
                   .arg(m_status.rate)
                   .arg(resolutionText(call.resolution))
                   .arg(m_status.remoteStationId);
    }
    m_events.post(EventSlot::Connected, {text});
    setState(call.outgoing ? CallStatus::State::Sending : CallStatus::State::Receiving);
    if (call.outgoing)
        pumpData();
}

void FaxEndpoint::pumpData()
{
    Call &call = *m_call;
    while (call.phase == Phase::Transfer && call.blockEnds.size() < int(kMaxBlocks)
           && !call.out->atEnd()) {
        QString error;
        const QByteArray block = call.out->nextBlock(kBlockLength, &error);
        if (block.isEmpty()) {
            debug(error);
            call.dataFault = true;
            disconnectCall();
            return;
        }
        // Pages whose first byte goes out with this block.
        while (call.pagesStarted < call.out->pageCount()
               && call.out->pageOffset(call.pagesStarted + 1) < call.out->sent()) {
            ++call.pagesStarted;
            m_status.page = call.pagesStarted;
            m_status.pageOffset = call.out->pageOffset(call.pagesStarted);
            progress(QStringLiteral("sending page %1 of %2")
                         .arg(call.pagesStarted)
                         .arg(call.out->pageCount()));
        }
        const quint16 handle = call.nextHandle++;
        call.blockEnds.insert(handle, call.out->sent());
        if (!put(capi::Message::dataB3Req(m_appId, call.ncci, block, handle))) {
            call.blockEnds.remove(handle);
            call.dataFault = true;
            disconnectCall();
            return;
        }
    }
    if (call.phase == Phase::Transfer && call.out->atEnd() && call.blockEnds.isEmpty()) {
        progress(QStringLiteral("all pages sent, disconnecting"));
        call.phase = Phase::ClosingFax;
        put(capi::Message(capi::Command::DisconnectB3, capi::Subcommand::Req, m_appId, call.ncci));
    }
}

void FaxEndpoint::onDataConfirmed(const capi::Message &m)
{
    if (!m_call || !m_call->outgoing)
        return;
    Call &call = *m_call;
    const auto it = call.blockEnds.find(m.dataHandle);
    if (it == call.blockEnds.end())
        return;
    const qint64 end = it.value();
    call.blockEnds.erase(it);
    if (m.info != capi::info::Ok) {
        debug(QStringLiteral("fax data block %1 refused: %2")
                  .arg(m.dataHandle)
                  .arg(capi::describeInfo(m.info)));
        call.dataFault = true;
        disconnectCall();
        return;
    }
    call.confirmed = std::max(call.confirmed, end);
    m_status.bytes = call.confirmed;
    const int pages = call.out->pageCount();
    while (call.pagesDone < pages) {
        const qint64 pageEnd = call.pagesDone + 1 < pages ? call.out->pageOffset(call.pagesDone + 2)
                                                          : call.out->size();
        if (call.confirmed < pageEnd)
            break;
        ++call.pagesDone;
        progress(QStringLiteral("page %1 of %2 sent").arg(call.pagesDone).arg(pages));
    }
    statusTouched();
    pumpData();
}

void FaxEndpoint::onDataIndication(const capi::Message &m)
{
    respond(m);
    if (!isOurs(m) || !m_call->in || m_call->phase != Phase::Transfer)
        return;
    Call &call = *m_call;
    const int before = call.in->pages();
    QString error;
    if (!call.in->write(m.data, &error)) {
        debug(error);
        call.dataFault = true;
        disconnectCall();
        return;
    }
    const int after = call.in->pages();
    for (int page = before + 1; page <= after; ++page) {
        if (page > 1)
            progress(QStringLiteral("page %1 received").arg(page - 1));
        progress(QStringLiteral("receiving page %1").arg(page));
    }
    m_status.bytes = call.in->bytes();
    if (after != m_status.page) {
        m_status.page = after;
        m_status.pageOffset = call.in->currentPageOffset();
    }
    statusTouched();
}

void FaxEndpoint::onB3Disconnected(const capi::Message &m)
{
    if (!isOurs(m))
        return;
    Call &call = *m_call;
    call.b3Ended = true;
    call.reasonB3 = m.reason;
    if (!call.g4) {
        if (const std::optional<capi::FaxNcpi> ncpi = capi::FaxNcpi::fromBytes(m.ncpi))
            call.ncpiPages = ncpi->pages;
    }
    if (call.phase == Phase::Clearing)
        return;
    // The side that closed the fax connection clears the call; the other side waits for its
    // DISCONNECT_IND, and clears the call itself only if none comes.
    if (call.phase == Phase::ClosingFax || call.localAbort) {
        call.phase = Phase::Clearing;
        put(capi::Message(capi::Command::Disconnect, capi::Subcommand::Req, m_appId, call.plci));
        return;
    }
    call.phase = Phase::AwaitingClear;
    const quint32 plci = call.plci;
    QTimer::singleShot(kRemoteClearTimeoutMs, this, [this, plci] {
        if (m_call && m_call->plci == plci && m_call->phase == Phase::AwaitingClear) {
            m_call->phase = Phase::Clearing;
            put(capi::Message(capi::Command::Disconnect, capi::Subcommand::Req, m_appId, plci));
        }
    });
}

void FaxEndpoint::finishCall(const QString &text, quint16 reason)
{
    std::unique_ptr<Call> call = std::move(m_call);
    m_status.lastReason = text;
    QVariantList faxSent;
    bool received = false;
    if (call->outgoing) {
        const bool allPagesConfirmed =
            call->out->atEnd() && call->blockEnds.isEmpty() && call->confirmed == call->out->size();
        const bool pagesReported = call->g4 || call->ncpiPages == call->out->pageCount();
        const bool success = !call->localAbort && !call->dataFault && allPagesConfirmed
                             && call->b3Ended && call->reasonB3 == capi::reason::Normal
                             && capi::reason::isNormalClearing(reason) && pagesReported;
        if (!success && allPagesConfirmed && !pagesReported && call->b3Ended)
            debug(QStringLiteral("the remote reported %1 of %2 pages")
                      .arg(call->ncpiPages)
                      .arg(call->out->pageCount()));
        faxSent << success;
    } else if (call->in) {
        call->in->close();
        const int pages = call->in->pages();
        received = call->in->complete() && !call->localAbort && !call->dataFault
                   && call->reasonB3 == capi::reason::Normal;
        if (received) {
            progress(QStringLiteral("page %1 received").arg(pages));
            progress(QStringLiteral("fax received: %1 page(s), %2 bytes")
                         .arg(pages)
                         .arg(call->in->bytes()));
        } else {
            const QString fault = call->in->fault();
            progress(QStringLiteral("fax incomplete: %1 bytes of %2 page(s) kept in %3")
                         .arg(call->in->bytes())
                         .arg(pages)
                         .arg(call->in->path()));
            if (!fault.isEmpty())
                debug(QStringLiteral("received document: %1").arg(fault));
        }
    }
    progress(text);
    if (!faxSent.isEmpty())
        m_events.post(EventSlot::FaxSent, faxSent);
    if (received)
        m_events.post(EventSlot::FaxReceived);
    m_events.post(EventSlot::Disconnected);
    setState(restingState());
}

// ---- helpers -------------------------------------------------------------------------------

bool FaxEndpoint::refuse(const char *member, const QString &why)
{
    debug(QStringLiteral("%1: %2").arg(QLatin1String(member), why));
    return false;
}

void FaxEndpoint::progress(const QString &text)
{
    if (!m_quiet)
        m_events.post(EventSlot::CallProgress, {text});
}

void FaxEndpoint::debug(const QString &text)
{
    if (!m_quiet)
        m_events.debug(text);
}

void FaxEndpoint::setState(CallStatus::State state)
{
    m_status.state = state;
    emit statusChanged();
}

CallStatus::State FaxEndpoint::restingState() const
{
    return m_listening ? CallStatus::State::Listening : CallStatus::State::Idle;
}

} // namespace quillon::component
