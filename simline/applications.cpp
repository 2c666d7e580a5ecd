#include "simline/applications.h"

#include <QMetaObject>
#include <QThread>

namespace simline {

using namespace capi;

void DeleteLater::operator()(QObject *o) const
{
    if (o)
        o->deleteLater();
}

void App::confirmedOne(quint32 ncci)
{
    auto it = unconfirmed.find(ncci);
    if (it != unconfirmed.end() && it->second > 0 && --it->second == 0)
        unconfirmed.erase(it);
}

bool App::listensFor(quint16 cip, quint32 controller) const
{
    auto it = listening.find(controller);
    return it != listening.end() &&
           ((it->second.cipMask & 1) || (it->second.cipMask & capi::cip::maskBit(cip)));
}

bool App::listensFor(quint16 cip) const
{
    for (const auto &[controller, l] : listening) {
        if (listensFor(cip, controller))
            return true;
    }
    return false;
}

quint32 App::infoMaskOn(quint32 controller) const
{
    auto it = listening.find(controller);
    return it == listening.end() ? 0 : it->second.infoMask;
}

Applications::Applications(std::function<void(quint16, quint64)> wake) : m_wake(std::move(wake)) {}

Applications::~Applications()
{
    // Applications never released still own a notification object. One of this thread, or
    // of a thread that no longer runs an event loop, is freed now: nothing else would.
    for (const std::unique_ptr<App> &a : m_apps) {
        QObject *context = a ? a->context.release() : nullptr;
        if (!context)
            continue;
        if (context->thread() == QThread::currentThread() || !context->thread()->isRunning())
            delete context;
        else
            context->deleteLater();
    }
}

void Applications::setLimit(int count)
{
    m_limit = qBound(1, count, 0xFFFF);
}

RegisterResult Applications::add(const Registration &r)
{
    if (r.maxLogicalConnections == 0)
        return {0, info::MaxConnectionsNotSupported};
    if (r.maxBlockLength < 128)
        return {0, info::BlockSizeTooSmall};
    if (r.maxBlockLength > 0xFFFF || r.maxDataBlocks == 0)
        return {0, info::BufferExceeds64k};
    int id = 1;
    while (id < int(m_apps.size()) && m_apps[size_t(id)])
        ++id;
    if (id > m_limit)
        return {0, info::TooManyApplications};
    if (id >= int(m_apps.size()))
        m_apps.resize(size_t(id) + 1);
    m_apps[size_t(id)] = std::make_unique<App>();
    ++m_count;
    App &a = *m_apps[size_t(id)];
    a.id = quint16(id);
    a.serial = m_nextSerial++;
    a.registration = r;
    a.window = qMin(r.maxDataBlocks, MaxWindow);
    a.context.reset(new QObject); // in the registering thread
    return {quint16(id), info::Ok};
}

std::optional<std::unique_ptr<QObject, DeleteLater>> Applications::remove(quint16 id)
{
    App *a = find(id);
    if (!a)
        return std::nullopt;
    std::unique_ptr<QObject, DeleteLater> context = std::move(a->context);
    m_apps[id].reset();
    --m_count;
    return context;
}

App *Applications::find(quint16 id, quint64 serial)
{
    App *a = find(id);
    return a && a->serial == serial ? a : nullptr;
}

std::vector<quint16> Applications::listenersFor(quint16 cip) const
{
    std::vector<quint16> out;
    for (const std::unique_ptr<App> &a : m_apps) {
        if (a && a->listensFor(cip))
            out.push_back(a->id);
    }
    return out;
}

bool Applications::send(quint16 id, Message m)
{
    App *a = find(id);
    if (!a)
        return false; // released meanwhile
    m.appId = id;
    if (m.subcommand == Subcommand::Ind) {
        m.number = a->nextNumber++;
        if (a->nextNumber == 0)
            a->nextNumber = 1;
    }
    QByteArray wire = encode(m);
    Q_ASSERT(!wire.isEmpty());
    a->queue.push_back(Queued{std::move(wire), m.data});
    ++m_sent;
    notify(*a);
    return true;
}

void Applications::confirm(const Message &req, quint32 address, quint16 infoValue)
{
    Message c(req.command, Subcommand::Conf, req.appId, address);
    c.number = req.number;
    c.info = infoValue;
    if (req.command == Command::DataB3)
        c.dataHandle = req.dataHandle;
    if (req.command == Command::Facility)
        c.facilitySelector = req.facilitySelector;
    send(req.appId, c);
}

std::optional<Queued> Applications::take(quint16 id)
{
    App *a = find(id);
    if (!a || a->queue.empty())
        return std::nullopt;
    Queued q = std::move(a->queue.front());
    a->queue.pop_front();
    return q;
}

bool Applications::notificationDue(quint16 id, quint64 serial)
{
    App *a = find(id, serial);
    if (!a)
        return false;
    a->notifyPending = false;
    return !a->queue.empty();
}

void Applications::notify(App &a)
{
    if (a.notifyPending || !a.context)
        return;
    a.notifyPending = true;
    QMetaObject::invokeMethod(
        a.context.get(), [wake = m_wake, id = a.id, serial = a.serial] { wake(id, serial); },
        Qt::QueuedConnection);
}

} // namespace simline
