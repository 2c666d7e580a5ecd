#pragma once

#include "t30report/frames.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QtGlobal>

#include <optional>

// The report of one T.30 frame or training outcome that a controller hands its application in
// a MANUFACTURER_IND (layout in docs/t30.md).
namespace t30 {

// "QULN" as the bytes of the little-endian dword.
inline constexpr quint32 ManufacturerId = 0x4E4C5551;
inline constexpr quint16 FrameReportClass = 0x0030;
// Station ids in a report are cut to this many characters.
inline constexpr int MaxReportStation = 20;

struct FrameReport
{
    enum class Kind : quint8 { Sent = 1, Received = 2, Training = 3 };
    Kind kind = Kind::Sent;
    quint32 timeMs = 0;
    quint8 fcf = 0;
    Modem modem = Modem::None;
    quint16 bitRate = 0;
    bool fine = false;
    bool ecm = false;
    bool capabilities = false; // DIS or DTC
    bool command = false;      // DCS
    bool trainingPassed = false;
    QString station;           // up to 20 characters
    QByteArray frame;          // the HDLC frame, address to the last information byte

    // The Debug line, e.g. `T.30: <- DIS: V.17 14400, fine, ECM, station "6"`.
    QString debugLine() const;

    bool operator==(const FrameReport &) const = default;
};

// The manufacturer-specific part of the message (the content of its struct, without the
// struct's length byte).
QByteArray encodeReport(const FrameReport &report);
std::optional<FrameReport> decodeReport(QByteArrayView data);

// The whole parameter block of MANUFACTURER_IND: controller, manufacturer id, struct.
QByteArray encodeManufacturerInd(quint32 controller, const FrameReport &report);
// Decodes such a block; nothing when it is not one of our frame reports.
std::optional<FrameReport> decodeManufacturerInd(QByteArrayView parameters,
                                                 quint32 *controller = nullptr);

} // namespace t30
