#pragma once

#include "pages.h"

#include "sff/format.h"

#include <QImage>
#include <QString>

#include <functional>

// TIFF files as fax pages, read with libtiff. A page that is a fax already (bilevel, a fax
// line of 1728, 2048 or 2432 pixels wide, about 204 pixels an inch across or no resolution
// given) is taken pixel for pixel, and its YResolution decides standard or fine. Every other
// page (scans, photos, grey or colour) is a picture: fitted to the fax line like any picture
// and made black and white by the tone given.
namespace sfftool {

struct TiffInput
{
    int faxPages = 0;
    int picturePages = 0;
    QString error; // why the file or a page was refused; empty when all went well
    bool ok() const { return error.isEmpty(); }
};

struct TiffOptions
{
    sff::Resolution resolution = sff::Resolution::Standard; // for pictures
    Tone tone = Tone::Dither;
    bool raw = false; // pictures as they are: each row a fax line, no scaling
    int maxWidth = 32768;
    int first = 1; // the pages to read, from 1; last 0 means to the last page
    int last = 0;
};

// Reads the pages in order and hands each to sink as a 1-bit page with its resolution. A range
// past the file's pages is refused.
TiffInput readTiff(const QString &path, const TiffOptions &options,
                   const std::function<void(const QImage &page, sff::Resolution)> &sink);

} // namespace sfftool
