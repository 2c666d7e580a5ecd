// Relays fax data between two applications over the simulated line and prints messages per
// second, the blocks per second times the block size (the line hands each block on as a
// shared buffer, so this is a message rate, not a copying speed) and the memory the process
// holds as the call goes on.

#include "simline/simulatedline.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>

#include <cstdio>

using namespace capi;
using simline::SimulatedLine;

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

// An SFF document of pages of about 1 MB (coded lines of 216 bytes), produced slice by
// slice so neither side has to hold it.
class Document
{
public:
    explicit Document(int pages, int linesPerPage = 4608) : m_pages(pages)
    {
        m_head = QByteArray("Sfff\x01\x00\x00\x00", 8);
        m_head += char(pages & 0xFF);
        m_head += char(pages >> 8);
        m_head += QByteArray("\x14\x00", 2) + QByteArray(8, '\0');
        m_page = QByteArray("\xFE\x10\x00\x00\x00\x00\xC0\x06\x00\x00", 10) + QByteArray(8, '\0');
        for (int line = 0; line < linesPerPage; ++line) {
            m_page += char(216);
            for (int i = 0; i < 216; ++i)
                m_page += char((line * 37 + i * 11) & 0xFF);
        }
    }
    qint64 size() const { return m_head.size() + qint64(m_pages) * m_page.size() + 2; }
    QByteArray slice(qint64 offset, int length) const
    {
        QByteArray out;
        out.reserve(length);
        while (out.size() < length) {
            const qint64 at = offset + out.size();
            const qint64 pagesEnd = m_head.size() + qint64(m_pages) * m_page.size();
            const int want = length - int(out.size());
            if (at < m_head.size()) {
                out += m_head.mid(at, want);
            } else if (at < pagesEnd) {
                const qint64 inPage = (at - m_head.size()) % m_page.size();
                out += m_page.mid(inPage, want);
            } else {
                out += QByteArray("\xFE\x00", 2).mid(at - pagesEnd, want);
            }
        }
        out.truncate(length);
        return out;
    }

private:
    int m_pages;
    QByteArray m_head;
    QByteArray m_page;
};

struct Result
{
    double seconds = 0;
    qint64 bytes = 0;
    quint64 messages = 0;
    quint64 blocks = 0; // DATA_B3 blocks the receiver got
    bool identical = true;
    int pages = 0; // as the sender's DISCONNECT_B3_IND reports them
};

// One call: the caller sends the document in blocks, the callee takes and checks them.
Result relay(SimulatedLine &line, const Document &doc, bool printMemory)
{
    const qint64 total = doc.size();
    const quint16 sender = line.registerApplication({1, 7, kBlock}).appId;
    const quint16 receiver = line.registerApplication({1, 7, kBlock}).appId;

    auto blockAt = [&doc](qint64 offset, int size) { return doc.slice(offset, size); };

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
                ++r.blocks;
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
                        if (const auto ncpi = FaxNcpi::fromBytes(m->ncpi))
                            r.pages = ncpi->pages;
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
    line.release(sender);
    line.release(receiver);
    return r;
}

void report(const char *title, const Result &r)
{
    const double mb = double(r.bytes) / 1e6;
    std::printf("%s: %.1f MB in %.3f s; %llu messages = %.0f messages/s; %llu data blocks = "
                "%.0f blocks/s, times %d bytes = %.1f MB/s; %d pages, data %s\n",
                title, mb, r.seconds, static_cast<unsigned long long>(r.messages),
                double(r.messages) / r.seconds, static_cast<unsigned long long>(r.blocks),
                double(r.blocks) / r.seconds, kBlock, mb / r.seconds, r.pages,
                r.identical ? "identical" : "DIFFERENT");
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    SimulatedLine line;
    std::printf("simulated line relay, %d-byte blocks, window 7, no pacing\n", kBlock);
    std::printf("before: RSS %lld kB, peak RSS %lld kB\n", procStatusKb("VmRSS:"),
                procStatusKb("VmHWM:"));

    const Result ten = relay(line, Document(10), true);
    report("10 MB call", ten);
    std::printf("after 10 MB: RSS %lld kB, peak RSS %lld kB\n", procStatusKb("VmRSS:"),
                procStatusKb("VmHWM:"));

    const Result forty = relay(line, Document(40), true);
    report("40 MB call", forty);
    std::printf("after 40 MB: RSS %lld kB, peak RSS %lld kB\n", procStatusKb("VmRSS:"),
                procStatusKb("VmHWM:"));

    // A paced line: the data takes as long as the rate says.
    line.setRate(256000);
    const Result paced = relay(line, Document(1, 300), false);
    line.resetFaults();
    std::printf("paced at 256000 bit/s: %lld bytes in %.3f s = %.0f bit/s\n",
                static_cast<long long>(paced.bytes), paced.seconds,
                double(paced.bytes) * 8 / paced.seconds);
    return ten.identical && forty.identical && paced.identical ? 0 : 1;
}
