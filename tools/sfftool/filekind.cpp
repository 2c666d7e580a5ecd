#include "filekind.h"

#include "sff/reader.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>

namespace sfftool {

namespace {

struct Magic
{
    const char *bytes;
    int length;
    Kind kind;
    const char *description;
};

constexpr Magic magics[] = {
    {"Sfff", 4, Kind::Sff, "an SFF fax document"},
    {"%PDF-", 5, Kind::Pdf, "a PDF document"},
    {"II*\0", 4, Kind::Tiff, "a TIFF image"},
    {"MM\0*", 4, Kind::Tiff, "a TIFF image"},
    {"\x89PNG\r\n\x1a\n", 8, Kind::Image, "a PNG image"},
    {"\xff\xd8\xff", 3, Kind::Image, "a JPEG image"},
    {"GIF8", 4, Kind::Image, "a GIF image"},
    {"BM", 2, Kind::Image, "a BMP image"},
    {"P1", 2, Kind::Image, "a PBM image"},
    {"P4", 2, Kind::Image, "a PBM image"},
    {"P2", 2, Kind::Image, "a PGM image"},
    {"P5", 2, Kind::Image, "a PGM image"},
    {"P3", 2, Kind::Image, "a PPM image"},
    {"P6", 2, Kind::Image, "a PPM image"},
};

bool looksLikeText(const QByteArray &head)
{
    for (const char c : head) {
        const auto u = uchar(c);
        if (u < 0x20 && c != '\n' && c != '\r' && c != '\t')
            return false;
    }
    return true;
}

} // namespace

FileKind fileKind(const QString &path)
{
    FileKind found;
    found.problem = sff::notRegularFile(path);
    if (!found.problem.isEmpty())
        return found;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        found.problem = QStringLiteral("cannot read it: %1").arg(f.errorString());
        return found;
    }
    const QByteArray head = f.read(512);
    if (head.isEmpty()) {
        found.description = QStringLiteral("empty");
        return found;
    }
    for (const Magic &m : magics) {
        if (head.startsWith(QByteArrayView(m.bytes, m.length))) {
            found.kind = m.kind;
            found.description = QString::fromLatin1(m.description);
            return found;
        }
    }
    found.description = looksLikeText(head) ? QStringLiteral("text")
                                            : QStringLiteral("data of an unknown kind");
    return found;
}

} // namespace sfftool
