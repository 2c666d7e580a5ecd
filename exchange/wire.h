#pragma once

// The remote-CAPI framing: a big-endian u16 length (itself included) before every frame;
// a frame is an admin request or reply, or a CAPI message with DATA_B3 data appended.
// Everything here is pure: bytes in, values out, so the fuzz target can drive it.

#include "capi/message.h"
#include "capi/transport.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>
#include <variant>

namespace exchange {

// Frames of both directions stay within the client library's 4,096-byte receive buffer.
constexpr int MaxFrame = 4096;
// A frame holds at least a CAPI message header.
constexpr int MinFrame = 2 + 8;
// Admin replies stay within the client's 100-byte admin buffer.
constexpr int MaxAdminReply = 100;
// The largest data block a client may register for, so that DATA_B3_IND with its 22-byte
// message still fits a frame.
constexpr quint32 MaxBlockLength = MaxFrame - 2 - 22;

enum class AdminCommand : quint8 {
    Register = 0xF2,
    Manufacturer = 0xFA,
    Version = 0xFC,
    SerialNumber = 0xFE,
    Profile = 0xE0,
};

struct AdminRequest
{
    AdminCommand command = AdminCommand::Manufacturer;
    quint32 controller = 0;
    capi::Registration registration; // Register only
};

struct CapiFrame
{
    capi::Message message; // DATA_B3_REQ carries its block in message.data
};

struct FrameError
{
    QString text;
};

using Frame = std::variant<AdminRequest, CapiFrame, FrameError>;

// Parses one frame body (the bytes after the length prefix). Strict: a CAPI message must
// decode, agree with its own length field and, for DATA_B3_REQ, carry exactly its data.
Frame parseFrame(QByteArrayView body);

// Splits a byte stream into frame bodies. Keeps at most one frame's bytes.
class FrameReader
{
public:
    enum class Status { NeedMore, Complete, Error };
    // Appends bytes; call next() until it answers NeedMore.
    void append(QByteArrayView bytes) { m_buffer.append(bytes.data(), bytes.size()); }
    // The next complete frame body in `body`, or why the stream is not framed right.
    Status next(QByteArray *body, QString *error);
    // Bytes of an incomplete frame are waiting.
    bool partial() const { return !m_buffer.isEmpty(); }
    qsizetype buffered() const { return m_buffer.size(); }

private:
    QByteArray m_buffer;
};

// A frame: the length prefix and the body.
QByteArray frame(QByteArrayView body);
// A message to a client, its DATA_B3_IND data appended, with the client's application id.
QByteArray messageFrame(const capi::Message &m, quint16 clientAppId);

// Admin replies, framed.
QByteArray registerReply(quint16 info);
QByteArray manufacturerReply(const QString &manufacturer);
QByteArray versionReply(const capi::Version &version);
QByteArray serialNumberReply(const QString &serial);
QByteArray profileReply(quint16 info, const capi::Profile &profile);

} // namespace exchange
