#pragma once

#include "component/callstatus.h"
#include "component/linesettings.h"

#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>

#include <memory>

namespace capi {
struct Message;
class Transport;
} // namespace capi

namespace quillon::component {

class EventQueue;
class IncomingDocument;
class OutgoingDocument;

// The five texts of a send, in the caller's order.
struct SendRequest
{
    QString numberToCall;
    QString ownNumber;
    QString header;
    QString sender;
    QString file;
    bool g4 = false;
};

// The CAPI 2.0 fax application of one instance: registration with the line, listening, one
// call of its own (outgoing or incoming), the fax data in both directions. Raises the
// instance's events through the queue and keeps the status its status window shows.
class FaxEndpoint : public QObject
{
    Q_OBJECT

public:
    enum StopMode { Reporting, Quietly };

    explicit FaxEndpoint(EventQueue &events, QObject *parent = nullptr);
    ~FaxEndpoint() override;

    bool startCapi();
    void listen();
    bool sendFax(const SendRequest &request);
    void disconnectCall();
    void stopCapi(StopMode mode);

    QString capiDescription() const;
    QString serialNumber() const;
    void setReceiveFileName(const QString &path) { m_receiveFileName = path; }
    void setAcceptFax(bool accept) { m_acceptFax = accept; }

    const CallStatus &status() const { return m_status; }

signals:
    void statusChanged();

private:
    enum class Phase {
        Dialing,     // CONNECT_REQ put, no PLCI yet
        Alerting,    // the PLCI is known, the remote has not answered
        Offered,     // an incoming fax waits for the AcceptFax decision
        Answering,   // CONNECT_RESP accepted, the B channel is not up yet
        Connected,   // B channel up, fax connection being set up
        Transfer,    // fax connection up: data flowing
        ClosingFax,  // DISCONNECT_B3_REQ put
        AwaitingClear, // the remote ended the fax connection; its clearing of the call awaited
        Clearing,    // DISCONNECT_REQ or a rejecting CONNECT_RESP put
    };
    struct Call;

    void onMessagesWaiting(quint16 appId);
    void onApplicationLost(quint16 appId, const QString &why);
    void onDiagnostic(quint16 appId, const QString &text);
    void handle(const capi::Message &m);
    bool put(capi::Message m);
    void respond(const capi::Message &indication);
    void putListen(quint32 cipMask);

    void onConnectIndication(const capi::Message &m);
    void decideIncoming(quint32 plci);
    void rejectOffered(quint16 rejectValue, const QString &text);
    void onB3Active(const capi::Message &m);
    void pumpData();
    void onDataConfirmed(const capi::Message &m);
    void onDataIndication(const capi::Message &m);
    void onB3Disconnected(const capi::Message &m);
    void finishCall(const QString &endText, quint16 reason);
    void clearCall(const QString &why);
    bool isOurs(const capi::Message &m) const;

    bool refuse(const char *member, const QString &why);
    void progress(const QString &text);
    void debug(const QString &text);
    void setState(CallStatus::State state);
    void statusTouched() { emit statusChanged(); }
    CallStatus::State restingState() const;

    EventQueue &m_events;
    CallStatus m_status;
    QString m_receiveFileName;
    bool m_acceptFax = false;
    bool m_quiet = false;

    std::shared_ptr<capi::Transport> m_lineHolder; // the line of the last StartCapi
    capi::Transport *m_line = nullptr;
    quint32 m_controller = 1;
    LineSettings m_answer; // its answer numbers
    quint16 m_appId = 0;
    quint16 m_nextNumber = 1;
    bool m_listening = false;
    quint16 m_listenNumber = 0; // the LISTEN_REQ whose confirmation is awaited
    quint32 m_listenMask = 0;
    std::unique_ptr<Call> m_call;
    QSet<quint32> m_ringingPhoneCalls; // phone calls left to ring: their PLCIs
};

} // namespace quillon::component
