#include "t30/headline.h"

#include "t30/font5x7.h"

namespace t30 {

namespace {

// Each font pixel is 3 pixels wide and 2 rows high at standard resolution (4 at fine), so the
// glyphs keep their shape at 204 x 98 dpi; a character cell is 6 font pixels wide.
constexpr int ScaleX = 3;
constexpr int CellWidth = (font5x7::Width + 1) * ScaleX;

} // namespace

int headLineRows(sff::Resolution resolution)
{
    return resolution == sff::Resolution::Fine ? 32 : 16;
}

QString headLineText(const HeadLine &head, int page, int pages, int columns)
{
    const QString left = QStringLiteral("%1  %2  %3")
                             .arg(head.time.toString(QStringLiteral("dd.MM.yyyy HH:mm")),
                                  head.stationId.left(20), head.text);
    const QString right = QStringLiteral("page %1 of %2").arg(page).arg(pages);
    const int room = columns - int(right.size()) - 2;
    if (room <= 0)
        return right.left(columns);
    return left.left(room).leftJustified(room + 2, QLatin1Char(' ')) + right;
}

QList<QByteArray> renderHeadLine(const HeadLine &head, int page, int pages, int lineLength,
                                 sff::Resolution resolution)
{
    const int rows = headLineRows(resolution);
    const int scaleY = rows / 8; // 7 font rows plus a blank one above, in the 4 mm
    const int stride = (lineLength + 7) / 8;
    QList<QByteArray> out(rows, QByteArray(stride, '\0'));
    const int margin = CellWidth; // one cell from the left edge
    const int columns = (lineLength - 2 * margin) / CellWidth;
    if (columns <= 0)
        return out;
    const QString text = headLineText(head, page, pages, columns);
    const std::u32string chars = text.toStdU32String();
    for (size_t i = 0; i < chars.size(); ++i) {
        const quint8 *g = font5x7::glyph(chars[i]);
        const int x0 = margin + int(i) * CellWidth;
        for (int col = 0; col < font5x7::Width; ++col) {
            for (int fy = 0; fy < font5x7::Height; ++fy) {
                if (!((g[col] >> fy) & 1))
                    continue;
                for (int dy = 0; dy < scaleY; ++dy) {
                    QByteArray &row = out[(fy + 1) * scaleY + dy - scaleY / 2];
                    for (int dx = 0; dx < ScaleX; ++dx) {
                        const int x = x0 + col * ScaleX + dx;
                        if (x < lineLength)
                            row[x / 8] = char(uchar(row[x / 8]) | (0x80 >> (x % 8)));
                    }
                }
            }
        }
    }
    return out;
}

} // namespace t30
