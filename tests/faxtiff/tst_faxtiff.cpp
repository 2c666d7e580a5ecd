#include "faxtiff/faxtiff.h"

#include "common/testenv.h"
#include "sff/reader.h"
#include "sff/writer.h"

#include <QTemporaryDir>
#include <QtTest>

#include <tiffio.h>

#include <memory>
#include <random>

namespace {

using Rows = QList<QByteArray>; // packed rows of one page

struct Page
{
    sff::Resolution resolution = sff::Resolution::Standard;
    int width = 1728;
    Rows rows;
};

// Rows with runs of random length, white rows in stretches (skip records) and a few solid
// black rows, so long make-up codes occur too.
Rows makeRows(int width, int count, unsigned seed)
{
    std::mt19937 rng(seed);
    const int stride = (width + 7) / 8;
    Rows rows;
    for (int r = 0; r < count; ++r) {
        QByteArray row(stride, '\0');
        const int kind = r % 17;
        if (kind < 4) {
            // white
        } else if (kind == 4) {
            row.fill(char(0xff));
        } else {
            int x = 0;
            bool black = false;
            while (x < width) {
                const int run = 1 + int(rng() % (kind * 40));
                for (int i = x; i < std::min(width, x + run); ++i)
                    if (black)
                        row[i / 8] = char(uchar(row[i / 8]) | (0x80 >> (i % 8)));
                x += run;
                black = !black;
            }
        }
        if (width % 8)
            row[stride - 1] = char(uchar(row[stride - 1]) & uchar(0xff << (8 - width % 8)));
        rows.append(row);
    }
    return rows;
}

QByteArray writeSff(const QList<Page> &pages)
{
    sff::Writer w;
    for (const Page &p : pages) {
        w.beginPage(p.resolution, p.width);
        for (const QByteArray &row : p.rows)
            w.addRow(reinterpret_cast<const uchar *>(row.constData()));
    }
    return w.finish();
}

// The pages of an SFF document as packed rows.
struct RowSink : sff::ReaderSink
{
    QList<Page> pages;
    void pageStarted(int, const sff::PageInfo &info) override
    {
        pages.append(Page{info.resolution, info.lineLength, {}});
    }
    void line(sff::LineKind, std::span<const int> runs) override
    {
        QByteArray row((pages.last().width + 7) / 8, '\0');
        sff::mh::runsToRow(runs, reinterpret_cast<uchar *>(row.data()), pages.last().width);
        pages.last().rows.append(row);
    }
    void whiteLines(int count) override
    {
        for (int i = 0; i < count; ++i)
            pages.last().rows.append(QByteArray((pages.last().width + 7) / 8, '\0'));
    }
};

QList<Page> readSff(const QByteArray &data)
{
    RowSink sink;
    const sff::DocumentInfo info = sff::checkData(data, &sink);
    if (info.error)
        qWarning() << info.error->toString();
    return sink.pages;
}

int quiet(TIFF *, void *, const char *, const char *, va_list)
{
    return 1;
}

TIFF *openQuiet(const QString &path, const char *mode)
{
    TIFFOpenOptions *opts = TIFFOpenOptionsAlloc();
    TIFFOpenOptionsSetErrorHandlerExtR(opts, quiet, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(opts, quiet, nullptr);
    TIFF *t = TIFFOpenExt(QFile::encodeName(path).constData(), mode, opts);
    TIFFOpenOptionsFree(opts);
    return t;
}

// Writes pages with libtiff's own encoder for a compression.
struct TiffSpec
{
    uint16_t compression = COMPRESSION_NONE;
    uint32_t g3options = 0;
    uint16_t photometric = PHOTOMETRIC_MINISWHITE;
    uint16_t fillOrder = FILLORDER_MSB2LSB;
    double yres = 98;
    uint16_t unit = RESUNIT_INCH;
    bool setYres = true;
    uint16_t bits = 1;
    uint16_t samples = 1;
};

// One page as the next directory of a file open for writing.
bool writePage(TIFF *t, const Page &p, const TiffSpec &spec)
{
    bool ok = true;
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, uint32_t(p.width));
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, uint32_t(p.rows.size()));
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, spec.bits);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, spec.samples);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, spec.photometric);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, uint16_t(PLANARCONFIG_CONTIG));
    TIFFSetField(t, TIFFTAG_FILLORDER, spec.fillOrder);
    TIFFSetField(t, TIFFTAG_COMPRESSION, spec.compression);
    if (spec.compression == COMPRESSION_CCITTFAX3)
        TIFFSetField(t, TIFFTAG_GROUP3OPTIONS, spec.g3options);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, uint32_t(64));
    if (spec.setYres) {
        TIFFSetField(t, TIFFTAG_YRESOLUTION, spec.yres);
        TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, spec.unit);
    }
    QByteArray scan(TIFFScanlineSize(t), '\0');
    for (int r = 0; r < p.rows.size(); ++r) {
        if (spec.bits == 1 && spec.samples == 1) {
            scan = p.rows[r];
            if (spec.photometric == PHOTOMETRIC_MINISBLACK)
                for (auto &c : scan)
                    c = char(~uchar(c));
        }
        ok = ok && TIFFWriteScanline(t, scan.data(), uint32_t(r)) >= 0;
    }
    ok = ok && TIFFWriteDirectory(t);
    return ok;
}

bool writeTiff(const QString &path, const QList<Page> &pages, const TiffSpec &spec)
{
    TIFF *t = openQuiet(path, "w");
    if (!t)
        return false;
    bool ok = true;
    for (const Page &p : pages)
        ok = ok && writePage(t, p, spec);
    TIFFClose(t);
    return ok;
}

// Pixels of a page, compared without the padding bits after the width.
bool samePixels(const Page &a, const Page &b)
{
    if (a.width != b.width || a.rows.size() != b.rows.size())
        return false;
    for (int r = 0; r < a.rows.size(); ++r)
        if (a.rows[r] != b.rows[r])
            return false;
    return true;
}

QList<Page> samplePages(int count, sff::Resolution res, int width, int rows, unsigned seed)
{
    QList<Page> pages;
    for (int i = 0; i < count; ++i)
        pages.append(Page{res, width, makeRows(width, rows + i, seed + i)});
    return pages;
}

} // namespace

class TestFaxTiff : public QObject
{
    Q_OBJECT

private slots:
    void sffToTiffToSff_data();
    void sffToTiffToSff();
    void specialRecords();
    void topRowsReplaceThePageTop();
    void libtiffEncodings_data();
    void libtiffEncodings();
    void resolutionFromTags_data();
    void resolutionFromTags();
    void refusals_data();
    void refusals();
    void recordsFromLaterPages();
    void pagesOfAGrowingFile();

private:
    QTemporaryDir m_dir;
};

void TestFaxTiff::sffToTiffToSff_data()
{
    QTest::addColumn<int>("coding");
    QTest::addColumn<int>("resolution");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("pages");
    QTest::newRow("MH standard A4 1 page") << 0 << 0 << 1728 << 1;
    QTest::newRow("MH fine A4 3 pages") << 0 << 1 << 1728 << 3;
    QTest::newRow("MH B4 width") << 0 << 0 << 2048 << 1;
    QTest::newRow("MH odd width") << 0 << 1 << 1001 << 2;
    QTest::newRow("T.4 1-D standard") << 1 << 0 << 1728 << 2;
    QTest::newRow("T.4 1-D fine A3 width") << 1 << 1 << 2432 << 1;
    QTest::newRow("T.4 1-D odd width") << 1 << 0 << 13 << 1;
}

void TestFaxTiff::sffToTiffToSff()
{
    QFETCH(int, coding);
    QFETCH(int, resolution);
    QFETCH(int, width);
    QFETCH(int, pages);
    const auto res = sff::Resolution(resolution);
    const QList<Page> source = samplePages(pages, res, width, 120, unsigned(width + pages));
    const QByteArray doc = writeSff(source);
    const QString path = m_dir.filePath(QStringLiteral("rt%1.tiff").arg(QTest::currentDataTag()));
    faxtiff::WriteOptions options;
    options.coding = coding ? faxtiff::TiffCoding::T4OneDim : faxtiff::TiffCoding::ModifiedHuffman;
    QString error;
    QVERIFY2(faxtiff::sffToTiff(doc, path, options, &error), qPrintable(error));

    // libtiff's own reader sees our tags and pixels.
    TIFF *t = openQuiet(path, "r");
    QVERIFY(t);
    QCOMPARE(int(TIFFNumberOfDirectories(t)), pages);
    for (int p = 0; p < pages; ++p) {
        QVERIFY(TIFFSetDirectory(t, tdir_t(p)));
        uint16_t comp = 0, fill = 0, unit = 0, pageNo = 0, pageTotal = 0;
        uint32_t w = 0, h = 0;
        float xres = 0, yres = 0;
        TIFFGetField(t, TIFFTAG_COMPRESSION, &comp);
        TIFFGetField(t, TIFFTAG_FILLORDER, &fill);
        TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &w);
        TIFFGetField(t, TIFFTAG_IMAGELENGTH, &h);
        TIFFGetField(t, TIFFTAG_XRESOLUTION, &xres);
        TIFFGetField(t, TIFFTAG_YRESOLUTION, &yres);
        TIFFGetField(t, TIFFTAG_RESOLUTIONUNIT, &unit);
        TIFFGetField(t, TIFFTAG_PAGENUMBER, &pageNo, &pageTotal);
        QCOMPARE(comp, coding ? uint16_t(COMPRESSION_CCITTFAX3) : uint16_t(COMPRESSION_CCITTRLE));
        QCOMPARE(fill, uint16_t(FILLORDER_LSB2MSB));
        QCOMPARE(int(w), width);
        QCOMPARE(int(h), source[p].rows.size());
        QCOMPARE(xres, 204.0f);
        QCOMPARE(yres, res == sff::Resolution::Fine ? 196.0f : 98.0f);
        QCOMPARE(unit, uint16_t(RESUNIT_INCH));
        QCOMPARE(int(pageNo), p);
        QCOMPARE(int(pageTotal), pages);
        QCOMPARE(int(TIFFNumberOfStrips(t)), source[p].rows.size());
        QByteArray scan(TIFFScanlineSize(t), '\0');
        for (int r = 0; r < int(h); ++r) {
            QVERIFY(TIFFReadScanline(t, scan.data(), uint32_t(r)) >= 0);
            QVERIFY2(scan == source[p].rows[r], qPrintable(QStringLiteral("row %1").arg(r)));
        }
    }
    // Each raw MH strip is the line's code as the SFF document held it.
    if (!coding) {
        QVERIFY(TIFFSetDirectory(t, 0));
        QByteArray raw(4096, '\0');
        for (int r = 0; r < 20; ++r) {
            const tmsize_t n = TIFFReadRawStrip(t, uint32_t(r), raw.data(), raw.size());
            QByteArray expected;
            sff::mh::encodeRow(reinterpret_cast<const uchar *>(source[0].rows[r].constData()),
                               width, expected);
            QCOMPARE(raw.left(n), expected);
        }
    }
    TIFFClose(t);

    QByteArray back;
    const faxtiff::TiffReadResult read = faxtiff::tiffToSff(path, &back);
    QVERIFY2(read.ok, qPrintable(read.error));
    const QList<Page> again = readSff(back);
    QCOMPARE(again.size(), pages);
    for (int p = 0; p < pages; ++p) {
        QCOMPARE(again[p].resolution, res);
        QVERIFY(samePixels(again[p], source[p]));
    }
}

void TestFaxTiff::specialRecords()
{
    // Skip records, an illegal line, user information and an escaped long line.
    sff::Writer w;
    w.beginPage(sff::Resolution::Standard, 1728);
    w.addWhiteLines(40);
    w.addIllegalLine();
    w.addUserInfo("note");
    std::vector<int> fine;
    for (int i = 0; i < 1728; ++i)
        fine.push_back(1); // one-pixel runs: a line longer than 216 bytes
    w.addRuns(fine);
    const QByteArray doc = w.finish();
    const QString path = m_dir.filePath(QStringLiteral("special.tiff"));
    QString error;
    QVERIFY2(faxtiff::sffToTiff(doc, path, {}, &error), qPrintable(error));
    QByteArray back;
    QVERIFY(faxtiff::tiffToSff(path, &back).ok);
    const QList<Page> pages = readSff(back);
    QCOMPARE(pages.size(), 1);
    QCOMPARE(pages[0].rows.size(), 42);
    const QByteArray white(216, '\0');
    for (int r = 0; r < 41; ++r)
        QCOMPARE(pages[0].rows[r], white);
    QCOMPARE(pages[0].rows[41], QByteArray(216, char(0x55)));

    // A document with a line that does not decode is refused with the reader's reason.
    sff::Writer bad;
    bad.beginPage(sff::Resolution::Standard, 1728);
    const int broken[] = {100, 50};
    bad.addCodedLine(sff::mh::encodeRuns(broken));
    QVERIFY(!faxtiff::sffToTiff(bad.finish(), path, {}, &error));
    QVERIFY2(error.contains(QStringLiteral("line 1")), qPrintable(error));
    QVERIFY(!faxtiff::sffToTiff(QByteArray("Sfff"), path, {}, &error));
}

void TestFaxTiff::topRowsReplaceThePageTop()
{
    const QList<Page> source = samplePages(2, sff::Resolution::Fine, 1728, 80, 7);
    const QString path = m_dir.filePath(QStringLiteral("top.tiff"));
    QList<int> calls;
    faxtiff::WriteOptions options;
    options.topRows = [&](int page, int count, int width, sff::Resolution res) {
        calls << page << count << width << int(res);
        return Rows(32, QByteArray(216, char(0xf0)));
    };
    QVERIFY(faxtiff::sffToTiff(writeSff(source), path, options));
    QCOMPARE(calls, (QList<int>{0, 2, 1728, 1, 1, 2, 1728, 1}));
    QByteArray back;
    QVERIFY(faxtiff::tiffToSff(path, &back).ok);
    const QList<Page> pages = readSff(back);
    for (int p = 0; p < 2; ++p) {
        QCOMPARE(pages[p].rows.size(), source[p].rows.size());
        for (int r = 0; r < pages[p].rows.size(); ++r)
            QCOMPARE(pages[p].rows[r], r < 32 ? QByteArray(216, char(0xf0)) : source[p].rows[r]);
    }
}

void TestFaxTiff::libtiffEncodings_data()
{
    QTest::addColumn<int>("compression");
    QTest::addColumn<int>("g3options");
    QTest::addColumn<int>("photometric");
    QTest::addColumn<int>("fillOrder");
    QTest::newRow("G3 1-D") << COMPRESSION_CCITTFAX3 << 0 << PHOTOMETRIC_MINISWHITE
                            << FILLORDER_MSB2LSB;
    QTest::newRow("G3 2-D, fill bits, LSB first")
        << COMPRESSION_CCITTFAX3 << int(GROUP3OPT_2DENCODING | GROUP3OPT_FILLBITS)
        << PHOTOMETRIC_MINISWHITE << FILLORDER_LSB2MSB;
    QTest::newRow("G4") << COMPRESSION_CCITTFAX4 << 0 << PHOTOMETRIC_MINISWHITE
                        << FILLORDER_MSB2LSB;
    QTest::newRow("RLE") << COMPRESSION_CCITTRLE << 0 << PHOTOMETRIC_MINISWHITE
                         << FILLORDER_MSB2LSB;
    QTest::newRow("none, min is black") << COMPRESSION_NONE << 0 << PHOTOMETRIC_MINISBLACK
                                        << FILLORDER_MSB2LSB;
    QTest::newRow("PackBits") << COMPRESSION_PACKBITS << 0 << PHOTOMETRIC_MINISWHITE
                              << FILLORDER_MSB2LSB;
    QTest::newRow("LZW, min is black") << COMPRESSION_LZW << 0 << PHOTOMETRIC_MINISBLACK
                                       << FILLORDER_MSB2LSB;
}

void TestFaxTiff::libtiffEncodings()
{
    QFETCH(int, compression);
    QFETCH(int, g3options);
    QFETCH(int, photometric);
    QFETCH(int, fillOrder);
    const QList<Page> source = samplePages(3, sff::Resolution::Standard, 1728, 60, 99);
    TiffSpec spec;
    spec.compression = uint16_t(compression);
    spec.g3options = uint32_t(g3options);
    spec.photometric = uint16_t(photometric);
    spec.fillOrder = uint16_t(fillOrder);
    const QString path = m_dir.filePath(QStringLiteral("enc%1.tiff").arg(compression));
    QVERIFY(writeTiff(path, source, spec));
    QByteArray doc;
    const faxtiff::TiffReadResult read = faxtiff::tiffToSff(path, &doc);
    QVERIFY2(read.ok, qPrintable(read.error));
    QCOMPARE(read.pages.size(), 3);
    QCOMPARE(read.pages[0].inverted, photometric == PHOTOMETRIC_MINISBLACK);
    const QList<Page> pages = readSff(doc);
    QCOMPARE(pages.size(), 3);
    for (int p = 0; p < 3; ++p)
        QVERIFY(samePixels(pages[p], source[p]));
}

void TestFaxTiff::resolutionFromTags_data()
{
    QTest::addColumn<double>("yres");
    QTest::addColumn<int>("unit");
    QTest::addColumn<bool>("set");
    QTest::addColumn<int>("expected");
    QTest::newRow("98 lpi") << 98.0 << int(RESUNIT_INCH) << true << 0;
    QTest::newRow("100 lpi") << 100.0 << int(RESUNIT_INCH) << true << 0;
    QTest::newRow("196 lpi") << 196.0 << int(RESUNIT_INCH) << true << 1;
    QTest::newRow("200 lpi") << 200.0 << int(RESUNIT_INCH) << true << 1;
    QTest::newRow("77.2 per cm") << 77.2 << int(RESUNIT_CENTIMETER) << true
                                                      << 1;
    QTest::newRow("38.5 per cm") << 38.5 << int(RESUNIT_CENTIMETER) << true << 0;
    QTest::newRow("300 lpi counts as fine") << 300.0 << int(RESUNIT_INCH) << true << 1;
    QTest::newRow("no tag") << 0.0 << int(RESUNIT_INCH) << false << 0;
}

void TestFaxTiff::resolutionFromTags()
{
    QFETCH(double, yres);
    QFETCH(int, unit);
    QFETCH(bool, set);
    QFETCH(int, expected);
    TiffSpec spec;
    spec.yres = yres;
    spec.unit = uint16_t(unit);
    spec.setYres = set;
    const QString path = m_dir.filePath(QStringLiteral("res.tiff"));
    QVERIFY(writeTiff(path, samplePages(1, sff::Resolution::Standard, 1728, 5, 1), spec));
    QByteArray doc;
    const faxtiff::TiffReadResult read = faxtiff::tiffToSff(path, &doc);
    QVERIFY(read.ok);
    QCOMPARE(int(read.pages[0].resolution), expected);
    QCOMPARE(int(readSff(doc)[0].resolution), expected);
}

void TestFaxTiff::refusals_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("reason");
    QTest::newRow("grey") << 0 << QStringLiteral("not bilevel");
    QTest::newRow("colour") << 1 << QStringLiteral("not bilevel");
    QTest::newRow("too wide") << 2 << QStringLiteral("pixels wide");
    QTest::newRow("too many pixels") << 3 << QStringLiteral("brings the pixels");
    QTest::newRow("not a TIFF") << 4 << QStringLiteral("cannot open");
    QTest::newRow("missing") << 5 << QStringLiteral("cannot open");
    QTest::newRow("tiled") << 6 << QStringLiteral("tiled");
}

void TestFaxTiff::refusals()
{
    QFETCH(int, kind);
    QFETCH(QString, reason);
    const QString path = m_dir.filePath(QStringLiteral("refuse%1.tiff").arg(kind));
    faxtiff::ReadLimits limits;
    TiffSpec spec;
    QList<Page> pages = samplePages(1, sff::Resolution::Standard, 1728, 4, 3);
    switch (kind) {
    case 0:
        spec.bits = 8;
        spec.photometric = PHOTOMETRIC_MINISBLACK;
        QVERIFY(writeTiff(path, pages, spec));
        break;
    case 1:
        spec.bits = 8;
        spec.samples = 3;
        spec.photometric = PHOTOMETRIC_RGB;
        QVERIFY(writeTiff(path, pages, spec));
        break;
    case 2:
        pages = {Page{sff::Resolution::Standard, 70000, Rows(2, QByteArray(8750, '\0'))}};
        QVERIFY(writeTiff(path, pages, spec));
        break;
    case 3:
        limits.maxPixels = 1728 * 3;
        QVERIFY(writeTiff(path, pages, spec));
        break;
    case 4: {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("Sfff this is no TIFF at all");
        break;
    }
    case 5:
        break;
    case 6: {
        TIFF *t = openQuiet(path, "w");
        TIFFSetField(t, TIFFTAG_IMAGEWIDTH, uint32_t(32));
        TIFFSetField(t, TIFFTAG_IMAGELENGTH, uint32_t(32));
        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, uint16_t(1));
        TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, uint16_t(1));
        TIFFSetField(t, TIFFTAG_PHOTOMETRIC, uint16_t(PHOTOMETRIC_MINISWHITE));
        TIFFSetField(t, TIFFTAG_TILEWIDTH, uint32_t(16));
        TIFFSetField(t, TIFFTAG_TILELENGTH, uint32_t(16));
        QByteArray tile(TIFFTileSize(t), '\0');
        for (uint32_t i = 0; i < 4; ++i)
            TIFFWriteEncodedTile(t, i, tile.data(), tile.size());
        TIFFClose(t);
        break;
    }
    }
    QByteArray doc = "untouched";
    const faxtiff::TiffReadResult read = faxtiff::tiffToSff(path, &doc, limits);
    QVERIFY(!read.ok);
    QVERIFY2(read.error.contains(reason), qPrintable(read.error));
    QCOMPARE(doc, QByteArray("untouched"));
}

void TestFaxTiff::recordsFromLaterPages()
{
    // A receiver streams pages as they complete: header, then each page's records, then the
    // end record make one valid document.
    const QList<Page> source = samplePages(3, sff::Resolution::Fine, 1728, 30, 5);
    const QString path = m_dir.filePath(QStringLiteral("stream.tiff"));
    QVERIFY(faxtiff::sffToTiff(writeSff(source), path));
    QByteArray doc = faxtiff::sffStreamHeader();
    QByteArray first, rest;
    QVERIFY(faxtiff::tiffPagesToSffRecords(path, 0, &first).ok);
    const faxtiff::TiffReadResult later = faxtiff::tiffPagesToSffRecords(path, 1, &rest);
    QVERIFY(later.ok);
    QCOMPARE(later.pages.size(), 2);
    QVERIFY(first.endsWith(rest));
    doc += first.left(first.size() - rest.size()) + rest + faxtiff::sffEndRecord();
    const sff::DocumentInfo info = sff::checkData(doc);
    QVERIFY(info.isValid());
    QVERIFY(info.endRecord);
    const QList<Page> pages = readSff(doc);
    QCOMPARE(pages.size(), 3);
    for (int p = 0; p < 3; ++p)
        QVERIFY(samePixels(pages[p], source[p]));
    // Asking past the last page is no error, just nothing.
    QByteArray none;
    const faxtiff::TiffReadResult past = faxtiff::tiffPagesToSffRecords(path, 3, &none);
    QVERIFY(past.ok);
    QVERIFY(none.isEmpty());
}

void TestFaxTiff::pagesOfAGrowingFile()
{
    // A reader that keeps the file open while its writer appends page after page gets each
    // page once, as it is written, and nothing while no page came.
    const QList<Page> source = samplePages(3, sff::Resolution::Standard, 1728, 40, 9);
    const QString path = m_dir.filePath(QStringLiteral("growing.tiff"));
    TIFF *writer = openQuiet(path, "w");
    QVERIFY(writer);
    std::unique_ptr<faxtiff::GrowingTiffReader> reader;
    QByteArray doc = faxtiff::sffStreamHeader();
    for (const Page &page : source) {
        QVERIFY(writePage(writer, page, TiffSpec{}));
        if (!reader)
            reader = std::make_unique<faxtiff::GrowingTiffReader>(path);
        QByteArray records;
        const faxtiff::TiffReadResult read = reader->readNewPages(&records);
        QVERIFY2(read.ok, qPrintable(read.error));
        QCOMPARE(read.pages.size(), 1);
        doc += records;
        QByteArray none;
        const faxtiff::TiffReadResult again = reader->readNewPages(&none);
        QVERIFY(again.ok);
        QVERIFY(again.pages.isEmpty() && none.isEmpty());
    }
    TIFFClose(writer);
    QCOMPARE(reader->pagesRead(), 3);
    const QList<Page> pages = readSff(doc + faxtiff::sffEndRecord());
    QCOMPARE(pages.size(), 3);
    for (int p = 0; p < 3; ++p)
        QVERIFY2(samePixels(pages[p], source[p]), qPrintable(QString::number(p + 1)));
}

QUILLON_TEST_GUILESS_MAIN(TestFaxTiff)
#include "tst_faxtiff.moc"
