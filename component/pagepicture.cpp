#include "component/pagepicture.h"

#include "sff/format.h"
#include "sff/gui/render.h"

#include <QFile>
#include <QPainter>
#include <QtEndian>

#include <algorithm>

namespace quillon::component {

namespace {

// Lines kept of one page: a fine A4 page has about 2,300.
constexpr int kMaxLines = 4096;

} // namespace

PageImage readPage(const QString &path, qint64 pageOffset)
{
    QFile file(path);
    if (pageOffset < sff::DocumentHeaderSize || !file.open(QIODevice::ReadOnly))
        return {};
    // Only the one page is read: the document header, told that the first page starts right
    // after it, then the records from the page's header on.
    QByteArray header = file.read(sff::DocumentHeaderSize);
    if (header.size() != sff::DocumentHeaderSize || !file.seek(pageOffset))
        return {};
    qToLittleEndian<quint16>(sff::DocumentHeaderSize,
                             header.data() + sff::docfield::FirstPageOffset);

    sff::RenderOptions options;
    options.maxLines = kMaxLines;
    sff::PageRenderer renderer(options);
    PageImage result;
    renderer.onPage = [&result](int index, const QImage &page) {
        if (index == 0) {
            result.image = page;
            result.finished = true;
        }
    };
    sff::StreamReader reader;
    reader.setSink(&renderer);
    reader.feed(header);
    QByteArray block(16 * 1024, Qt::Uninitialized);
    while (!result.finished && !reader.stopped()) {
        const qint64 got = file.read(block.data(), block.size());
        if (got <= 0)
            break;
        reader.feed(QByteArrayView(block.constData(), got));
    }
    if (!result.finished)
        result.image = renderer.currentPage();
    return result;
}

QImage pagePicture(const PageImage &page, const QSize &size)
{
    if (page.image.isNull())
        return {};
    QImage picture = page.image.convertToFormat(QImage::Format_Grayscale8);
    if (!page.finished) {
        // A page still arriving: the lines that came, at the top of a blank A4 sheet.
        const int sheetHeight = std::max(picture.height(), picture.width() * 297 / 210);
        QImage sheet(picture.width(), sheetHeight, QImage::Format_Grayscale8);
        sheet.fill(Qt::white);
        QPainter painter(&sheet);
        painter.drawImage(0, 0, picture);
        painter.end();
        picture = sheet;
    }
    if (size.isEmpty())
        return picture;
    return picture.scaled(size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

} // namespace quillon::component
