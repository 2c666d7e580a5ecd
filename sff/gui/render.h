#pragma once

#include "sff/reader.h"

#include <QImage>

#include <functional>

// Pages of an SFF document as 1-bit images: Format_Mono, colour index 0 white, 1 black.
namespace sff {

enum class Aspect {
    AsCoded, // one image row per fax line
    Square,  // 98-lpi pages get every line twice, so pixels come out about square
};

struct RenderOptions
{
    Aspect aspect = Aspect::Square;
    // Fax lines kept per page; further lines are counted but not drawn. Together with
    // maxBytes this bounds the memory of a hostile file (a few bytes of skip records stand
    // for many lines, and a page header may claim 65535 pixels a line).
    int maxLines = 8192;
    // Bytes of pixels kept per page (before doubling): 16 MiB hold 8192 lines of 16384 pixels.
    qint64 maxBytes = 16 << 20;
};

// A sink that draws the lines it is given. Use it with a StreamReader to show the page that is
// arriving (currentPage()) or to handle each page as it completes (onPage).
class PageRenderer : public ReaderSink
{
public:
    explicit PageRenderer(RenderOptions options = {});

    // Called with each finished page.
    std::function<void(int index, const QImage &page)> onPage;

    // The current page as drawn so far (a null image before the first page header).
    QImage currentPage() const;
    int currentPageIndex() const { return m_index; }

    void pageStarted(int index, const PageInfo &page) override;
    void line(LineKind kind, std::span<const int> runs) override;
    void whiteLines(int count) override;
    void pageFinished(int index, const PageInfo &page) override;

private:
    QImage build() const;

    RenderOptions m_options;
    int m_index = -1;
    int m_width = 0;
    int m_bytesPerRow = 0;
    int m_maxRows = 0; // lines kept for this page
    Resolution m_resolution = Resolution::Standard;
    int m_rows = 0;
    QByteArray m_bits; // m_rows packed rows
};

// An empty 1-bit image with the colour table above, all white.
QImage blankPage(int width, int height);

// Every page of a document in memory. info, when given, receives what the reader found.
QList<QImage> renderDocument(QByteArrayView data, const RenderOptions &options = {},
                             DocumentInfo *info = nullptr);

// Any image as a 1-bit page: transparent parts count as white, pixels darker than mid grey
// become black. The result has the colour table above.
QImage toMono(const QImage &image);

} // namespace sff
