#include "app/journal/journalstore.h"

#include <algorithm>
#include <cstring>
#include <limits>

// Lines are kept in UTF-8, extended so that every UTF-16 sequence survives: a surrogate pair is
// one four-byte code point and a lone surrogate is encoded on its own in three bytes, as any
// other unit of the Basic Multilingual Plane. Only this file reads the bytes back.
namespace {

constexpr qsizetype kExactSizeAbove = 4096; // longer lines are measured before they are stored

bool isHigh(char16_t u) { return u >= 0xD800 && u < 0xDC00; }
bool isLow(char16_t u) { return u >= 0xDC00 && u < 0xE000; }

qsizetype encodedSize(QStringView text)
{
    qsizetype size = 0;
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t u = text[i].unicode();
        if (u < 0x80)
            size += 1;
        else if (u < 0x800)
            size += 2;
        else if (isHigh(u) && i + 1 < n && isLow(text[i + 1].unicode())) {
            size += 4;
            ++i;
        } else
            size += 3;
    }
    return size;
}

char *encode(QStringView text, char *out)
{
    const qsizetype n = text.size();
    const char16_t *s = text.utf16();
    for (qsizetype i = 0; i < n; ++i) {
        const char32_t u = s[i];
        if (u < 0x80) {
            *out++ = char(u);
        } else if (u < 0x800) {
            *out++ = char(0xC0 | (u >> 6));
            *out++ = char(0x80 | (u & 0x3F));
        } else if (isHigh(char16_t(u)) && i + 1 < n && isLow(s[i + 1])) {
            const char32_t c = 0x10000 + ((u - 0xD800) << 10) + (s[++i] - 0xDC00);
            *out++ = char(0xF0 | (c >> 18));
            *out++ = char(0x80 | ((c >> 12) & 0x3F));
            *out++ = char(0x80 | ((c >> 6) & 0x3F));
            *out++ = char(0x80 | (c & 0x3F));
        } else {
            *out++ = char(0xE0 | (u >> 12));
            *out++ = char(0x80 | ((u >> 6) & 0x3F));
            *out++ = char(0x80 | (u & 0x3F));
        }
    }
    return out;
}

// Decodes what encode() wrote, at most maxUnits UTF-16 units.
QString decode(const char *bytes, qsizetype length, qsizetype maxUnits)
{
    QString text(std::min(length, maxUnits), Qt::Uninitialized);
    char16_t *out = reinterpret_cast<char16_t *>(text.data());
    char16_t *const start = out;
    const auto *p = reinterpret_cast<const unsigned char *>(bytes);
    const unsigned char *const end = p + length;
    while (p < end && out - start < maxUnits) {
        const unsigned char b = *p;
        if (b < 0x80) {
            *out++ = b;
            p += 1;
        } else if (b < 0xE0) {
            *out++ = char16_t(((b & 0x1F) << 6) | (p[1] & 0x3F));
            p += 2;
        } else if (b < 0xF0) {
            *out++ = char16_t(((b & 0x0F) << 12) | ((p[1] & 0x3F) << 6) | (p[2] & 0x3F));
            p += 3;
        } else {
            const char32_t c = ((b & 0x07) << 18) | ((p[1] & 0x3F) << 12) | ((p[2] & 0x3F) << 6) | (p[3] & 0x3F);
            *out++ = char16_t(0xD800 + ((c - 0x10000) >> 10));
            if (out - start < maxUnits)
                *out++ = char16_t(0xDC00 + ((c - 0x10000) & 0x3FF));
            p += 4;
        }
    }
    text.truncate(out - start);
    return text;
}

} // namespace

JournalStore::JournalStore() = default;
JournalStore::~JournalStore() = default;

void JournalStore::startChunk(qsizetype minBytes)
{
    Chunk chunk;
    chunk.capacity = std::max(kChunkBytes, minBytes);
    // Not value-initialised: pages are touched only as lines fill them.
    chunk.data.reset(new char[size_t(chunk.capacity)]);
    chunk.firstLine = m_count;
    m_chunks.push_back(std::move(chunk));
}

void JournalStore::setOffset(qsizetype line, quint32 value)
{
    const auto block = size_t(line / kOffsetBlock);
    if (block == m_offsets.size())
        m_offsets.emplace_back(new quint32[size_t(kOffsetBlock)]);
    m_offsets[block][size_t(line % kOffsetBlock)] = value;
}

quint32 JournalStore::offset(qsizetype line) const
{
    return m_offsets[size_t(line / kOffsetBlock)][size_t(line % kOffsetBlock)];
}

void JournalStore::append(QStringView line)
{
    // Short lines reserve the worst case (three bytes a unit); long ones are measured first,
    // so a large line does not claim three times its size.
    const qsizetype need = line.size() > kExactSizeAbove ? encodedSize(line) : line.size() * 3;
    constexpr qsizetype kMaxOffset = std::numeric_limits<quint32>::max();
    if (m_chunks.empty() || m_chunks.back().capacity - m_chunks.back().used < need ||
        m_chunks.back().used > kMaxOffset)
        startChunk(need);
    Chunk &chunk = m_chunks.back();
    char *const begin = chunk.data.get() + chunk.used;
    char *const end = encode(line, begin);
    setOffset(m_count, quint32(chunk.used));
    chunk.used += end - begin;
    ++m_count;
}

const char *JournalStore::lineBytes(qsizetype index, qsizetype *length) const
{
    // The chunk that holds the line: the last one that starts at or before it.
    const auto it = std::upper_bound(m_chunks.begin(), m_chunks.end(), index,
                                     [](qsizetype line, const Chunk &c) { return line < c.firstLine; });
    const Chunk &chunk = *(it - 1);
    const qsizetype nextChunkLine = it == m_chunks.end() ? m_count : it->firstLine;
    const qsizetype begin = offset(index);
    const qsizetype end = index + 1 < nextChunkLine ? qsizetype(offset(index + 1)) : chunk.used;
    *length = end - begin;
    return chunk.data.get() + begin;
}

QString JournalStore::text(qsizetype index) const
{
    return text(index, std::numeric_limits<qsizetype>::max());
}

QString JournalStore::text(qsizetype index, qsizetype maxChars) const
{
    if (index < 0 || index >= m_count || maxChars <= 0)
        return QString();
    qsizetype length = 0;
    const char *bytes = lineBytes(index, &length);
    return decode(bytes, length, maxChars);
}

qsizetype JournalStore::bytesUsed() const
{
    qsizetype bytes = m_count * qsizetype(sizeof(quint32));
    for (const Chunk &chunk : m_chunks)
        bytes += chunk.used;
    return bytes;
}

qsizetype JournalStore::bytesAllocated() const
{
    qsizetype bytes = qsizetype(m_offsets.size()) * kOffsetBlock * qsizetype(sizeof(quint32)) +
                      qsizetype(m_offsets.capacity() * sizeof(m_offsets[0]) + m_chunks.capacity() * sizeof(Chunk));
    for (const Chunk &chunk : m_chunks)
        bytes += chunk.capacity;
    return bytes;
}
