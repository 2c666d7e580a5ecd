#pragma once

#include "sff/format.h"

#include <QImage>
#include <QList>
#include <QString>

// Pages that sfftool makes: text on A4 pages, the test chart, and images fitted to the fax
// line width. All come out as 1-bit fax pages of 1728 pixels per line, one image row per
// fax line at the chosen resolution. Drawing text needs a QGuiApplication.
namespace sfftool {

// Fax lines of an A4 page (297 mm) at a resolution.
int a4Lines(sff::Resolution resolution);

// The text, word-wrapped onto as many A4 pages as it needs (at least one).
QList<QImage> textPages(const QString &text, sff::Resolution resolution);

// One A4 test chart: a title, test text in several sizes, and shapes that show how lines,
// curves, fine detail and grey tones come through.
QImage chartPage(sff::Resolution resolution);

// An image with square pixels, scaled to the fax line width with the height that keeps its
// proportions at the resolution.
QImage fitImage(const QImage &image, sff::Resolution resolution);

} // namespace sfftool
