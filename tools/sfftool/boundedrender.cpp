#include "boundedrender.h"

namespace sfftool {

BoundedRenderer::BoundedRenderer(sff::RenderOptions options, int maxPages, qint64 maxPixels)
    : m_options(options), m_maxPages(maxPages), m_maxPixels(maxPixels)
{
}

int BoundedRenderer::rowsPerLine(const sff::PageInfo &page) const
{
    return m_options.aspect == sff::Aspect::Square && page.resolution == sff::Resolution::Standard
               ? 2
               : 1;
}

void BoundedRenderer::pageStarted(int index, const sff::PageInfo &page)
{
    m_page.reset();
    const qint64 rowPixels = qint64(std::max(1, page.lineLength)) * rowsPerLine(page);
    const qint64 budgetLines = (m_maxPixels - m_pixels) / rowPixels;
    if (m_drawn >= m_maxPages || budgetLines < 1) {
        ++m_skipped;
        return;
    }
    sff::RenderOptions options = m_options;
    options.maxLines = int(std::min<qint64>(options.maxLines, budgetLines));
    m_pageLimitLines = options.maxLines;
    m_page = std::make_unique<sff::PageRenderer>(options);
    m_info = page;
    m_page->onPage = [this](int i, const QImage &image) {
        m_pixels += qint64(image.width()) * image.height();
        ++m_drawn;
        if (onPage)
            onPage(i, image, m_info);
    };
    m_page->pageStarted(index, page);
}

void BoundedRenderer::line(sff::LineKind kind, std::span<const int> runs)
{
    if (m_page)
        m_page->line(kind, runs);
}

void BoundedRenderer::whiteLines(int count)
{
    if (m_page)
        m_page->whiteLines(count);
}

void BoundedRenderer::pageFinished(int index, const sff::PageInfo &page)
{
    if (!m_page)
        return;
    // Cut by the pixel budget rather than by the per-page line bound of the options.
    if (m_pageLimitLines < m_options.maxLines && page.lines > m_pageLimitLines)
        ++m_cut;
    m_page->pageFinished(index, page);
    m_page.reset();
}

} // namespace sfftool
