#pragma once

#include "sff/format.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <functional>
#include <memory>

// Conversion between SFF documents and bilevel TIFF files.
//
// SFF to TIFF writes one directory per page, FillOrder 2 (least significant bit first) and one
// row per strip, so each strip holds one SFF line's code bytes as they stood in the document.
// TIFF to SFF reads any bilevel image libtiff can decode and codes its rows anew.
namespace faxtiff {

enum class TiffCoding {
    ModifiedHuffman, // Compression 2: byte-aligned rows, no EOL
    T4OneDim,        // Compression 3, 1-D: an EOL before each row, fill bits keep rows aligned
};

// Replaces the top rows of a page: called once per page with the page index (from 0), the page
// count, the line length and the resolution; returns packed rows (see sff/mh.h) of that line
// length. They stand in for as many rows from the top of the page; an empty list keeps it.
using TopRows = std::function<QList<QByteArray>(int page, int pageCount, int lineLength,
                                                sff::Resolution resolution)>;

struct WriteOptions
{
    TiffCoding coding = TiffCoding::ModifiedHuffman;
    TopRows topRows;
};

// Writes the pages of an SFF document as a TIFF file. Skip records and illegal lines become
// coded white lines; a line that does not decode is written as far as it decoded, padded with
// white. False with the reason when the document is not valid or the file cannot be written.
bool sffToTiff(QByteArrayView sff, const QString &tiffPath, const WriteOptions &options = {},
               QString *error = nullptr);

struct ReadLimits
{
    int maxWidth = 65535;
    qint64 maxPixels = qint64(1728) * 2400 * 1000; // over all pages: 1000 long fine pages
    qint64 maxPicturePixels = qint64(64) << 20;    // one picture page: 256 MiB in RGBA
    qint64 maxPagePixels = maxPixels;              // one bilevel page
};

struct TiffPage
{
    sff::Resolution resolution = sff::Resolution::Standard;
    int width = 0;
    int rows = 0;
    bool inverted = false; // MinIsBlack: pixels were inverted to fax polarity
    bool bilevel = true;   // black and white rows in strips; false for a picture read whole
    double xDpi = 0;       // XResolution in pixels per inch; 0 when the file has none
    double yDpi = 0;       // YResolution likewise
};

// What the readers below found of each page, or why they refused the file. The vertical
// resolution comes from YResolution: below 147 lines per inch is standard, from 147 fine; a file
// without the tag counts as standard. Refuses, with the reason, images of more than one bit per
// sample or more than one sample per pixel, compressions libtiff cannot decode, tiled images,
// files without pages, and widths, pages or pixel totals past the limits.
struct TiffReadResult
{
    bool ok = false;
    QString error;
    QList<TiffPage> pages; // the pages read
    int pageCount = 0;     // the directories of the file
};

// Receives the pages of a TIFF file as they are read. Bilevel pages in strips come as packed
// rows, one bit per pixel, 1 black, bits past the width clear. A sink that takes pictures gets
// every other page (grey, colour, palette, tiled) as a whole, in 8-bit RGBA (TIFFReadRGBAImage's
// byte order, top row first), within maxPicturePixels; otherwise such pages are refused.
class PageSink
{
public:
    virtual ~PageSink() = default;
    virtual void beginPage(const TiffPage &page) = 0;
    virtual void row(const uchar *packed) = 0;
    virtual void endPage() = 0;
    virtual bool takesPictures() const { return false; }
    virtual void picture(const TiffPage &, const quint32 *) {}
};

// The pages firstPage to lastPage (from 0; -1: to the last) of a TIFF file handed to a sink,
// with the checks and limits described above. Pages outside the range are not decoded.
TiffReadResult readTiffPages(const QString &tiffPath, PageSink &sink,
                             const ReadLimits &limits = {}, int firstPage = 0, int lastPage = -1);

// The whole file as an SFF document, with counts and offsets filled in.
TiffReadResult tiffToSff(const QString &tiffPath, QByteArray *sff, const ReadLimits &limits = {});

// Pages from firstPage to the end as SFF page records (page header and lines, no document
// header, no end record), as a receiver streams them; pageLength is filled in.
TiffReadResult tiffPagesToSffRecords(const QString &tiffPath, int firstPage, QByteArray *records,
                                     const ReadLimits &limits = {});

// Reads a TIFF file that its writer appends to page by page (as T.30 writes the pages it
// receives): the file stays open and each read goes on from the last page read, so page n
// costs the same for any n (a file opened anew walks every directory before page n). The
// writer must only append directories, not rewrite them.
class GrowingTiffReader
{
public:
    explicit GrowingTiffReader(const QString &path);
    ~GrowingTiffReader();
    GrowingTiffReader(const GrowingTiffReader &) = delete;
    GrowingTiffReader &operator=(const GrowingTiffReader &) = delete;

    // The pages written since the last read, as SFF page records (as tiffPagesToSffRecords
    // gives them); none when no page came since.
    TiffReadResult readNewPages(QByteArray *records, const ReadLimits &limits = {});
    int pagesRead() const;

private:
    struct State;
    std::unique_ptr<State> m_state;
};

// The 20-byte SFF document header a receiver writes before the first page (counts unknown).
QByteArray sffStreamHeader();
// The end record.
QByteArray sffEndRecord();

} // namespace faxtiff
