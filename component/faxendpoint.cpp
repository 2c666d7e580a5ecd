#include "component/faxendpoint.h"

#include "component/eventqueue.h"

namespace quillon::component {

FaxEndpoint::FaxEndpoint(EventQueue &events, QObject *parent) : QObject(parent), m_events(events)
{
}

FaxEndpoint::~FaxEndpoint() = default;

bool FaxEndpoint::startCapi()
{
    m_events.debug(QStringLiteral("StartCapi: no CAPI line available"));
    return false;
}

void FaxEndpoint::listen()
{
    m_events.debug(QStringLiteral("Listen: CAPI is not started"));
}

bool FaxEndpoint::sendFax(const SendRequest &)
{
    m_events.debug(QStringLiteral("SendFax: CAPI is not started"));
    return false;
}

void FaxEndpoint::disconnectCall()
{
    m_events.debug(QStringLiteral("Disconnect: no call"));
}

void FaxEndpoint::stopCapi(StopMode)
{
}

QString FaxEndpoint::capiDescription() const
{
    return {};
}

QString FaxEndpoint::serialNumber() const
{
    return {};
}

} // namespace quillon::component
