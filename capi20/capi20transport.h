#pragma once

// A real CAPI 2.0 line through libcapi20: the kernel's CAPI, a remote CAPI server over TCP or
// a router's remote CAPI. A sibling of the simulated line behind the same interface.
//
// Threads. Every call into libcapi20 runs on the Library's thread (capi20/library.h), an
// epoll loop of its own that watches each application's descriptor, takes a message only
// when a whole frame waits, copies it out of the library's buffer (the one copy made on the
// way in) and queues it for the application. The window's thread never calls the library:
// putMessage() queues the message for the library's thread and returns, getMessage() takes
// from the application's queue, and messagesWaiting() is raised through the window thread's
// event loop. Both ways messages move in bursts, since with a window of blocks in flight the
// call is bound by round trips between threads: every application served in one turn of the
// library's thread is announced by one hand-back once all are served, and what the handlers put
// while that hand-back runs them waits until the last has returned, then leaves in one job on
// the library's thread (its connections corked meanwhile). A handler that waits in the event
// loop itself does not hold its messages back: the loop's next turn sends them, as do
// release() and registerApplication() before they act.
//
// Registration is the one call that must answer synchronously, and it can wait on the
// network for ever. registerApplication() posts it to the library's thread and waits for at
// most the deadline (5 s), processing the window's events meanwhile except user input, so the
// window keeps painting (a caller that must not run its own code in that wait holds it off,
// as the component does with EventQueue::Hold). At the deadline it answers with the reason
// and shuts down the sockets the stuck call opened, so the call returns and the library's
// thread is free for the next registration; a registration that still succeeds after the
// deadline is released at once.

#include "capi/transport.h"

#include <chrono>
#include <memory>

namespace capi20 {

struct Config
{
    QString driver;  // empty: libcapi20's own configuration; "rcapi" or "fritzbox"
    QString host;    // for a driver
    int port = 0;    // 0: the driver's default
    quint32 controller = 1;
    QString libraryFile = QStringLiteral("libcapi20.so.3");
    std::chrono::milliseconds deadline{5000};
};

class Capi20Transport final : public capi::Transport
{
    Q_OBJECT

public:
    // Frames and messages travel in buffers of this size: a CAPI message with its data block.
    static constexpr int BufferSize = 2176;
    static constexpr int MaxBlockLength = 2048;

    explicit Capi20Transport(Config config, QObject *parent = nullptr);
    ~Capi20Transport() override;

    const Config &config() const { return m_config; }
    // The line in words, e.g. "remote CAPI 127.0.0.1:2662".
    QString lineName() const;

    struct Statistics
    {
        quint64 messagesPut = 0;
        quint64 messagesTaken = 0;
        quint64 dataBytesPut = 0;
        quint64 dataBytesTaken = 0;
        quint64 dataCopies = 0; // data blocks copied on their way in: one per DATA_B3_IND
        quint64 partialWaits = 0; // times part of a frame waited for its rest
        quint64 handOvers = 0;    // hand-backs of taken messages to the window's thread
        quint64 flushes = 0;      // jobs that handed put messages to the library
    };
    Statistics statistics() const;

    // Transport. isInstalled() is true: whether libcapi20 loads and finds a CAPI is learnt by
    // registering, which then answers with the reason.
    bool isInstalled() const override { return true; }
    capi::RegisterResult registerApplication(const capi::Registration &registration) override;
    quint16 release(quint16 appId) override;
    quint16 putMessage(const capi::Message &m) override;
    std::optional<capi::Message> getMessage(quint16 appId) override;
    // What the controller reported when the last application registered.
    capi::Profile profile(quint32 controller) const override;
    QString manufacturer(quint32 controller) const override;
    capi::Version version(quint32 controller) const override;
    QString serialNumber(quint32 controller) const override;

    struct App;
    struct Shared;

private:
    void announce();
    void lost(quint16 appId, const QString &why);
    friend struct Shared;

    Config m_config;
    std::shared_ptr<Shared> m_shared;
};

} // namespace capi20
