#pragma once

#include "sff/format.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <functional>

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
};

struct TiffPage
{
    sff::Resolution resolution = sff::Resolution::Standard;
    int width = 0;
    int rows = 0;
    bool inverted = false; // MinIsBlack: pixels were inverted to fax polarity
};

// Appends the pages of a TIFF file from page firstPage (from 0) to an SFF writer's document
// (see appendTiffPages below) or converts a whole file to a document (toSff). The vertical
// resolution comes from YResolution: below 147 lines per inch is standard, from 147 fine; a file
// without the tag counts as standard. Refuses, with the reason, images of more than one bit per
// sample or more than one sample per pixel, compressions libtiff cannot decode, tiled images,
// files without pages, and widths or pixel totals past the limits.
struct TiffReadResult
{
    bool ok = false;
    QString error;
    QList<TiffPage> pages;
};

// The whole file as an SFF document, with counts and offsets filled in.
TiffReadResult tiffToSff(const QString &tiffPath, QByteArray *sff, const ReadLimits &limits = {});

// Pages from firstPage to the end as SFF page records (page header and lines, no document
// header, no end record), as a receiver streams them; pageLength is filled in.
TiffReadResult tiffPagesToSffRecords(const QString &tiffPath, int firstPage, QByteArray *records,
                                     const ReadLimits &limits = {});

// The 20-byte SFF document header a receiver writes before the first page (counts unknown).
QByteArray sffStreamHeader();
// The end record.
QByteArray sffEndRecord();

} // namespace faxtiff
