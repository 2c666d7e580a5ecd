#include "faxpdf.h"

#include <QPageLayout>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>

namespace sfftool {

FaxPdf::FaxPdf(QIODevice *device) : m_writer(std::make_unique<QPdfWriter>(device))
{
    m_writer->setCreator(QStringLiteral("sfftool"));
    m_writer->setTitle(QStringLiteral("Fax"));
}

FaxPdf::~FaxPdf() = default;

void FaxPdf::addPage(const QImage &page, sff::Resolution resolution)
{
    // Points (1/72 inch), which the page size keeps exactly.
    const QSizeF points(page.width() * 72.0 / 204.0,
                        page.height() * 72.0 / sff::linesPerInch(resolution));
    const QPageLayout layout(QPageSize(points, QPageSize::Point, QString(), QPageSize::ExactMatch),
                             QPageLayout::Portrait, QMarginsF());
    if (m_pages == 0) {
        m_writer->setPageLayout(layout);
        m_painter = std::make_unique<QPainter>(m_writer.get());
    } else {
        m_writer->setPageLayout(layout);
        m_writer->newPage();
    }
    // Qt's PDF engine keeps a 1-bit picture as 1 bit a pixel (a stencil painted with the pen)
    // only when its colour table is black then white; any other picture goes in as a JPEG.
    QImage stencil = page.convertToFormat(QImage::Format_Mono);
    if (stencil.colorCount() != 2 || qGray(stencil.color(0)) > qGray(stencil.color(1)))
        stencil.invertPixels();
    stencil.setColorTable({qRgb(0, 0, 0), qRgb(255, 255, 255)});
    m_painter->setPen(Qt::black);
    // The page filled edge to edge.
    const QRectF target(QPointF(0, 0), QSizeF(m_writer->width(), m_writer->height()));
    m_painter->drawImage(target, stencil);
    ++m_pages;
}

bool FaxPdf::finish()
{
    if (!m_painter)
        return false;
    return m_painter->end();
}

} // namespace sfftool
