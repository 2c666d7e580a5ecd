#include "t30report/frames.h"

#include <array>

namespace t30 {

namespace {

struct FcfName
{
    quint8 fcf;
    const char *name;
};

// Frames of the initial identification and of commands to poll: their lowest bit is part of
// the code, not the X bit.
constexpr std::array<FcfName, 11> ExactNames{{
    {0x80, "DIS"}, {0x40, "CSI"}, {0x20, "NSF"}, {0x81, "DTC"}, {0x41, "CIG"}, {0x21, "NSC"},
    {0xC1, "PWD"}, {0xA1, "SEP"}, {0x61, "PSA"}, {0xE1, "CIA"}, {0x11, "ISP"},
}};

// Frames whose lowest bit is the X bit (set by the calling side).
constexpr std::array<FcfName, 40> XNames{{
    {0x82, "DCS"}, {0x42, "TSI"}, {0x22, "NSS"}, {0xC2, "SUB"}, {0xA2, "SID"}, {0x12, "CTC"},
    {0x62, "TSA"}, {0xE2, "IRA"}, {0x84, "CFR"}, {0x44, "FTT"}, {0xC4, "CTR"}, {0x24, "CSA"},
    {0x8E, "EOM"}, {0x4E, "MPS"}, {0x2E, "EOP"}, {0x1E, "EOS"}, {0xBE, "PPS"}, {0xCE, "EOR"},
    {0x6E, "RR"},  {0x8C, "MCF"}, {0xCC, "RTP"}, {0x4C, "RTN"}, {0xAC, "PIP"}, {0x2C, "PIN"},
    {0xBC, "PPR"}, {0xEC, "RNR"}, {0x1C, "ERR"}, {0xFC, "FDM"}, {0xFA, "DCN"}, {0x1A, "CRP"},
    {0xCA, "FNV"}, {0xEA, "TNR"}, {0x6A, "TR"},  {0x9A, "DNK"}, {0x6C, "PID"}, {0x9E, "PRI-EOM"},
    {0x5E, "PRI-MPS"}, {0x3E, "PRI-EOP"}, {0x06, "FCD"}, {0x86, "RCP"},
}};

// Bit n of a DIS/DTC/DCS (numbered from 1 as T.30 does) in its information field.
bool bit(QByteArrayView info, int n)
{
    const int byte = (n - 1) / 8;
    return byte < info.size() && (uchar(info[byte]) >> ((n - 1) % 8)) & 1;
}

// Bits 11 to 14 as the number b11 b12 b13 b14 (b11 the most significant).
int rateBits(QByteArrayView info)
{
    return (bit(info, 11) << 3) | (bit(info, 12) << 2) | (bit(info, 13) << 1) | bit(info, 14);
}

void decodeCapabilities(QByteArrayView info, FrameInfo &f)
{
    f.capabilities = true;
    switch (rateBits(info)) {
    case 0b0000: f.modem = Modem::V27ter; f.bitRate = 2400; break;
    case 0b0100: f.modem = Modem::V27ter; f.bitRate = 4800; break;
    case 0b1000:
    case 0b1100: f.modem = Modem::V29; f.bitRate = 9600; break;
    case 0b1101: f.modem = Modem::V17; f.bitRate = 14400; break;
    default: break;
    }
}

void decodeCommand(QByteArrayView info, FrameInfo &f)
{
    f.command = true;
    switch (rateBits(info)) {
    case 0b0000: f.modem = Modem::V27ter; f.bitRate = 2400; break;
    case 0b0100: f.modem = Modem::V27ter; f.bitRate = 4800; break;
    case 0b1000: f.modem = Modem::V29; f.bitRate = 9600; break;
    case 0b1100: f.modem = Modem::V29; f.bitRate = 7200; break;
    case 0b0001: f.modem = Modem::V17; f.bitRate = 14400; break;
    case 0b0101: f.modem = Modem::V17; f.bitRate = 12000; break;
    case 0b1001: f.modem = Modem::V17; f.bitRate = 9600; break;
    case 0b1101: f.modem = Modem::V17; f.bitRate = 7200; break;
    default: break;
    }
}

} // namespace

QString modemName(Modem modem)
{
    switch (modem) {
    case Modem::V27ter: return QStringLiteral("V.27ter");
    case Modem::V29: return QStringLiteral("V.29");
    case Modem::V17: return QStringLiteral("V.17");
    case Modem::None: break;
    }
    return QStringLiteral("none");
}

QString rateText(Modem modem, int bitRate)
{
    return QStringLiteral("%1 %2").arg(modemName(modem)).arg(bitRate);
}

QString frameName(quint8 fcf)
{
    for (const FcfName &n : ExactNames)
        if (n.fcf == fcf)
            return QString::fromLatin1(n.name);
    for (const FcfName &n : XNames)
        if (n.fcf == (fcf & 0xFE))
            return QString::fromLatin1(n.name);
    return QStringLiteral("FCF 0x%1").arg(fcf, 2, 16, QLatin1Char('0'));
}

FrameInfo decodeFrame(QByteArrayView frame)
{
    FrameInfo f;
    if (frame.size() < 3) {
        f.name = QStringLiteral("?");
        return f;
    }
    const quint8 raw = quint8(frame[2]);
    bool exact = false;
    for (const FcfName &n : ExactNames)
        exact = exact || n.fcf == raw;
    f.fcf = exact ? raw : quint8(raw & 0xFE);
    f.name = frameName(raw);
    const QByteArrayView info = frame.sliced(3);
    switch (f.fcf) {
    case 0x80: // DIS
    case 0x81: // DTC
        decodeCapabilities(info, f);
        f.fine = bit(info, 15);
        f.ecm = bit(info, 27);
        break;
    case 0x82: // DCS
        decodeCommand(info, f);
        f.fine = bit(info, 15);
        f.ecm = bit(info, 27);
        break;
    case 0x40: // CSI
    case 0x41: // CIG
    case 0x42: { // TSI: digits in reverse order, padded with spaces
        QString id;
        for (qsizetype i = info.size() - 1; i >= 0; --i)
            id.append(QChar::fromLatin1(info[i]));
        f.ident = id.trimmed();
        break;
    }
    case 0xBE: // PPS: the second FCF follows
        if (!info.isEmpty()) {
            f.fcf2 = quint8(info[0]) & 0xFE;
            f.name += QLatin1Char('-') + (f.fcf2 == 0 ? QStringLiteral("NULL") : frameName(f.fcf2));
        }
        break;
    default:
        break;
    }
    return f;
}

} // namespace t30
