#include "capi20/capi20transport.h"

#include "capi20/connection.h"
#include "capi20/library.h"
#include "capi/trace.h"

#include <QCoreApplication>
#include <QHash>
#include <QPointer>

#include <algorithm>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <utility>
#include <sys/socket.h>

namespace capi20 {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// How long part of a frame may wait for its rest before the connection counts as broken, and
// how often it is looked at meanwhile.
constexpr auto kPartialFrameLimit = 10s;
constexpr auto kPartialFrameRetry = 2ms;
// Messages taken in one go before the library's thread turns to its other work.
constexpr int kBatch = 64;
// DATA_B3 fields: the 32-bit data pointer, the data length, and the 64-bit pointer of the
// 30-byte form that a 64-bit process uses.
constexpr int kDataPointerOffset = 12;
constexpr int kData64Offset = 22;

// A failed write to a closed connection leaves SIGPIPE pending on the library's thread
// (where it is blocked); take it, so it is never delivered should the mask change.
void takePendingSigpipe()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    const timespec zero{};
    while (sigtimedwait(&set, nullptr, &zero) > 0) {
    }
}

QString hexBytes(const unsigned char *bytes, int size)
{
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(bytes), size).toHex(' '));
}

// The library keeps the pointers it is given; the texts live as long as the process.
char *lasting(const QString &text)
{
    static std::vector<std::unique_ptr<QByteArray>> texts;
    const QByteArray bytes = text.toLocal8Bit();
    for (const auto &t : texts)
        if (*t == bytes)
            return t->data();
    texts.push_back(std::make_unique<QByteArray>(bytes));
    return texts.back()->data();
}

QString cString(const unsigned char *bytes, int size)
{
    const int n = int(::strnlen(reinterpret_cast<const char *>(bytes), size_t(size)));
    return QString::fromLatin1(reinterpret_cast<const char *>(bytes), n).trimmed();
}

quint32 dword(const unsigned char *p)
{
    return quint32(p[0]) | quint32(p[1]) << 8 | quint32(p[2]) << 16 | quint32(p[3]) << 24;
}

} // namespace

// ---- state shared by the window's thread and the library's thread --------------------------

struct Capi20Transport::App
{
    quint16 id = 0;
    int fd = -1;
    bool frames = true; // the remote-CAPI framing: whole frames can be told apart
    capi::Registration registration;

    // The library's thread only.
    std::optional<Clock::time_point> partialSince;
    bool gone = false; // released or lost: no more calls for it

    // Guarded by Shared::mutex.
    std::deque<capi::Message> inbox;
    bool accepted = false; // the registration was answered: messages may be announced
    bool announcing = false; // in Shared::ready
    bool lost = false;

    // The window's thread only: unconfirmed DATA_B3_REQ per NCCI.
    QHash<quint32, int> unconfirmed;
};

struct Capi20Transport::Shared : std::enable_shared_from_this<Shared>
{
    mutable std::mutex mutex;
    Capi20Transport *transport = nullptr; // null once the transport is gone
    std::map<quint16, std::shared_ptr<App>> apps;
    QString manufacturer;
    capi::Version version;
    QString serial;
    capi::Profile profile;
    quint16 controllers = 0;
    Statistics statistics;
    // Messages put and not yet handed to the library, in order; a flush job is posted.
    struct Outgoing
    {
        std::shared_ptr<App> app;
        QByteArray bytes;
        QByteArray data; // a DATA_B3_REQ's block, shared with the caller's message
        bool dataRequest = false;
    };
    std::vector<Outgoing> outbox;
    bool flushPosted = false;
    QString libraryFile;
    // The window's thread only: while announce() runs the handlers, what they put waits in
    // the outbox and leaves in one flush after the last, so one hand-over's answers reach the
    // library's thread together and its writes are not split by the first put's wake-up.
    int holding = 0;
    bool heldCheckPosted = false;
    // Applications with messages to announce, and whether the one hand-back that announces
    // them all is on its way to the window's thread.
    std::vector<quint16> ready;
    bool handBackPosted = false;
    // The library's thread only: a hand-back is due once this turn's handlers have run.
    bool handBackDue = false;
    // The library's thread only: the application whose message the library is sending, for
    // the debug lines it writes meanwhile.
    quint16 speaking = 0;
    // The library's thread only: received blocks copied since the last hand-over.
    quint64 copiesPending = 0;
    quint64 bytesPending = 0;

    // ---- on the library's thread ----
    bool watch(const std::shared_ptr<App> &app, const Functions *f);
    void drain(const std::shared_ptr<App> &app, const Functions *f);
    std::optional<capi::Message> take(App &app, unsigned char *message);
    void deliver(App &app, std::vector<capi::Message> &messages);
    void lose(App &app, const Functions *f, const QString &why);
    void stopWatching(App &app);
    void diagnostic(quint16 appId, const QString &text);
    // ---- with the mutex held, on either thread ----
    void readyLocked(App &app);
    void handBackLocked();
    void flush();
    // ---- on the window's thread ----
    void postFlush();
    void send(const Functions *f, const Outgoing &o);
};

bool Capi20Transport::Shared::watch(const std::shared_ptr<App> &app, const Functions *f)
{
    const std::weak_ptr<App> weak = app;
    return Library::instance().watch(app->fd, [self = shared_from_this(), weak, f] {
        if (const std::shared_ptr<App> a = weak.lock())
            self->drain(a, f);
    });
}

void Capi20Transport::Shared::stopWatching(App &app)
{
    if (!app.gone)
        Library::instance().unwatch(app.fd);
    app.gone = true;
}

void Capi20Transport::Shared::drain(const std::shared_ptr<App> &app, const Functions *f)
{
    if (app->gone)
        return;
    Library::instance().setDebugSink([self = shared_from_this(), id = app->id](const QString &line) {
        self->diagnostic(id, line);
    });
    int taken = 0;
    bool partial = false;
    // Bytes known to wait in the socket: the kernel is asked once for a run of whole frames.
    int waiting = -1;
    // Handed over in one go, so the window's thread wakes once for the whole run.
    std::vector<capi::Message> messages;
    messages.reserve(kBatch);
    // What was taken before the loss reaches the application before the loss does.
    const auto loseAfterDelivery = [&](const QString &why) {
        deliver(*app, messages);
        lose(*app, f, why);
    };
    while (taken < kBatch && !app->gone) {
        FrameCheck check;
        if (app->frames) {
            check = checkFrame(app->fd, &waiting);
        } else {
            // Without a framing to look at: a device hands out whole messages, and a socket of
            // another framing is read once it is readable.
            pollfd p{app->fd, POLLIN, 0};
            if (::poll(&p, 1, 0) <= 0 || !(p.revents & POLLIN))
                check.state = FrameState::Nothing;
            else if (checkFrame(app->fd).state == FrameState::Closed)
                check.state = FrameState::Closed;
            else
                check.state = FrameState::Whole;
        }
        if (check.state == FrameState::Nothing)
            break;
        if (check.state == FrameState::Closed) {
            loseAfterDelivery(QStringLiteral("the CAPI server closed the connection"));
            break;
        }
        if (check.state == FrameState::Broken) {
            loseAfterDelivery(QStringLiteral("the connection to the CAPI server broke: %1")
                                  .arg(check.detail));
            break;
        }
        if (check.state == FrameState::Partial) {
            // Reading now would block inside the library and split the frame for good: look
            // again shortly, the descriptor not reported for the same bytes meanwhile.
            const Clock::time_point now = Clock::now();
            if (!app->partialSince)
                app->partialSince = now;
            if (now - *app->partialSince > kPartialFrameLimit) {
                loseAfterDelivery(QStringLiteral("a frame from the CAPI server stayed incomplete"));
                break;
            }
            partial = true;
            std::lock_guard lock(mutex);
            ++statistics.partialWaits;
            break;
        }
        app->partialSince.reset();
        unsigned char *message = nullptr;
        const unsigned info = f->getMessage(app->id, &message);
        if (info == capi::info::QueueEmpty)
            break;
        if (info != capi::info::Ok || !message) {
            loseAfterDelivery(QStringLiteral("libcapi20 could not take a message: %1")
                                  .arg(capi::describeInfo(quint16(info))));
            break;
        }
        waiting -= check.length;
        if (std::optional<capi::Message> m = take(*app, message))
            messages.push_back(std::move(*m));
        ++taken;
    }
    Library::instance().setDebugSink({});
    deliver(*app, messages);
    if (app->gone)
        return;
    // While part of a frame waits, the descriptor stays readable: look again shortly instead.
    // After a full batch more may wait; the descriptor, still readable, brings this back in
    // the next turn, after the thread's other work.
    if (partial)
        Library::instance().pause(app->fd, kPartialFrameRetry);
    else
        Library::instance().resume(app->fd);
}

std::optional<capi::Message> Capi20Transport::Shared::take(App &app, unsigned char *bytes)
{
    const int length = bytes[0] | bytes[1] << 8;
    if (length < 8 || length > BufferSize) {
        diagnostic(app.id, QStringLiteral("a message from the line that does not decode "
                                          "(a length of %1): %2")
                               .arg(length)
                               .arg(hexBytes(bytes, 8)));
        return std::nullopt;
    }
    capi::DecodeResult decoded =
        capi::decode(QByteArrayView(reinterpret_cast<const char *>(bytes), length));
    if (!decoded) {
        diagnostic(app.id, QStringLiteral("a message from the line that does not decode (%1): %2")
                               .arg(decoded.error().text, hexBytes(bytes, length)));
        return std::nullopt;
    }
    capi::Message m = std::move(decoded.message());
    const bool dataIndication =
        m.command == capi::Command::DataB3 && m.subcommand == capi::Subcommand::Ind;
    if (dataIndication) {
        // The block lies in the library's buffer, valid until the next call: copy it out.
        quintptr pointer = 0;
        if constexpr (sizeof(void *) == 8) {
            if (length >= kData64Offset + 8) {
                quint64 p = 0;
                std::memcpy(&p, bytes + kData64Offset, sizeof p);
                pointer = quintptr(p);
            }
        } else {
            pointer = quintptr(dword(bytes + kDataPointerOffset));
        }
        if (pointer && m.dataLength <= app.registration.maxBlockLength) {
            m.data = QByteArray(reinterpret_cast<const char *>(pointer), m.dataLength);
        } else {
            diagnostic(app.id, QStringLiteral("a DATA_B3_IND from the line without its data "
                                              "block (%1 bytes announced): %2")
                                   .arg(m.dataLength)
                                   .arg(hexBytes(bytes, length)));
            m.dataLength = 0;
        }
        m.dataPointer = 0;
        m.data64.reset();
    }
    if (dataIndication && m.dataLength) {
        // Counted under the lock of the hand-over that follows.
        bytesPending += quint64(m.data.size());
        ++copiesPending;
    }
    return m;
}

void Capi20Transport::Shared::deliver(App &app, std::vector<capi::Message> &messages)
{
    if (messages.empty())
        return;
    std::lock_guard lock(mutex);
    statistics.dataBytesTaken += std::exchange(bytesPending, 0);
    statistics.dataCopies += std::exchange(copiesPending, 0);
    statistics.messagesTaken += messages.size();
    for (capi::Message &m : messages)
        app.inbox.push_back(std::move(m));
    messages.clear();
    readyLocked(app);
    // Every application served in this turn is announced by one hand-back once all are
    // served, so the window's thread wakes once and answers them in one go.
    if (!std::exchange(handBackDue, true))
        Library::instance().afterHandlers([self = shared_from_this()] {
            self->handBackDue = false;
            std::lock_guard guard(self->mutex);
            self->handBackLocked();
        });
}

void Capi20Transport::Shared::readyLocked(App &app)
{
    if (!app.accepted || app.announcing || app.inbox.empty())
        return;
    app.announcing = true;
    ready.push_back(app.id);
}

void Capi20Transport::Shared::handBackLocked()
{
    if (ready.empty() || handBackPosted || !transport)
        return;
    handBackPosted = true;
    ++statistics.handOvers;
    QMetaObject::invokeMethod(transport, &Capi20Transport::announce, Qt::QueuedConnection);
}

void Capi20Transport::Shared::lose(App &app, const Functions *f, const QString &why)
{
    if (app.gone)
        return;
    stopWatching(app);
    // The id is shared system-wide: give it back although the connection is gone.
    f->release(app.id);
    takePendingSigpipe();
    std::lock_guard lock(mutex);
    app.lost = true;
    if (transport && app.accepted)
        QMetaObject::invokeMethod(
            transport, [t = transport, id = app.id, why] { t->lost(id, why); },
            Qt::QueuedConnection);
}

void Capi20Transport::Shared::diagnostic(quint16 appId, const QString &text)
{
    std::lock_guard lock(mutex);
    if (transport)
        QMetaObject::invokeMethod(
            transport, [t = transport, appId, text] { emit t->diagnostic(appId, text); },
            Qt::QueuedConnection);
}

// ---- the transport -------------------------------------------------------------------------

Capi20Transport::Capi20Transport(Config config, QObject *parent)
    : Transport(parent), m_config(std::move(config)), m_shared(std::make_shared<Shared>())
{
    m_shared->transport = this;
    m_shared->libraryFile = m_config.libraryFile;
    Library::instance(); // its thread starts now, so it outlives this transport
}

Capi20Transport::~Capi20Transport()
{
    m_shared->postFlush();
    std::vector<std::shared_ptr<App>> apps;
    {
        std::lock_guard lock(m_shared->mutex);
        m_shared->transport = nullptr;
        for (auto &[id, app] : m_shared->apps)
            apps.push_back(app);
        m_shared->apps.clear();
    }
    if (apps.empty())
        return;
    // Application ids are shared system-wide: release them before the process may end.
    auto done = std::make_shared<std::pair<std::mutex, std::condition_variable>>();
    auto finished = std::make_shared<bool>(false);
    const QString file = m_config.libraryFile;
    Library::instance().post([apps, shared = m_shared, done, finished, file] {
        QString why;
        if (const Functions *f = Library::instance().load(file, &why)) {
            for (const auto &app : apps) {
                if (!app->gone) {
                    shared->stopWatching(*app);
                    f->release(app->id);
                }
            }
            takePendingSigpipe();
        }
        std::lock_guard lock(done->first);
        *finished = true;
        done->second.notify_all();
    });
    std::unique_lock lock(done->first);
    done->second.wait_for(lock, 2s, [&] { return *finished; });
}

QString Capi20Transport::lineName() const
{
    if (m_config.driver == QLatin1String("rcapi"))
        return QStringLiteral("remote CAPI %1:%2").arg(m_config.host).arg(m_config.port ? m_config.port : 2662);
    if (m_config.driver == QLatin1String("fritzbox"))
        return QStringLiteral("router remote CAPI %1:%2").arg(m_config.host).arg(m_config.port ? m_config.port : 5031);
    return QStringLiteral("CAPI (libcapi20's configuration)");
}

Capi20Transport::Statistics Capi20Transport::statistics() const
{
    std::lock_guard lock(m_shared->mutex);
    return m_shared->statistics;
}

namespace {

// One registration on its way through the library's thread; the window's thread waits for it
// or gives up on it.
struct RegisterJob
{
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;
    bool abandoned = false;
    std::vector<int> descriptorsBefore;
    capi::RegisterResult result;
    QStringList debugLines;

    void finish(capi::RegisterResult r)
    {
        std::lock_guard lock(mutex);
        result = std::move(r);
        done = true;
        changed.notify_all();
    }
};

capi::RegisterResult failure(quint16 info, QString why)
{
    capi::RegisterResult r;
    r.info = info;
    r.error = std::move(why);
    return r;
}

} // namespace

capi::RegisterResult Capi20Transport::registerApplication(const capi::Registration &registration)
{
    if (registration.maxBlockLength < 128 || registration.maxBlockLength > quint32(MaxBlockLength))
        return failure(capi::info::BlockSizeTooSmall,
                       QStringLiteral("a block length of %1 bytes (128 to %2)")
                           .arg(registration.maxBlockLength)
                           .arg(MaxBlockLength));
    if (registration.maxDataBlocks < 1 || registration.maxDataBlocks > 7
        || registration.maxLogicalConnections < 1)
        return failure(capi::info::MaxConnectionsNotSupported,
                       QStringLiteral("%1 connections of %2 blocks")
                           .arg(registration.maxLogicalConnections)
                           .arg(registration.maxDataBlocks));

    // What a handler put before registering leaves first; the wait below may be long.
    m_shared->postFlush();
    const Clock::time_point deadline = Clock::now() + m_config.deadline;
    auto job = std::make_shared<RegisterJob>();
    Library::instance().post([job, config = m_config, registration, shared = m_shared,
                              name = lineName()] {
        Library &library = Library::instance();
        {
            std::lock_guard lock(job->mutex);
            if (job->abandoned)
                return;
            job->descriptorsBefore = openDescriptors();
        }
        QString why;
        const Functions *f = library.load(config.libraryFile, &why);
        if (!f) {
            job->finish(failure(capi::info::NotInstalled, why));
            return;
        }
        library.setDebugSink([job](const QString &line) {
            std::lock_guard lock(job->mutex);
            job->debugLines << line;
        });
        if (!config.driver.isEmpty())
            f->setDriver(lasting(config.driver));
        if (!config.host.isEmpty())
            f->setHost(lasting(config.host));
        if (config.port)
            f->setPort(config.port);
        const unsigned installed = f->isInstalled();
        unsigned id = 0;
        const unsigned info = installed != capi::info::Ok
                                  ? installed
                                  : f->registerApplication(registration.maxLogicalConnections,
                                                           registration.maxDataBlocks,
                                                           registration.maxBlockLength, &id);
        library.setDebugSink({});
        if (installed != capi::info::Ok || info != capi::info::Ok || id == 0 || id > 0xFFFF) {
            takePendingSigpipe();
            QString text = installed != capi::info::Ok
                               ? QStringLiteral("libcapi20 finds no CAPI on %1: %2")
                               : QStringLiteral("libcapi20 could not register on %1: %2");
            text = text.arg(name, capi::describeInfo(quint16(info)));
            std::lock_guard lock(job->mutex);
            if (!job->debugLines.isEmpty())
                text += QStringLiteral(" (%1)").arg(job->debugLines.last());
            job->result = failure(quint16(info ? info : capi::info::RegisterOsResource), text);
            job->done = true;
            job->changed.notify_all();
            return;
        }
        auto app = std::make_shared<App>();
        app->id = quint16(id);
        app->fd = f->fileNumber(id);
        app->registration = registration;
        // libcapi20 writes every message on its own and leaves Nagle on: a short response
        // would then wait for the acknowledgement of the block before it. Fails harmlessly
        // on the kernel's CAPI device.
        if (app->fd >= 0) {
            const int on = 1;
            ::setsockopt(app->fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        }
        const char *driver = f->driver ? f->driver() : nullptr;
        app->frames = !(driver && std::strcmp(driver, "fritzbox") == 0);

        // What the controller says of itself, for the component's properties.
        unsigned char buffer[BufferSize] = {};
        QString manufacturer;
        if (f->manufacturer(config.controller, buffer))
            manufacturer = cString(buffer, 64);
        std::memset(buffer, 0, sizeof buffer);
        capi::Version version;
        if (f->version(config.controller, buffer)) {
            version.capiMajor = dword(buffer);
            version.capiMinor = dword(buffer + 4);
            version.manufacturerMajor = dword(buffer + 8);
            version.manufacturerMinor = dword(buffer + 12);
            version.text = QStringLiteral("CAPI %1.%2, %3 %4.%5")
                               .arg(version.capiMajor)
                               .arg(version.capiMinor)
                               .arg(manufacturer)
                               .arg(version.manufacturerMajor)
                               .arg(version.manufacturerMinor);
        }
        std::memset(buffer, 0, sizeof buffer);
        QString serial;
        if (f->serialNumber(config.controller, buffer))
            serial = cString(buffer, 8);
        std::memset(buffer, 0, sizeof buffer);
        capi::Profile profile;
        if (f->profile(config.controller, buffer) == capi::info::Ok) {
            profile.controllers = quint16(buffer[0] | buffer[1] << 8);
            profile.bChannels = quint16(buffer[2] | buffer[3] << 8);
            profile.globalOptions = dword(buffer + 4);
            profile.b1Protocols = dword(buffer + 8);
            profile.b2Protocols = dword(buffer + 12);
            profile.b3Protocols = dword(buffer + 16);
            profile.manufacturerSpecific =
                QByteArray(reinterpret_cast<const char *>(buffer + 44), 20);
        }
        std::memset(buffer, 0, sizeof buffer);
        const quint16 controllers = f->profile(0, buffer) == capi::info::Ok
                                        ? quint16(buffer[0] | buffer[1] << 8)
                                        : 0;

        std::lock_guard lock(job->mutex);
        if (job->abandoned || app->fd < 0 || !shared->watch(app, f)) {
            // StartCapi has answered already, or the library gave no descriptor to watch.
            f->release(id);
            takePendingSigpipe();
            job->result = failure(capi::info::RegisterOsResource,
                                  app->fd < 0 ? QStringLiteral("libcapi20 gave no descriptor")
                                              : QStringLiteral("libcapi20's descriptor %1 cannot be watched")
                                                    .arg(app->fd));
            job->done = true;
            job->changed.notify_all();
            return;
        }
        {
            std::lock_guard sharedLock(shared->mutex);
            shared->apps[app->id] = app;
            shared->manufacturer = manufacturer;
            shared->version = version;
            shared->serial = serial;
            shared->profile = profile;
            shared->controllers = controllers;
        }
        job->result.appId = app->id;
        job->result.info = capi::info::Ok;
        job->done = true;
        job->changed.notify_all();
    });

    // Wait for the answer, keeping the window painted; see the comment in the header.
    for (;;) {
        {
            std::unique_lock lock(job->mutex);
            if (job->changed.wait_for(lock, 10ms, [&] { return job->done; }))
                break;
            if (Clock::now() >= deadline) {
                job->abandoned = true;
                // The sockets the stuck call opened, shut down so it returns.
                if (!job->descriptorsBefore.empty())
                    shutdownNewTcpSockets(job->descriptorsBefore);
                return failure(capi::info::RegisterOsResource,
                               QStringLiteral("no answer from %1 within %2 s")
                                   .arg(lineName())
                                   .arg(double(m_config.deadline.count()) / 1000.0));
            }
        }
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    }
    capi::RegisterResult result = job->result;
    if (result.ok()) {
        std::lock_guard lock(m_shared->mutex);
        const auto it = m_shared->apps.find(result.appId);
        if (it != m_shared->apps.end()) {
            App &app = *it->second;
            app.accepted = true;
            m_shared->readyLocked(app);
            m_shared->handBackLocked();
            if (app.lost)
                QMetaObject::invokeMethod(
                    this, [this, id = app.id] { lost(id, QStringLiteral("the CAPI server closed the connection")); },
                    Qt::QueuedConnection);
        }
    }
    return result;
}

quint16 Capi20Transport::release(quint16 appId)
{
    std::shared_ptr<App> app;
    {
        std::lock_guard lock(m_shared->mutex);
        const auto it = m_shared->apps.find(appId);
        if (it == m_shared->apps.end())
            return capi::info::IllegalApplication;
        app = it->second;
        m_shared->apps.erase(it);
    }
    // What was put before, a handler's last answers among it, leaves before the release.
    m_shared->postFlush();
    Library::instance().post([app, shared = m_shared, file = m_config.libraryFile] {
        if (app->gone)
            return;
        shared->stopWatching(*app);
        QString why;
        if (const Functions *f = Library::instance().load(file, &why)) {
            f->release(app->id);
            takePendingSigpipe();
        }
    });
    return capi::info::Ok;
}

quint16 Capi20Transport::putMessage(const capi::Message &m)
{
    std::shared_ptr<App> app;
    {
        std::lock_guard lock(m_shared->mutex);
        const auto it = m_shared->apps.find(m.appId);
        if (it == m_shared->apps.end() || !it->second->accepted || it->second->lost)
            return capi::info::IllegalApplication;
        app = it->second;
    }
    if (!capi::isToController(m.subcommand))
        return capi::info::IllegalCommand;
    const bool dataRequest = m.command == capi::Command::DataB3 && m.subcommand == capi::Subcommand::Req;
    capi::Message wire = m;
    if (dataRequest) {
        if (m.data.size() > qsizetype(app->registration.maxBlockLength))
            return capi::info::DataLengthNotSupported;
        // The window the server keeps for this connection.
        if (app->unconfirmed.value(m.address) >= int(app->registration.maxDataBlocks))
            return capi::info::QueueFull;
        wire.dataLength = quint16(m.data.size());
        wire.dataPointer = 0;
        if constexpr (sizeof(void *) == 8)
            wire.data64 = 0; // the 30-byte form; the pointer is filled in on the way out
        else
            wire.data64.reset();
    }
    const QByteArray bytes = capi::encode(wire);
    if (bytes.isEmpty() || bytes.size() + (dataRequest ? m.data.size() : 0) > BufferSize)
        return capi::info::IllegalCommand;
    if (dataRequest)
        ++app->unconfirmed[m.address];
    // The data block goes along by reference: the library copies it behind the message.
    bool post = false, held = false;
    {
        std::lock_guard lock(m_shared->mutex);
        ++m_shared->statistics.messagesPut;
        if (dataRequest)
            m_shared->statistics.dataBytesPut += quint64(m.data.size());
        m_shared->outbox.push_back({std::move(app), bytes, dataRequest ? m.data : QByteArray(), dataRequest});
        // A flush already posted takes this message too.
        if (!m_shared->holding)
            post = !std::exchange(m_shared->flushPosted, true);
        else
            held = !m_shared->flushPosted;
    }
    // One job takes every message put until it runs, so a burst wakes the library's thread
    // once.
    if (post)
        Library::instance().post([shared = m_shared] { shared->flush(); });
    // A handler that runs the event loop itself, waiting for an answer, must not wait for
    // this message for ever: the loop's next turn sends it unless announce() has by then.
    if (held && !std::exchange(m_shared->heldCheckPosted, true))
        QMetaObject::invokeMethod(
            this,
            [shared = m_shared] {
                shared->heldCheckPosted = false;
                shared->postFlush();
            },
            Qt::QueuedConnection);
    return capi::info::Ok;
}

void Capi20Transport::Shared::postFlush()
{
    {
        std::lock_guard lock(mutex);
        if (outbox.empty() || std::exchange(flushPosted, true))
            return;
    }
    Library::instance().post([shared = shared_from_this()] { shared->flush(); });
}

void Capi20Transport::Shared::flush()
{
    std::vector<Outgoing> batch;
    {
        std::lock_guard lock(mutex);
        batch.swap(outbox);
        flushPosted = false;
        ++statistics.flushes;
    }
    QString why;
    const Functions *f = Library::instance().load(libraryFile, &why);
    if (!f)
        return;
    // libcapi20 writes each message on its own; corked, a burst leaves in full segments and
    // the server reads it at once. Uncorking sends the rest without delay.
    std::vector<int> corked;
    if (batch.size() > 1) {
        for (const Outgoing &o : batch) {
            if (o.app->gone || !o.app->frames
                || std::find(corked.begin(), corked.end(), o.app->fd) != corked.end())
                continue;
            const int on = 1;
            if (::setsockopt(o.app->fd, IPPROTO_TCP, TCP_CORK, &on, sizeof on) == 0)
                corked.push_back(o.app->fd);
        }
    }
    // One debug sink for the whole run; it names the application being sent for.
    Library::instance().setDebugSink([this](const QString &line) { diagnostic(speaking, line); });
    for (const Outgoing &o : batch)
        send(f, o);
    Library::instance().setDebugSink({});
    for (const int fd : corked) {
        const int off = 0;
        ::setsockopt(fd, IPPROTO_TCP, TCP_CORK, &off, sizeof off);
    }
}

void Capi20Transport::Shared::send(const Functions *f, const Outgoing &o)
{
    App &app = *o.app;
    if (app.gone)
        return;
    // Message and data in one buffer of the size the library works with: it writes the
    // data of the 30-byte DATA_B3_REQ behind the message, into this buffer.
    alignas(8) unsigned char buffer[BufferSize];
    std::memcpy(buffer, o.bytes.constData(), size_t(o.bytes.size()));
    if (o.dataRequest) {
        const quintptr pointer = quintptr(o.data.constData());
        if constexpr (sizeof(void *) == 8) {
            const quint64 p = pointer;
            std::memcpy(buffer + kData64Offset, &p, sizeof p);
        } else {
            const quint32 p = quint32(pointer);
            std::memcpy(buffer + kDataPointerOffset, &p, sizeof p);
        }
    }
    speaking = app.id;
    const unsigned info = f->putMessage(app.id, buffer);
    if (info != capi::info::Ok) {
        takePendingSigpipe();
        lose(app, f, QStringLiteral("libcapi20 could not send %1: %2")
                         .arg(capi::messageName(capi::Command(o.bytes[4]), capi::Subcommand(o.bytes[5])),
                              capi::describeInfo(quint16(info))));
    }
}

std::optional<capi::Message> Capi20Transport::getMessage(quint16 appId)
{
    std::shared_ptr<App> app;
    std::optional<capi::Message> m;
    {
        std::lock_guard lock(m_shared->mutex);
        const auto it = m_shared->apps.find(appId);
        if (it == m_shared->apps.end() || it->second->inbox.empty())
            return std::nullopt;
        app = it->second;
        m = std::move(app->inbox.front());
        app->inbox.pop_front();
    }
    if (m->command == capi::Command::DataB3 && m->subcommand == capi::Subcommand::Conf) {
        const auto it = app->unconfirmed.find(m->address);
        if (it != app->unconfirmed.end() && --it.value() <= 0)
            app->unconfirmed.erase(it);
    }
    return m;
}

void Capi20Transport::announce()
{
    const std::shared_ptr<Shared> shared = m_shared;
    // Local: a handler that runs the event loop may announce again meanwhile.
    std::vector<quint16> ids;
    {
        std::lock_guard lock(shared->mutex);
        ids.swap(shared->ready);
        shared->handBackPosted = false;
        for (const quint16 id : ids)
            if (const auto it = shared->apps.find(id); it != shared->apps.end())
                it->second->announcing = false;
    }
    // A handler may release an application or end the transport.
    const QPointer<Capi20Transport> alive(this);
    ++shared->holding;
    for (const quint16 id : ids) {
        {
            std::lock_guard lock(shared->mutex);
            if (shared->apps.find(id) == shared->apps.end())
                continue;
        }
        emit messagesWaiting(id);
        if (!alive)
            break;
    }
    --shared->holding;
    shared->postFlush();
}

void Capi20Transport::lost(quint16 appId, const QString &why)
{
    {
        std::lock_guard lock(m_shared->mutex);
        if (m_shared->apps.find(appId) == m_shared->apps.end())
            return;
    }
    emit applicationLost(appId, why);
}

capi::Profile Capi20Transport::profile(quint32 controller) const
{
    std::lock_guard lock(m_shared->mutex);
    if (controller == 0) {
        capi::Profile p;
        p.controllers = m_shared->controllers;
        return p;
    }
    return controller == m_config.controller ? m_shared->profile : capi::Profile();
}

QString Capi20Transport::manufacturer(quint32 controller) const
{
    std::lock_guard lock(m_shared->mutex);
    return controller == m_config.controller ? m_shared->manufacturer : QString();
}

capi::Version Capi20Transport::version(quint32 controller) const
{
    std::lock_guard lock(m_shared->mutex);
    return controller == m_config.controller ? m_shared->version : capi::Version();
}

QString Capi20Transport::serialNumber(quint32 controller) const
{
    std::lock_guard lock(m_shared->mutex);
    return controller == m_config.controller ? m_shared->serial : QString();
}

} // namespace capi20
