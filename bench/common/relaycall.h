#pragma once

// One fax call between two applications of any CAPI line, for benchmarks: the caller sends
// an SFF document in blocks of 2,048 bytes with a window of 7, as fast as the line confirms
// them, and the callee takes each block and checks it against the document. The call is a G4
// one, whose data the line relays byte for byte (a G3 call runs through the fax modems).

#include "capi/transport.h"
#include "procstatus.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>

#include <functional>

namespace benchrelay {

constexpr int kBlock = 2048;
constexpr int kWindow = 7;

using benchstatus::procStatusKb;

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
    bool completed = false; // the call went up and was cleared
    double seconds = 0;     // from CONNECT_B3_ACTIVE_IND to the sender's DISCONNECT_B3_IND
    qint64 bytes = 0;       // reaching the callee
    quint64 messages = 0;   // put and taken by both applications during the data phase
    bool identical = true;
    int pages = 0; // as the sender's DISCONNECT_B3_IND reports them
};

// Called with the bytes received so far and the document's size, after each block.
using Progress = std::function<void(qint64 received, qint64 total)>;

// One call to number 6 on `controller` of the line; the two applications are registered for
// the call and released after it. A call that does not complete within `limitMs` counts as
// not completed.
inline Result relay(capi::Transport &line, quint32 controller, const Document &doc,
                    const Progress &progress = {}, qint64 limitMs = 120000)
{
    using namespace capi;
    Result r;
    const qint64 total = doc.size();
    const quint16 sender = line.registerApplication({1, kWindow, kBlock}).appId;
    const quint16 receiver = line.registerApplication({1, kWindow, kBlock}).appId;
    if (!sender || !receiver) {
        if (sender)
            line.release(sender);
        if (receiver)
            line.release(receiver);
        return r;
    }

    qint64 sent = 0, received = 0;
    int unconfirmed = 0;
    quint16 handle = 0;
    quint32 sendNcci = 0;
    bool listening = false, done = false, counting = false;
    QElapsedTimer clock;

    auto put = [&](const Message &m) {
        if (counting)
            ++r.messages;
        return line.putMessage(m);
    };
    auto sendMore = [&] {
        while (sent < total && unconfirmed < kWindow) {
            const int size = int(qMin<qint64>(kBlock, total - sent));
            if (put(Message::dataB3Req(sender, sendNcci, doc.slice(sent, size), handle++)) != info::Ok)
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
            if (counting)
                ++r.messages;
            const bool ind = m->subcommand == Subcommand::Ind;
            if (app == receiver && m->command == Command::DataB3 && ind) {
                if (m->data != doc.slice(received, int(m->data.size())))
                    r.identical = false;
                received += m->data.size();
                put(m->response());
                if (progress)
                    progress(received, total);
                continue;
            }
            switch (m->command) {
            case Command::Listen:
                listening = listening || app == receiver;
                break;
            case Command::Connect:
                if (ind) {
                    Message resp = m->response();
                    resp.bProtocol = BProtocol::faxG4(bproto::B3T90NL);
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
                    counting = true;
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
                        counting = false;
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

    QElapsedTimer limit;
    limit.start();
    const auto runUntil = [&](const bool &flag) {
        while (!flag && !limit.hasExpired(limitMs))
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
        return flag;
    };
    // The call is placed once the callee's listen is confirmed: on a remote line the two
    // applications have connections of their own.
    Message listen(Command::Listen, Subcommand::Req, receiver, controller);
    listen.cipMask = cip::maskBit(cip::FaxG4);
    put(listen);
    if (runUntil(listening)) {
        Message call(Command::Connect, Subcommand::Req, sender, controller);
        call.cip = cip::FaxG4;
        call.calledParty.digits = QStringLiteral("6");
        call.bProtocol = BProtocol::faxG4(bproto::B3T90NL);
        put(call);
        r.completed = runUntil(done);
    }
    QCoreApplication::processEvents();
    r.bytes = received;
    r.identical = r.identical && received == total;
    line.release(sender);
    line.release(receiver);
    return r;
}

} // namespace benchrelay
