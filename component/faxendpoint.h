#pragma once

#include "component/callstatus.h"

#include <QObject>
#include <QString>

namespace quillon::component {

class EventQueue;

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

// The CAPI 2.0 fax application of one instance: registration with the line, listening, the
// outgoing and incoming call, the fax data in both directions. Raises the instance's events
// through the queue and keeps the status the status window shows.
class FaxEndpoint : public QObject
{
    Q_OBJECT

public:
    enum StopMode { Reporting, Quietly };

    FaxEndpoint(EventQueue &events, QObject *parent = nullptr);
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
    EventQueue &m_events;
    CallStatus m_status;
    QString m_receiveFileName;
    bool m_acceptFax = false;
};

} // namespace quillon::component
