#pragma once

// Pages and documents for fax call tests, and reading received pages back into rows.

#include "faxtiff/faxtiff.h"
#include "sff/reader.h"
#include "sff/writer.h"

#include <QByteArray>
#include <QList>

#include <random>

namespace faxtest {

using Rows = QList<QByteArray>; // packed rows (see sff/mh.h)

// A page that looks like lines of text: bands of short black runs between white gaps.
inline Rows textPage(int rows, unsigned seed, int width = 1728)
{
    std::mt19937 rng(seed);
    const int stride = (width + 7) / 8;
    Rows out;
    for (int r = 0; r < rows; ++r) {
        QByteArray row(stride, '\0');
        if ((r / 12) % 2 == 1) {
            int x = 80 + int(rng() % 40);
            while (x < width - 80) {
                const int run = 1 + int(rng() % 9);
                for (int i = x; i < std::min(x + run, width); ++i)
                    row[i / 8] = char(uchar(row[i / 8]) | (0x80 >> (i % 8)));
                x += run + 2 + int(rng() % 14);
            }
        }
        out.append(row);
    }
    return out;
}

inline QByteArray document(const QList<Rows> &pages, sff::Resolution resolution)
{
    sff::Writer w;
    for (const Rows &page : pages) {
        w.beginPage(resolution, 1728);
        for (const QByteArray &row : page)
            w.addRow(reinterpret_cast<const uchar *>(row.constData()));
    }
    return w.finish();
}

struct PageRows : sff::ReaderSink
{
    QList<Rows> pages;
    QList<sff::Resolution> resolutions;
    int width = 1728;
    void pageStarted(int, const sff::PageInfo &info) override
    {
        pages.append(Rows());
        resolutions.append(info.resolution);
        width = info.lineLength;
    }
    void line(sff::LineKind, std::span<const int> runs) override
    {
        QByteArray row((width + 7) / 8, '\0');
        sff::mh::runsToRow(runs, reinterpret_cast<uchar *>(row.data()), width);
        pages.last().append(row);
    }
    void whiteLines(int count) override
    {
        for (int i = 0; i < count; ++i)
            pages.last().append(QByteArray((width + 7) / 8, '\0'));
    }
};

// Rows of a page's SFF records (a page header and its lines).
inline Rows rowsOfRecords(const QByteArray &records, sff::Resolution *resolution = nullptr)
{
    PageRows sink;
    sff::checkData(faxtiff::sffStreamHeader() + records + faxtiff::sffEndRecord(), &sink);
    if (sink.pages.size() != 1)
        return {};
    if (resolution)
        *resolution = sink.resolutions[0];
    return sink.pages[0];
}

// The pages of a whole SFF document (an end record is not needed) as rows.
inline PageRows rowsOfDocument(const QByteArray &document)
{
    PageRows sink;
    sff::checkData(document, &sink);
    return sink;
}

// Whether `received` holds the pages of `sent`, equal row for row below the head line that a
// sending controller prints into the top 4 mm of each page. With `whole` false, `received`
// may stop early, in the middle of a page. `why` says where they differ.
inline bool samePagesBelowHeadLine(const QByteArray &sent, const QByteArray &received,
                                   QString *why, bool whole = true)
{
    const PageRows a = rowsOfDocument(sent);
    const PageRows b = rowsOfDocument(received);
    if (whole ? b.pages.size() != a.pages.size() : b.pages.size() > a.pages.size()) {
        *why = QStringLiteral("%1 pages received, %2 sent").arg(b.pages.size()).arg(a.pages.size());
        return false;
    }
    for (qsizetype p = 0; p < b.pages.size(); ++p) {
        const bool last = p + 1 == b.pages.size();
        if (b.resolutions[p] != a.resolutions[p]
            || (whole || !last ? b.pages[p].size() != a.pages[p].size()
                               : b.pages[p].size() > a.pages[p].size())) {
            *why = QStringLiteral("page %1: %2 rows at resolution %3, sent %4 at %5")
                       .arg(p + 1).arg(b.pages[p].size()).arg(int(b.resolutions[p]))
                       .arg(a.pages[p].size()).arg(int(a.resolutions[p]));
            return false;
        }
        const int head = a.resolutions[p] == sff::Resolution::Fine ? 32 : 16;
        for (qsizetype i = head; i < b.pages[p].size(); ++i) {
            if (b.pages[p][i] != a.pages[p][i]) {
                *why = QStringLiteral("page %1 differs in row %2").arg(p + 1).arg(i);
                return false;
            }
        }
    }
    return true;
}

} // namespace faxtest
