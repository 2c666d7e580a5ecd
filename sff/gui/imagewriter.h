#pragma once

#include "sff/writer.h"

#include <QImage>
#include <QList>
#include <QString>

// SFF documents from images.
namespace sff {

// A whole page from an image (any format; see toMono() for the colours): each image row is
// one line, the image width (at most 65535) is the line length. A null image adds nothing and
// returns false.
bool addPage(Writer &writer, const QImage &image, Resolution resolution);

// A document with one page per image, all at one resolution.
QByteArray writeDocument(const QList<QImage> &pages, Resolution resolution);

// Writes such a document to a file; false with a reason when it cannot be written.
bool writeDocumentFile(const QString &path, const QList<QImage> &pages, Resolution resolution,
                       QString *error = nullptr);

} // namespace sff
