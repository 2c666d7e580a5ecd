#pragma once

#include "sff/gui/render.h"

#include <functional>
#include <memory>

// Draws the pages of a document as they are read, within a bound on the pages and on the
// pixels of all pages together: a small hostile file can stand for a great many pages or
// very long lines. Pages past the bound are read and counted but not drawn; a page that
// reaches the pixel bound is drawn as far as the bound allows.
namespace sfftool {

class BoundedRenderer : public sff::ReaderSink
{
public:
    BoundedRenderer(sff::RenderOptions options, int maxPages, qint64 maxPixels);

    // Called with each page drawn (index from 0) and its header as read.
    std::function<void(int index, const QImage &page, const sff::PageInfo &info)> onPage;

    int pagesDrawn() const { return m_drawn; }
    qint64 pixelsDrawn() const { return m_pixels; }
    // Pages read that were left out, or cut short, because of the bound.
    int pagesCut() const { return m_cut; }
    int pagesSkipped() const { return m_skipped; }

    void pageStarted(int index, const sff::PageInfo &page) override;
    void line(sff::LineKind kind, std::span<const int> runs) override;
    void whiteLines(int count) override;
    void pageFinished(int index, const sff::PageInfo &page) override;

private:
    // Image rows for one fax line: 98-lpi lines are doubled in the square aspect.
    int rowsPerLine(const sff::PageInfo &page) const;

    sff::RenderOptions m_options;
    int m_maxPages;
    qint64 m_maxPixels;
    std::unique_ptr<sff::PageRenderer> m_page; // the page being drawn, if any
    sff::PageInfo m_info;                      // its header
    int m_drawn = 0;
    int m_cut = 0;
    int m_skipped = 0;
    qint64 m_pixels = 0;
    qint64 m_pageLimitLines = 0; // lines the budget allowed for the page being drawn
};

} // namespace sfftool
