#include "exchange/server.h"
#include "capi/trace.h"

#include <QTimer>

#include <unistd.h>

namespace exchange {

namespace {
constexpr int ShutdownClearMs = 2000; // how long the calls get to clear at shutdown
constexpr int ShutdownCloseMs = 1000; // then how long the clients get to take the rest
constexpr quint16 ShutdownNumber = 0xFFFF; // message number of the exchange's own requests
} // namespace

Server::Server(capi::Transport &line, const ServerOptions &options, QObject *parent)
    : QObject(parent), m_line(line), m_options(options)
{
    m_tcp.take = [this](int fd) { accept(fd); };
    connect(&m_line, &capi::Transport::messagesWaiting, this, &Server::deliver);
}

Server::~Server()
{
    for (auto &[connection, client] : m_clients) {
        if (client->appId)
            m_line.release(client->appId);
        connection->abort();
    }
}

bool Server::listen(const QHostAddress &address, quint16 port)
{
    if (!m_tcp.listen(address, port))
        return false;
    log(QStringLiteral("listening on %1:%2").arg(address.toString()).arg(m_tcp.serverPort()));
    return true;
}

void Server::nameClient(Client *client)
{
    client->label = QStringLiteral("#%1 %2").arg(client->number).arg(client->connection->peer());
    if (client->appId)
        client->label += QStringLiteral(" app %1").arg(client->appId);
}

void Server::accept(int fd)
{
    if (m_stage != Stage::Serving || int(m_clients.size()) >= m_options.maxClients) {
        // One line a second at most: a flood of connections must not flood the log.
        ++m_refusedUnlogged;
        if (!m_refusalLogged.isValid() || m_refusalLogged.elapsed() >= 1000) {
            log(QStringLiteral("refused %1 connection(s), the last from %2: %3")
                    .arg(m_refusedUnlogged)
                    .arg(peerOf(fd))
                    .arg(m_stage != Stage::Serving ? QStringLiteral("shutting down")
                                                   : QStringLiteral("%1 clients connected").arg(m_clients.size())));
            m_refusalLogged.start();
            m_refusedUnlogged = 0;
        }
        ::close(fd);
        return;
    }
    auto client = std::make_unique<Client>();
    client->number = m_nextNumber++;
    auto *connection = new Connection(fd, m_sockets, m_options.limits, this);
    client->connection = connection;
    Client *raw = client.get();
    nameClient(raw);
    m_clients[connection] = std::move(client);
    connect(connection, &Connection::frameReceived, this,
            [this, raw](const Frame &f) { onFrame(raw, f); });
    connect(connection, &Connection::failed, this,
            [this, raw](const QString &why) { drop(raw, why); });
    connect(connection, &Connection::closed, this,
            [this, raw] { drop(raw, QStringLiteral("closed")); });
    if (m_options.trace)
        log(QStringLiteral("connection %1").arg(name(raw)));
}

void Server::onFrame(Client *client, const Frame &frame)
{
    if (const auto *admin = std::get_if<AdminRequest>(&frame))
        onAdmin(client, *admin);
    else if (const auto *capiFrame = std::get_if<CapiFrame>(&frame))
        onMessage(client, capiFrame->message);
}

void Server::onAdmin(Client *client, const AdminRequest &r)
{
    Connection *c = client->connection;
    switch (r.command) {
    case AdminCommand::Register: {
        if (client->appId || m_stage != Stage::Serving) {
            c->send(registerReply(client->appId ? capi::info::RegisterBusy : capi::info::RegisterOsResource));
            return;
        }
        capi::Registration reg = r.registration;
        // The client's receive buffers take blocks of its registered length; frames must
        // also stay within its 4,096-byte buffer.
        reg.maxBlockLength = qMin(reg.maxBlockLength, MaxBlockLength);
        const capi::RegisterResult result = m_line.registerApplication(reg);
        if (!result.ok()) {
            log(QStringLiteral("registration refused: %1, %2").arg(name(client), capi::describeInfo(result.info)));
            c->send(registerReply(result.info ? result.info : capi::info::RegisterOsResource));
            return;
        }
        client->appId = result.appId;
        nameClient(client);
        m_byApp[result.appId] = client;
        log(QStringLiteral("registered: %1, %2 connection(s), %3 block(s) of %4 bytes")
                .arg(name(client))
                .arg(reg.maxLogicalConnections)
                .arg(reg.maxDataBlocks)
                .arg(reg.maxBlockLength));
        c->send(registerReply(capi::info::Ok));
        return;
    }
    case AdminCommand::Manufacturer:
        c->send(manufacturerReply(m_line.manufacturer(r.controller).isEmpty() ? QString() : m_options.manufacturer));
        return;
    case AdminCommand::Version: {
        capi::Version v = m_line.version(r.controller);
        if (!m_line.manufacturer(r.controller).isEmpty()) // controller 0 or one of the line's
            v = m_options.version;
        c->send(versionReply(v));
        return;
    }
    case AdminCommand::SerialNumber:
        c->send(serialNumberReply(m_line.serialNumber(r.controller).isEmpty() ? QString() : m_options.serialNumber));
        return;
    case AdminCommand::Profile: {
        const capi::Profile p = m_line.profile(r.controller);
        c->send(profileReply(p.controllers ? capi::info::Ok : capi::info::IllegalIdentifier, p));
        return;
    }
    }
}

void Server::onMessage(Client *client, capi::Message m)
{
    if (!client->appId) {
        drop(client, QStringLiteral("%1 before registration").arg(capi::messageName(m.command, m.subcommand)));
        return;
    }
    // The client numbers its application itself; it keeps that number for good.
    if (!client->clientAppId) {
        client->clientAppId = m.appId;
    } else if (m.appId != client->clientAppId) {
        drop(client, QStringLiteral("%1 for application %2, the connection's is %3")
                         .arg(capi::messageName(m.command, m.subcommand))
                         .arg(m.appId)
                         .arg(client->clientAppId));
        return;
    }
    m.appId = client->appId;
    if (m_options.trace)
        log(capi::traceLine(m));
    const QString note = m_callLog.note(m, true, name(client));
    if (!note.isEmpty())
        log(note);
    const quint16 result = m_line.putMessage(m);
    if (result == capi::info::Ok || m.subcommand != capi::Subcommand::Req)
        return;
    // Refused (for example a DATA_B3_REQ beyond the window): the client learns it from a
    // confirmation, as it would from a local controller.
    capi::Message conf(m.command, capi::Subcommand::Conf, m.appId, m.address);
    conf.number = m.number;
    conf.info = result;
    conf.dataHandle = m.dataHandle;
    conf.facilitySelector = m.facilitySelector;
    if (m_options.trace)
        log(capi::traceLine(conf));
    client->connection->send(messageFrame(conf, client->clientAppId));
}

void Server::deliver(quint16 appId)
{
    auto it = m_byApp.find(appId);
    if (it == m_byApp.end())
        return;
    Client *client = it->second;
    while (client->connection->isOpen()) {
        std::optional<capi::Message> m = m_line.getMessage(appId);
        if (!m) {
            // Everything the line had for this client leaves in one write.
            client->connection->flush();
            return;
        }
        using C = capi::Command;
        using S = capi::Subcommand;
        if (m->command == C::Connect && ((m->subcommand == S::Conf && m->info == capi::info::Ok) ||
                                         m->subcommand == S::Ind))
            client->plcis.insert(m->address & 0xFFFF);
        if (m->command == C::Disconnect && m->subcommand == S::Ind)
            client->plcis.erase(m->address & 0xFFFF);
        // The calls cleared at shutdown were not the client's doing: it gets no confirmation.
        if (m_stage != Stage::Serving && m->command == C::Disconnect && m->subcommand == S::Conf &&
            m->number == ShutdownNumber)
            continue;
        if (m_options.trace)
            log(capi::traceLine(*m));
        const QString note = m_callLog.note(*m, false, name(client));
        if (!note.isEmpty())
            log(note);
        const QByteArray f = messageFrame(*m, client->clientAppId ? client->clientAppId : appId);
        if (f.isEmpty()) {
            log(QStringLiteral("not sent to %1: %2 does not fit a frame")
                    .arg(name(client), capi::messageName(m->command, m->subcommand)));
            continue;
        }
        if (!client->connection->send(f))
            return; // overflowed: the connection fails and is dropped
    }
    if (m_stage != Stage::Serving)
        finishShutdown();
}

void Server::drop(Client *client, const QString &why)
{
    Connection *connection = client->connection;
    auto it = m_clients.find(connection);
    if (it == m_clients.end())
        return;
    std::unique_ptr<Client> owned = std::move(it->second);
    m_clients.erase(it);
    log(QStringLiteral("connection %1 ended: %2").arg(name(client), why));
    if (client->appId) {
        m_byApp.erase(client->appId);
        m_callLog.forget(client->appId);
        m_line.release(client->appId);
        log(QStringLiteral("released: app %1").arg(client->appId));
    }
    connection->abort();
    connection->deleteLater();
    if (m_stage != Stage::Serving)
        finishShutdown();
}

void Server::shutdown()
{
    if (m_stage != Stage::Serving)
        return;
    m_stage = Stage::Clearing;
    m_tcp.close();
    log(QStringLiteral("shutting down: %1 client(s)").arg(m_clients.size()));
    // Each call is cleared as if its party hung up, so both sides hear DISCONNECT_IND.
    for (auto &[connection, client] : m_clients) {
        for (quint32 plci : std::set<quint32>(client->plcis)) {
            capi::Message req(capi::Command::Disconnect, capi::Subcommand::Req, client->appId, plci);
            req.number = ShutdownNumber;
            m_line.putMessage(req);
        }
    }
    QTimer::singleShot(ShutdownClearMs, this, [this] {
        for (auto &[connection, client] : m_clients)
            client->plcis.clear();
        finishShutdown();
    });
    finishShutdown();
}

void Server::finishShutdown()
{
    if (m_stage == Stage::Clearing) {
        static constexpr auto hasCalls = [](const auto &entry) { return !entry.second->plcis.empty(); };
        if (std::any_of(m_clients.begin(), m_clients.end(), hasCalls))
            return;
        m_stage = Stage::Closing;
        for (auto &[connection, client] : m_clients)
            connection->close(); // closed() drops the client once the rest is written
        QTimer::singleShot(ShutdownCloseMs, this, [this] {
            while (!m_clients.empty())
                drop(m_clients.begin()->second.get(), QStringLiteral("shutdown"));
        });
    }
    if (m_stage == Stage::Closing && m_clients.empty()) {
        m_stage = Stage::Done;
        log(QStringLiteral("shut down"));
        QMetaObject::invokeMethod(this, &Server::finished, Qt::QueuedConnection);
    }
}

} // namespace exchange
