#include "simline/simulatedline.h"

#include "simline/applications.h"
#include "simline/relay.h"
#include "simline/settings.h"
#include "simline/switchboard.h"
#include "simline/timeline.h"

#include <QElapsedTimer>
#include <QMetaObject>
#include <QThread>
#include <QTimer>

#include <deque>

namespace simline {

using namespace capi;

namespace {
constexpr std::size_t kRecentCalls = 16;
} // namespace

struct SimulatedLine::Parts
{
    struct Inbound
    {
        quint16 app;
        quint64 serial;
        QByteArray wire;
        QByteArray data;
    };

    Parts(SimulatedLine *line, const Schedule &schedule)
        : apps([line](quint16 id, quint64 serial) { line->wake(id, serial); }),
          relay(apps, calls, settings, stats, schedule,
                [this](Call &c, quint16 r) { board.clearCall(c, nullptr, r, r, r); }),
          board(apps, calls, relay, settings, schedule)
    {
    }

    LineSettings settings;
    Statistics stats;
    Applications apps;
    CallTable calls;
    Relay relay;
    Switchboard board;
    std::deque<Inbound> inbound;
    bool processScheduled = false;
    std::deque<CallInfo> recent;
    // Later turns: one timer, armed for the earliest task.
    Timeline timeline;
    QElapsedTimer clock;
    QTimer timer;
    std::optional<qint64> armedForNs;
};

SimulatedLine::SimulatedLine(QObject *parent) : Transport(parent)
{
    // Called under the lock, in any thread that holds it.
    const Schedule schedule = [this](std::chrono::nanoseconds delay, std::function<void()> task) {
        Parts &p = *m_parts;
        const qint64 due = p.clock.nsecsElapsed() + qMax<qint64>(0, delay.count());
        if (!p.timeline.add(due, std::move(task)) || (p.armedForNs && *p.armedForNs <= due))
            return;
        if (QThread::currentThread() == thread())
            armTimer();
        else
            QMetaObject::invokeMethod(this, [this] {
                QMutexLocker lock(&m_mutex);
                armTimer();
            }, Qt::QueuedConnection);
    };
    m_parts = std::make_unique<Parts>(this, schedule);
    m_parts->clock.start();
    m_parts->timer.setSingleShot(true);
    m_parts->timer.setTimerType(Qt::PreciseTimer);
    connect(&m_parts->timer, &QTimer::timeout, this, &SimulatedLine::runDue);
}

void SimulatedLine::armTimer()
{
    Parts &p = *m_parts;
    const std::optional<qint64> next = p.timeline.nextDueNs();
    p.armedForNs = next;
    if (!next) {
        p.timer.stop();
        return;
    }
    const qint64 waitNs = qMax<qint64>(0, *next - p.clock.nsecsElapsed());
    p.timer.start(int(qMin<qint64>((waitNs + 999999) / 1000000, 24 * 3600 * 1000)));
}

void SimulatedLine::runDue()
{
    QMutexLocker lock(&m_mutex);
    Parts &p = *m_parts;
    p.armedForNs.reset();
    for (Timeline::Task &task : p.timeline.takeDue(p.clock.nsecsElapsed()))
        task();
    endTurn();
    armTimer();
}

SimulatedLine::~SimulatedLine() = default;

void SimulatedLine::wake(quint16 appId, quint64 serial)
{
    {
        QMutexLocker lock(&m_mutex);
        if (!m_parts->apps.notificationDue(appId, serial))
            return;
    }
    emit messagesWaiting(appId);
}

void SimulatedLine::endTurn()
{
    for (CallInfo &info : m_parts->calls.sweep()) {
        m_parts->recent.push_back(std::move(info));
        if (m_parts->recent.size() > kRecentCalls)
            m_parts->recent.pop_front();
    }
}

void SimulatedLine::setFault(Fault fault, int afterBlocks)
{
    FarEnd f;
    switch (fault) {
    case Fault::None: break;
    case Fault::UserBusy: f = FarEnd::busy(); break;
    case Fault::NoAnswer: f = FarEnd::noAnswer(); break;
    case Fault::CallRejected: f = FarEnd::reject(reason::CallRejected); break;
    case Fault::NotG3Fax: f = FarEnd::notFax(); break;
    case Fault::DroppedLine: f = FarEnd::dropAfterBlocks(afterBlocks); break;
    }
    QMutexLocker lock(&m_mutex);
    m_parts->settings.plan.setFallback(f);
}

SimulatedLine::Fault SimulatedLine::fault() const
{
    QMutexLocker lock(&m_mutex);
    switch (m_parts->settings.plan.fallback().behaviour) {
    case FarEnd::Behaviour::Busy: return Fault::UserBusy;
    case FarEnd::Behaviour::NoAnswer: return Fault::NoAnswer;
    case FarEnd::Behaviour::Reject: return Fault::CallRejected;
    case FarEnd::Behaviour::NotFax: return Fault::NotG3Fax;
    case FarEnd::Behaviour::DropAfterBlocks: return Fault::DroppedLine;
    case FarEnd::Behaviour::DropAfterPages:
    case FarEnd::Behaviour::Answer: break;
    }
    return Fault::None;
}

void SimulatedLine::setFaultPlan(const FaultPlan &plan)
{
    QMutexLocker lock(&m_mutex);
    m_parts->settings.plan = plan;
}

FaultPlan SimulatedLine::faultPlan() const
{
    QMutexLocker lock(&m_mutex);
    return m_parts->settings.plan;
}

void SimulatedLine::setRule(const QString &numberOrPrefix, const FarEnd &rule)
{
    QMutexLocker lock(&m_mutex);
    m_parts->settings.plan.setRule(numberOrPrefix, rule);
}

void SimulatedLine::setRate(quint32 bitsPerSecond)
{
    QMutexLocker lock(&m_mutex);
    m_parts->settings.rate = bitsPerSecond;
}

quint32 SimulatedLine::rate() const
{
    QMutexLocker lock(&m_mutex);
    return m_parts->settings.rate;
}

void SimulatedLine::setSpeed(double speed)
{
    QMutexLocker lock(&m_mutex);
    m_parts->settings.speed = speed > 0 ? speed : 0.0; // NaN and below zero: unpaced
}

double SimulatedLine::speed() const
{
    QMutexLocker lock(&m_mutex);
    return m_parts->settings.speed;
}

void SimulatedLine::setRecordFolder(const QString &folder)
{
    QMutexLocker lock(&m_mutex);
    m_parts->settings.recordFolder = folder;
}

void SimulatedLine::setHeadLineTime(const QDateTime &time)
{
    QMutexLocker lock(&m_mutex);
    m_parts->settings.headLineTime = time;
}

void SimulatedLine::setFaxDocumentLimit(qsizetype bytes)
{
    QMutexLocker lock(&m_mutex);
    m_parts->settings.faxDocumentLimit = std::max<qsizetype>(1, bytes);
}

QString SimulatedLine::recordFolder() const
{
    QMutexLocker lock(&m_mutex);
    return m_parts->settings.recordFolder;
}

void SimulatedLine::setNoAnswerTimeout(std::chrono::milliseconds timeout)
{
    QMutexLocker lock(&m_mutex);
    m_parts->settings.noAnswerTimeout = qMax(timeout, std::chrono::milliseconds(0));
}

std::chrono::milliseconds SimulatedLine::noAnswerTimeout() const
{
    QMutexLocker lock(&m_mutex);
    return m_parts->settings.noAnswerTimeout;
}

void SimulatedLine::resetFaults()
{
    QMutexLocker lock(&m_mutex);
    const int channels = m_parts->settings.channels; // the line's size is no fault
    m_parts->settings = LineSettings();
    m_parts->settings.channels = channels;
}

void SimulatedLine::setChannels(int channels)
{
    QMutexLocker lock(&m_mutex);
    m_parts->settings.channels = qMax(channels, 0);
}

int SimulatedLine::channels() const
{
    QMutexLocker lock(&m_mutex);
    return m_parts->settings.channels;
}

void SimulatedLine::setMaxApplications(int count)
{
    QMutexLocker lock(&m_mutex);
    m_parts->apps.setLimit(count);
}

SimulatedLine::Statistics SimulatedLine::statistics() const
{
    QMutexLocker lock(&m_mutex);
    Statistics s = m_parts->stats;
    s.messagesOut = m_parts->apps.sentCount();
    return s;
}

int SimulatedLine::applicationCount() const
{
    QMutexLocker lock(&m_mutex);
    return m_parts->apps.count();
}

int SimulatedLine::callCount() const
{
    QMutexLocker lock(&m_mutex);
    return m_parts->calls.size();
}

QList<CallInfo> SimulatedLine::calls() const
{
    QMutexLocker lock(&m_mutex);
    const std::vector<CallInfo> infos = m_parts->calls.infos();
    return QList<CallInfo>(infos.begin(), infos.end());
}

QList<CallInfo> SimulatedLine::recentCalls() const
{
    QMutexLocker lock(&m_mutex);
    return QList<CallInfo>(m_parts->recent.begin(), m_parts->recent.end());
}

std::optional<CallInfo> SimulatedLine::callInfo(quint32 plci) const
{
    QMutexLocker lock(&m_mutex);
    if (const Leg *leg = m_parts->calls.leg(plci))
        return m_parts->calls.callOf(*leg).info();
    return std::nullopt;
}

RegisterResult SimulatedLine::registerApplication(const Registration &r)
{
    QMutexLocker lock(&m_mutex);
    return m_parts->apps.add(r);
}

quint16 SimulatedLine::release(quint16 appId)
{
    std::optional<std::unique_ptr<QObject, DeleteLater>> context;
    {
        QMutexLocker lock(&m_mutex);
        context = m_parts->apps.remove(appId); // from here on nothing is queued for it
        if (!context)
            return info::IllegalApplication;
        m_parts->board.releaseApp(appId);
        endTurn();
    }
    return info::Ok; // the notification object goes with `context`, outside the lock
}

quint16 SimulatedLine::putMessage(const Message &m)
{
    if (!isToController(m.subcommand))
        return info::IllegalCommand;
    // The line takes the message as bytes, as a real controller would.
    QByteArray wire = encode(m);
    if (wire.isEmpty())
        return info::IllegalCommand;
    QMutexLocker lock(&m_mutex);
    App *a = m_parts->apps.find(m.appId);
    if (!a)
        return info::IllegalApplication;
    if (m.command == Command::DataB3 && m.subcommand == Subcommand::Req) {
        quint32 &open = a->unconfirmed[m.address];
        if (open >= a->window)
            return info::QueueFull; // the window of unconfirmed blocks is full
        ++open;
    }
    ++m_parts->stats.messagesIn;
    m_parts->inbound.push_back(Parts::Inbound{m.appId, a->serial, std::move(wire), m.data});
    if (!m_parts->processScheduled) {
        m_parts->processScheduled = true;
        QMetaObject::invokeMethod(this, &SimulatedLine::processInbound, Qt::QueuedConnection);
    }
    return info::Ok;
}

void SimulatedLine::processInbound()
{
    QMutexLocker lock(&m_mutex);
    m_parts->processScheduled = false;
    while (!m_parts->inbound.empty()) {
        Parts::Inbound in = std::move(m_parts->inbound.front());
        m_parts->inbound.pop_front();
        if (!m_parts->apps.find(in.app, in.serial))
            continue; // released meanwhile
        DecodeResult decoded = decode(in.wire);
        if (!decoded)
            continue; // cannot happen: encode() made these bytes
        Message &m = decoded.message();
        m.data = std::move(in.data);
        handle(m);
    }
    endTurn();
}

void SimulatedLine::handle(Message &m)
{
    Switchboard &board = m_parts->board;
    Relay &relay = m_parts->relay;
    switch (m.subcommand) {
    case Subcommand::Req:
        switch (m.command) {
        case Command::Listen: board.listen(m); return;
        case Command::Connect: board.connectReq(m); return;
        case Command::Alert: board.alert(m); return;
        case Command::Disconnect: board.disconnectReq(m); return;
        case Command::SelectBProtocol: board.selectBProtocol(m); return;
        case Command::ConnectB3: relay.connectB3Req(m); return;
        case Command::DisconnectB3: relay.disconnectB3Req(m); return;
        case Command::DataB3: relay.dataB3Req(m); return;
        case Command::Info:
            // Nothing to send on a loopback line; accepted for a known PLCI or controller.
            m_parts->apps.confirm(m, m.address,
                                  ((m.address >= ControllerNumber &&
                                    m.address <= quint32(m_parts->settings.controllers())) ||
                                   m_parts->calls.leg(m.address, m.appId))
                                      ? info::Ok
                                      : info::IllegalIdentifier);
            return;
        case Command::Facility: m_parts->apps.confirm(m, m.address, info::FacilityNotSupported); return;
        case Command::ResetB3: m_parts->apps.confirm(m, m.address, info::ResetNotSupported); return;
        default: return;
        }
    case Subcommand::Resp:
        switch (m.command) {
        case Command::Connect: board.connectResp(m); return;
        case Command::ConnectB3: relay.connectB3Resp(m); return;
        case Command::DataB3: relay.dataB3Resp(m); return;
        default: return; // the other responses only acknowledge an indication
        }
    default: return;
    }
}

std::optional<Message> SimulatedLine::getMessage(quint16 appId)
{
    std::optional<Queued> q;
    {
        QMutexLocker lock(&m_mutex);
        q = m_parts->apps.take(appId);
    }
    if (!q)
        return std::nullopt;
    DecodeResult decoded = decode(q->wire);
    if (!decoded)
        return std::nullopt;
    Message m = std::move(decoded.message());
    m.data = std::move(q->data);
    return m;
}

bool SimulatedLine::hasController(quint32 controller) const
{
    QMutexLocker lock(&m_mutex);
    return controller >= ControllerNumber && controller <= quint32(m_parts->settings.controllers());
}

Profile SimulatedLine::profile(quint32 controller) const
{
    Profile p;
    {
        QMutexLocker lock(&m_mutex);
        const LineSettings &s = m_parts->settings;
        if (controller > quint32(s.controllers()))
            return p;
        p.controllers = quint16(s.controllers());
        p.bChannels = quint16(qMin(controller == 0 ? s.channels : s.channelsOf(int(controller)), 0xFFFF));
    }
    p.globalOptions = 0x0001; // internal controller
    p.b1Protocols = (1u << bproto::B1Hdlc64k) | (1u << bproto::B1Transparent64k) |
                    (1u << bproto::B1T30Modem);
    p.b2Protocols = (1u << bproto::B2X75) | (1u << bproto::B2Transparent) | (1u << bproto::B2T30);
    p.b3Protocols = (1u << bproto::B3Transparent) | (1u << bproto::B3T90NL) |
                    (1u << bproto::B3T30) | (1u << bproto::B3T30Extended);
    p.manufacturerSpecific = QByteArrayLiteral("SIMULATED LINE");
    return p;
}

QString SimulatedLine::manufacturer(quint32 controller) const
{
    if (controller != 0 && !hasController(controller))
        return {};
    return QStringLiteral("Quillon simulated ISDN line (loopback, no hardware)");
}

Version SimulatedLine::version(quint32 controller) const
{
    Version v;
    if (controller != 0 && !hasController(controller))
        return v;
    v.manufacturerMajor = 1;
    v.manufacturerMinor = 0;
    v.text = QStringLiteral("CAPI 2.0, simulated line 1.0");
    return v;
}

QString SimulatedLine::serialNumber(quint32 controller) const
{
    if (controller != 0 && !hasController(controller))
        return {};
    return QStringLiteral("SIMULATED");
}

} // namespace simline
