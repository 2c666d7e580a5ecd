#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QtGlobal>

// T.30 HDLC frames as the controller reports them: the frame's name and, for DIS, DTC and DCS,
// the modem, rate, resolution and ECM they offer or command.
namespace t30 {

enum class Modem : quint8 { None = 0, V27ter = 1, V29 = 2, V17 = 3 };

// Modems a side supports, as flags.
enum ModemSet : int {
    SupportV27ter = 0x01,
    SupportV29 = 0x02,
    SupportV17 = 0x04,
    SupportAllModems = 0x07,
};

QString modemName(Modem modem);

struct FrameInfo
{
    quint8 fcf = 0;      // frame control field without the X bit (DIS and DTC keep theirs)
    quint8 fcf2 = 0;     // the second field of a PPS frame (MPS, EOP, EOM or NULL)
    QString name;        // "DIS", "MCF", "PPS-MPS" ...
    bool capabilities = false; // DIS or DTC: modem and rate are the best offered
    bool command = false;      // DCS: modem and rate are the ones chosen
    Modem modem = Modem::None;
    int bitRate = 0;
    bool fine = false;
    bool ecm = false;
    QString ident; // CSI, TSI, CIG: the station id the frame carries

    bool hasSettings() const { return capabilities || command; }
};

// Decodes an HDLC frame as SpanDSP hands it over: address FF, control 03 or 13, FCF, info.
// Frames too short to hold an FCF give a frame named "?".
FrameInfo decodeFrame(QByteArrayView frame);

// The T.30 names of a frame control field (X bit ignored where T.30 has one).
QString frameName(quint8 fcf);

// "V.17 14400" for a modem and rate.
QString rateText(Modem modem, int bitRate);

} // namespace t30
