#include "component/pagepicture.h"

#include "sff/format.h"
#include "sff/gui/render.h"

#include <QFile>
#include <QPainter>
#include <QtEndian>

#include <algorithm>

namespace quillon::component {

QImage renderPagePicture(const QString &path, qint64 pageOffset, const QSize &size)
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
    options.maxLines = 4096;
    sff::PageRenderer renderer(options);
    QImage finished;
    renderer.onPage = [&finished](int index, const QImage &page) {
        if (index == 0)
            finished = page;
    };
    sff::StreamReader reader;
    reader.setSink(&renderer);
    reader.feed(header);
    QByteArray block(16 * 1024, Qt::Uninitialized);
    while (finished.isNull() && !reader.stopped()) {
        const qint64 got = file.read(block.data(), block.size());
        if (got <= 0)
            break;
        reader.feed(QByteArrayView(block.constData(), got));
    }
    QImage page = finished.isNull() ? renderer.currentPage() : finished;
    if (page.isNull())
        return page;
    page = page.convertToFormat(QImage::Format_Grayscale8);
    if (finished.isNull()) {
        // A page still arriving: the lines that came, at the top of a blank A4 sheet.
        const int sheetHeight = std::max(page.height(), page.width() * 297 / 210);
        QImage sheet(page.width(), sheetHeight, QImage::Format_Grayscale8);
        sheet.fill(Qt::white);
        QPainter painter(&sheet);
        painter.drawImage(0, 0, page);
        painter.end();
        page = sheet;
    }
    if (size.isEmpty())
        return page;
    return page.scaled(size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

} // namespace quillon::component
