#include "component/outbox.h"

#include "component/reporter.h"
#include "capi/trace.h"
#include "capi/transport.h"

namespace quillon::component {

Outbox::Outbox(capi::Transport &line, quint16 appId, quint32 controller, Reporter &report)
    : m_line(line), m_appId(appId), m_controller(controller), m_report(report)
{
}

bool Outbox::put(capi::Message m)
{
    m.appId = m_appId;
    if (m.subcommand == capi::Subcommand::Req)
        m.number = m_nextNumber++ & 0x7FFF;
    m_report.debug(capi::traceLine(m));
    const quint16 info = m_line.putMessage(m);
    if (info != capi::info::Ok) {
        m_report.debug(QStringLiteral("the line refused %1: %2")
                           .arg(capi::messageName(m.command, m.subcommand),
                                capi::describeInfo(info)));
        return false;
    }
    return true;
}

void Outbox::unclaimed(const capi::Message &m)
{
    using C = capi::Command;
    if (m.subcommand == capi::Subcommand::Ind) {
        capi::Message resp = m.response();
        if (m.command == C::ConnectB3)
            resp.reject = capi::reject::NormalClearing;
        put(resp);
        return;
    }
    if (m.subcommand == capi::Subcommand::Conf && m.info != capi::info::Ok
        && m.command != C::Connect && m.command != C::ConnectB3 && m.command != C::DataB3)
        m_report.debug(QStringLiteral("%1: %2").arg(capi::messageName(m.command, m.subcommand),
                                                    capi::describeInfo(m.info)));
}

} // namespace quillon::component
