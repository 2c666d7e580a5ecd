#pragma once

// libcapi20 called straight from the caller's thread, for the benchmark only: no thread of
// its own, no queue and no hand-over, just the library's put and get with the same frame
// checks as the transport. It shows what the library and the exchange allow by themselves.
// Use it only while the transport has no application registered: libcapi20 is not
// thread-safe, and the transport's thread must stay idle meanwhile.

#include "capi/trace.h"
#include "capi/transport.h"
#include "capi20/capi20transport.h"
#include "capi20/connection.h"
#include "capi20/library.h"

#include <QSocketNotifier>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

namespace benchdirect {

// Waits until the library's thread has run every job posted so far, and returns the
// library's calls (null when it cannot be loaded).
inline const capi20::Functions *quietLibrary(const QString &file)
{
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    const capi20::Functions *f = nullptr;
    capi20::Library::instance().post([&] {
        QString why;
        const capi20::Functions *loaded = capi20::Library::instance().load(file, &why);
        std::lock_guard lock(mutex);
        f = loaded;
        finished = true;
        done.notify_all();
    });
    std::unique_lock lock(mutex);
    done.wait(lock, [&] { return finished; });
    return f;
}

class DirectLine final : public capi::Transport
{
public:
    DirectLine(const capi20::Functions *f, const capi20::Config &config) : m_f(f)
    {
        static QByteArray driver = config.driver.toLatin1(), host = config.host.toLatin1();
        m_f->setDriver(driver.data());
        m_f->setHost(host.data());
        m_f->setPort(config.port);
    }
    ~DirectLine() override
    {
        for (const auto &[id, app] : m_apps)
            m_f->release(id);
    }

    quint64 copies = 0;

    bool isInstalled() const override { return true; }
    capi::RegisterResult registerApplication(const capi::Registration &r) override
    {
        capi::RegisterResult result;
        unsigned id = 0;
        result.info = quint16(m_f->isInstalled());
        if (result.info == capi::info::Ok)
            result.info = quint16(
                m_f->registerApplication(r.maxLogicalConnections, r.maxDataBlocks, r.maxBlockLength, &id));
        if (result.info != capi::info::Ok || !id)
            return result;
        auto app = std::make_unique<App>();
        app->fd = m_f->fileNumber(id);
        const int on = 1; // as the transport does
        ::setsockopt(app->fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        app->notifier = std::make_unique<QSocketNotifier>(qintptr(app->fd), QSocketNotifier::Read);
        QObject::connect(app->notifier.get(), &QSocketNotifier::activated, this,
                         [this, appId = quint16(id)] { emit messagesWaiting(appId); });
        m_apps[quint16(id)] = std::move(app);
        result.appId = quint16(id);
        return result;
    }
    quint16 release(quint16 appId) override
    {
        if (!m_apps.erase(appId))
            return capi::info::IllegalApplication;
        return quint16(m_f->release(appId));
    }
    quint16 putMessage(const capi::Message &m) override
    {
        const bool data = m.command == capi::Command::DataB3 && m.subcommand == capi::Subcommand::Req;
        capi::Message wire = m;
        if (data) {
            wire.dataLength = quint16(m.data.size());
            wire.dataPointer = 0;
            wire.data64 = 0;
        }
        const QByteArray bytes = capi::encode(wire);
        alignas(8) unsigned char buffer[capi20::Capi20Transport::BufferSize];
        std::memcpy(buffer, bytes.constData(), size_t(bytes.size()));
        if (data) {
            const quint64 p = quintptr(m.data.constData());
            std::memcpy(buffer + 22, &p, sizeof p);
        }
        return quint16(m_f->putMessage(m.appId, buffer));
    }
    std::optional<capi::Message> getMessage(quint16 appId) override
    {
        const auto it = m_apps.find(appId);
        if (it == m_apps.end() || capi20::checkFrame(it->second->fd).state != capi20::FrameState::Whole)
            return std::nullopt;
        unsigned char *bytes = nullptr;
        if (m_f->getMessage(appId, &bytes) != capi::info::Ok || !bytes)
            return std::nullopt;
        const int length = bytes[0] | bytes[1] << 8;
        capi::DecodeResult decoded = capi::decode(QByteArrayView(reinterpret_cast<const char *>(bytes), length));
        if (!decoded)
            return std::nullopt;
        capi::Message m = std::move(decoded.message());
        if (m.command == capi::Command::DataB3 && m.subcommand == capi::Subcommand::Ind && length >= 30) {
            quint64 p = 0;
            std::memcpy(&p, bytes + 22, sizeof p);
            m.data = QByteArray(reinterpret_cast<const char *>(quintptr(p)), m.dataLength);
            ++copies;
        }
        return m;
    }
    capi::Profile profile(quint32) const override { return {}; }
    QString manufacturer(quint32) const override { return {}; }
    capi::Version version(quint32) const override { return {}; }
    QString serialNumber(quint32) const override { return {}; }

private:
    struct App
    {
        int fd = -1;
        std::unique_ptr<QSocketNotifier> notifier;
    };
    const capi20::Functions *m_f;
    std::map<quint16, std::unique_ptr<App>> m_apps;
};

} // namespace benchdirect
