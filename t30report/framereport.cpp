#include "t30report/framereport.h"

#include <QtEndian>

namespace t30 {

namespace {

enum Flags : quint8 {
    FlagFine = 0x01,
    FlagEcm = 0x02,
    FlagCapabilities = 0x04,
    FlagCommand = 0x08,
    FlagTrainingPassed = 0x10,
};

constexpr int FixedSize = 2 + 1 + 4 + 1 + 1 + 2 + 1; // class .. flags

void putStruct(QByteArray &out, QByteArrayView data)
{
    if (data.size() < 255) {
        out.append(char(data.size()));
    } else {
        out.append(char(0xFF));
        char len[2];
        qToLittleEndian<quint16>(quint16(std::min<qsizetype>(data.size(), 0xFFFF)), len);
        out.append(len, 2);
    }
    out.append(data.first(std::min<qsizetype>(data.size(), 0xFFFF)));
}

// Reads a struct at pos; false when it runs past the end.
bool takeStruct(QByteArrayView data, qsizetype &pos, QByteArrayView &content)
{
    if (pos >= data.size())
        return false;
    qsizetype length = uchar(data[pos++]);
    if (length == 0xFF) {
        if (pos + 2 > data.size())
            return false;
        length = qFromLittleEndian<quint16>(data.data() + pos);
        pos += 2;
    }
    if (pos + length > data.size())
        return false;
    content = data.sliced(pos, length);
    pos += length;
    return true;
}

} // namespace

QString FrameReport::debugLine() const
{
    const QString settings = rateText(modem, bitRate) +
                             (fine ? QStringLiteral(", fine") : QStringLiteral(", standard")) +
                             (ecm ? QStringLiteral(", ECM") : QStringLiteral(", no ECM"));
    if (kind == Kind::Training)
        return QStringLiteral("T.30: training %1 %2")
            .arg(rateText(modem, bitRate),
                 trainingPassed ? QStringLiteral("passed") : QStringLiteral("failed"));
    const FrameInfo info = decodeFrame(frame);
    QString line = QStringLiteral("T.30: %1 %2")
                       .arg(kind == Kind::Sent ? QStringLiteral("->") : QStringLiteral("<-"),
                            !frame.isEmpty() ? info.name : frameName(fcf));
    if (capabilities || command) {
        line += QStringLiteral(": ") + settings;
        if (!station.isEmpty())
            line += QStringLiteral(", station \"%1\"").arg(station);
    } else if (!station.isEmpty()) {
        line += QStringLiteral(": \"%1\"").arg(station);
    }
    return line;
}

QByteArray encodeReport(const FrameReport &r)
{
    QByteArray out(FixedSize, '\0');
    char *p = out.data();
    qToLittleEndian<quint16>(FrameReportClass, p);
    p[2] = char(r.kind);
    qToLittleEndian<quint32>(r.timeMs, p + 3);
    p[7] = char(r.fcf);
    p[8] = char(r.modem);
    qToLittleEndian<quint16>(r.bitRate, p + 9);
    p[11] = char((r.fine ? FlagFine : 0) | (r.ecm ? FlagEcm : 0)
                 | (r.capabilities ? FlagCapabilities : 0) | (r.command ? FlagCommand : 0)
                 | (r.trainingPassed ? FlagTrainingPassed : 0));
    putStruct(out, r.station.left(MaxReportStation).toLatin1());
    putStruct(out, r.frame);
    return out;
}

std::optional<FrameReport> decodeReport(QByteArrayView data)
{
    if (data.size() < FixedSize + 2)
        return std::nullopt;
    const char *p = data.data();
    if (qFromLittleEndian<quint16>(p) != FrameReportClass)
        return std::nullopt;
    FrameReport r;
    const quint8 kind = quint8(p[2]);
    if (kind < 1 || kind > 3)
        return std::nullopt;
    r.kind = FrameReport::Kind(kind);
    r.timeMs = qFromLittleEndian<quint32>(p + 3);
    r.fcf = quint8(p[7]);
    if (quint8(p[8]) > quint8(Modem::V17))
        return std::nullopt;
    r.modem = Modem(quint8(p[8]));
    r.bitRate = qFromLittleEndian<quint16>(p + 9);
    const quint8 flags = quint8(p[11]);
    r.fine = flags & FlagFine;
    r.ecm = flags & FlagEcm;
    r.capabilities = flags & FlagCapabilities;
    r.command = flags & FlagCommand;
    r.trainingPassed = flags & FlagTrainingPassed;
    qsizetype pos = FixedSize;
    QByteArrayView station, frame;
    if (!takeStruct(data, pos, station) || station.size() > MaxReportStation
        || !takeStruct(data, pos, frame))
        return std::nullopt;
    r.station = QString::fromLatin1(station);
    r.frame = frame.toByteArray();
    return r;
}

QByteArray encodeManufacturerInd(quint32 controller, const FrameReport &report)
{
    QByteArray out(8, '\0');
    qToLittleEndian<quint32>(controller, out.data());
    qToLittleEndian<quint32>(ManufacturerId, out.data() + 4);
    putStruct(out, encodeReport(report));
    return out;
}

std::optional<FrameReport> decodeManufacturerInd(QByteArrayView parameters, quint32 *controller)
{
    if (parameters.size() < 9
        || qFromLittleEndian<quint32>(parameters.data() + 4) != ManufacturerId)
        return std::nullopt;
    qsizetype pos = 8;
    QByteArrayView content;
    if (!takeStruct(parameters, pos, content))
        return std::nullopt;
    if (controller)
        *controller = qFromLittleEndian<quint32>(parameters.data());
    return decodeReport(content);
}

} // namespace t30
