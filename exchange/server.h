#pragma once

// The exchange: serves a CAPI line to remote-CAPI clients over TCP. Every registration of a
// client becomes an application on the line; messages cross both ways, with the client's
// own application id written into what it receives. A client can only reach its own
// application; one that breaks the protocol loses its connection and nothing else.

#include "capi/transport.h"
#include "exchange/calllog.h"
#include "exchange/connection.h"
#include "exchange/socketset.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QTcpServer>

#include <functional>
#include <map>
#include <memory>
#include <set>

namespace exchange {

// Hands each accepted socket on as a descriptor, for a Connection of the SocketSet; Qt makes
// no socket object of its own for it.
class Listener final : public QTcpServer
{
public:
    std::function<void(int fd)> take;

protected:
    void incomingConnection(qintptr fd) override { take(int(fd)); }
};

struct ServerOptions
{
    int maxClients = 64;
    ConnectionLimits limits;
    bool trace = false; // a log line for every message
    QString manufacturer;
    capi::Version version;
    QString serialNumber;
};

class Server final : public QObject
{
    Q_OBJECT

public:
    Server(capi::Transport &line, const ServerOptions &options, QObject *parent = nullptr);
    ~Server() override;

    bool listen(const QHostAddress &address, quint16 port);
    QString errorString() const { return m_tcp.errorString(); }
    quint16 port() const { return m_tcp.serverPort(); }
    int clientCount() const { return int(m_clients.size()); }

    // Clears every call with DISCONNECT_IND to both sides, closes every connection, then
    // emits finished().
    void shutdown();

signals:
    // One line of the log, without a time stamp.
    void logLine(const QString &line);
    void finished();

private:
    struct Client
    {
        int number = 0;
        Connection *connection = nullptr;
        quint16 appId = 0;       // the application on the line, 0 before registration
        quint16 clientAppId = 0; // the id the client uses for it, learned from its messages
        std::set<quint32> plcis; // calls the application takes part in
        QString label;           // how the log names it, made once: "#N ADDR:PORT app N"
    };

    void accept(int fd);
    void onFrame(Client *client, const Frame &frame);
    void onAdmin(Client *client, const AdminRequest &request);
    void onMessage(Client *client, capi::Message m);
    void deliver(quint16 appId);
    // Ends a client: its application is released, so its calls end on the far sides.
    void drop(Client *client, const QString &why);
    void finishShutdown();
    static const QString &name(const Client *client) { return client->label; }
    static void nameClient(Client *client);
    void log(const QString &line) { emit logLine(line); }

    capi::Transport &m_line;
    ServerOptions m_options;
    SocketSet m_sockets; // before the connections, which it watches
    Listener m_tcp;
    CallLog m_callLog;
    int m_nextNumber = 1;
    QElapsedTimer m_refusalLogged;
    int m_refusedUnlogged = 0;
    std::map<Connection *, std::unique_ptr<Client>> m_clients;
    std::map<quint16, Client *> m_byApp;
    enum class Stage { Serving, Clearing, Closing, Done };
    Stage m_stage = Stage::Serving;
};

} // namespace exchange
