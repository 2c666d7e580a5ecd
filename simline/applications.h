#pragma once

// The applications registered on the line and the messages waiting for them. Each
// application is told of waiting messages through the event loop of the thread that
// registered it, once per batch.

#include "capi/message.h"
#include "capi/transport.h"

#include <QByteArray>
#include <QObject>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace simline {

// A message waiting for an application: its encoding and, for DATA_B3_IND, the block.
struct Queued
{
    QByteArray wire;
    QByteArray data;
};

// Frees a notification object in its own thread.
struct DeleteLater
{
    void operator()(QObject *o) const;
};

// What an application listens for on one controller (its last LISTEN_REQ there).
struct Listening
{
    quint32 infoMask = 0;
    quint32 cipMask = 0;
    quint32 cipMask2 = 0;
};

struct App
{
    quint16 id = 0;
    quint64 serial = 0; // tells a re-registered id from the old one
    capi::Registration registration;
    quint32 window = 1; // the DATA_B3 window of each of its connections
    std::unique_ptr<QObject, DeleteLater> context; // in the registering thread
    std::deque<Queued> queue;
    bool notifyPending = false;
    quint16 nextNumber = 1;
    std::map<quint32, Listening> listening; // by controller
    std::map<quint32, quint32> unconfirmed; // DATA_B3_REQ put, not yet confirmed, by NCCI

    // Takes one unconfirmed block of `ncci` off the count.
    void confirmedOne(quint32 ncci);
    // Listens for calls of this CIP value on this controller (bit 0 of the mask: every CIP
    // value), or on any controller.
    bool listensFor(quint16 cip, quint32 controller) const;
    bool listensFor(quint16 cip) const;
    quint32 infoMaskOn(quint32 controller) const;
};

class Applications
{
public:
    static constexpr quint16 DefaultMaxApplications = 32;
    static constexpr quint32 MaxWindow = 7;

    // `wake(id, serial)` runs in the application's thread when messages may wait for it.
    explicit Applications(std::function<void(quint16, quint64)> wake);
    ~Applications();
    Applications(const Applications &) = delete;
    Applications &operator=(const Applications &) = delete;

    // How many may be registered at once (1 .. 65535).
    void setLimit(int count);
    capi::RegisterResult add(const capi::Registration &registration);
    // Forgets an application and hands back its notification object, for the caller to free
    // outside the line's lock. Empty when the id is unknown.
    std::optional<std::unique_ptr<QObject, DeleteLater>> remove(quint16 id);

    App *find(quint16 id) { return id < m_apps.size() ? m_apps[id].get() : nullptr; }
    App *find(quint16 id, quint64 serial);
    // An application known to be registered.
    App &at(quint16 id)
    {
        App *a = find(id);
        Q_ASSERT(a);
        return *a;
    }
    int count() const { return m_count; }
    // The ids listening for a CIP value on any controller, in id order.
    std::vector<quint16> listenersFor(quint16 cip) const;

    // Queues `m` for application `id` (nothing when it is gone); an IND gets the
    // application's next message number. Returns whether it was queued.
    bool send(quint16 id, capi::Message m);
    // Answers a REQ with its CONF.
    void confirm(const capi::Message &req, quint32 address, quint16 infoValue);
    // Messages queued so far, over all applications.
    quint64 sentCount() const { return m_sent; }
    std::optional<Queued> take(quint16 id);
    // Called from `wake`: whether the notification is still due for this registration.
    bool notificationDue(quint16 id, quint64 serial);

private:
    void notify(App &a);

    std::function<void(quint16, quint64)> m_wake;
    // By id (slot 0 unused), so that the messages of a thousand calls find their
    // application without a search; empty slots are free ids.
    std::vector<std::unique_ptr<App>> m_apps;
    int m_count = 0;
    int m_limit = DefaultMaxApplications;
    quint64 m_nextSerial = 1;
    quint64 m_sent = 0;
};

} // namespace simline
