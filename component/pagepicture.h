#pragma once

#include <QImage>
#include <QSize>
#include <QString>

namespace quillon::component {

// The page of an SFF file whose page header starts at pageOffset, rendered from its coded
// lines and scaled to fit size; a page still being received shows the lines that came.
// A null image when nothing can be read.
QImage renderPagePicture(const QString &path, qint64 pageOffset, const QSize &size);

} // namespace quillon::component
