#pragma once

// A scripted CAPI application on a simulated line, for the tests: it answers indications
// the way a fax application does, sends a payload once B3 is up, and records every message
// it put and took.

#include "t30report/framereport.h"
#include "capi/trace.h"
#include "simline/simulatedline.h"

#include <QObject>
#include <QStringList>

#include <functional>
#include <optional>

class LinePeer : public QObject
{
    Q_OBJECT

public:
    explicit LinePeer(simline::SimulatedLine &line, const capi::Registration &registration = {})
        : m_line(line), m_registration(registration)
    {
        const capi::RegisterResult r = line.registerApplication(registration);
        m_id = r.appId;
        connect(&line, &capi::Transport::messagesWaiting, this, &LinePeer::onWaiting);
    }
    ~LinePeer() override { release(); }

    quint16 id() const { return m_id; }
    void release()
    {
        if (m_id)
            m_line.release(m_id);
        m_id = 0;
    }

    // ---- script ----
    std::optional<quint16> answer = capi::reject::Accept; // to CONNECT_IND; nullopt: let it ring
    bool alertFirst = false;
    capi::BProtocol bProtocol = capi::BProtocol::faxG3({0, 0, QStringLiteral("+49 6 PEER"), {}});
    QByteArray payload;     // sent in blocks once B3 is up
    int blockSize = 2048;
    bool initiateB3 = true; // as caller: CONNECT_B3_REQ once connected
    bool answerData = true; // answer each DATA_B3_IND at once
    bool greedy = false;    // put blocks until the line says busy, not only up to the window
    bool endAfterSending = true;
    // Called for every message taken, before the script; returning true skips the script.
    std::function<bool(LinePeer &, const capi::Message &)> hook;

    // ---- records ----
    QStringList log; // "-> CONNECT_REQ", "<- CONNECT_CONF", ...; DATA_B3 and MANUFACTURER left out
    QStringList frameReports; // the T.30 frame reports of MANUFACTURER_IND, as Debug lines
    QList<capi::Message> received;
    QByteArray data; // DATA_B3_IND blocks, joined
    int dataReqs = 0, dataConfs = 0, dataInds = 0, dataResps = 0, busyPuts = 0;
    int maxUnconfirmed = 0, maxUnanswered = 0;
    QList<capi::Message> heldInds; // DATA_B3_INDs not answered yet
    QList<QByteArray> sentBlocks;
    quint32 plci = 0, ncci = 0;
    bool disconnected = false;

    quint16 put(capi::Message m)
    {
        m.appId = m_id;
        if (capi::isToController(m.subcommand) && m.subcommand == capi::Subcommand::Req)
            m.number = m_nextNumber++;
        const quint16 r = m_line.putMessage(m);
        if (m.command == capi::Command::DataB3) {
            if (m.subcommand == capi::Subcommand::Req && r == capi::info::Ok)
                ++dataReqs;
            if (m.subcommand == capi::Subcommand::Resp)
                ++dataResps;
        } else if (m.command != capi::Command::Manufacturer) {
            log << QStringLiteral("-> ") + capi::messageName(m.command, m.subcommand);
        }
        maxUnconfirmed = qMax(maxUnconfirmed, dataReqs - dataConfs);
        return r;
    }

    void listen(quint32 cipMask = capi::cip::maskBit(capi::cip::FaxG3) |
                                  capi::cip::maskBit(capi::cip::Audio3k1),
                quint32 infoMask = 0)
    {
        capi::Message m(capi::Command::Listen, capi::Subcommand::Req, m_id,
                        simline::SimulatedLine::ControllerNumber);
        m.cipMask = cipMask;
        m.infoMask = infoMask;
        put(m);
    }

    void call(const QString &number, quint16 cipValue = capi::cip::FaxG3)
    {
        capi::Message m(capi::Command::Connect, capi::Subcommand::Req, m_id,
                        simline::SimulatedLine::ControllerNumber);
        m.cip = cipValue;
        m.calledParty.digits = number;
        m.callingParty.digits = QStringLiteral("6");
        m.bProtocol = bProtocol;
        put(m);
    }

    void disconnect() { put(capi::Message(capi::Command::Disconnect, capi::Subcommand::Req, m_id, plci)); }
    // Ends B3; the call is cleared once B3 is down.
    void disconnectB3()
    {
        m_endSent = true;
        put(capi::Message(capi::Command::DisconnectB3, capi::Subcommand::Req, m_id, ncci));
    }

    void answerHeld()
    {
        const QList<capi::Message> held = std::exchange(heldInds, {});
        for (const capi::Message &m : held)
            put(m.response());
    }

    // The last message of this kind taken, or a default message when none came.
    capi::Message last(capi::Command c, capi::Subcommand s) const
    {
        for (auto it = received.crbegin(); it != received.crend(); ++it) {
            if (it->command == c && it->subcommand == s)
                return *it;
        }
        return {};
    }
    int count(capi::Command c, capi::Subcommand s) const
    {
        int n = 0;
        for (const capi::Message &m : received)
            n += m.command == c && m.subcommand == s;
        return n;
    }

    void sendMore()
    {
        while (m_sent < payload.size()) {
            if (!greedy && dataReqs - dataConfs >= int(qMin(m_registration.maxDataBlocks, 7u)))
                return;
            const QByteArray block = payload.mid(m_sent, blockSize);
            const quint16 r = put(capi::Message::dataB3Req(m_id, ncci, block, m_handle));
            if (r == capi::info::QueueFull) {
                ++busyPuts;
                return;
            }
            ++m_handle;
            m_sent += block.size();
            sentBlocks << block;
        }
        if (endAfterSending && !payload.isEmpty() && dataConfs == dataReqs && !m_endSent)
            disconnectB3();
    }

private:
    void onWaiting(quint16 appId)
    {
        if (appId != m_id || !m_id)
            return;
        while (m_id) {
            std::optional<capi::Message> m = m_line.getMessage(m_id);
            if (!m)
                break;
            take(*m);
        }
    }

    void take(const capi::Message &m)
    {
        received << m;
        if (m.command == capi::Command::DataB3) {
            if (m.subcommand == capi::Subcommand::Conf)
                ++dataConfs;
            if (m.subcommand == capi::Subcommand::Ind)
                ++dataInds;
        } else if (m.command != capi::Command::Manufacturer) {
            log << QStringLiteral("<- ") + capi::messageName(m.command, m.subcommand);
        }
        if (hook && hook(*this, m))
            return;
        switch (m.command) {
        case capi::Command::Connect:
            if (m.subcommand == capi::Subcommand::Conf)
                plci = m.address;
            if (m.subcommand == capi::Subcommand::Ind) {
                plci = m.address;
                if (alertFirst)
                    put(capi::Message(capi::Command::Alert, capi::Subcommand::Req, m_id, m.address));
                if (answer) {
                    capi::Message r = m.response();
                    r.reject = *answer;
                    if (*answer == capi::reject::Accept)
                        r.bProtocol = bProtocol;
                    put(r);
                }
            }
            break;
        case capi::Command::ConnectActive:
            put(m.response());
            if (initiateB3 && isCaller())
                put(capi::Message(capi::Command::ConnectB3, capi::Subcommand::Req, m_id, m.address));
            break;
        case capi::Command::ConnectB3:
            if (m.subcommand == capi::Subcommand::Conf)
                ncci = m.address;
            if (m.subcommand == capi::Subcommand::Ind) {
                ncci = m.address;
                put(m.response());
            }
            break;
        case capi::Command::ConnectB3Active:
            put(m.response());
            sendMore();
            break;
        case capi::Command::DataB3:
            if (m.subcommand == capi::Subcommand::Ind) {
                data += m.data;
                if (answerData) {
                    put(m.response());
                } else {
                    heldInds << m;
                }
                maxUnanswered = qMax(maxUnanswered, dataInds - dataResps);
            } else if (m.subcommand == capi::Subcommand::Conf) {
                sendMore();
            }
            break;
        case capi::Command::DisconnectB3:
            if (m.subcommand == capi::Subcommand::Ind) {
                put(m.response());
                if (m_endSent)
                    disconnect();
            }
            break;
        case capi::Command::Disconnect:
            if (m.subcommand == capi::Subcommand::Ind) {
                put(m.response());
                disconnected = true;
            }
            break;
        case capi::Command::Info:
            if (m.subcommand == capi::Subcommand::Ind)
                put(m.response());
            break;
        case capi::Command::Manufacturer:
            if (m.subcommand == capi::Subcommand::Ind) {
                put(m.response());
                if (const auto report = t30::decodeReport(m.manufacturerData);
                    report && m.manufacturerId == t30::ManufacturerId)
                    frameReports << report->debugLine();
            }
            break;
        default: break;
        }
    }

    bool isCaller() const
    {
        for (const capi::Message &m : received) {
            if (m.command == capi::Command::Connect && m.subcommand == capi::Subcommand::Conf)
                return m.address == plci;
        }
        return false;
    }

    simline::SimulatedLine &m_line;
    capi::Registration m_registration;
    quint16 m_id = 0;
    quint16 m_nextNumber = 1;
    quint16 m_handle = 0;
    qsizetype m_sent = 0;
    bool m_endSent = false;
};
