#pragma once

// A remote-CAPI client on a plain socket, for the tests: it frames what it is told to send,
// byte for byte, and answers indications the way a data application does while it waits.

#include "capi/message.h"

#include <QElapsedTimer>
#include <QTcpSocket>
#include <QtTest>

#include <optional>

class RawClient
{
public:
    explicit RawClient(quint16 port, quint16 appId = 1) : m_appId(appId)
    {
        m_socket.connectToHost(QHostAddress::LocalHost, port);
        m_connected = m_socket.waitForConnected(3000);
    }

    bool connected() const { return m_connected; }
    QTcpSocket &socket() { return m_socket; }
    quint16 appId() const { return m_appId; }

    void sendRaw(const QByteArray &bytes)
    {
        m_socket.write(bytes);
        m_socket.waitForBytesWritten(1000);
    }

    static QByteArray framed(const QByteArray &body)
    {
        QByteArray out;
        out.append(char((body.size() + 2) >> 8));
        out.append(char((body.size() + 2) & 0xFF));
        return out + body;
    }

    static QByteArray admin(quint8 command, quint32 controller = 0)
    {
        QByteArray b(12, '\0');
        b[4] = char(command);
        b[5] = char(0xFF);
        for (int i = 0; i < 4; ++i)
            b[8 + i] = char((controller >> (8 * i)) & 0xFF);
        return b;
    }

    // The register request as the client library sends it, then its reply's info.
    std::optional<quint16> registerApp(quint16 connections = 2, quint16 blocks = 7, quint16 blockLength = 2048)
    {
        QByteArray b = admin(0xF2);
        for (quint16 v : {quint16(2048), connections, blocks, blockLength}) {
            b.append(char(v & 0xFF));
            b.append(char(v >> 8));
        }
        b.append(char(2));
        sendRaw(framed(b));
        const std::optional<QByteArray> reply = readFrame();
        if (!reply || reply->size() != 10 || quint8(reply->at(4)) != 0xF3)
            return std::nullopt;
        return quint16(quint8(reply->at(8)) | (quint8(reply->at(9)) << 8));
    }

    void put(capi::Message m)
    {
        m.appId = m_appId;
        if (m.number == 0)
            m.number = m_nextNumber++;
        QByteArray body = capi::encode(m);
        if (m.command == capi::Command::DataB3 && m.subcommand == capi::Subcommand::Req)
            body.append(m.data);
        sendRaw(framed(body));
    }

    // The next whole frame body; std::nullopt on timeout or close.
    std::optional<QByteArray> readFrame(int timeoutMs = 3000)
    {
        QElapsedTimer t;
        t.start();
        for (;;) {
            m_buffer += m_socket.readAll();
            if (m_buffer.size() >= 2) {
                const int length = (quint8(m_buffer[0]) << 8) | quint8(m_buffer[1]);
                if (length >= 2 && m_buffer.size() >= length) {
                    QByteArray body = m_buffer.mid(2, length - 2);
                    m_buffer.remove(0, length);
                    return body;
                }
            }
            const qint64 left = timeoutMs - t.elapsed();
            if (left <= 0 || m_socket.state() != QAbstractSocket::ConnectedState)
                return std::nullopt;
            m_socket.waitForReadyRead(int(qMin<qint64>(left, 200)));
        }
    }

    // The next message, its DATA_B3_IND data in m.data.
    std::optional<capi::Message> readMessage(int timeoutMs = 3000)
    {
        const std::optional<QByteArray> body = readFrame(timeoutMs);
        if (!body)
            return std::nullopt;
        const int length = body->size() >= 2 ? (quint8(body->at(0)) | (quint8(body->at(1)) << 8)) : 0;
        capi::DecodeResult r = capi::decode(QByteArrayView(*body).first(qMin<qsizetype>(length, body->size())));
        if (!r) {
            qWarning() << "undecodable frame" << body->toHex(' ');
            return std::nullopt;
        }
        capi::Message m = r.message();
        if (m.command == capi::Command::DataB3 && m.subcommand == capi::Subcommand::Ind)
            m.data = body->mid(length);
        return m;
    }

    // Waits for a message of this kind, answering indications on the way (DATA_B3_IND
    // only when answerData). Others are kept in `seen`.
    std::optional<capi::Message> waitFor(capi::Command c, capi::Subcommand s, int timeoutMs = 3000)
    {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < timeoutMs) {
            std::optional<capi::Message> m = readMessage(int(timeoutMs - t.elapsed()));
            if (!m)
                return std::nullopt;
            seen.append(*m);
            if (m->command == capi::Command::DataB3 && m->subcommand == capi::Subcommand::Ind)
                data += m->data;
            if (m->subcommand == capi::Subcommand::Ind && m->command != capi::Command::Connect &&
                (m->command != capi::Command::DataB3 || answerData)) {
                capi::Message resp = m->response();
                put(resp);
            }
            if (m->command == c && m->subcommand == s)
                return m;
        }
        return std::nullopt;
    }

    // The server closed the connection within the time.
    bool closedByServer(int timeoutMs = 3000)
    {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < timeoutMs) {
            m_socket.readAll();
            if (m_socket.state() == QAbstractSocket::UnconnectedState)
                return true;
            m_socket.waitForReadyRead(100);
            if (m_socket.state() != QAbstractSocket::ConnectedState)
                return true;
        }
        return false;
    }

    QList<capi::Message> seen;
    QByteArray data;
    bool answerData = true;

private:
    QTcpSocket m_socket;
    bool m_connected = false;
    quint16 m_appId;
    quint16 m_nextNumber = 1;
    QByteArray m_buffer;
};
