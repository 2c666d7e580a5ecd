#include "tiffpages.h"

#include "faxtiff/faxtiff.h"

#include <cmath>
#include <cstring>

namespace sfftool {

namespace {

// Pages held whole, as 1-bit fax pages or as pictures (4 bytes a pixel): 256 MiB at most.
constexpr qint64 MaxPagePixels = qint64(64) << 20;

bool near(double dpi, double target)
{
    return std::abs(dpi - target) <= target * 0.06;
}

bool isFaxPage(const faxtiff::TiffPage &page)
{
    const bool faxWidth = page.width == 1728 || page.width == 2048 || page.width == 2432;
    // 200 dpi scanners and 204 dpi fax machines both make fax lines; 7.7 lines a millimetre
    // is fine. Other line spacings (a 400 lpi scan) are pictures, scaled to fax lines.
    const bool faxDpi = page.xDpi == 0 || near(page.xDpi, 204);
    const bool faxLines = page.yDpi == 0 || near(page.yDpi, 98) || near(page.yDpi, 196);
    return page.bilevel && faxWidth && faxDpi && faxLines;
}

class Sink : public faxtiff::PageSink
{
public:
    Sink(const TiffOptions &options,
         const std::function<void(const QImage &, sff::Resolution)> &sink)
        : m_options(options), m_sink(sink)
    {
    }

    int faxPages = 0;
    int picturePages = 0;

    void beginPage(const faxtiff::TiffPage &page) override
    {
        m_page = page;
        m_row = 0;
        m_image = QImage(page.width, page.rows, QImage::Format_Mono);
        m_image.setColorTable({qRgb(255, 255, 255), qRgb(0, 0, 0)});
    }

    void row(const uchar *packed) override
    {
        if (m_row < m_image.height())
            std::memcpy(m_image.scanLine(m_row++), packed, (m_page.width + 7) / 8);
    }

    void endPage() override
    {
        if (isFaxPage(m_page)) {
            ++faxPages;
            m_sink(m_image, m_page.resolution);
        } else {
            addPicture(m_image);
        }
        m_image = QImage();
    }

    bool takesPictures() const override { return true; }

    void picture(const faxtiff::TiffPage &page, const quint32 *rgba) override
    {
        m_page = page;
        const QImage view(reinterpret_cast<const uchar *>(rgba), page.width, page.rows,
                          qsizetype(page.width) * 4, QImage::Format_RGBA8888);
        addPicture(view);
    }

private:
    void addPicture(const QImage &image)
    {
        ++picturePages;
        if (m_options.raw) {
            m_sink(blackAndWhite(image, m_options.tone), m_options.resolution);
            return;
        }
        // Pixels that are not square (a 200 x 100 dpi scan) are made square first.
        QImage square = image;
        if (m_page.xDpi > 0 && m_page.yDpi > 0 && std::abs(m_page.xDpi - m_page.yDpi) > 1) {
            const int rows = std::max(1, int(std::lround(image.height() * m_page.xDpi /
                                                         m_page.yDpi)));
            square = image.convertToFormat(QImage::Format_ARGB32)
                         .scaled(image.width(), rows, Qt::IgnoreAspectRatio,
                                 Qt::SmoothTransformation);
        }
        m_sink(fitImage(square, m_options.resolution, m_options.tone), m_options.resolution);
    }

    const TiffOptions &m_options;
    const std::function<void(const QImage &, sff::Resolution)> &m_sink;
    faxtiff::TiffPage m_page;
    QImage m_image;
    int m_row = 0;
};

} // namespace

TiffInput readTiff(const QString &path, const TiffOptions &options,
                   const std::function<void(const QImage &page, sff::Resolution)> &sink)
{
    Sink pages(options, sink);
    faxtiff::ReadLimits limits;
    limits.maxWidth = options.maxWidth;
    limits.maxPagePixels = MaxPagePixels;
    limits.maxPicturePixels = MaxPagePixels;
    const faxtiff::TiffReadResult read =
        faxtiff::readTiffPages(path, pages, limits, options.first - 1, options.last - 1);
    TiffInput result;
    result.faxPages = pages.faxPages;
    result.picturePages = pages.picturePages;
    if (!read.ok)
        result.error = read.error;
    else if (options.first > read.pageCount || options.last > read.pageCount)
        result.error = QStringLiteral("the TIFF has %1 page%2; pages %3 to %4 were asked for")
                           .arg(read.pageCount)
                           .arg(read.pageCount == 1 ? "" : "s")
                           .arg(options.first)
                           .arg(options.last ? options.last : read.pageCount);
    return result;
}

} // namespace sfftool
