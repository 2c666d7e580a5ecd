#include "pages.h"

#include "sff/gui/render.h"

#include <QFont>
#include <QFontMetrics>
#include <QPainter>
#include <QPainterPath>
#include <QTextLayout>

#include <cmath>

namespace sfftool {

namespace {

// Pages are laid out on a grid of about square pixels (203 x 196 dpi, 1728 x 2286 for A4)
// and drawn straight onto the fax lines: at 98 lpi the painter squeezes every drawing to
// half height, so text and shapes stay sharp instead of being scaled as pixels afterwards.
constexpr int Width = sff::A4LineLength;
constexpr int Margin = 110; // about 14 mm

QImage canvas(sff::Resolution resolution)
{
    QImage image(Width, a4Lines(resolution), QImage::Format_RGB32);
    image.fill(Qt::white);
    return image;
}

void setUp(QPainter &p, sff::Resolution resolution)
{
    p.scale(1.0, double(a4Lines(resolution)) / a4Lines(sff::Resolution::Fine));
    p.setPen(Qt::black);
}

QFont font(int pixelSize, bool bold = false, bool mono = false)
{
    QFont f(mono ? QStringLiteral("DejaVu Sans Mono") : QStringLiteral("DejaVu Sans"));
    f.setStyleHint(mono ? QFont::Monospace : QFont::SansSerif);
    f.setPixelSize(pixelSize);
    f.setBold(bold);
    // Fax pages are black and white: no grey edges to lose at the threshold.
    f.setStyleStrategy(QFont::NoAntialias);
    return f;
}

// Sets pixels of the fax page itself (not of the layout grid) inside a layout rectangle,
// so patterns keep their pixel size at both resolutions.
template <typename Black>
void pixelPattern(QImage &image, const QTransform &toPage, const QRect &layout, Black black)
{
    const QRect r = toPage.mapRect(layout) & image.rect();
    for (int y = r.top(); y <= r.bottom(); ++y) {
        auto *row = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = r.left(); x <= r.right(); ++x)
            if (black(x - r.left(), y - r.top()))
                row[x] = qRgb(0, 0, 0);
    }
}

// An ordered 4x4 dither of a grey level, 0 (white) to 16 (black).
bool dithered(int x, int y, int level)
{
    static const int bayer[4][4] = {{0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};
    return bayer[y & 3][x & 3] < level;
}

} // namespace

int a4Lines(sff::Resolution resolution)
{
    return resolution == sff::Resolution::Fine ? 2286 : 1143;
}

QList<QImage> textPages(const QString &text, sff::Resolution resolution)
{
    const QFont f = font(34); // about 12 pt
    const QFontMetrics metrics(f);
    const int lineHeight = metrics.lineSpacing();
    const int bottom = a4Lines(sff::Resolution::Fine) - Margin;
    const qreal width = Width - 2 * Margin;

    QList<QImage> pages{canvas(resolution)};
    auto painter = std::make_unique<QPainter>(&pages.last());
    setUp(*painter, resolution);
    painter->setFont(f);
    int y = Margin;

    QString body = text;
    body.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    for (const QString &paragraph : body.split(u'\n')) {
        QTextLayout layout(paragraph, f);
        layout.beginLayout();
        QList<QTextLine> lines;
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
            line.setLineWidth(width);
            lines.append(line);
        }
        layout.endLayout();
        const int count = std::max<int>(1, int(lines.size())); // an empty paragraph: a blank line
        for (int i = 0; i < count; ++i) {
            if (y + lineHeight > bottom) {
                painter.reset();
                pages.append(canvas(resolution));
                painter = std::make_unique<QPainter>(&pages.last());
                setUp(*painter, resolution);
                painter->setFont(f);
                y = Margin;
            }
            if (i < lines.size()) {
                QTextLine line = lines[i];
                line.draw(painter.get(), QPointF(Margin, y - line.y()));
            }
            y += lineHeight;
        }
    }
    painter.reset();
    for (QImage &page : pages)
        page = sff::toMono(page);
    return pages;
}

QImage chartPage(sff::Resolution resolution)
{
    QImage image = canvas(resolution);
    const int height = a4Lines(sff::Resolution::Fine);
    QPainter p(&image);
    setUp(p, resolution);

    // Frame and corner marks.
    p.setPen(QPen(Qt::black, 4));
    p.drawRect(QRect(Margin / 2, Margin / 2, Width - Margin, height - Margin));

    int y = Margin + 10;
    auto line = [&](const QString &text, const QFont &f) {
        p.setFont(f);
        const QFontMetrics m(f);
        p.drawText(QPoint(Margin, y + m.ascent()), text);
        y += m.lineSpacing();
    };

    line(QStringLiteral("QUILLON FAX TEST CHART"), font(84, true));
    line(QStringLiteral("Sample fax of the Quillon test console, %1 resolution (%2 lines per inch)")
             .arg(resolution == sff::Resolution::Fine ? QStringLiteral("fine")
                                                      : QStringLiteral("standard"))
             .arg(sff::linesPerInch(resolution)),
         font(30));
    y += 30;
    p.fillRect(Margin, y, Width - 2 * Margin, 6, Qt::black);
    y += 40;

    const QString pangram = QStringLiteral("The quick brown fox jumps over the lazy dog.");
    for (int size : {56, 42, 34, 26, 20}) {
        line(QStringLiteral("%1 px: %2").arg(size).arg(pangram), font(size));
        y += 6;
    }
    line(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZ 0123456789"), font(40, true));
    line(QStringLiteral("abcdefghijklmnopqrstuvwxyz  ÄÖÜ äöü ß  @ # % & ( ) [ ] / ?"), font(40));
    line(QStringLiteral("Fixed: 1l| 0O 5S 8B  -=+*:;,.\"'"), font(40, false, true));
    y += 40;

    // Shapes: circle with cross hairs, filled square, triangle, resolution fan.
    const int shapesTop = y;
    const int size = 380;
    p.setPen(QPen(Qt::black, 6));
    p.setBrush(Qt::NoBrush);
    const QRect circle(Margin + 20, shapesTop, size, size);
    p.drawEllipse(circle);
    p.setPen(QPen(Qt::black, 2));
    p.drawLine(circle.center().x(), circle.top() - 20, circle.center().x(), circle.bottom() + 20);
    p.drawLine(circle.left() - 20, circle.center().y(), circle.right() + 20, circle.center().y());
    p.drawEllipse(circle.center(), size / 4, size / 4);

    const int squareLeft = Margin + 20 + size + 60;
    p.fillRect(QRect(squareLeft, shapesTop + 40, 300, 300), Qt::black);
    p.fillRect(QRect(squareLeft + 100, shapesTop + 140, 100, 100), Qt::white);

    const int triLeft = squareLeft + 360;
    QPainterPath triangle;
    triangle.moveTo(triLeft, shapesTop + size);
    triangle.lineTo(triLeft + 170, shapesTop);
    triangle.lineTo(triLeft + 340, shapesTop + size);
    triangle.closeSubpath();
    p.setPen(QPen(Qt::black, 4));
    p.drawPath(triangle);

    const QPoint fanOrigin(Width - Margin - 20, shapesTop + size);
    p.setPen(QPen(Qt::black, 1));
    for (int i = 0; i <= 24; ++i) {
        const double a = M_PI / 2 + (M_PI / 2) * i / 24.0;
        p.drawLine(fanOrigin, fanOrigin + QPoint(int(300 * std::cos(a)), -int(300 * std::sin(a))));
    }
    y = shapesTop + size + 60;

    // Line widths: horizontal bars of 1 to 12 fax lines, vertical bars of 1 to 12 pixels.
    p.setFont(font(26));
    for (int w : {1, 2, 3, 4, 6, 8, 12}) {
        const int top = int(p.transform().map(QPointF(0, y)).y());
        pixelPattern(image, QTransform(), QRect(Margin + 190, top, 650, w),
                     [](int, int) { return true; });
        p.drawText(QPoint(Margin + 20, y + 12),
                   QStringLiteral("%1 line%2").arg(w).arg(w > 1 ? "s" : ""));
        y += 36;
    }
    int x = Margin + 900;
    for (int w : {1, 2, 3, 4, 6, 8, 12}) {
        pixelPattern(image, p.transform(), QRect(x, y - 36 * 7, w, 36 * 7 - 20),
                     [](int, int) { return true; });
        x += w + 40;
    }
    p.drawText(QPoint(Margin + 900, y + 12), QStringLiteral("1 to 12 pixels"));
    y += 40;

    // Grey tones by dithering, and a checkerboard of fine detail.
    const int patch = 150;
    for (int level = 0; level <= 16; level += 4) {
        const QRect r(Margin + 20 + (level / 4) * (patch + 20), y, patch, patch);
        pixelPattern(image, p.transform(), r,
                     [level](int px, int py) { return dithered(px, py, level); });
        p.setPen(QPen(Qt::black, 2));
        p.drawRect(r);
        p.drawText(QPoint(r.left(), r.bottom() + 34), QStringLiteral("%1 %").arg(level * 100 / 16));
    }
    const int boardLeft = Margin + 20 + 5 * (patch + 20) + 20;
    for (int cell : {2, 4, 8}) {
        const QRect r(boardLeft + (cell == 2 ? 0 : cell == 4 ? 170 : 340), y, patch, patch);
        pixelPattern(image, p.transform(), r,
                     [cell](int px, int py) { return (px / cell + py / cell) % 2 == 0; });
        p.drawText(QPoint(r.left(), r.bottom() + 34), QStringLiteral("%1 px").arg(cell));
    }
    y += patch + 80;

    p.setFont(font(34));
    const QRect para(Margin, y, Width - 2 * Margin, 400);
    QRect used;
    p.drawText(
        para, Qt::TextWordWrap,
        QStringLiteral("This page is the sample fax of the Quillon test console. The console sends "
                       "it to its own receiving endpoint, which writes what arrives to the "
                       "receive file. Compare the two: text of every size above should be "
                       "readable, the circle round, the bars sharp and the "
                       "grey patches even."),
        &used);
    y = used.bottom() + 60;
    line(QStringLiteral("If you can read this line, the fax came through."), font(40, true));
    line(QStringLiteral("Made by sfftool for the Quillon test console."), font(26));
    p.end();
    return sff::toMono(image);
}

QImage blackAndWhite(const QImage &image, Tone tone)
{
    if (image.isNull())
        return {};
    if (tone == Tone::Threshold || image.depth() == 1)
        return sff::toMono(image);
    // On white paper first, so transparency does not dither against black.
    QImage paper(image.size(), QImage::Format_RGB32);
    paper.fill(Qt::white);
    {
        QPainter p(&paper);
        p.drawImage(0, 0, image);
    }
    // Floyd-Steinberg error diffusion; exact black and white pass unchanged.
    return sff::toMono(paper.convertToFormat(QImage::Format_Mono, Qt::DiffuseDither));
}

QImage fitImage(const QImage &image, sff::Resolution resolution, Tone tone)
{
    // 203 pixels per inch across; 98 or 196 lines per inch down.
    const double lines =
        double(image.height()) * Width / image.width() * sff::linesPerInch(resolution) / 203.0;
    const QImage flat = image.convertToFormat(QImage::Format_ARGB32);
    return blackAndWhite(flat.scaled(Width, std::max(1, int(std::lround(lines))),
                                     Qt::IgnoreAspectRatio, Qt::SmoothTransformation),
                         tone);
}

} // namespace sfftool
