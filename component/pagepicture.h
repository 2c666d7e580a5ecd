#pragma once

#include <QImage>
#include <QSize>
#include <QString>

namespace quillon::component {

// A page as far as it is known: every line of it, or the lines that came so far.
struct PageImage
{
    QImage image; // 1-bit, as the lines were drawn; null when nothing can be read
    bool finished = false;
};

// The page of an SFF file whose page header starts at pageOffset, drawn from its coded lines.
PageImage readPage(const QString &path, qint64 pageOffset);

// A page as the status window shows it, scaled to fit size: a page still arriving stands at
// the top of a blank A4 sheet. Null for a null page.
QImage pagePicture(const PageImage &page, const QSize &size);

} // namespace quillon::component
