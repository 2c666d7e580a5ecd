#include "exchange/wire.h"


namespace exchange {

namespace {

constexpr int AdminBody = 12;
constexpr int RegisterBody = AdminBody + 9;

quint16 be16(QByteArrayView b, qsizetype at)
{
    return quint16((quint8(b[at]) << 8) | quint8(b[at + 1]));
}

quint16 le16(QByteArrayView b, qsizetype at)
{
    return quint16(quint8(b[at]) | (quint8(b[at + 1]) << 8));
}

quint32 le32(QByteArrayView b, qsizetype at)
{
    return quint32(le16(b, at)) | (quint32(le16(b, at + 2)) << 16);
}

void putLe32(QByteArray &out, quint32 v)
{
    for (int i = 0; i < 4; ++i)
        out.append(char((v >> (8 * i)) & 0xFF));
}

void putLe16(QByteArray &out, quint16 v)
{
    out.append(char(v & 0xFF));
    out.append(char(v >> 8));
}

QByteArray adminHeader(AdminCommand command)
{
    QByteArray h(8, '\0');
    h[4] = char(quint8(command) + 1);
    h[5] = char(0xFF);
    return h;
}

// A NUL-terminated text in a field of `size` bytes.
void putText(QByteArray &out, const QString &text, int size)
{
    QByteArray t = text.toLatin1().left(size - 1);
    out.append(t);
    out.append(QByteArray(size - t.size(), '\0'));
}

Frame parseAdmin(QByteArrayView body)
{
    const quint8 command = quint8(body[4]);
    const quint32 controller = le32(body, 8);
    AdminRequest r;
    r.controller = controller;
    switch (AdminCommand(command)) {
    case AdminCommand::Register:
        if (body.size() != RegisterBody)
            return FrameError{QStringLiteral("register request of %1 bytes").arg(body.size())};
        r.command = AdminCommand::Register;
        r.registration.maxLogicalConnections = le16(body, 14);
        r.registration.maxDataBlocks = le16(body, 16);
        r.registration.maxBlockLength = le16(body, 18);
        return r;
    case AdminCommand::Manufacturer:
    case AdminCommand::Version:
    case AdminCommand::SerialNumber:
    case AdminCommand::Profile:
        if (body.size() != AdminBody)
            return FrameError{QStringLiteral("admin request of %1 bytes").arg(body.size())};
        r.command = AdminCommand(command);
        return r;
    }
    return FrameError{QStringLiteral("unknown admin request 0x%1").arg(command, 2, 16, QLatin1Char('0'))};
}

} // namespace

Frame parseFrame(QByteArrayView body)
{
    if (body.size() < 8)
        return FrameError{QStringLiteral("frame of %1 bytes is shorter than a header").arg(body.size())};
    if (quint8(body[5]) == 0xFF)
        return parseAdmin(body);
    const quint16 length = le16(body, 0);
    if (length < 8 || length > body.size())
        return FrameError{QStringLiteral("message length %1 in a frame of %2 bytes")
                              .arg(length)
                              .arg(body.size())};
    capi::DecodeResult decoded = capi::decode(body.first(length));
    if (!decoded)
        return FrameError{QStringLiteral("message does not decode: %1").arg(decoded.error().text)};
    capi::Message &m = decoded.message();
    if (!capi::isToController(m.subcommand))
        return FrameError{QStringLiteral("%1 is not for a controller")
                              .arg(capi::messageName(m.command, m.subcommand))};
    const bool carriesData = m.command == capi::Command::DataB3 && m.subcommand == capi::Subcommand::Req;
    const qsizetype dataLength = carriesData ? m.dataLength : 0;
    if (body.size() != length + dataLength)
        return FrameError{QStringLiteral("%1 of %2 bytes with %3 data bytes in a frame of %4 bytes")
                              .arg(capi::messageName(m.command, m.subcommand))
                              .arg(length)
                              .arg(dataLength)
                              .arg(body.size())};
    if (carriesData)
        m.data = body.sliced(length).toByteArray();
    return CapiFrame{std::move(m)};
}

FrameReader::Status FrameReader::next(QByteArray *body, QString *error)
{
    if (m_buffer.size() < 2)
        return Status::NeedMore;
    const int length = be16(m_buffer, 0);
    if (length < MinFrame || length > MaxFrame) {
        *error = QStringLiteral("frame length %1 outside %2..%3").arg(length).arg(MinFrame).arg(MaxFrame);
        return Status::Error;
    }
    if (m_buffer.size() < length)
        return Status::NeedMore;
    *body = m_buffer.mid(2, length - 2);
    m_buffer.remove(0, length);
    return Status::Complete;
}

QByteArray frame(QByteArrayView body)
{
    Q_ASSERT(body.size() + 2 <= MaxFrame);
    QByteArray out;
    out.reserve(body.size() + 2);
    out.append(char((body.size() + 2) >> 8));
    out.append(char((body.size() + 2) & 0xFF));
    out.append(body.data(), body.size());
    return out;
}

QByteArray messageFrame(const capi::Message &m, quint16 clientAppId)
{
    capi::Message out = m;
    out.appId = clientAppId;
    QByteArray body = capi::encode(out);
    if (m.command == capi::Command::DataB3 && m.subcommand == capi::Subcommand::Ind)
        body.append(m.data);
    if (body.isEmpty() || body.size() + 2 > MaxFrame)
        return {};
    return frame(body);
}

QByteArray registerReply(quint16 info)
{
    QByteArray body = adminHeader(AdminCommand::Register);
    putLe16(body, info);
    return frame(body);
}

QByteArray manufacturerReply(const QString &manufacturer)
{
    QByteArray body = adminHeader(AdminCommand::Manufacturer);
    body.append('\0');
    putText(body, manufacturer, 64);
    return frame(body);
}

QByteArray versionReply(const capi::Version &v)
{
    QByteArray body = adminHeader(AdminCommand::Version);
    body.append('\0');
    putLe32(body, v.capiMajor);
    putLe32(body, v.capiMinor);
    putLe32(body, v.manufacturerMajor);
    putLe32(body, v.manufacturerMinor);
    return frame(body);
}

QByteArray serialNumberReply(const QString &serial)
{
    QByteArray body = adminHeader(AdminCommand::SerialNumber);
    body.append('\0');
    putText(body, serial, 8);
    return frame(body);
}

QByteArray profileReply(quint16 info, const capi::Profile &p)
{
    QByteArray body = adminHeader(AdminCommand::Profile);
    putLe16(body, info);
    QByteArray profile;
    putLe16(profile, p.controllers);
    putLe16(profile, p.bChannels);
    putLe32(profile, p.globalOptions);
    putLe32(profile, p.b1Protocols);
    putLe32(profile, p.b2Protocols);
    putLe32(profile, p.b3Protocols);
    profile.append(QByteArray(24, '\0'));
    profile.append(p.manufacturerSpecific.left(20));
    profile.append(QByteArray(64 - profile.size(), '\0'));
    body.append(profile);
    return frame(body);
}

} // namespace exchange
