// Relays fax data between two applications over the simulated line and prints throughput,
// messages per second, block copies and the memory the process holds as the call goes on.

#include "capi/simulatedline.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>

#include <cstdio>

using namespace capi;

namespace {

constexpr int kBlock = 2048;

// Resident and peak resident set size in kB, from /proc (Linux only; -1 elsewhere).
qint64 procStatusKb(const char *field)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

struct Result
{
    double seconds = 0;
    qint64 bytes = 0;
    quint64 messages = 0;
    quint64 copies = 0;
    bool identical = true;
};

// One call: the caller sends `total` bytes in blocks, the callee takes and checks them.
Result relay(qint64 total, bool printMemory)
{
    SimulatedLine &line = SimulatedLine::instance();
    const quint16 sender = line.registerApplication({1, 7, kBlock}).appId;
    const quint16 receiver = line.registerApplication({1, 7, kBlock}).appId;

    // A pattern the receiver can check byte for byte without keeping the stream.
    auto blockAt = [](qint64 offset, int size) {
        QByteArray b(size, Qt::Uninitialized);
        for (int i = 0; i < size; ++i)
            b[i] = char((offset + i) * 131 >> 3);
        return b;
    };

    qint64 sent = 0, received = 0, nextReport = 0;
    int unconfirmed = 0;
    quint16 handle = 0;
    quint32 sendNcci = 0;
    bool done = false;
    Result r;
    const SimulatedLine::Statistics before = line.statistics();
    QElapsedTimer clock;

    auto put = [&](const Message &m) { line.putMessage(m); };
    auto sendMore = [&] {
        while (sent < total && unconfirmed < 7) {
            const int size = int(qMin<qint64>(kBlock, total - sent));
            if (line.putMessage(Message::dataB3Req(sender, sendNcci, blockAt(sent, size), handle++)) != info::Ok)
                break;
            sent += size;
            ++unconfirmed;
        }
        if (sent == total && unconfirmed == 0)
            put(Message(Command::DisconnectB3, Subcommand::Req, sender, sendNcci));
    };

    QObject context;
    QObject::connect(&line, &Transport::messagesWaiting, &context, [&](quint16 app) {
        while (auto m = line.getMessage(app)) {
            const bool ind = m->subcommand == Subcommand::Ind;
            if (app == receiver && m->command == Command::DataB3 && ind) {
                if (m->data != blockAt(received, int(m->data.size())))
                    r.identical = false;
                received += m->data.size();
                put(m->response());
                if (printMemory && received >= nextReport) {
                    std::printf("  at %5.1f MB: RSS %lld kB\n", double(received) / 1e6,
                                procStatusKb("VmRSS:"));
                    nextReport += total / 4;
                }
                continue;
            }
            switch (m->command) {
            case Command::Connect:
                if (ind) {
                    Message resp = m->response();
                    resp.bProtocol = BProtocol::faxG3({});
                    put(resp);
                }
                break;
            case Command::ConnectActive:
                put(m->response());
                if (app == sender)
                    put(Message(Command::ConnectB3, Subcommand::Req, sender, m->address));
                break;
            case Command::ConnectB3:
                if (ind)
                    put(m->response());
                break;
            case Command::ConnectB3Active:
                put(m->response());
                if (app == sender) {
                    sendNcci = m->address;
                    clock.start();
                    sendMore();
                }
                break;
            case Command::DataB3:
                if (m->subcommand == Subcommand::Conf) {
                    --unconfirmed;
                    sendMore();
                }
                break;
            case Command::DisconnectB3:
                if (ind) {
                    put(m->response());
                    if (app == sender) {
                        r.seconds = double(clock.nsecsElapsed()) / 1e9;
                        put(Message(Command::Disconnect, Subcommand::Req, sender, m->address & 0xFFFF));
                    }
                }
                break;
            case Command::Disconnect:
                if (ind) {
                    put(m->response());
                    if (app == sender)
                        done = true;
                }
                break;
            default: break;
            }
        }
    });

    Message listen(Command::Listen, Subcommand::Req, receiver, 1);
    listen.cipMask = cip::maskBit(cip::FaxG3);
    put(listen);
    QCoreApplication::processEvents();
    Message call(Command::Connect, Subcommand::Req, sender, 1);
    call.cip = cip::FaxG3;
    call.calledParty.digits = QStringLiteral("6");
    call.bProtocol = BProtocol::faxG3({});
    put(call);
    while (!done)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    QCoreApplication::processEvents();

    const SimulatedLine::Statistics after = line.statistics();
    r.bytes = received;
    r.identical = r.identical && received == total;
    r.messages = (after.messagesIn - before.messagesIn) + (after.messagesOut - before.messagesOut);
    r.copies = after.blockCopies - before.blockCopies;
    line.release(sender);
    line.release(receiver);
    return r;
}

void report(const char *title, const Result &r)
{
    const double mb = double(r.bytes) / 1e6;
    std::printf("%s: %.1f MB in %.3f s = %.1f MB/s, %llu messages = %.0f messages/s, "
                "block copies %llu, data %s\n",
                title, mb, r.seconds, mb / r.seconds, static_cast<unsigned long long>(r.messages),
                double(r.messages) / r.seconds, static_cast<unsigned long long>(r.copies),
                r.identical ? "identical" : "DIFFERENT");
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    SimulatedLine::instance().resetFaults();
    std::printf("simulated line relay, %d-byte blocks, window 7, no pacing\n", kBlock);
    std::printf("peak RSS before: %lld kB\n", procStatusKb("VmHWM:"));

    const Result ten = relay(10 * 1000 * 1000, true);
    report("10 MB call", ten);
    std::printf("peak RSS after 10 MB: %lld kB\n", procStatusKb("VmHWM:"));

    const Result forty = relay(40 * 1000 * 1000, true);
    report("40 MB call", forty);
    std::printf("peak RSS after 40 MB: %lld kB\n", procStatusKb("VmHWM:"));

    // A paced line: the data takes as long as the rate says.
    SimulatedLine::instance().setRate(256000);
    const Result paced = relay(64 * 1024, false);
    SimulatedLine::instance().resetFaults();
    std::printf("paced at 256000 bit/s: %lld bytes in %.3f s = %.0f bit/s\n",
                static_cast<long long>(paced.bytes), paced.seconds,
                double(paced.bytes) * 8 / paced.seconds);
    return ten.identical && forty.identical && paced.identical ? 0 : 1;
}
