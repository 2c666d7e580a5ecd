// One fax call against a recording line: every phase of a call against every message that can
// arrive in it, and the local requests (Disconnect, the AcceptFax decision, the wait for the
// remote's clearing, StopCapi), each with the answers put, the phase the call goes to, what
// the status window shows and the events raised. Then the success rule of a finished call.

#include "component/faxdocs.h"
#include "common/testenv.h"

#include "component/calloutcome.h"
#include "component/eventqueue.h"
#include "component/faxcall.h"
#include "component/faxfiles.h"
#include "component/outbox.h"
#include "component/reporter.h"
#include "capi/message.h"
#include "capi/transport.h"
#include "t30report/framereport.h"

#include <QApplication>
#include <QTemporaryDir>

using quillon::EventSlot;
using quillon::component::CallStatus;
using quillon::component::FaxCall;
using quillon::component::FinishedCall;
using Phase = FaxCall::Phase;
using C = capi::Command;
using S = capi::Subcommand;

namespace {

constexpr quint16 kApp = 3;
constexpr quint32 kController = 1;
constexpr quint32 kPlci = 0x0101;
constexpr quint32 kNcci = 0x010101;
constexpr quint16 kIndicationNumber = 77;

// Takes every message and records it; delivers nothing.
class RecordingLine final : public capi::Transport
{
public:
    QList<capi::Message> put;

    bool isInstalled() const override { return true; }
    capi::RegisterResult registerApplication(const capi::Registration &) override
    {
        return {kApp, capi::info::Ok};
    }
    quint16 release(quint16) override { return capi::info::Ok; }
    quint16 putMessage(const capi::Message &m) override
    {
        put << m;
        return capi::info::Ok;
    }
    std::optional<capi::Message> getMessage(quint16) override { return std::nullopt; }
    capi::Profile profile(quint32) const override { return {}; }
    QString manufacturer(quint32) const override { return QStringLiteral("recording line"); }
    capi::Version version(quint32) const override { return {}; }
    QString serialNumber(quint32) const override { return QStringLiteral("0"); }
};

QString putToken(const capi::Message &m)
{
    QString t = capi::messageName(m.command, m.subcommand);
    if (m.subcommand == S::Resp && (m.command == C::Connect || m.command == C::ConnectB3))
        t += m.reject == capi::reject::Accept ? QStringLiteral("(accept)") : QStringLiteral("(reject)");
    return t;
}

QString eventToken(int slot, const QVariantList &params)
{
    switch (EventSlot(slot)) {
    case EventSlot::CallProgress: return QStringLiteral("CallProgress");
    case EventSlot::Connected: return QStringLiteral("Connected");
    case EventSlot::FaxSent:
        return params.value(0).toBool() ? QStringLiteral("FaxSent=true")
                                        : QStringLiteral("FaxSent=false");
    case EventSlot::FaxReceived: return QStringLiteral("FaxReceived");
    case EventSlot::Disconnected: return QStringLiteral("Disconnected");
    default: return QStringLiteral("slot %1").arg(slot);
    }
}

// Whether `got` is the sequence `want`; a token ending in '*' stands for one or more of it.
bool matches(const QStringList &got, const QStringList &want)
{
    int i = 0;
    for (const QString &w : want) {
        if (w.endsWith(QLatin1Char('*'))) {
            const QString token = w.chopped(1);
            if (i >= got.size() || got[i] != token)
                return false;
            while (i < got.size() && got[i] == token)
                ++i;
            continue;
        }
        if (i >= got.size() || got[i] != w)
            return false;
        ++i;
    }
    return i == got.size();
}

enum class Setup {
    OutDialing, OutDialingHungUp, OutAlerting, OutConnected, OutTransfer, OutClosingFax,
    OutFaxClosed, OutAwaitingClear, OutClearing,
    InOffered, InAnswering, InConnected, InTransfer, InClosingFax, InAwaitingClear, InWholeFax,
};

enum class Stim {
    ConnectConfOk, ConnectConfFail, Info, ConnectActive, ConnectB3ConfOk, ConnectB3ConfFail,
    ConnectB3Ind, B3Active, DataConfOk, DataConfFail, DataConfUnknown, ConfirmAll, DataInd,
    B3Ended, B3EndedNotFax, Disconnected, DisconnectedBusy, OtherInd, OtherConfFailed,
    HangUp, Accept, AcceptFalse, AcceptMissingFolder, ClearTimeout, Stop,
    // The controller's T.30 frame reports: a command sent, then the far fax's answer.
    MpsMcf, MpsRtn, PpsNullMcf,
};

struct Row
{
    const char *name;
    Setup setup;
    Stim stim;
    const char *puts;   // the messages put, in order
    Phase phase;        // the phase afterwards
    const char *state;  // what the status window shows afterwards ("" once ended)
    const char *events; // the events raised, Debug left out
};

constexpr Row kRows[] = {
    // Outgoing: dialing
    {"dialing, CONNECT_CONF", Setup::OutDialing, Stim::ConnectConfOk, "", Phase::Alerting, "calling", ""},
    {"dialing, CONNECT_CONF refused", Setup::OutDialing, Stim::ConnectConfFail, "", Phase::Ended, "", "CallProgress FaxSent=false Disconnected"},
    {"dialing, Disconnect", Setup::OutDialing, Stim::HangUp, "", Phase::Dialing, "disconnecting", "CallProgress"},
    {"dialing, Disconnect again", Setup::OutDialingHungUp, Stim::HangUp, "", Phase::Dialing, "disconnecting", "CallProgress"},
    {"dialing after Disconnect, CONNECT_CONF", Setup::OutDialingHungUp, Stim::ConnectConfOk, "DISCONNECT_REQ", Phase::Clearing, "disconnecting", ""},
    {"dialing, StopCapi", Setup::OutDialing, Stim::Stop, "", Phase::Ended, "", "CallProgress FaxSent=false Disconnected"},
    // Outgoing: alerting
    {"alerting, INFO_IND", Setup::OutAlerting, Stim::Info, "INFO_RESP", Phase::Alerting, "calling", "CallProgress"},
    {"alerting, CONNECT_ACTIVE_IND", Setup::OutAlerting, Stim::ConnectActive, "CONNECT_ACTIVE_RESP CONNECT_B3_REQ", Phase::Connected, "connected", "CallProgress"},
    {"alerting, CONNECT_B3_IND", Setup::OutAlerting, Stim::ConnectB3Ind, "CONNECT_B3_RESP(reject)", Phase::Alerting, "calling", ""},
    {"alerting, DISCONNECT_IND busy", Setup::OutAlerting, Stim::DisconnectedBusy, "DISCONNECT_RESP", Phase::Ended, "", "CallProgress FaxSent=false Disconnected"},
    {"alerting, other IND", Setup::OutAlerting, Stim::OtherInd, "FACILITY_RESP", Phase::Alerting, "calling", ""},
    {"alerting, Disconnect", Setup::OutAlerting, Stim::HangUp, "DISCONNECT_REQ", Phase::Clearing, "disconnecting", "CallProgress"},
    {"alerting, StopCapi", Setup::OutAlerting, Stim::Stop, "", Phase::Ended, "", "CallProgress FaxSent=false Disconnected"},
    // Outgoing: connected, fax connection being set up
    {"out connected, CONNECT_B3_CONF", Setup::OutConnected, Stim::ConnectB3ConfOk, "", Phase::Connected, "connected", ""},
    {"out connected, CONNECT_B3_CONF refused", Setup::OutConnected, Stim::ConnectB3ConfFail, "DISCONNECT_REQ", Phase::Clearing, "connected", ""},
    {"out connected, CONNECT_B3_ACTIVE_IND", Setup::OutConnected, Stim::B3Active, "CONNECT_B3_ACTIVE_RESP DATA_B3_REQ*", Phase::Transfer, "sending", "Connected CallProgress*"},
    {"out connected, DISCONNECT_B3_IND not a fax", Setup::OutConnected, Stim::B3EndedNotFax, "DISCONNECT_B3_RESP", Phase::AwaitingClear, "connected", ""},
    {"out connected, CONNECT_ACTIVE_IND again", Setup::OutConnected, Stim::ConnectActive, "CONNECT_ACTIVE_RESP", Phase::Connected, "connected", ""},
    {"out connected, DISCONNECT_IND", Setup::OutConnected, Stim::Disconnected, "DISCONNECT_RESP", Phase::Ended, "", "CallProgress FaxSent=false Disconnected"},
    {"out connected, Disconnect", Setup::OutConnected, Stim::HangUp, "DISCONNECT_REQ", Phase::Clearing, "disconnecting", "CallProgress"},
    // Outgoing: data
    {"sending, DATA_B3_CONF", Setup::OutTransfer, Stim::DataConfOk, "", Phase::Transfer, "sending", ""},
    {"sending, DATA_B3_CONF refused", Setup::OutTransfer, Stim::DataConfFail, "DISCONNECT_B3_REQ", Phase::ClosingFax, "disconnecting", "CallProgress"},
    {"sending, DATA_B3_CONF unknown handle", Setup::OutTransfer, Stim::DataConfUnknown, "", Phase::Transfer, "sending", ""},
    // A G3 controller takes the whole document before T.30 sends a page: no page is sent yet.
    {"sending, every block confirmed", Setup::OutTransfer, Stim::ConfirmAll, "DISCONNECT_B3_REQ", Phase::ClosingFax, "sending", ""},
    {"sending, DATA_B3_IND", Setup::OutTransfer, Stim::DataInd, "DATA_B3_RESP", Phase::Transfer, "sending", ""},
    {"sending, DISCONNECT_B3_IND", Setup::OutTransfer, Stim::B3Ended, "DISCONNECT_B3_RESP", Phase::AwaitingClear, "sending", ""},
    {"sending, DISCONNECT_IND", Setup::OutTransfer, Stim::Disconnected, "DISCONNECT_RESP", Phase::Ended, "", "CallProgress FaxSent=false Disconnected"},
    {"sending, Disconnect", Setup::OutTransfer, Stim::HangUp, "DISCONNECT_B3_REQ", Phase::ClosingFax, "disconnecting", "CallProgress"},
    {"sending, StopCapi", Setup::OutTransfer, Stim::Stop, "", Phase::Ended, "", "CallProgress FaxSent=false Disconnected"},
    // Outgoing: the end of the fax connection
    // The pages the controller counted, told as it ends: page 1 sent, page 2 sending and sent,
    // all pages sent.
    {"closing fax, DISCONNECT_B3_IND", Setup::OutClosingFax, Stim::B3Ended, "DISCONNECT_B3_RESP DISCONNECT_REQ", Phase::Clearing, "sending", "CallProgress CallProgress CallProgress CallProgress"},
    // Page 1 sent, page 2 sending; an ECM block within a page, or a page refused, is no page.
    {"closing fax, MCF to MPS", Setup::OutClosingFax, Stim::MpsMcf, "", Phase::ClosingFax, "sending", "CallProgress CallProgress"},
    {"closing fax, RTN to MPS", Setup::OutClosingFax, Stim::MpsRtn, "", Phase::ClosingFax, "sending", ""},
    {"closing fax, MCF to PPS-NULL", Setup::OutClosingFax, Stim::PpsNullMcf, "", Phase::ClosingFax, "sending", ""},
    {"closing fax, DATA_B3_CONF late", Setup::OutClosingFax, Stim::DataConfOk, "", Phase::ClosingFax, "sending", ""},
    {"closing fax, Disconnect", Setup::OutClosingFax, Stim::HangUp, "DISCONNECT_REQ", Phase::Clearing, "disconnecting", "CallProgress"},
    {"closing fax, DISCONNECT_IND", Setup::OutClosingFax, Stim::Disconnected, "DISCONNECT_RESP", Phase::Ended, "", "CallProgress FaxSent=false Disconnected"},
    {"fax closed, DISCONNECT_IND", Setup::OutFaxClosed, Stim::Disconnected, "DISCONNECT_RESP", Phase::Ended, "", "CallProgress FaxSent=true Disconnected"},
    {"fax closed, DISCONNECT_IND busy", Setup::OutFaxClosed, Stim::DisconnectedBusy, "DISCONNECT_RESP", Phase::Ended, "", "CallProgress FaxSent=false Disconnected"},
    {"fax closed, StopCapi", Setup::OutFaxClosed, Stim::Stop, "", Phase::Ended, "", "CallProgress FaxSent=true Disconnected"},
    {"out awaiting clear, DISCONNECT_IND", Setup::OutAwaitingClear, Stim::Disconnected, "DISCONNECT_RESP", Phase::Ended, "", "CallProgress FaxSent=false Disconnected"},
    {"out awaiting clear, timeout", Setup::OutAwaitingClear, Stim::ClearTimeout, "DISCONNECT_REQ", Phase::Clearing, "sending", ""},
    {"out awaiting clear, Disconnect", Setup::OutAwaitingClear, Stim::HangUp, "DISCONNECT_REQ", Phase::Clearing, "disconnecting", "CallProgress"},
    // Outgoing: clearing
    {"clearing, DISCONNECT_IND", Setup::OutClearing, Stim::Disconnected, "DISCONNECT_RESP", Phase::Ended, "", "CallProgress FaxSent=false Disconnected"},
    {"clearing, DISCONNECT_B3_IND", Setup::OutClearing, Stim::B3Ended, "DISCONNECT_B3_RESP", Phase::Clearing, "disconnecting", ""},
    {"clearing, CONNECT_ACTIVE_IND", Setup::OutClearing, Stim::ConnectActive, "CONNECT_ACTIVE_RESP", Phase::Clearing, "disconnecting", ""},
    {"clearing, INFO_IND", Setup::OutClearing, Stim::Info, "INFO_RESP", Phase::Clearing, "disconnecting", "CallProgress"},
    {"clearing, CONNECT_B3_IND", Setup::OutClearing, Stim::ConnectB3Ind, "CONNECT_B3_RESP(reject)", Phase::Clearing, "disconnecting", ""},
    {"clearing, other CONF refused", Setup::OutClearing, Stim::OtherConfFailed, "", Phase::Clearing, "disconnecting", ""},
    {"clearing, Disconnect", Setup::OutClearing, Stim::HangUp, "", Phase::Clearing, "disconnecting", ""},
    {"clearing, timeout", Setup::OutClearing, Stim::ClearTimeout, "", Phase::Clearing, "disconnecting", ""},
    // Incoming: offered
    {"offered, accepted", Setup::InOffered, Stim::Accept, "CONNECT_RESP(accept)", Phase::Answering, "incoming call", "CallProgress"},
    {"offered, AcceptFax False", Setup::InOffered, Stim::AcceptFalse, "CONNECT_RESP(reject)", Phase::Ended, "", "CallProgress Disconnected"},
    {"offered, receive folder missing", Setup::InOffered, Stim::AcceptMissingFolder, "CONNECT_RESP(reject)", Phase::Ended, "", "CallProgress Disconnected"},
    {"offered, Disconnect", Setup::InOffered, Stim::HangUp, "CONNECT_RESP(reject)", Phase::Ended, "", "CallProgress CallProgress Disconnected"},
    {"offered, DISCONNECT_IND", Setup::InOffered, Stim::Disconnected, "DISCONNECT_RESP", Phase::Ended, "", "CallProgress Disconnected"},
    {"offered, INFO_IND", Setup::InOffered, Stim::Info, "INFO_RESP", Phase::Offered, "incoming call", ""},
    {"offered, CONNECT_B3_IND", Setup::InOffered, Stim::ConnectB3Ind, "CONNECT_B3_RESP(reject)", Phase::Offered, "incoming call", ""},
    {"offered, StopCapi", Setup::InOffered, Stim::Stop, "", Phase::Ended, "", "CallProgress Disconnected"},
    // Incoming: answering and connected
    {"answering, CONNECT_ACTIVE_IND", Setup::InAnswering, Stim::ConnectActive, "CONNECT_ACTIVE_RESP", Phase::Connected, "connected", "CallProgress"},
    {"answering, accepted again", Setup::InAnswering, Stim::Accept, "", Phase::Answering, "incoming call", ""},
    {"answering, DISCONNECT_IND", Setup::InAnswering, Stim::Disconnected, "DISCONNECT_RESP", Phase::Ended, "", "CallProgress CallProgress Disconnected"},
    {"answering, Disconnect", Setup::InAnswering, Stim::HangUp, "DISCONNECT_REQ", Phase::Clearing, "disconnecting", "CallProgress"},
    {"in connected, CONNECT_B3_IND", Setup::InConnected, Stim::ConnectB3Ind, "CONNECT_B3_RESP(accept)", Phase::Connected, "connected", ""},
    {"in connected, CONNECT_B3_ACTIVE_IND", Setup::InConnected, Stim::B3Active, "CONNECT_B3_ACTIVE_RESP", Phase::Transfer, "receiving", "Connected"},
    {"in connected, DISCONNECT_B3_IND not a fax", Setup::InConnected, Stim::B3EndedNotFax, "DISCONNECT_B3_RESP", Phase::AwaitingClear, "connected", ""},
    // Incoming: data
    {"receiving, DATA_B3_IND", Setup::InTransfer, Stim::DataInd, "DATA_B3_RESP", Phase::Transfer, "receiving", "CallProgress"},
    {"receiving, DATA_B3_CONF", Setup::InTransfer, Stim::DataConfOk, "", Phase::Transfer, "receiving", ""},
    {"receiving, DISCONNECT_B3_IND", Setup::InTransfer, Stim::B3Ended, "DISCONNECT_B3_RESP", Phase::AwaitingClear, "receiving", ""},
    {"receiving, Disconnect", Setup::InTransfer, Stim::HangUp, "DISCONNECT_B3_REQ", Phase::ClosingFax, "disconnecting", "CallProgress"},
    {"receiving, DISCONNECT_IND", Setup::InTransfer, Stim::Disconnected, "DISCONNECT_RESP", Phase::Ended, "", "CallProgress CallProgress Disconnected"},
    {"in closing fax, DATA_B3_IND dropped", Setup::InClosingFax, Stim::DataInd, "DATA_B3_RESP", Phase::ClosingFax, "disconnecting", ""},
    {"in closing fax, DISCONNECT_B3_IND", Setup::InClosingFax, Stim::B3Ended, "DISCONNECT_B3_RESP DISCONNECT_REQ", Phase::Clearing, "disconnecting", ""},
    {"in awaiting clear, DISCONNECT_IND", Setup::InAwaitingClear, Stim::Disconnected, "DISCONNECT_RESP", Phase::Ended, "", "CallProgress CallProgress Disconnected"},
    {"in awaiting clear, timeout", Setup::InAwaitingClear, Stim::ClearTimeout, "DISCONNECT_REQ", Phase::Clearing, "receiving", ""},
    {"in awaiting clear, Disconnect", Setup::InAwaitingClear, Stim::HangUp, "DISCONNECT_REQ", Phase::Clearing, "disconnecting", "CallProgress"},
    // Incoming: the whole document came, the fax connection ended normally
    {"whole fax, DISCONNECT_IND", Setup::InWholeFax, Stim::Disconnected, "DISCONNECT_RESP", Phase::Ended, "", "CallProgress CallProgress CallProgress FaxReceived Disconnected"},
    {"whole fax, Disconnect", Setup::InWholeFax, Stim::HangUp, "DISCONNECT_REQ", Phase::Clearing, "disconnecting", "CallProgress"},
    {"whole fax, StopCapi", Setup::InWholeFax, Stim::Stop, "", Phase::Ended, "", "CallProgress CallProgress CallProgress FaxReceived Disconnected"},
};

} // namespace

Q_DECLARE_METATYPE(const Row *)

class TestFaxCall : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void phaseAgainstMessage_data();
    void phaseAgainstMessage();
    void disconnectAfterTheFaxEndedKeepsIt();
    void ownership();
    void successRule_data();
    void successRule();

private:
    // One call on a recording line, with what it put and raised.
    struct Rig
    {
        RecordingLine line;
        quillon::component::EventQueue queue;
        quillon::component::Reporter report{queue};
        quillon::component::Outbox out{line, kApp, kController, report};
        std::unique_ptr<FaxCall> call;
        QStringList raised;

        Rig()
        {
            queue.setSink([this](int slot, QVariantList &params) {
                if (slot != int(EventSlot::Debug))
                    raised << eventToken(slot, params);
            });
        }
        QStringList takeEvents()
        {
            while (!queue.idle())
                QCoreApplication::processEvents();
            return std::exchange(raised, {});
        }
    };

    bool setUp(Rig &rig, Setup setup);
    void apply(Rig &rig, Stim stim);
    QString sendPath() const { return m_dir.filePath(QStringLiteral("send.sff")); }
    QString receivePath() const { return m_dir.filePath(QStringLiteral("received.sff")); }

    QTemporaryDir m_dir;
    QByteArray m_document;
    int m_blocks = 0;
};

namespace {

capi::Message message(C c, S s, quint32 address)
{
    capi::Message m(c, s, kApp, address);
    m.number = kIndicationNumber;
    return m;
}

} // namespace

void TestFaxCall::initTestCase()
{
    QVERIFY(m_dir.isValid());
    // Two pages that go out in one window of blocks, the first longer than one block.
    m_document = componenttest::testDocument(2, sff::Resolution::Standard, 150);
    const sff::DocumentInfo info = sff::checkData(m_document);
    QCOMPARE(info.pages.size(), 2);
    QVERIFY(info.pages[1].offset > FaxCall::kBlockLength);
    m_blocks = int((m_document.size() + FaxCall::kBlockLength - 1) / FaxCall::kBlockLength);
    QVERIFY2(m_blocks > 2 && m_blocks <= FaxCall::kMaxBlocks, qPrintable(QString::number(m_blocks)));
    QVERIFY(componenttest::writeFile(sendPath(), m_document));
}

void TestFaxCall::apply(Rig &rig, Stim stim)
{
    FaxCall &call = *rig.call;
    switch (stim) {
    case Stim::ConnectConfOk:
    case Stim::ConnectConfFail: {
        capi::Message m = message(C::Connect, S::Conf, kPlci);
        m.info = stim == Stim::ConnectConfOk ? capi::info::Ok : capi::info::IllegalIdentifier;
        call.handle(m);
        return;
    }
    case Stim::Info: {
        capi::Message m = message(C::Info, S::Ind, kPlci);
        m.infoNumber = capi::infonumber::Alerting;
        call.handle(m);
        return;
    }
    case Stim::ConnectActive: call.handle(message(C::ConnectActive, S::Ind, kPlci)); return;
    case Stim::ConnectB3ConfOk:
    case Stim::ConnectB3ConfFail: {
        capi::Message m = message(C::ConnectB3, S::Conf, kNcci);
        m.info = stim == Stim::ConnectB3ConfOk ? capi::info::Ok : capi::info::IllegalState;
        call.handle(m);
        return;
    }
    case Stim::ConnectB3Ind: call.handle(message(C::ConnectB3, S::Ind, kNcci)); return;
    case Stim::B3Active: {
        capi::Message m = message(C::ConnectB3Active, S::Ind, kNcci);
        capi::FaxNcpi ncpi;
        ncpi.rate = 14400;
        ncpi.remoteStationId = QStringLiteral("REMOTE");
        m.ncpi = ncpi.toBytes();
        call.handle(m);
        return;
    }
    case Stim::DataConfOk:
    case Stim::DataConfFail:
    case Stim::DataConfUnknown: {
        capi::Message m = message(C::DataB3, S::Conf, kNcci);
        m.dataHandle = stim == Stim::DataConfUnknown ? 99 : 0;
        m.info = stim == Stim::DataConfFail ? capi::info::IllegalState : capi::info::Ok;
        call.handle(m);
        return;
    }
    case Stim::ConfirmAll:
        for (int h = 0; h < m_blocks; ++h) {
            capi::Message m = message(C::DataB3, S::Conf, kNcci);
            m.dataHandle = quint16(h);
            call.handle(m);
        }
        return;
    case Stim::DataInd: {
        capi::Message m = message(C::DataB3, S::Ind, kNcci);
        m.data = m_document.left(FaxCall::kBlockLength);
        m.dataLength = quint16(m.data.size());
        m.dataHandle = 5;
        call.handle(m);
        return;
    }
    case Stim::B3Ended:
    case Stim::B3EndedNotFax: {
        capi::Message m = message(C::DisconnectB3, S::Ind, kNcci);
        m.reason = stim == Stim::B3Ended ? capi::reason::Normal : capi::reason::FaxNotG3;
        capi::FaxNcpi ncpi;
        ncpi.pages = stim == Stim::B3Ended ? 2 : 0;
        m.ncpi = ncpi.toBytes();
        call.handle(m);
        return;
    }
    case Stim::Disconnected:
    case Stim::DisconnectedBusy: {
        capi::Message m = message(C::Disconnect, S::Ind, kPlci);
        m.reason = stim == Stim::Disconnected ? capi::reason::NormalClearing
                                              : capi::reason::UserBusy;
        call.handle(m);
        return;
    }
    case Stim::OtherInd: call.handle(message(C::Facility, S::Ind, kPlci)); return;
    case Stim::OtherConfFailed: {
        capi::Message m = message(C::Disconnect, S::Conf, kPlci);
        m.info = capi::info::IllegalIdentifier;
        call.handle(m);
        return;
    }
    case Stim::HangUp: call.hangUp(); return;
    case Stim::Accept: call.answer(true, receivePath()); return;
    case Stim::AcceptFalse: call.answer(false, receivePath()); return;
    case Stim::AcceptMissingFolder:
        call.answer(true, m_dir.filePath(QStringLiteral("no such folder/received.sff")));
        return;
    case Stim::ClearTimeout: call.clearTimedOut(); return;
    case Stim::Stop: call.stop(); return;
    case Stim::MpsMcf:
    case Stim::MpsRtn:
    case Stim::PpsNullMcf: {
        const auto report = [](t30::FrameReport::Kind kind, QByteArray frame) {
            t30::FrameReport r;
            r.kind = kind;
            r.fcf = quint8(frame[2]) & 0xFE;
            r.frame = frame;
            return r;
        };
        call.frameReport(report(t30::FrameReport::Kind::Sent,
                                stim == Stim::PpsNullMcf ? QByteArray("\xff\x13\xbf\x00\x00\x00\x05", 7)
                                                         : QByteArray("\xff\x13\x4f", 3)));
        call.frameReport(report(t30::FrameReport::Kind::Received,
                                stim == Stim::MpsRtn ? QByteArray("\xff\x13\x4c", 3)
                                                     : QByteArray("\xff\x13\x8c", 3)));
        return;
    }
    }
}

// Brings a fresh call into the phase a row starts in, through the same table.
bool TestFaxCall::setUp(Rig &rig, Setup setup)
{
    const auto steps = [&](std::initializer_list<Stim> list) {
        for (Stim s : list)
            apply(rig, s);
    };
    const bool outgoing = setup <= Setup::OutClearing;
    if (outgoing) {
        quillon::component::SendRequest request;
        request.numberToCall = QStringLiteral("6");
        request.ownNumber = QStringLiteral("5");
        request.file = sendPath();
        QString why;
        auto doc = quillon::component::OutgoingDocument::open(sendPath(), &why);
        if (!doc)
            return false;
        rig.call = FaxCall::place(rig.out, rig.report, request, {request.numberToCall, false},
                                  {request.ownNumber, false}, std::move(doc));
    } else {
        capi::Message ind = message(C::Connect, S::Ind, kPlci);
        ind.cip = capi::cip::FaxG3;
        ind.calledParty.digits = QStringLiteral("5");
        ind.callingParty.digits = QStringLiteral("6");
        rig.call = FaxCall::offer(rig.out, rig.report, ind);
    }
    if (!rig.call)
        return false;
    const std::initializer_list<Stim> toOutTransfer = {Stim::ConnectConfOk, Stim::ConnectActive,
                                                       Stim::ConnectB3ConfOk, Stim::B3Active};
    const std::initializer_list<Stim> toInTransfer = {Stim::Accept, Stim::ConnectActive,
                                                      Stim::ConnectB3Ind, Stim::B3Active};
    switch (setup) {
    case Setup::OutDialing: break;
    case Setup::OutDialingHungUp: steps({Stim::HangUp}); break;
    case Setup::OutAlerting: steps({Stim::ConnectConfOk}); break;
    case Setup::OutConnected: steps({Stim::ConnectConfOk, Stim::ConnectActive}); break;
    case Setup::OutTransfer: steps(toOutTransfer); break;
    case Setup::OutClosingFax: steps(toOutTransfer); steps({Stim::ConfirmAll}); break;
    case Setup::OutFaxClosed:
        steps(toOutTransfer);
        steps({Stim::ConfirmAll, Stim::B3Ended});
        break;
    case Setup::OutAwaitingClear: steps(toOutTransfer); steps({Stim::B3Ended}); break;
    case Setup::OutClearing: steps({Stim::ConnectConfOk, Stim::HangUp}); break;
    case Setup::InOffered: break;
    case Setup::InAnswering: steps({Stim::Accept}); break;
    case Setup::InConnected: steps({Stim::Accept, Stim::ConnectActive}); break;
    case Setup::InTransfer: steps(toInTransfer); break;
    case Setup::InClosingFax: steps(toInTransfer); steps({Stim::HangUp}); break;
    case Setup::InAwaitingClear: steps(toInTransfer); steps({Stim::B3Ended}); break;
    case Setup::InWholeFax:
        steps(toInTransfer);
        for (qsizetype at = 0; at < m_document.size(); at += FaxCall::kBlockLength) {
            capi::Message m = message(C::DataB3, S::Ind, kNcci);
            m.data = m_document.mid(at, FaxCall::kBlockLength);
            rig.call->handle(m);
        }
        steps({Stim::B3Ended});
        break;
    }
    rig.line.put.clear();
    rig.takeEvents();
    return !rig.call->ended();
}

void TestFaxCall::phaseAgainstMessage_data()
{
    QTest::addColumn<const Row *>("row");
    for (const Row &row : kRows)
        QTest::newRow(row.name) << &row;
}

void TestFaxCall::phaseAgainstMessage()
{
    QFETCH(const Row *, row);
    QFile::remove(receivePath());
    Rig rig;
    QVERIFY(setUp(rig, row->setup));
    apply(rig, row->stim);

    QStringList puts;
    for (const capi::Message &m : rig.line.put) {
        puts << putToken(m);
        QCOMPARE(m.appId, kApp);
        // An answer carries the number of the indication it answers.
        if (m.subcommand == S::Resp)
            QCOMPARE(m.number, kIndicationNumber);
    }
    const QStringList wantPuts = QString::fromLatin1(row->puts).split(' ', Qt::SkipEmptyParts);
    QVERIFY2(matches(puts, wantPuts), qPrintable(puts.join(' ')));
    QCOMPARE(rig.call->phase(), row->phase);
    if (!rig.call->ended())
        QCOMPARE(quillon::component::stateText(rig.call->status().state),
                 QString::fromLatin1(row->state));
    const QStringList events = rig.takeEvents();
    const QStringList wantEvents = QString::fromLatin1(row->events).split(' ', Qt::SkipEmptyParts);
    QVERIFY2(matches(events, wantEvents), qPrintable(events.join(' ')));
}

void TestFaxCall::disconnectAfterTheFaxEndedKeepsIt()
{
    // Disconnect after the whole fax came and its connection ended normally: once the line
    // clears the call, the fax counts as received.
    QFile::remove(receivePath());
    Rig rig;
    QVERIFY(setUp(rig, Setup::InWholeFax));
    apply(rig, Stim::HangUp);
    apply(rig, Stim::Disconnected);
    QVERIFY(rig.call->ended());
    QVERIFY2(rig.takeEvents().contains(QStringLiteral("FaxReceived")),
             qPrintable(rig.call->endText()));
    QCOMPARE(componenttest::readFile(receivePath()), m_document);
    const CallStatus status = rig.call->status();
    QCOMPARE(status.page, 2);
    QCOMPARE(status.bytes, qint64(m_document.size()));
}

void TestFaxCall::ownership()
{
    Rig rig;
    QVERIFY(setUp(rig, Setup::OutDialing));
    // Before its PLCI is known, the call takes its CONNECT_CONF and nothing else.
    QVERIFY(rig.call->owns(message(C::Connect, S::Conf, kController)));
    QVERIFY(!rig.call->owns(message(C::Disconnect, S::Ind, kPlci)));
    apply(rig, Stim::ConnectConfOk);
    QVERIFY(!rig.call->owns(message(C::Connect, S::Conf, kPlci)));
    QVERIFY(rig.call->owns(message(C::Disconnect, S::Ind, kPlci)));
    QVERIFY(rig.call->owns(message(C::DataB3, S::Conf, kNcci)));
    QVERIFY(!rig.call->owns(message(C::Disconnect, S::Ind, 0x0201)));
}

enum class Change { None, Aborted, DataFault, NotConfirmed, NoB3End, B3Abnormal, CallBusy,
                    PagesMiscounted, G4NoCount, Incomplete };
Q_DECLARE_METATYPE(Change)

void TestFaxCall::successRule_data()
{
    QTest::addColumn<bool>("outgoing");
    QTest::addColumn<Change>("change");
    QTest::addColumn<bool>("success");
    QTest::newRow("sent") << true << Change::None << true;
    QTest::newRow("sent, aborted here") << true << Change::Aborted << false;
    QTest::newRow("sent, data fault") << true << Change::DataFault << false;
    QTest::newRow("sent, not all confirmed") << true << Change::NotConfirmed << false;
    QTest::newRow("sent, fax connection never ended") << true << Change::NoB3End << false;
    QTest::newRow("sent, fax connection ended abnormally") << true << Change::B3Abnormal << false;
    QTest::newRow("sent, call cleared abnormally") << true << Change::CallBusy << false;
    QTest::newRow("sent, remote counted other pages") << true << Change::PagesMiscounted << false;
    QTest::newRow("sent G4, no page count") << true << Change::G4NoCount << true;
    QTest::newRow("received") << false << Change::None << true;
    QTest::newRow("received, no fax connection end") << false << Change::NoB3End << true;
    QTest::newRow("received, aborted here") << false << Change::Aborted << false;
    QTest::newRow("received, data fault") << false << Change::DataFault << false;
    QTest::newRow("received, abnormal fax end") << false << Change::B3Abnormal << false;
    QTest::newRow("received, document incomplete") << false << Change::Incomplete << false;
}

void TestFaxCall::successRule()
{
    QFETCH(bool, outgoing);
    QFETCH(Change, change);
    QFETCH(bool, success);
    FinishedCall f;
    f.outgoing = outgoing;
    f.reasonB3 = capi::reason::Normal;
    f.reason = capi::reason::NormalClearing;
    f.pageCount = outgoing ? 3 : 0;
    f.reportedPages = 3;
    f.allConfirmed = outgoing;
    f.documentComplete = !outgoing;
    switch (change) {
    case Change::None: break;
    case Change::Aborted: f.abortedHere = true; break;
    case Change::DataFault: f.dataFault = true; break;
    case Change::NotConfirmed: f.allConfirmed = false; break;
    case Change::NoB3End: f.reasonB3.reset(); break;
    case Change::B3Abnormal: f.reasonB3 = capi::reason::FaxRemoteAbort; break;
    case Change::CallBusy: f.reason = capi::reason::UserBusy; break;
    case Change::PagesMiscounted: f.reportedPages = 2; break;
    case Change::G4NoCount: f.g4 = true; f.reportedPages = -1; break;
    case Change::Incomplete: f.documentComplete = false; break;
    }
    const bool got = outgoing ? quillon::component::faxSent(f)
                              : quillon::component::faxReceived(f);
    QCOMPARE(got, success);
    // Only one direction's rule ever holds, and a miscount is told apart.
    QVERIFY(!(outgoing ? quillon::component::faxReceived(f) : quillon::component::faxSent(f)));
    QCOMPARE(quillon::component::pagesDisputed(f), change == Change::PagesMiscounted);
}

QUILLON_TEST_MAIN(TestFaxCall)
#include "tst_faxcall.moc"
