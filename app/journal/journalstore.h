#pragma once

#include <QString>
#include <QStringView>
#include <QtGlobal>

#include <memory>
#include <vector>

// Append-only storage for journal lines: the text of each line as bytes in large chunks and one
// 32-bit offset per line, about the line's UTF-8 length plus four bytes each. Every UTF-16 code
// unit sequence comes back exactly as stored, lone surrogates included.
class JournalStore
{
public:
    JournalStore();
    ~JournalStore();
    JournalStore(const JournalStore &) = delete;
    JournalStore &operator=(const JournalStore &) = delete;

    void append(QStringView line);
    qsizetype count() const { return m_count; }
    // The line at index; empty for an index out of range.
    QString text(qsizetype index) const;
    // At most maxChars characters of the line, for display.
    QString text(qsizetype index, qsizetype maxChars) const;
    // Bytes the store holds in use (text bytes and offsets) and allocated in all.
    qsizetype bytesUsed() const;
    qsizetype bytesAllocated() const;

private:
    struct Chunk
    {
        std::unique_ptr<char[]> data;
        qsizetype capacity = 0;
        qsizetype used = 0;
        qsizetype firstLine = 0;
    };
    static constexpr qsizetype kChunkBytes = qsizetype(1) << 20;
    static constexpr qsizetype kOffsetBlock = qsizetype(1) << 16;

    void startChunk(qsizetype minBytes);
    void setOffset(qsizetype line, quint32 offset);
    quint32 offset(qsizetype line) const;
    // The bytes of a line: start pointer and length.
    const char *lineBytes(qsizetype index, qsizetype *length) const;

    std::vector<Chunk> m_chunks;
    std::vector<std::unique_ptr<quint32[]>> m_offsets; // blocks of kOffsetBlock entries
    qsizetype m_count = 0;
};
