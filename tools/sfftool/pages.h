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

// How grey levels become black and white.
enum class Tone {
    Dither,    // error diffusion: grey areas become dot patterns of their density
    Threshold, // a hard cut at mid grey
};

// Any image as a 1-bit fax page (see sff::toMono for the colours); transparent parts count
// as white paper.
QImage blackAndWhite(const QImage &image, Tone tone);

// An image with square pixels, scaled to the fax line width with the height that keeps its
// proportions at the resolution.
QImage fitImage(const QImage &image, sff::Resolution resolution, Tone tone);

} // namespace sfftool
