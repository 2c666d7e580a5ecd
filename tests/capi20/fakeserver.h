#pragma once

// A remote-CAPI server in a few lines, for the transport's tests: it answers the admin
// requests libcapi20 makes and plays a script against the application's messages. Modes:
// Silent accepts and never answers; Answering answers and reacts to the messages below.
//   LISTEN_REQ    LISTEN_CONF split inside its length field, a message that does not decode,
//                 then a DATA_B3_IND (22-byte form) carrying kIndicationData
//   DATA_B3_REQ   its data kept in `blocks`, never confirmed
//   FACILITY_REQ  part of a frame, then the connection closed

#include "capi/message.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QtEndian>

namespace capi20test {

inline QByteArray indicationData()
{
    QByteArray data;
    for (int i = 0; i < 100; ++i)
        data.append(char('a' + i % 26));
    return data;
}

class FakeServer : public QObject
{
public:
    enum class Mode { Silent, Answering };

    explicit FakeServer(Mode mode) : m_mode(mode)
    {
        QObject::connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *s = m_server.nextPendingConnection()) {
                ++connections;
                QObject::connect(s, &QTcpSocket::readyRead, this, [this, s] { onData(s); });
                QObject::connect(s, &QTcpSocket::disconnected, this, [this, s] {
                    ++closed;
                    s->deleteLater();
                });
            }
        });
        m_server.listen(QHostAddress::LocalHost, 0);
    }
    quint16 port() const { return m_server.serverPort(); }

    int connections = 0;
    int closed = 0;
    QList<QByteArray> blocks;
    int dataResponses = 0;

private:
    static QByteArray frame(const QByteArray &body)
    {
        QByteArray f(2, 0);
        qToBigEndian(quint16(body.size() + 2), f.data());
        return f + body;
    }
    static QByteArray adminReply(quint8 command, const QByteArray &payload)
    {
        QByteArray h(8, 0);
        h[4] = char(command + 1);
        h[5] = char(0xFF);
        return frame(h + payload);
    }

    void onData(QTcpSocket *s)
    {
        QByteArray &buffer = m_buffers[s];
        buffer += s->readAll();
        if (m_mode == Mode::Silent)
            return;
        while (buffer.size() >= 2) {
            const int length = qFromBigEndian<quint16>(buffer.constData());
            if (length < 2 || buffer.size() < length)
                break;
            const QByteArray body = buffer.mid(2, length - 2);
            buffer.remove(0, length);
            handle(s, body);
        }
    }

    void handle(QTcpSocket *s, const QByteArray &body)
    {
        if (body.size() >= 12 && body[0] == 0 && body[1] == 0 && quint8(body[5]) == 0xFF) {
            const quint8 command = quint8(body[4]);
            QByteArray payload;
            if (command == 0xF2) {
                payload = QByteArray(2, 0);
            } else if (command == 0xFA) {
                payload = QByteArray(1, 0) + QByteArray("Fake exchange").leftJustified(64, 0);
            } else if (command == 0xFC) {
                payload = QByteArray(17, 0);
                qToLittleEndian(quint32(2), payload.data() + 1);
                qToLittleEndian(quint32(3), payload.data() + 9);
                qToLittleEndian(quint32(7), payload.data() + 13);
            } else if (command == 0xFE) {
                payload = QByteArray(1, 0) + QByteArray("1234567", 8);
            } else if (command == 0xE0) {
                payload = QByteArray(66, 0);
                payload[2] = 1; // one controller
                payload[4] = 2; // two B channels
            }
            s->write(adminReply(command, payload));
            return;
        }
        const int messageLength = qFromLittleEndian<quint16>(body.constData());
        const capi::DecodeResult decoded = capi::decode(QByteArrayView(body).first(
            std::min<qsizetype>(messageLength, body.size())));
        if (!decoded)
            return;
        const capi::Message &m = decoded.message();
        using C = capi::Command;
        using S = capi::Subcommand;
        if (m.command == C::Listen && m.subcommand == S::Req) {
            capi::Message conf(C::Listen, S::Conf, m.appId, m.address);
            conf.number = m.number;
            const QByteArray listenConf = frame(capi::encode(conf));
            // Split inside the length field: a reader that does not wait for the whole frame
            // loses the stream.
            s->write(listenConf.left(1));
            s->flush();
            QTimer::singleShot(100, s, [s, listenConf] {
                s->write(listenConf.mid(1));
                // A CONNECT_IND cut off after its PLCI.
                QByteArray bad = capi::encode(capi::Message(C::Connect, S::Ind, m_appIdOf(listenConf), 0x101)).left(12);
                qToLittleEndian(quint16(bad.size()), bad.data());
                s->write(frame(bad));
                QByteArray ind(22, 0);
                qToLittleEndian(quint16(22), ind.data());
                qToLittleEndian(m_appIdOf(listenConf), ind.data() + 2);
                ind[4] = char(0x86);
                ind[5] = char(0x82);
                qToLittleEndian(quint16(9), ind.data() + 6);
                qToLittleEndian(quint32(0x10101), ind.data() + 8);
                qToLittleEndian(quint16(indicationData().size()), ind.data() + 16);
                qToLittleEndian(quint16(5), ind.data() + 18);
                s->write(frame(ind + indicationData()));
            });
        } else if (m.command == C::DataB3 && m.subcommand == S::Req) {
            blocks << body.mid(messageLength);
        } else if (m.command == C::DataB3 && m.subcommand == S::Resp) {
            ++dataResponses;
        } else if (m.command == C::Facility && m.subcommand == S::Req) {
            s->write(QByteArray(1, 0));
            s->flush();
            QTimer::singleShot(50, s, [s] { s->close(); });
        }
    }
    static quint16 m_appIdOf(const QByteArray &frame)
    {
        return qFromLittleEndian<quint16>(frame.constData() + 4);
    }

    Mode m_mode;
    QTcpServer m_server;
    QHash<QTcpSocket *, QByteArray> m_buffers;
};

} // namespace capi20test
