#include "sff/writer.h"

#include <QtEndian>

#include <algorithm>

namespace sff {

namespace {

void putWord(QByteArray &data, qint64 at, quint16 v)
{
    qToLittleEndian(v, data.data() + at);
}
void putDword(QByteArray &data, qint64 at, quint32 v)
{
    qToLittleEndian(v, data.data() + at);
}

} // namespace

Writer::Writer()
{
    m_data = QByteArray(DocumentHeaderSize, '\0');
}

void Writer::beginPage(Resolution resolution, int lineLength)
{
    endPage();
    m_resolution = resolution;
    m_lineLength = std::clamp(lineLength, 1, 65535);
    m_pageOffsets.append(m_data.size());
    m_pageLines.append(0);
    m_pageOpen = true;
    putPageHeader();
}

void Writer::putPageHeader()
{
    const qint64 at = m_data.size();
    m_data.append(PageHeaderSize, '\0');
    m_data[at + pagefield::RecordType] = char(PageHeaderRecord);
    m_data[at + pagefield::HeaderLength] = char(MinPageHeaderLength);
    m_data[at + pagefield::VerticalResolution] = char(m_resolution);
    putWord(m_data, at + pagefield::LineLength, quint16(m_lineLength));
    // Page length and links are filled in by finish().
}

void Writer::flushWhite()
{
    while (m_pendingWhite > 0) {
        const int n = int(std::min<qint64>(m_pendingWhite, MaxSkip));
        m_data.append(char(MaxShortLine + n));
        m_pendingWhite -= n;
    }
}

void Writer::addRow(const uchar *row)
{
    if (!m_pageOpen)
        beginPage(m_resolution, m_lineLength);
    if (mh::isWhiteRow(row, m_lineLength)) {
        ++m_pendingWhite;
        ++m_pageLines.last();
        return;
    }
    m_coded.resize(0); // keeps the capacity
    mh::encodeRow(row, m_lineLength, m_coded);
    addCodedLine(m_coded);
}

void Writer::addRuns(std::span<const int> runs)
{
    if (!m_pageOpen)
        beginPage(m_resolution, m_lineLength);
    if (runs.size() == 1 && runs[0] == m_lineLength) {
        ++m_pendingWhite;
        ++m_pageLines.last();
        return;
    }
    m_coded.resize(0);
    mh::encodeRuns(runs, m_coded);
    addCodedLine(m_coded);
}

void Writer::addCodedLine(QByteArrayView coded)
{
    if (!m_pageOpen)
        beginPage(m_resolution, m_lineLength);
    flushWhite();
    const qsizetype size = std::min<qsizetype>(coded.size(), 65535);
    if (size >= 1 && size <= MaxShortLine) {
        m_data.append(char(size));
    } else {
        m_data.append(char(EscapedLineRecord));
        m_data.append(2, '\0');
        putWord(m_data, m_data.size() - 2, quint16(size));
    }
    m_data.append(coded.data(), size);
    ++m_pageLines.last();
}

void Writer::addWhiteLines(int count)
{
    if (!m_pageOpen)
        beginPage(m_resolution, m_lineLength);
    if (count <= 0)
        return;
    m_pendingWhite += count;
    m_pageLines.last() += count;
}

void Writer::addIllegalLine()
{
    if (!m_pageOpen)
        beginPage(m_resolution, m_lineLength);
    flushWhite();
    m_data.append(char(ExtendedRecord));
    m_data.append('\0');
    ++m_pageLines.last();
}

void Writer::addUserInfo(QByteArrayView data)
{
    if (!m_pageOpen)
        beginPage(m_resolution, m_lineLength);
    const qsizetype size = std::min<qsizetype>(data.size(), 255);
    if (size == 0)
        return;
    flushWhite();
    m_data.append(char(ExtendedRecord));
    m_data.append(char(size));
    m_data.append(data.data(), size);
}

void Writer::endPage()
{
    if (!m_pageOpen)
        return;
    flushWhite();
    m_pageOpen = false;
}

QByteArray Writer::finish()
{
    endPage();
    const qint64 endOffset = m_data.size();
    if (!m_omitEndRecord) {
        m_data.append(char(PageHeaderRecord));
        m_data.append('\0');
    }
    QByteArray &d = m_data;
    putDword(d, docfield::Id, DocumentId);
    d[docfield::Version] = 1;
    if (!m_leaveCountsUnknown) {
        const qsizetype pages = m_pageOffsets.size();
        putWord(d, docfield::PageCount, quint16(std::min<qsizetype>(pages, 65535)));
        putWord(d, docfield::FirstPageOffset, DocumentHeaderSize);
        putDword(d, docfield::LastPageOffset, pages ? quint32(m_pageOffsets.last()) : 0);
        putDword(d, docfield::DocumentEndOffset, m_omitEndRecord ? 0 : quint32(endOffset));
        for (qsizetype i = 0; i < pages; ++i) {
            const qint64 at = m_pageOffsets.at(i);
            const qint64 lines = m_pageLines.at(i);
            putWord(d, at + pagefield::PageLength, lines <= 65535 ? quint16(lines) : 0);
            putDword(d, at + pagefield::PreviousPageOffset,
                     i > 0 ? quint32(m_pageOffsets.at(i - 1)) : 0);
            putDword(d, at + pagefield::NextPageOffset,
                     i + 1 < pages ? quint32(m_pageOffsets.at(i + 1)) : 0);
        }
    } else {
        putWord(d, docfield::FirstPageOffset, DocumentHeaderSize);
    }
    QByteArray result = d;
    m_data = QByteArray(DocumentHeaderSize, '\0');
    m_pageOffsets.clear();
    m_pageLines.clear();
    m_pendingWhite = 0;
    return result;
}

} // namespace sff
