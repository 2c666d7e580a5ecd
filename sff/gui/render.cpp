#include "sff/gui/render.h"

#include <QColor>

#include <algorithm>
#include <cstring>

namespace sff {

QImage blankPage(int width, int height)
{
    QImage image(width, height, QImage::Format_Mono);
    image.setColorTable({qRgb(255, 255, 255), qRgb(0, 0, 0)});
    image.fill(0);
    return image;
}

PageRenderer::PageRenderer(RenderOptions options) : m_options(options) {}

void PageRenderer::pageStarted(int index, const PageInfo &page)
{
    m_index = index;
    m_width = page.lineLength;
    m_bytesPerRow = (m_width + 7) / 8;
    m_maxRows = int(std::min<qint64>(m_options.maxLines, m_options.maxBytes / m_bytesPerRow));
    m_resolution = page.resolution;
    m_rows = 0;
    m_bits.clear();
}

void PageRenderer::line(LineKind kind, std::span<const int> runs)
{
    if (m_index < 0 || m_rows >= m_maxRows)
        return;
    m_bits.resize(qsizetype(m_rows + 1) * m_bytesPerRow);
    uchar *row = reinterpret_cast<uchar *>(m_bits.data()) + qsizetype(m_rows) * m_bytesPerRow;
    if (kind == LineKind::Illegal)
        std::memset(row, 0, size_t(m_bytesPerRow));
    else
        mh::runsToRow(runs, row, m_width);
    ++m_rows;
}

void PageRenderer::whiteLines(int count)
{
    if (m_index < 0)
        return;
    const int add = std::clamp(m_maxRows - m_rows, 0, count);
    m_rows += add;
    m_bits.append(qsizetype(add) * m_bytesPerRow, '\0');
}

void PageRenderer::pageFinished(int index, const PageInfo &)
{
    if (onPage)
        onPage(index, build());
}

QImage PageRenderer::currentPage() const
{
    if (m_index < 0)
        return {};
    return build();
}

QImage PageRenderer::build() const
{
    const int repeat =
        (m_options.aspect == Aspect::Square && m_resolution == Resolution::Standard) ? 2 : 1;
    QImage image = blankPage(m_width, std::max(1, m_rows * repeat));
    const auto *src = reinterpret_cast<const uchar *>(m_bits.constData());
    for (int y = 0; y < m_rows; ++y)
        for (int k = 0; k < repeat; ++k)
            std::memcpy(image.scanLine(y * repeat + k), src + qsizetype(y) * m_bytesPerRow,
                        size_t(m_bytesPerRow));
    return image;
}

QList<QImage> renderDocument(QByteArrayView data, const RenderOptions &options, DocumentInfo *info)
{
    QList<QImage> pages;
    PageRenderer renderer(options);
    renderer.onPage = [&pages](int, const QImage &page) { pages.append(page); };
    const DocumentInfo found = checkData(data, &renderer);
    if (info)
        *info = found;
    return pages;
}

QImage toMono(const QImage &image)
{
    if (image.isNull())
        return {};

    // 1-bit images keep their bits; only which index is black matters.
    if (image.format() == QImage::Format_Mono || image.format() == QImage::Format_MonoLSB) {
        const QImage msb = image.convertToFormat(QImage::Format_Mono);
        auto dark = [&msb](int index) {
            if (index >= msb.colorCount())
                return index == 1;
            const QRgb c = msb.color(index);
            return (qGray(c) * qAlpha(c) + 255 * (255 - qAlpha(c))) / 255 < 128;
        };
        const bool zeroBlack = dark(0);
        const bool oneBlack = dark(1);
        QImage mono = blankPage(msb.width(), msb.height());
        const int bytes = (msb.width() + 7) / 8;
        for (int y = 0; y < msb.height(); ++y) {
            const uchar *src = msb.constScanLine(y);
            uchar *dst = mono.scanLine(y);
            for (int i = 0; i < bytes; ++i)
                dst[i] = uchar((oneBlack ? src[i] : 0) | (zeroBlack ? ~src[i] : 0));
        }
        return mono;
    }

    const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
    QImage mono = blankPage(argb.width(), argb.height());
    for (int y = 0; y < argb.height(); ++y) {
        const auto *src = reinterpret_cast<const QRgb *>(argb.constScanLine(y));
        uchar *dst = mono.scanLine(y);
        for (int x = 0; x < argb.width(); ++x) {
            const int a = qAlpha(src[x]);
            // Grey composited over white paper.
            const int grey = (qGray(src[x]) * a + 255 * (255 - a)) / 255;
            if (grey < 128)
                dst[x >> 3] |= uchar(0x80 >> (x & 7));
        }
    }
    return mono;
}

} // namespace sff
