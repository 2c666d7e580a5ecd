#include "sff/mh.h"

#include "common/testenv.h"
#include "sff/memtiff.h"

#include <QRandomGenerator>

namespace {

struct Page
{
    int width = 0;
    int lines = 0;
    QByteArray pixels; // packed rows back to back, (width + 7) / 8 bytes each
};

// Rows that stress a decoder: all white, all black, single pixels alternating, runs just
// under, at and over the make-up boundaries, a line that starts black, and random rows of
// every density.
Page edgeAndRandomRows(int width, quint32 seed)
{
    QRandomGenerator rng(seed);
    Page p;
    p.width = width;
    const int bytes = (width + 7) / 8;
    auto row = [&](auto black) {
        QByteArray r(bytes, '\0');
        for (int x = 0; x < width; ++x)
            if (black(x))
                r[x / 8] = char(uchar(r[x / 8]) | (0x80 >> (x % 8)));
        p.pixels += r;
        ++p.lines;
    };
    row([](int) { return false; });
    row([](int) { return true; });
    row([](int x) { return x % 2 == 1; });
    // Alternating from a black first pixel, but white at the end: libtiff's decoder keeps
    // room for only as many runs as the line has pixels (rounded up to 32), one fewer than
    // a line alternating to its end from black needs.
    row([width](int x) { return x % 2 == 0 && x < width - 2; });
    for (int run : {63, 64, 65, 127, 128, 1727, 1728, 1729, 2560, 2561, 2623, 2624})
        row([run](int x) { return (x / run) % 2 == 1; });
    row([](int x) { return x < 3; });
    for (int i = 0; i < 200; ++i) {
        const int density = rng.bounded(101);
        const int runLimit = 1 + rng.bounded(i % 2 ? 8 : 300);
        bool black = rng.bounded(2);
        int left = 0;
        row([&](int) {
            if (left == 0) {
                left = 1 + rng.bounded(runLimit);
                black = rng.bounded(100) < density;
            }
            --left;
            return black;
        });
    }
    return p;
}

QByteArray oursEncode(const Page &p)
{
    QByteArray coded;
    const int bytes = (p.width + 7) / 8;
    for (int y = 0; y < p.lines; ++y)
        sff::mh::encodeRow(reinterpret_cast<const uchar *>(p.pixels.constData()) + y * bytes,
                           p.width, coded);
    return coded;
}

// libtiff's coding of the page: the coded strip.
QByteArray libtiffEncode(const Page &p)
{
    memtiff::File file;
    TIFF *tif = file.open("w");
    memtiff::setFaxTags(tif, p.width, p.lines);
    const bool written = TIFFWriteEncodedStrip(tif, 0, const_cast<char *>(p.pixels.constData()),
                                               p.pixels.size()) == p.pixels.size();
    TIFFClose(tif);
    if (!written)
        return {};
    tif = file.open("r");
    QByteArray strip(qsizetype(TIFFRawStripSize(tif, 0)), '\0');
    const tmsize_t got = TIFFReadRawStrip(tif, 0, strip.data(), strip.size());
    TIFFClose(tif);
    return got == strip.size() ? strip : QByteArray();
}

// libtiff's decoding of a coded strip of the page's size.
QByteArray libtiffDecode(const Page &p, const QByteArray &coded)
{
    memtiff::File file;
    TIFF *tif = file.open("w");
    memtiff::setFaxTags(tif, p.width, p.lines);
    TIFFWriteRawStrip(tif, 0, const_cast<char *>(coded.constData()), coded.size());
    TIFFClose(tif);
    tif = file.open("r");
    QByteArray pixels(p.pixels.size(), '\0');
    const tmsize_t got = TIFFReadEncodedStrip(tif, 0, pixels.data(), pixels.size());
    TIFFClose(tif);
    return got == pixels.size() ? pixels : QByteArray();
}

// Our decoding of a strip of byte-aligned lines: each line starts where the last one ended.
QByteArray oursDecode(const Page &p, const QByteArray &coded, QString *fault)
{
    const int bytes = (p.width + 7) / 8;
    QByteArray pixels(p.pixels.size(), '\0');
    const auto *data = reinterpret_cast<const uchar *>(coded.constData());
    qsizetype at = 0;
    for (int y = 0; y < p.lines; ++y) {
        // The line's own bytes are unknown in a strip: decode with the rest, then step over
        // the codes it used, rounded up to a byte.
        const auto r = sff::mh::decodeRow(data + at, coded.size() - at, p.width,
                                          reinterpret_cast<uchar *>(pixels.data()) + y * bytes);
        if (r.status != sff::mh::Status::Ok && r.status != sff::mh::Status::TrailingData) {
            *fault = QStringLiteral("line %1: %2").arg(y).arg(r.message(p.width));
            return {};
        }
        at += (r.bitPos + 7) / 8;
    }
    return pixels;
}

} // namespace

class TestLibtiff : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { TIFFSetWarningHandler(nullptr); }

    void bothWays_data()
    {
        QTest::addColumn<int>("width");
        for (int width : {1728, 2048, 2432, 1, 7, 8, 9, 63, 64, 65, 1000, 2623, 2625, 5200})
            QTest::addRow("%d pixels", width) << width;
    }
    // Each codec decodes what the other encodes to the same pixels, and both code a row the
    // same way.
    void bothWays()
    {
        QFETCH(int, width);
        const Page page = edgeAndRandomRows(width, quint32(width) * 31 + 7);
        const QByteArray ours = oursEncode(page);
        const QByteArray theirs = libtiffEncode(page);
        QVERIFY(!theirs.isEmpty());

        QCOMPARE(libtiffDecode(page, ours).toHex(), page.pixels.toHex());
        QString fault;
        const QByteArray back = oursDecode(page, theirs, &fault);
        QVERIFY2(fault.isEmpty(), qPrintable(fault));
        QCOMPARE(back.toHex(), page.pixels.toHex());
        if (width <= 2623) // longer runs may be split into make-up codes either way
            QCOMPARE(ours.toHex(), theirs.toHex());
    }
};

QUILLON_TEST_GUILESS_MAIN(TestLibtiff)
#include "tst_libtiff.moc"
