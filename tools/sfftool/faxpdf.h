#pragma once

#include "sff/format.h"

#include <QImage>
#include <QIODevice>
#include <QString>

#include <memory>

class QPdfWriter;
class QPainter;

// Writes fax pages into a PDF, one fax page per PDF page at the fax's physical size:
// 204 pixels per inch across, 98 or 196 lines per inch down.
namespace sfftool {

class FaxPdf
{
public:
    explicit FaxPdf(QIODevice *device);
    ~FaxPdf();
    FaxPdf(const FaxPdf &) = delete;
    FaxPdf &operator=(const FaxPdf &) = delete;

    // One page from a 1-bit image, one image row per fax line.
    void addPage(const QImage &page, sff::Resolution resolution);
    int pageCount() const { return m_pages; }
    // Ends the document; false when the device refused the data.
    bool finish();

private:
    std::unique_ptr<QPdfWriter> m_writer;
    std::unique_ptr<QPainter> m_painter;
    int m_pages = 0;
};

} // namespace sfftool
