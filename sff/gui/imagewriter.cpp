#include "sff/gui/imagewriter.h"

#include "sff/gui/render.h"

#include <QSaveFile>

namespace sff {

bool addPage(Writer &writer, const QImage &image, Resolution resolution)
{
    if (image.isNull())
        return false;
    const QImage mono = toMono(image);
    writer.beginPage(resolution, mono.width());
    for (int y = 0; y < mono.height(); ++y)
        writer.addRow(mono.constScanLine(y));
    writer.endPage();
    return true;
}

QByteArray writeDocument(const QList<QImage> &pages, Resolution resolution)
{
    Writer writer;
    for (const QImage &page : pages)
        addPage(writer, page, resolution);
    return writer.finish();
}

bool writeDocumentFile(const QString &path, const QList<QImage> &pages, Resolution resolution,
                       QString *error)
{
    for (qsizetype i = 0; i < pages.size(); ++i) {
        if (pages.at(i).isNull()) {
            if (error)
                *error = QStringLiteral("page %1 is an empty image").arg(i + 1);
            return false;
        }
    }
    const QByteArray data = writeDocument(pages, resolution);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size() || !file.commit()) {
        if (error)
            *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

} // namespace sff
