// The exchange under load, over loopback, with clients on plain sockets written for this
// benchmark.
//   bench_exchange relay   one 10 MB transparent call through the exchange (unpaced) beside
//                          the same call on an in-process line: MB/s and messages/s of each,
//                          median of interleaved rounds with the spread, and their ratio.
//   bench_exchange scale   calls paced at 64 kbit/s (10, 100, 1,000): the exchange's CPU
//                          share and RSS, and how late each data block reaches its receiver
//                          against the time its last bit is due (p50, p99, max).
// The exchange runs as its own process (bench_exchange finds quillon-exchange beside itself).

#include "common/exchangeprocess.h"

#include "simline/settings.h"
#include "simline/simulatedline.h"
#include "exchange/wire.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

using capi::Command;
using capi::Message;
using capi::Subcommand;

namespace {

constexpr int Block = 2048;
constexpr int Window = 7;

using benchexchange::ExchangeProcess;

// ---- one side of a call, over any transport ----

// A data application: the caller sends `bytes` in blocks as the window allows, the callee
// answers everything and counts what it receives, noting when each block arrived.
struct Side
{
    std::function<void(Message)> put;
    bool caller = false;
    qint64 toSend = 0;
    qint64 sent = 0, received = 0;
    quint32 plci = 0, ncci = 0;
    int unconfirmed = 0;
    quint16 handle = 0;
    bool done = false;
    quint64 messages = 0;
    QString number = QStringLiteral("100");
    quint32 controller = 1; // where it calls or listens
    std::vector<qint64> arrivals; // ns on the benchmark's clock, per DATA_B3_IND
    const QElapsedTimer *clock = nullptr;
    QByteArray payload = QByteArray(Block, 'x');

    void start()
    {
        if (caller) {
            Message c(Command::Connect, Subcommand::Req, 0, controller);
            c.cip = capi::cip::UnrestrictedDigital;
            c.calledParty.digits = number;
            put(c);
        } else {
            Message l(Command::Listen, Subcommand::Req, 0, controller);
            l.cipMask = 1;
            put(l);
        }
    }
    void fill()
    {
        while (ncci && unconfirmed < Window && sent < toSend) {
            const int n = int(qMin<qint64>(Block, toSend - sent));
            put(Message::dataB3Req(0, ncci, n == Block ? payload : payload.left(n), handle++));
            sent += n;
            ++unconfirmed;
        }
    }
    void onMessage(const Message &m)
    {
        ++messages;
        if (m.subcommand == Subcommand::Ind && m.command != Command::Connect)
            put(m.response());
        switch (m.command) {
        case Command::Connect:
            if (m.subcommand == Subcommand::Conf)
                plci = m.address;
            if (m.subcommand == Subcommand::Ind) {
                // A callee answers its own number only and leaves other calls alone.
                Message answer = m.response();
                answer.reject = m.calledParty.digits == number ? capi::reject::Accept : capi::reject::Ignore;
                put(answer);
            }
            break;
        case Command::ConnectActive:
            if (caller && m.subcommand == Subcommand::Ind)
                put(Message(Command::ConnectB3, Subcommand::Req, 0, plci));
            break;
        case Command::ConnectB3Active:
            ncci = m.address;
            fill();
            break;
        case Command::DataB3:
            if (m.subcommand == Subcommand::Conf) {
                --unconfirmed;
                fill();
                if (sent == toSend && unconfirmed == 0 && toSend > 0)
                    put(Message(Command::Disconnect, Subcommand::Req, 0, plci));
            } else if (m.subcommand == Subcommand::Ind) {
                received += m.dataLength;
                if (clock)
                    arrivals.push_back(clock->nsecsElapsed());
            }
            break;
        case Command::Disconnect:
            if (m.subcommand == Subcommand::Ind)
                done = true;
            break;
        default: break;
        }
    }
};

// A side on a socket to the exchange.
class SocketSide : public QObject
{
public:
    SocketSide(quint16 port, Side *side) : m_side(side)
    {
        m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
        side->put = [this](Message m) {
            m.appId = 1;
            m.number = m_number++;
            QByteArray body = capi::encode(m);
            if (m.command == Command::DataB3 && m.subcommand == Subcommand::Req)
                body += m.data;
            m_socket.write(exchange::frame(body));
        };
        connect(&m_socket, &QTcpSocket::readyRead, this, &SocketSide::read);
        m_socket.connectToHost(QHostAddress::LocalHost, port);
        m_socket.waitForConnected(5000);
        QByteArray reg(12, '\0');
        reg[4] = char(0xF2);
        reg[5] = char(0xFF);
        reg += QByteArray::fromHex("0008020007000008") + char(2); // 2048, 2 connections, 7 blocks, 2048
        m_socket.write(exchange::frame(reg));
    }

private:
    void read()
    {
        m_buffer += m_socket.readAll();
        qsizetype at = 0;
        while (m_buffer.size() - at >= 2) {
            const int length = (quint8(m_buffer[at]) << 8) | quint8(m_buffer[at + 1]);
            if (m_buffer.size() - at < length)
                break;
            const QByteArrayView body(m_buffer.constData() + at + 2, length - 2);
            at += length;
            if (quint8(body[5]) == 0xFF) { // the register reply
                m_side->start();
                continue;
            }
            const int msgLength = quint8(body[0]) | (quint8(body[1]) << 8);
            capi::DecodeResult r = capi::decode(body.first(msgLength));
            if (r)
                m_side->onMessage(r.message());
        }
        m_buffer.remove(0, at);
    }

    Side *m_side;
    QTcpSocket m_socket;
    QByteArray m_buffer;
    quint16 m_number = 1;
};

// A side on an in-process line.
class LineSide : public QObject
{
public:
    LineSide(simline::SimulatedLine &line, Side *side) : m_line(line), m_side(side)
    {
        m_app = line.registerApplication({2, Window, Block}).appId;
        side->put = [this](Message m) {
            m.appId = m_app;
            m_line.putMessage(m);
        };
        connect(&line, &capi::Transport::messagesWaiting, this, [this](quint16 app) {
            if (app != m_app)
                return;
            while (auto m = m_line.getMessage(m_app))
                m_side->onMessage(*m);
        });
        side->start();
    }
    ~LineSide() override { m_line.release(m_app); }

private:
    simline::SimulatedLine &m_line;
    Side *m_side;
    quint16 m_app = 0;
};

void runUntil(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < timeoutMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 10);
}

struct RelayResult
{
    double seconds = 0;
    quint64 messages = 0;
    bool ok = false;
};

RelayResult relayCall(qint64 bytes, quint16 port, simline::SimulatedLine *line)
{
    Side callee, caller;
    caller.caller = true;
    caller.toSend = bytes;
    QElapsedTimer t;
    t.start();
    {
        std::unique_ptr<QObject> a, b;
        if (line) {
            b = std::make_unique<LineSide>(*line, &callee);
            a = std::make_unique<LineSide>(*line, &caller);
        } else {
            b = std::make_unique<SocketSide>(port, &callee);
            runUntil([&] { return callee.messages > 0; }, 5000); // its LISTEN is confirmed
            a = std::make_unique<SocketSide>(port, &caller);
        }
        runUntil([&] { return caller.done && callee.done; }, 120000);
    }
    RelayResult r;
    r.seconds = t.nsecsElapsed() / 1e9;
    r.messages = caller.messages + callee.messages;
    r.ok = callee.received == bytes;
    return r;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

int relay()
{
    constexpr qint64 Bytes = 10 * 1000 * 1000;
    constexpr int Rounds = 5;
    ExchangeProcess exchange({QStringLiteral("--speed"), QStringLiteral("0")});
    if (!exchange.port()) {
        std::fprintf(stderr, "exchange did not start\n");
        return 1;
    }
    simline::SimulatedLine line;
    std::vector<double> local, remote, localMsgs, remoteMsgs;
    for (int round = 0; round < Rounds; ++round) {
        const RelayResult l = relayCall(Bytes, 0, &line);
        const RelayResult x = relayCall(Bytes, exchange.port(), nullptr);
        if (!l.ok || !x.ok) {
            std::fprintf(stderr, "round %d: a call did not complete\n", round);
            return 1;
        }
        local.push_back(Bytes / 1e6 / l.seconds);
        remote.push_back(Bytes / 1e6 / x.seconds);
        localMsgs.push_back(l.messages / l.seconds);
        remoteMsgs.push_back(x.messages / x.seconds);
    }
    auto spread = [](const std::vector<double> &v) {
        return (*std::max_element(v.begin(), v.end()) - *std::min_element(v.begin(), v.end()));
    };
    std::printf("one 10 MB transparent call, 2048-byte blocks, window 7, unpaced; median of %d "
                "interleaved rounds (spread max-min)\n", Rounds);
    std::printf("  in-process line : %7.1f MB/s (spread %.1f)  %9.0f messages/s (spread %.0f)\n",
                median(local), spread(local), median(localMsgs), spread(localMsgs));
    std::printf("  through exchange: %7.1f MB/s (spread %.1f)  %9.0f messages/s (spread %.0f)\n",
                median(remote), spread(remote), median(remoteMsgs), spread(remoteMsgs));
    std::printf("  ratio exchange / in-process: %.2f (MB/s)\n", median(remote) / median(local));
    std::printf("  messages counted: every message either client took from its line\n");
    return 0;
}

// The load of the scale run: every side on a plain non-blocking socket, all of them served
// by one epoll loop in this thread. What a side puts during a turn is queued on its socket
// and written in one send() at the end of the turn, so a turn costs a few system calls per
// busy socket, not one per message.
class RawLoad
{
public:
    explicit RawLoad(quint16 port) : m_port(port), m_epoll(epoll_create1(EPOLL_CLOEXEC)) {}
    ~RawLoad()
    {
        for (Conn &c : m_conns)
            ::close(c.fd);
        ::close(m_epoll);
    }
    RawLoad(const RawLoad &) = delete;
    RawLoad &operator=(const RawLoad &) = delete;

    // Connects `side` and registers it; it starts once the registration is confirmed.
    bool add(Side *side)
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return false;
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(m_port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
            ::close(fd);
            return false;
        }
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        const size_t index = m_conns.size();
        m_conns.push_back(Conn{fd, side, {}, {}, 1});
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = index;
        ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &ev);
        side->put = [this, index](Message m) {
            Conn &c = m_conns[index];
            m.appId = 1;
            m.number = c.number++;
            QByteArray body = capi::encode(m);
            if (m.command == Command::DataB3 && m.subcommand == Subcommand::Req)
                body += m.data;
            queue(index, exchange::frame(body));
        };
        QByteArray reg(12, '\0');
        reg[4] = char(0xF2);
        reg[5] = char(0xFF);
        reg += QByteArray::fromHex("0008020007000008") + char(2); // 2048, 2 connections, 7 blocks, 2048
        queue(index, exchange::frame(reg));
        flush();
        return true;
    }

    // One turn: waits up to `timeoutMs` for input, hands every complete frame to its side,
    // then writes what the sides put.
    void turn(int timeoutMs)
    {
        epoll_event events[256];
        const int n = ::epoll_wait(m_epoll, events, 256, m_dirty.empty() ? timeoutMs : 0);
        for (int i = 0; i < n; ++i)
            read(size_t(events[i].data.u64));
        flush();
    }
    void runUntil(const std::function<bool()> &done, int timeoutMs)
    {
        QElapsedTimer t;
        t.start();
        while (!done() && t.elapsed() < timeoutMs)
            turn(10);
    }
    bool failed() const { return m_failed; }

private:
    struct Conn
    {
        int fd;
        Side *side;
        QByteArray in, out;
        quint16 number;
    };

    void queue(size_t index, const QByteArray &frame)
    {
        Conn &c = m_conns[index];
        if (c.out.isEmpty())
            m_dirty.push_back(index);
        c.out += frame;
    }
    void flush()
    {
        std::vector<size_t> still;
        for (size_t index : m_dirty) {
            Conn &c = m_conns[index];
            const ssize_t w = ::send(c.fd, c.out.constData(), size_t(c.out.size()), MSG_NOSIGNAL);
            if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                m_failed = true;
                c.out.clear();
                continue;
            }
            if (w > 0)
                c.out.remove(0, w);
            if (!c.out.isEmpty())
                still.push_back(index); // the kernel's buffer is full: tried again next turn
        }
        m_dirty = std::move(still);
    }
    void read(size_t index)
    {
        Conn &c = m_conns[index];
        char buffer[65536];
        for (;;) {
            const ssize_t r = ::recv(c.fd, buffer, sizeof buffer, 0);
            if (r > 0) {
                c.in.append(buffer, r);
                if (r < ssize_t(sizeof buffer))
                    break;
                continue;
            }
            if (r == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
                m_failed = true; // the exchange dropped us: the run is void
                ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, c.fd, nullptr);
            }
            break;
        }
        qsizetype at = 0;
        while (c.in.size() - at >= 2) {
            const int length = (quint8(c.in[at]) << 8) | quint8(c.in[at + 1]);
            if (length < 8 || c.in.size() - at < length)
                break;
            const QByteArrayView body(c.in.constData() + at + 2, length - 2);
            at += length;
            if (quint8(body[5]) == 0xFF) { // the register reply
                c.side->start();
                continue;
            }
            const int msgLength = quint8(body[0]) | (quint8(body[1]) << 8);
            capi::DecodeResult d = capi::decode(body.first(qMin<qsizetype>(msgLength, body.size())));
            if (d)
                c.side->onMessage(d.message());
        }
        c.in.remove(0, at);
    }

    quint16 m_port;
    int m_epoll;
    std::vector<Conn> m_conns; // the put callbacks hold indices, never references
    std::vector<size_t> m_dirty;
    bool m_failed = false;
};

int scale(const std::vector<int> &callCounts, int seconds)
{
    constexpr double Rate = 64000.0;
    const double blockNs = Block * 8 / Rate * 1e9;
    std::printf("transparent calls (CIP unrestricted digital, B protocols transparent: bytes relayed "
                "as a B channel carries them) paced at 64 kbit/s, 2048-byte blocks, window 7, %d s each, "
                "on an exchange with twice the calls' channels (its controllers share the calls); "
                "the senders keep their windows full, so the line's pace "
                "alone sets when a block arrives.\nlateness = arrival of a DATA_B3_IND at the "
                "receiving client minus its due time, the call's first measured arrival plus one "
                "block time (256 ms) per block after it\n", seconds);
    std::printf("%7s %9s %9s %10s %10s %10s %9s %10s\n", "calls", "blocks", "cpu %", "rss MB", "p50 ms",
                "p99 ms", "max ms", "setup s");
    for (int calls : callCounts) {
        simline::LineSettings line; // what the exchange offers for these channels
        line.channels = 2 * calls;
        const int controllers = line.controllers();
        ExchangeProcess exchange({QStringLiteral("--speed"), QStringLiteral("1"), QStringLiteral("--channels"),
                                  QString::number(2 * calls), QStringLiteral("--max-clients"),
                                  QString::number(2 * calls + 4)});
        if (!exchange.port())
            return 1;
        QElapsedTimer clock;
        clock.start();
        std::vector<std::unique_ptr<Side>> callees, callers;
        RawLoad load(exchange.port());
        // One call at a time: its callee listens, the call is placed and answered, and the
        // callee stops listening, so every call is offered to its own callee only.
        for (int i = 0; i < calls; ++i) {
            auto callee = std::make_unique<Side>();
            callee->clock = &clock;
            callee->number = QString::number(1000 + i);
            // The exchange numbers 127 calls per controller: the calls are spread over them.
            callee->controller = quint32(i % controllers + 1);
            auto caller = std::make_unique<Side>();
            caller->controller = callee->controller;
            caller->caller = true;
            caller->toSend = qint64(1) << 40; // keeps sending for the whole run
            caller->number = callee->number;
            Side *e = callee.get(), *r = caller.get();
            callees.push_back(std::move(callee));
            callers.push_back(std::move(caller));
            if (!load.add(e))
                return 1;
            load.runUntil([&] { return e->messages > 0; }, 5000); // its LISTEN is confirmed
            if (!load.add(r))
                return 1;
            load.runUntil([&] { return r->ncci != 0; }, 5000);
            if (!r->ncci || load.failed()) {
                std::fprintf(stderr, "call %d did not come up\n", i);
                return 1;
            }
            Message stop(Command::Listen, Subcommand::Req, 0, e->controller);
            stop.cipMask = 0;
            e->put(stop);
        }
        const double setup = clock.nsecsElapsed() / 1e9;
        load.runUntil([] { return false; }, 1000); // every call reaches its pace
        const double cpu0 = exchange.cpuSeconds();
        QElapsedTimer run;
        run.start();
        for (auto &c : callees)
            c->arrivals.clear();
        load.runUntil([] { return false; }, seconds * 1000);
        const double cpu = (exchange.cpuSeconds() - cpu0) / (run.nsecsElapsed() / 1e9);
        const qint64 rss = exchange.rssKb();
        if (load.failed()) {
            std::fprintf(stderr, "%d calls: the exchange dropped a client\n", calls);
            return 1;
        }
        std::vector<double> late;
        for (const auto &c : callees) {
            const std::vector<qint64> &a = c->arrivals;
            for (size_t k = 1; k < a.size(); ++k) {
                const double due = double(a[0]) + double(k) * blockNs;
                late.push_back(std::max(0.0, (double(a[k]) - due) / 1e6));
            }
        }
        std::sort(late.begin(), late.end());
        auto pct = [&](double p) { return late.empty() ? 0 : late[size_t(p * double(late.size() - 1))]; };
        std::printf("%7d %9zu %8.1f%% %10.1f %10.2f %10.2f %9.2f %10.1f\n", calls, late.size(), cpu * 100,
                    rss / 1024.0, pct(0.5), pct(0.99), late.empty() ? 0 : late.back(), setup);
        std::fflush(stdout);
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QString mode = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("relay");
    if (mode == QLatin1String("relay"))
        return relay();
    if (mode == QLatin1String("scale")) {
        // scale [SECONDS [CALLS...]]: by default 10, 100 and 1,000 calls
        std::vector<int> counts;
        for (int i = 3; i < argc; ++i)
            counts.push_back(atoi(argv[i]));
        if (counts.empty())
            counts = {10, 100, 1000};
        return scale(counts, argc > 2 ? atoi(argv[2]) : 10);
    }
    std::fprintf(stderr, "usage: bench_exchange relay | scale [SECONDS [CALLS...]]\n");
    return 2;
}
