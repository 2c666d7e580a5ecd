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

// The second decode table looks up, per access, all the terminating codes that the next
// GroupBits bits hold in full (up to GroupPixels pixels), as the pixels they stand for: the
// pattern in bits 0-19 (the first pixel highest, a set bit black), the pixel count in bits
// 20-24, the bits used in 25-28 and, in bit 29, whether the colour changes (an odd number of
// codes). Where the first code is one the group cannot take (a make-up code, a longer run)
// but that the bits hold in full, the entry is that code alone: SingleCode set, its run in
// bits 0-11, its length in 25-28. 0 leaves the bits to the single-code table, which also
// decodes the line's last code and every fault. 14 bits hold about three of the short codes
// of a halftone; entries of 32 bits keep both colours' tables at 128 KiB.
constexpr int GroupBits = 14;
static_assert(4 * GroupBits <= 56 && 56 - 3 * GroupBits >= tables::LongestCode);
constexpr quint32 GroupMask = (1u << GroupBits) - 1;
constexpr int GroupPixels = 20;
using GroupEntry = quint32;
constexpr GroupEntry SingleCode = 1u << 31;
constexpr int groupUsed(GroupEntry g) { return int(g >> 25) & 0xf; }
constexpr int groupPixels(GroupEntry g) { return int(g >> 20) & 0x1f; }
constexpr quint32 groupPattern(GroupEntry g) { return g & 0xfffffu; }
constexpr int groupToggle(GroupEntry g) { return int(g >> 29) & 1; }

// The check-only table looks up, per access, every code that the next CheckBits bits hold in
// full, make-up codes included: a check needs only the pixels they add, whether the colour
// changes and whether the last of them is a make-up code (its run goes on), not the runs. An
// entry holds the pixels in bits 0-11, the bits used in 12-16, in bit 17 whether the colour
// changes and in bit 18 whether it ends inside a run; 0 is a fault or the end of the data
// (no code is all zero bits). A code of no pixels (a run of 0) is taken only first or after
// a make-up code, so that within an entry the pixels grow at every run's end: the line's end
// then is the entry's end, never a run of 0 before it. 16 bits take a long white run
// (make-up and terminating code) with the black run after it.
constexpr int CheckBits = 16;
static_assert(3 * CheckBits <= 56);
constexpr quint32 CheckMask = (1u << CheckBits) - 1;
constexpr int CheckMaxPixels = (1 << 12) - 1;
using CheckEntry = quint32;
constexpr CheckEntry CheckToggle = 1u << 17;
constexpr CheckEntry CheckInRun = 1u << 18;
constexpr int checkPixels(CheckEntry c) { return int(c & 0xfff); }
constexpr int checkUsed(CheckEntry c) { return int(c >> 12) & 0x1f; }

struct Code
{
    quint32 bits = 0; // in sending order from bit 0, as they land in an LSB-first stream
    int length = 0;
};

// Codes per colour for runs 0 to LongestMakeUp + 63: the make-up code (if any) and the
// terminating code joined, so that a run of up to that length is one put.
constexpr int JoinedRuns = tables::LongestMakeUp + 64;

struct Tables
{
    std::array<Entry, 1u << IndexBits> decode[2] = {};
    std::array<GroupEntry, 1u << GroupBits> group[2] = {};
    Code terminating[2][64];
    Code makeUp[2][tables::LongestMakeUp / 64 + 1]; // index run / 64
    std::array<Code, JoinedRuns> joined[2];

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
            for (int run = 0; run < JoinedRuns; ++run) {
                const Code &t = terminating[colour][run % 64];
                if (run < 64) {
                    joined[colour][run] = t;
                } else {
                    const Code &m = makeUp[colour][run / 64];
                    joined[colour][run] = {m.bits | (t.bits << m.length), m.length + t.length};
                }
            }
        }
        for (int colour = 0; colour < 2; ++colour)
            for (quint32 index = 0; index <= GroupMask; ++index)
                group[colour][index] = groupAt(colour, index);
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

    // The terminating codes held in full by GroupBits bits, starting in colour. Bits past
    // a code's length are unknown (read as zero here), so only codes that end within the
    // known bits are taken; a prefix code is fixed by its own bits.
    GroupEntry groupAt(int colour, quint32 index) const
    {
        quint32 pattern = 0;
        int pixels = 0;
        int used = 0;
        int codes = 0;
        for (int c = colour;; c ^= 1) {
            const Entry e = decode[c][(index >> used) & IndexMask];
            const int length = e >> 12;
            const int run = e & 0xfff;
            if (length == 0 || used + length > GroupBits || run >= 64 ||
                pixels + run > GroupPixels)
                break;
            pattern = (pattern << run) | (c ? (1u << run) - 1 : 0);
            pixels += run;
            used += length;
            ++codes;
        }
        if (codes == 0) {
            const Entry e = decode[colour][index & IndexMask];
            const int length = e >> 12;
            if (length == 0 || length > GroupBits)
                return 0;
            return SingleCode | GroupEntry(e & 0xfff) | GroupEntry(length) << 25;
        }
        return pattern | GroupEntry(pixels) << 20 | GroupEntry(used) << 25 |
               GroupEntry(codes & 1) << 29;
    }
};

const Tables &codeTables()
{
    static const Tables t;
    return t;
}

// The check-only table, 512 KiB, made on the first check: decoding to runs or pixels does not
// need it.
struct CheckTables
{
    std::array<CheckEntry, 1u << CheckBits> check[2] = {};

    explicit CheckTables(const Tables &codes)
    {
        for (int colour = 0; colour < 2; ++colour)
            for (quint32 index = 0; index <= CheckMask; ++index)
                check[colour][index] = checkAt(codes, colour, index);
    }

    // The codes held in full by CheckBits bits, starting in colour; as groupAt(), bits past
    // a code's length read as zero.
    static CheckEntry checkAt(const Tables &codes, int colour, quint32 index)
    {
        int c = colour;
        int used = 0;
        int pixels = 0;
        bool afterMakeUp = false;
        for (;;) {
            const Entry e = codes.decode[c][(index >> used) & IndexMask];
            const int length = e >> 12;
            const int run = e & 0xfff;
            if (length == 0 || used + length > CheckBits || pixels + run > CheckMaxPixels)
                break;
            if (run == 0 && used > 0 && !afterMakeUp)
                break;
            used += length;
            pixels += run;
            afterMakeUp = run >= 64;
            if (!afterMakeUp)
                c ^= 1;
        }
        if (used == 0)
            return 0;
        return CheckEntry(pixels) | CheckEntry(used) << 12 | (c != colour ? CheckToggle : 0) |
               (afterMakeUp ? CheckInRun : 0);
    }
};

const CheckTables &checkTables()
{
    static const CheckTables t(codeTables());
    return t;
}

// Bits after a complete line may be fill (zero bits) and EOL codes (eleven or more zero bits,
// then a one). Anything else is data the line does not account for. Looks at the one bits
// only, a word at a time.
bool onlyFillAndEol(const uchar *data, qsizetype size, qint64 bitPos)
{
    qint64 zeros = 0; // zero bits since the last one bit
    qsizetype byte = qsizetype(bitPos >> 3);
    int skip = int(bitPos & 7);
    while (byte < size) {
        quint64 w = 0;
        int valid = 64;
        if (size - byte >= 8) {
            std::memcpy(&w, data + byte, 8);
            w = qFromLittleEndian(w);
        } else {
            valid = int(size - byte) * 8;
            for (qsizetype i = byte; i < size; ++i)
                w |= quint64(data[i]) << ((i - byte) * 8);
        }
        byte += valid / 8;
        w >>= skip;
        valid -= skip;
        skip = 0;
        while (w != 0) {
            const int z = std::countr_zero(w);
            if (zeros + z < 11)
                return false;
            zeros = 0;
            w = (w >> z) >> 1;
            valid -= z + 1;
        }
        zeros += valid;
    }
    return true;
}

// Writes pixels into a packed row 64 at a time. The row is cleared first, so a white run
// only moves the position and only words with black pixels are stored; the row's own bytes
// are never passed.
class RowWriter
{
public:
    RowWriter(uchar *row, int rowBytes) : m_row(row), m_rowBytes(rowBytes)
    {
        if (rowBytes > 0)
            std::memset(row, 0, size_t(rowBytes));
    }

    // count pixels (1 to 32) of a pattern, the first pixel in bit count - 1.
    void put(quint64 pattern, int count)
    {
        const int room = 64 - m_bits;
        if (count < room) {
            m_acc |= pattern << (room - count);
            m_bits += count;
            return;
        }
        const int rest = count - room;
        next(m_acc | (pattern >> rest));
        m_acc = rest ? pattern << (64 - rest) : 0;
        m_bits = rest;
    }

    // count pixels of one colour.
    void fill(bool black, int count)
    {
        if (!black) {
            const int to = m_bits + count;
            if (to < 64) {
                m_bits = to;
                return;
            }
            next(m_acc);
            m_at += (to / 64 - 1) * 8;
            m_acc = 0;
            m_bits = to % 64;
            return;
        }
        while (count > 0) {
            const int take = std::min(count, 64 - m_bits);
            const quint64 head = ~0ull >> m_bits;
            const quint64 tail = m_bits + take >= 64 ? 0 : ~0ull >> (m_bits + take);
            m_acc |= head & ~tail;
            m_bits += take;
            count -= take;
            if (m_bits == 64) {
                next(m_acc);
                m_acc = 0;
                m_bits = 0;
            }
        }
    }

    // Writes the word being filled.
    void finish()
    {
        if (m_bits > 0)
            next(m_acc);
    }

private:
    // Stores the word at the position (unless it is white) and moves to the next.
    void next(quint64 word)
    {
        if (word != 0 && m_at < m_rowBytes) {
            if (m_rowBytes - m_at >= 8) {
                word = qToBigEndian(word);
                std::memcpy(m_row + m_at, &word, 8);
            } else {
                for (int i = m_at; i < m_rowBytes; ++i, word <<= 8)
                    m_row[i] = uchar(word >> 56);
            }
        }
        m_at += 8;
    }

    uchar *m_row;
    int m_rowBytes;
    int m_at = 0; // byte of the word being filled
    quint64 m_acc = 0;
    int m_bits = 0; // pixels in m_acc, from its top bit down
};

// The bits of a coded line, least significant first: acc holds the next `bits` of them.
struct BitReader
{
    BitReader(const uchar *data, qsizetype size) : p(data), end(data + size) {}

    // Fills acc as far as it goes: then it holds at least 57 bits, or all that is left.
    void fill()
    {
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
    void skip(int length)
    {
        acc >>= length;
        bits -= length;
        used += length;
    }
    // No bit is set from here to the end of the data. acc holds, past its valid bits, only
    // bits of the bytes from p on (or zero).
    bool restIsZero() const
    {
        if (acc != 0)
            return false;
        for (const uchar *q = p; q < end; ++q)
            if (*q != 0)
                return false;
        return true;
    }

    const uchar *p;
    const uchar *const end;
    quint64 acc = 0;
    int bits = 0;    // valid bits in acc
    qint64 used = 0; // bits consumed
};

enum class Output { Check, Runs, Row };

template <Output Out>
DecodeResult decode(const uchar *data, qsizetype size, int lineLength, Runs *runs, uchar *row)
{
    const Tables &t = codeTables();
    if constexpr (Out == Output::Runs)
        runs->clear();
    if (lineLength < 1) { // no line to fill: any code passes it
        if constexpr (Out == Output::Row)
            std::memset(row, 0, size_t((std::max(lineLength, 0) + 7) / 8));
        return {Status::TooManyPixels, 0, 0};
    }
    RowWriter writer(row, Out == Output::Row ? (lineLength + 7) / 8 : 0); // lineLength >= 1

    BitReader in(data, size);
    int colour = 0;
    int pos = 0; // pixels of finished runs
    int run = 0; // make-up total of the run being read (its pixels are written already)

    DecodeResult result;
    for (;;) {
        in.fill();
        if constexpr (Out != Output::Runs) {
            // Up to four table accesses per fill (each takes at most GroupBits bits), each of
            // them several short codes or one code, while they stay inside the line. Whatever
            // else (a longer code, the line's last code, a fault) is left to the single-code
            // step below, which then has at least 56 - 3 * GroupBits bits in the buffer.
            int k = 0;
            for (; k < 4; ++k) {
                const GroupEntry g = t.group[colour][in.acc & GroupMask];
                const int length = groupUsed(g);
                if (length == 0 || length > in.bits)
                    break;
                if (!(g & SingleCode)) {
                    const int pixels = groupPixels(g);
                    if (pos + run + pixels >= lineLength)
                        break;
                    // A group can add up to no pixels at all (white 0, black 0).
                    if constexpr (Out == Output::Row)
                        if (pixels != 0)
                            writer.put(groupPattern(g), pixels);
                    pos += run + pixels;
                    run = 0;
                    colour ^= groupToggle(g);
                } else {
                    const int r = int(g & 0xfff);
                    if (pos + run + r >= lineLength)
                        break;
                    if constexpr (Out == Output::Row)
                        writer.fill(colour, r);
                    if (r >= 64) {
                        run += r;
                    } else {
                        pos += run + r;
                        run = 0;
                        colour ^= 1;
                    }
                }
                in.skip(length);
            }
            if (k == 4)
                continue;
        }
        const Entry e = t.decode[colour][in.acc & IndexMask];
        const int length = e >> 12;
        const int r = e & 0xfff;
        if (length == 0 || length > in.bits) {
            // Data that runs out inside a code, or only zero bits left: the line ends early.
            // A one bit that starts no code of this colour: an invalid code.
            result.status = (length > in.bits || in.restIsZero()) ? Status::TooFewPixels
                                                                   : Status::InvalidCode;
            break;
        }
        if (pos + run + r > lineLength) {
            // The run passes the line: it is cut at the line's end.
            result.status = Status::TooManyPixels;
            if constexpr (Out == Output::Row)
                writer.fill(colour, lineLength - pos - run);
            run = lineLength - pos;
            break;
        }
        in.skip(length);
        if constexpr (Out == Output::Row)
            writer.fill(colour, r);
        run += r;
        if (r >= 64)
            continue;
        if constexpr (Out == Output::Runs)
            runs->push_back(run);
        pos += run;
        run = 0;
        colour ^= 1;
        if (pos == lineLength) {
            result.pixels = pos;
            result.bitPos = in.used;
            if (!onlyFillAndEol(data, size, in.used))
                result.status = Status::TrailingData;
            if constexpr (Out == Output::Row)
                writer.finish();
            return result;
        }
    }
    result.pixels = pos;
    result.bitPos = in.used;
    if constexpr (Out == Output::Runs) {
        // The run being read when the fault came, cut to the line.
        run = std::min(run, lineLength - pos);
        if (run > 0)
            runs->push_back(run);
    }
    if constexpr (Out == Output::Row)
        writer.finish();
    return result;
}

// Checks a line as decode<Output::Check> does, with several codes per table access. Only a
// line that is whole is finished here; at anything else (a fault, bits after the line) the
// line goes to decode<Output::Check>, which finds the fault and where it lies, so that the
// result is the same whichever of the two decides.
DecodeResult checkLine(const uchar *data, qsizetype size, int lineLength)
{
    if (lineLength < 1)
        return decode<Output::Check>(data, size, lineLength, nullptr, nullptr);
    const CheckTables &t = checkTables();
    BitReader in(data, size);
    int colour = 0;
    int pos = 0; // pixels so far, make-up codes of the run being read included
    CheckEntry c = 0;
    for (;;) {
        in.fill();
        // Three accesses take at most 3 * CheckBits of the 56 bits a fill leaves at least.
        for (int k = 0; k < 3; ++k) {
            c = t.check[colour][in.acc & CheckMask];
            const int length = checkUsed(c);
            if (length == 0 || length > in.bits)
                return decode<Output::Check>(data, size, lineLength, nullptr, nullptr);
            pos += checkPixels(c);
            colour ^= (c & CheckToggle) ? 1 : 0;
            in.skip(length);
            // A make-up code that reaches the line's end wants its terminating code of 0.
            if (pos >= lineLength && (pos > lineLength || !(c & CheckInRun))) {
                if (pos == lineLength && (in.restIsZero() || onlyFillAndEol(data, size, in.used)))
                    return {Status::Ok, pos, in.used};
                return decode<Output::Check>(data, size, lineLength, nullptr, nullptr);
            }
        }
    }
}

// A bit writer for LSB-first codes; q must have room for every byte written.
class CodeWriter
{
public:
    explicit CodeWriter(uchar *q) : m_q(q) {}

    void put(const Code &c)
    {
        m_acc |= quint64(c.bits) << m_bits;
        m_bits += c.length;
        if (m_bits >= 32) {
            const quint32 low = qToLittleEndian(quint32(m_acc));
            std::memcpy(m_q, &low, 4);
            m_q += 4;
            m_acc >>= 32;
            m_bits -= 32;
        }
    }

    // The codes of a run of any length >= 0.
    void run(const Tables &t, int colour, int r)
    {
        while (r >= JoinedRuns) {
            put(t.makeUp[colour][tables::LongestMakeUp / 64]);
            r -= tables::LongestMakeUp;
        }
        put(t.joined[colour][r]);
    }

    // Pads to a byte; returns the end of the data.
    uchar *finish()
    {
        while (m_bits > 0) {
            *m_q++ = uchar(m_acc);
            m_acc >>= 8;
            m_bits -= 8;
        }
        return m_q;
    }

private:
    uchar *m_q;
    quint64 m_acc = 0;
    int m_bits = 0;
};

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
    if (runs)
        return decode<Output::Runs>(data, size, lineLength, runs, nullptr);
    return checkLine(data, size, lineLength);
}

DecodeResult decodeRow(const uchar *data, qsizetype size, int lineLength, uchar *row)
{
    return decode<Output::Row>(data, size, lineLength, nullptr, row);
}

void encodeRuns(std::span<const int> runs, QByteArray &out)
{
    const Tables &t = codeTables();
    qint64 maxBits = 0;
    for (int r : runs)
        maxBits += (std::max(r, 0) / tables::LongestMakeUp + 2) * tables::LongestCode;
    const qsizetype start = out.size();
    out.resize(start + (maxBits + 7) / 8 + 8);
    CodeWriter writer(reinterpret_cast<uchar *>(out.data()) + start);
    int colour = 0;
    for (int r : runs) {
        writer.run(t, colour, std::max(r, 0));
        colour ^= 1;
    }
    out.truncate(writer.finish() - reinterpret_cast<uchar *>(out.data()));
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

// Walks the runs of a packed row, 64 pixels at a time. Each word is turned into the pixels
// where the colour changes (a pixel unlike the one before it; the row starts after white),
// so each run is the distance to the next change: one count of leading zeros and one bit
// cleared per run, whatever its colour.
class RunScanner
{
public:
    RunScanner(const uchar *row, int width)
        : m_row(row), m_rowBytes((width + 7) / 8), m_width(width)
    {
        load(0);
    }

    bool atEnd() const { return m_pos >= m_width; }

    // The length of the run from the current pixel on (its colour alternates from white).
    int next()
    {
        while (m_changes == 0) {
            if (m_base + 64 >= m_width)
                return advance(m_width);
            load(m_base + 64);
        }
        const int at = std::countl_zero(m_changes);
        m_changes ^= (1ull << 63) >> at;
        return advance(std::min(m_width, m_base + at));
    }

private:
    void load(int base)
    {
        const quint64 word = load64(m_row, m_rowBytes, base);
        m_changes = word ^ (word >> 1 | m_lastPixel << 63);
        m_lastPixel = word & 1;
        m_base = base;
    }

    int advance(int to)
    {
        const int r = to - m_pos;
        m_pos = to;
        return r;
    }

    const uchar *m_row;
    int m_rowBytes;
    int m_width;
    int m_base = 0;         // first pixel of the word in m_changes, a multiple of 64
    quint64 m_changes = 0;  // the changes of colour not yet passed, leftmost in the top bit
    quint64 m_lastPixel = 0; // the last pixel of the word before
    int m_pos = 0;
};

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
    for (RunScanner scan(row, width); !scan.atEnd();)
        runs.push_back(scan.next());
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
    const Tables &t = codeTables();
    // A run of 1 pixel takes at most 6 bits and longer runs less per pixel; a run of 0 (a
    // line that starts black) 8 bits, the make-up codes of a long run at most 26.
    const qsizetype start = out.size();
    out.resize(start + (6 * qint64(std::max(width, 0)) + 8 + 26 * 2) / 8 + 8);
    CodeWriter writer(reinterpret_cast<uchar *>(out.data()) + start);
    RunScanner scan(row, width);
    if (scan.atEnd())
        writer.put(t.terminating[0][0]);
    for (int colour = 0; !scan.atEnd(); colour ^= 1)
        writer.run(t, colour, scan.next());
    out.truncate(writer.finish() - reinterpret_cast<uchar *>(out.data()));
}

bool isWhiteRow(const uchar *row, int width)
{
    const int full = width / 8;
    for (int i = 0; i < full; ++i)
        if (row[i] != 0)
            return false;
    return width % 8 == 0 || (row[full] & uchar(0xff << (8 - width % 8))) == 0;
}

} // namespace sff::mh
