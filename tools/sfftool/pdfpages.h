#pragma once

#include "sff/format.h"

#include <QImage>
#include <QList>
#include <QString>

#include <functional>

// PDF documents as fax pages, rendered with Poppler. Each page is drawn at the fax's
// resolution, scaled so its width fills the 1728-pixel line (landscape pages are turned a
// quarter turn first), and handed over in grey levels; the caller makes it black and white.
namespace sfftool {

struct PdfResult
{
    int pageCount = 0;   // pages of the document
    int pagesRead = 0;   // pages handed to the sink
    QString error;       // why the document or a page was refused; empty when all went well
    bool ok() const { return error.isEmpty(); }
};

// Renders the pages first to last (1-based, inclusive; last 0 means the last page) of a PDF
// file and calls sink with each, in order. Refuses a document that needs a password, that is
// damaged or truncated, or that has no pages.
PdfResult readPdf(const QString &path, sff::Resolution resolution, int first, int last,
                  const std::function<void(const QImage &page)> &sink);

} // namespace sfftool
