#pragma once

#include "component/callstatus.h"
#include "component/faxcall.h"
#include "component/lineprovider.h"
#include "component/reporter.h"

#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>

#include <memory>
#include <optional>

namespace capi {
struct Message;
} // namespace capi

namespace quillon::component {

class EventQueue;
class Outbox;

// The CAPI 2.0 fax application of one instance: registration with the line it is handed,
// listening, the member-level checks, and the routing of the line's messages to its one call
// (outgoing or incoming). Raises the instance's events through the queue and shows the status
// of its call, or of the last one, to the status window.
class FaxEndpoint : public QObject
{
    Q_OBJECT

public:
    enum StopMode { Reporting, Quietly };

    FaxEndpoint(EventQueue &events, std::shared_ptr<LineProvider> lines,
                QObject *parent = nullptr);
    ~FaxEndpoint() override;

    bool startCapi();
    void listen();
    bool sendFax(const SendRequest &request);
    void disconnectCall();
    void stopCapi(StopMode mode);

    QString capiDescription() const;
    QString serialNumber() const;
    void setReceiveFileName(const QString &path);
    void setAcceptFax(bool accept) { m_acceptFax = accept; }

    CallStatus status() const;
    // The page of the call, or of the last one, as far as it is known.
    PageImage pagePicture() const;

    // How long the side that did not end the fax connection waits for the other to clear.
    static constexpr int kRemoteClearTimeoutMs = 5000;

signals:
    void statusChanged();

private:
    void onMessagesWaiting(quint16 appId);
    void onApplicationLost(quint16 appId, const QString &why);
    void onDiagnostic(quint16 appId, const QString &text);
    void handle(const capi::Message &m);
    void onListenConfirmed(const capi::Message &m);
    void onConnectIndication(const capi::Message &m);
    void onManufacturerIndication(const capi::Message &m);
    void decideIncoming(quint32 plci);
    void putListen(quint32 cipMask);
    void settle();
    LineLease line() const;

    bool refuse(const char *member, const QString &why);
    void debug(const QString &text) { m_report.debug(text); }

    Reporter m_report;
    std::shared_ptr<LineProvider> m_lines;
    QString m_receiveFileName;
    bool m_acceptFax = false;

    std::optional<LineLease> m_lease; // the line of the last StartCapi
    QString m_lineText;               // that line in words, for the status window
    std::unique_ptr<Outbox> m_out;    // while started
    bool m_listening = false;
    quint16 m_listenNumber = 0; // the LISTEN_REQ whose confirmation is awaited
    quint32 m_listenMask = 0;
    std::unique_ptr<FaxCall> m_call;
    QSet<quint32> m_ringingPhoneCalls; // phone calls left to ring: their PLCIs
    QTimer m_clearTimer;               // runs while the call awaits the remote's clearing
    QTimer m_checkTimer;               // runs while the file being sent is checked, step by step
    bool m_hasSent = false;            // the endpoint placed a call since it was created

    // What the status window is shown when no call is on: the last call as it ended.
    CallStatus m_lastCall;
    QString m_lastReason;
    PageImage m_lastPicture; // of a call that received
    CallStatus m_shown;
    bool m_shownKnown = false; // m_shown is what the last statusChanged told a listener
};

} // namespace quillon::component
