#include "sff/mh.h"

#include "sff/mhtables.h"

#include <QtEndian>

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

namespace sff::mh {

namespace {

constexpr int IndexBits = tables::LongestCode;
constexpr quint32 IndexMask = (1u << IndexBits) - 1;

// A decode entry packs the run (0 to 2560; 64 and more is a make-up code) in the low 12 bits
// and the code length in the top 4; 0 is no code.
using Entry = quint16;

struct Code
{
    quint32 bits = 0; // in sending order from bit 0, as they land in an LSB-first stream
    int length = 0;
};

struct Tables
{
    std::array<Entry, 1u << IndexBits> decode[2] = {};
    Code terminating[2][64];
    Code makeUp[2][tables::LongestMakeUp / 64 + 1]; // index run / 64

    Tables()
    {
        for (int colour = 0; colour < 2; ++colour) {
            const auto &term = colour ? tables::BlackTerminating : tables::WhiteTerminating;
            const auto &make = colour ? tables::BlackMakeUp : tables::WhiteMakeUp;
            for (const auto &c : term)
                add(colour, c, terminating[colour][c.run]);
            for (const auto &c : make)
                add(colour, c, makeUp[colour][c.run / 64]);
            for (const auto &c : tables::ExtendedMakeUp)
                add(colour, c, makeUp[colour][c.run / 64]);
        }
    }

    void add(int colour, const tables::CodeWord &word, Code &code)
    {
        const int length = int(std::strlen(word.bits));
        quint32 bits = 0;
        for (int i = 0; i < length; ++i)
            if (word.bits[i] == '1')
                bits |= 1u << i;
        code = {bits, length};
        const Entry entry = Entry(word.run | (length << 12));
        for (quint32 high = 0; high < (1u << (IndexBits - length)); ++high)
            decode[colour][bits | (high << length)] = entry;
    }
};

const Tables &codeTables()
{
    static const Tables t;
    return t;
}

// Bits after a complete line may be fill (zero bits) and EOL codes (eleven or more zero bits,
// then a one). Anything else is data the line does not account for.
bool onlyFillAndEol(const uchar *data, qsizetype size, qint64 bitPos)
{
    int zeros = 0;
    for (qint64 bit = bitPos; bit < qint64(size) * 8; ++bit) {
        if (data[bit >> 3] & (1u << (bit & 7))) {
            if (zeros < 11)
                return false;
            zeros = 0;
        } else {
            ++zeros;
        }
    }
    return true;
}

} // namespace

QString DecodeResult::message(int lineLength) const
{
    const QString where = QStringLiteral(" at bit %1 (after %2 of %3 pixels)")
                              .arg(bitPos)
                              .arg(pixels)
                              .arg(lineLength);
    switch (status) {
    case Status::Ok:
        return QStringLiteral("line complete") + where;
    case Status::InvalidCode:
        return QStringLiteral("no valid code") + where;
    case Status::TooManyPixels:
        return QStringLiteral("runs pass the line length") + where;
    case Status::TooFewPixels:
        return QStringLiteral("line ends early") + where;
    case Status::TrailingData:
        return QStringLiteral("data after the complete line") + where;
    }
    return {};
}

DecodeResult decodeLine(const uchar *data, qsizetype size, int lineLength, Runs *runs)
{
    const Tables &t = codeTables();
    if (runs)
        runs->clear();
    if (lineLength < 1) // no line to fill: any code passes it
        return {Status::TooManyPixels, 0, 0};

    const uchar *p = data;
    const uchar *const end = data + size;
    quint64 acc = 0;
    int bits = 0;                            // valid bits in acc
    qint64 used = 0;                         // bits consumed
    const Entry *table = t.decode[0].data(); // the codes of the current colour
    const Entry *other = t.decode[1].data();
    int pos = 0; // pixels of finished runs
    int run = 0; // make-up total of the run being read

    DecodeResult result;
    for (;;) {
        if (bits < IndexBits) {
            if (end - p >= 8) {
                quint64 word;
                std::memcpy(&word, p, 8);
                word = qFromLittleEndian(word);
                acc |= word << bits;
                p += (63 - bits) >> 3;
                bits |= 56;
            } else {
                while (bits <= 56 && p < end) {
                    acc |= quint64(*p++) << bits;
                    bits += 8;
                }
            }
        }
        const Entry e = table[acc & IndexMask];
        const int length = e >> 12;
        if (length == 0 || length > bits) {
            // Data that runs out inside a code, or only zero bits left: the line ends early.
            // A one bit that starts no code of this colour: an invalid code.
            const quint64 valid = bits >= 64 ? ~0ull : (1ull << bits) - 1;
            bool anySet = (acc & valid) != 0;
            for (const uchar *q = p; !anySet && q < end; ++q)
                anySet = *q != 0;
            result.status = (length > bits || !anySet) ? Status::TooFewPixels : Status::InvalidCode;
            break;
        }
        const int r = e & 0xfff;
        if (pos + run + r > lineLength) {
            result.status = Status::TooManyPixels;
            run = lineLength - pos;
            break;
        }
        acc >>= length;
        bits -= length;
        used += length;
        if (r >= 64) {
            run += r;
            continue;
        }
        run += r;
        if (runs)
            runs->push_back(run);
        pos += run;
        run = 0;
        std::swap(table, other);
        if (pos == lineLength) {
            result.pixels = pos;
            result.bitPos = used;
            if (!onlyFillAndEol(data, size, used))
                result.status = Status::TrailingData;
            return result;
        }
    }
    result.pixels = pos;
    result.bitPos = used;
    if (runs && run > 0)
        runs->push_back(std::min(run, lineLength - pos));
    return result;
}

void encodeRuns(std::span<const int> runs, QByteArray &out)
{
    const Tables &t = codeTables();
    qint64 maxBits = 0;
    for (int r : runs)
        maxBits += (std::max(r, 0) / tables::LongestMakeUp + 2) * tables::LongestCode;
    const qsizetype start = out.size();
    out.resize(start + (maxBits + 7) / 8 + 8);
    uchar *q = reinterpret_cast<uchar *>(out.data()) + start;

    quint64 acc = 0;
    int bits = 0;
    auto put = [&](const Code &c) {
        acc |= quint64(c.bits) << bits;
        bits += c.length;
        if (bits >= 32) {
            const quint32 low = qToLittleEndian(quint32(acc));
            std::memcpy(q, &low, 4);
            q += 4;
            acc >>= 32;
            bits -= 32;
        }
    };

    int colour = 0;
    for (int r : runs) {
        r = std::max(r, 0);
        while (r > tables::LongestMakeUp) {
            put(t.makeUp[colour][tables::LongestMakeUp / 64]);
            r -= tables::LongestMakeUp;
        }
        if (r >= 64) {
            put(t.makeUp[colour][r / 64]);
            r %= 64;
        }
        put(t.terminating[colour][r]);
        colour ^= 1;
    }
    while (bits > 0) {
        *q++ = uchar(acc);
        acc >>= 8;
        bits -= 8;
    }
    out.truncate(q - reinterpret_cast<uchar *>(out.data()));
}

QByteArray encodeRuns(std::span<const int> runs)
{
    QByteArray out;
    encodeRuns(runs, out);
    return out;
}

namespace {

// 64 pixels of a row from pixel base (a multiple of 8) on, leftmost in the top bit; bytes
// past the row read as white.
inline quint64 load64(const uchar *row, int rowBytes, int base)
{
    const int byte = base >> 3;
    if (rowBytes - byte >= 8) {
        quint64 w;
        std::memcpy(&w, row + byte, 8);
        return qFromBigEndian(w);
    }
    quint64 w = 0;
    for (int i = 0; i < 8; ++i)
        w = (w << 8) | (byte + i < rowBytes ? row[byte + i] : 0);
    return w;
}

// The first pixel at or after pos that is not of colour black, or width.
inline int nextChange(const uchar *row, int rowBytes, int width, int pos, bool black)
{
    int base = pos & ~7;
    quint64 w = load64(row, rowBytes, base);
    if (black)
        w = ~w;
    w &= ~0ull >> (pos - base);
    while (w == 0) {
        base += 64;
        if (base >= width)
            return width;
        w = load64(row, rowBytes, base);
        if (black)
            w = ~w;
    }
    return std::min(width, base + std::countl_zero(w));
}

inline void setBits(uchar *row, int from, int to)
{
    if (from >= to)
        return;
    int first = from >> 3;
    const int last = (to - 1) >> 3;
    const uchar headMask = uchar(0xff >> (from & 7));
    const uchar tailMask = uchar(0xff << (7 - ((to - 1) & 7)));
    if (first == last) {
        row[first] |= headMask & tailMask;
        return;
    }
    row[first] |= headMask;
    if (last - first > 1)
        std::memset(row + first + 1, 0xff, last - first - 1);
    row[last] |= tailMask;
}

} // namespace

void rowToRuns(const uchar *row, int width, Runs &runs)
{
    runs.clear();
    const int rowBytes = (width + 7) / 8;
    int pos = 0;
    bool black = false;
    while (pos < width) {
        const int next = nextChange(row, rowBytes, width, pos, black);
        runs.push_back(next - pos);
        pos = next;
        black = !black;
    }
    if (runs.empty())
        runs.push_back(0);
}

void runsToRow(std::span<const int> runs, uchar *row, int width)
{
    std::memset(row, 0, size_t((width + 7) / 8));
    int pos = 0;
    bool black = false;
    for (int r : runs) {
        if (pos >= width)
            break;
        const int next = std::min(width, pos + std::max(r, 0));
        if (black)
            setBits(row, pos, next);
        pos = next;
        black = !black;
    }
}

void encodeRow(const uchar *row, int width, QByteArray &out)
{
    thread_local Runs runs;
    rowToRuns(row, width, runs);
    encodeRuns(runs, out);
}

} // namespace sff::mh
