#pragma once

// Fax documents for the component tests, written with the SFF library.

#include "sff/reader.h"
#include "sff/gui/imagewriter.h"
#include "sff/gui/render.h"

#include <QFile>
#include <QImage>
#include <QPainter>
#include <QRandomGenerator>

namespace componenttest {

// A page with its number in large type and a pattern of boxes, so every page codes to a few
// data blocks and no two pages are alike.
inline QImage testPage(int number, int lines = 600)
{
    QImage page(1728, lines, QImage::Format_RGB32);
    page.fill(Qt::white);
    QPainter p(&page);
    QRandomGenerator rng(quint32(number) * 7919u);
    p.setPen(Qt::black);
    for (int i = 0; i < 120; ++i) {
        const int x = rng.bounded(1600);
        const int y = rng.bounded(lines - 40);
        p.drawRect(x, y, 8 + rng.bounded(120), 4 + rng.bounded(36));
    }
    QFont font = p.font();
    font.setPixelSize(lines / 4);
    p.setFont(font);
    p.drawText(page.rect(), Qt::AlignCenter, QStringLiteral("page %1").arg(number));
    return page;
}

inline QByteArray testDocument(int pages, sff::Resolution resolution = sff::Resolution::Standard,
                               int lines = 600)
{
    QList<QImage> images;
    for (int i = 1; i <= pages; ++i)
        images << testPage(i, lines);
    return sff::writeDocument(images, resolution);
}

inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

inline QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The pages of a document as images, for comparing two documents page by page.
inline QList<QImage> pagesOf(const QByteArray &document)
{
    return sff::renderDocument(document);
}

} // namespace componenttest
