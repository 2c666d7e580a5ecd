#pragma once

#include "sff/format.h"
#include "sff/mh.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <span>

// Building SFF documents. The writer collects the document in memory; finish() writes the end
// record and fills in the page count, the offsets, the page lengths and the page links.
// Pages from images: sff/gui/imagewriter.h.
namespace sff {

class Writer
{
public:
    Writer();

    // Writes like a receiver that does not know the totals: page count, offsets and page
    // lengths stay 0. Default false.
    void setLeaveCountsUnknown(bool leave) { m_leaveCountsUnknown = leave; }
    // Leaves out the end record FE 00. Default false.
    void setOmitEndRecord(bool omit) { m_omitEndRecord = omit; }

    // Starts a page (ending the open one). lineLength is 1 to 65535; 1728 for A4.
    void beginPage(Resolution resolution, int lineLength = A4LineLength);
    // One line from a packed row (see mh.h) of the page's line length. All-white lines are
    // gathered into skip records.
    void addRow(const uchar *row);
    // One line from runs alternating from white; they should add up to the line length.
    void addRuns(std::span<const int> runs);
    // A line already coded; written in the escape form when longer than 216 bytes.
    void addCodedLine(QByteArrayView coded);
    // count white lines as skip records of at most 37 lines each.
    void addWhiteLines(int count);
    // An illegal line record (FF 00).
    void addIllegalLine();
    // A user information record; 1 to 255 bytes, longer data is cut.
    void addUserInfo(QByteArrayView data);
    void endPage();

    int pageCount() const { return int(m_pageOffsets.size()); }

    // Ends the open page and returns the document. The writer is empty again afterwards.
    QByteArray finish();

private:
    void flushWhite();
    void putPageHeader();

    QByteArray m_data;
    QList<qint64> m_pageOffsets;
    QList<qint64> m_pageLines; // lines of each page
    bool m_pageOpen = false;
    Resolution m_resolution = Resolution::Standard;
    int m_lineLength = A4LineLength;
    qint64 m_pendingWhite = 0;
    bool m_leaveCountsUnknown = false;
    bool m_omitEndRecord = false;
    QByteArray m_coded; // the line being written
};

} // namespace sff
