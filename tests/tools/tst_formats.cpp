// Faxes in and out of other formats through sfftool, run as a process: PDF documents made
// here with QPdfWriter and TIFF files made with libtiff, and the PDF and TIFF files sfftool
// writes read back with Poppler and libtiff.

#include "sff/mh.h"
#include "sff/reader.h"
#include "sff/gui/render.h"
#include "sff/gui/imagewriter.h"

#include "common/testenv.h"
#include "tools/sfftoolrun.h"

#include <poppler-qt6.h>

#include <QDir>
#include <QGuiApplication>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QProcess>
#include <QTemporaryDir>

#include <tiffio.h>

#include <cstring>
#include <functional>
#include <random>

namespace {

using sfftooltest::readFile;
using sfftooltest::Run;
using sfftooltest::sfftool;
using sfftooltest::writeFile;

// Share of black pixels of a 1-bit page inside a rectangle.
double blackShare(const QImage &page, const QRect &area)
{
    const QRect r = area & page.rect();
    if (r.isEmpty())
        return -1;
    qint64 black = 0;
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x)
            black += page.pixelIndex(x, y);
    return double(black) / (qint64(r.width()) * r.height());
}

// An A4 PDF of two pages, all in millimetres from the top left corner of the page:
// page 1: a black bar (20..80 x 20..30) and the word "FAX" in big letters (20..190 x 60..140);
// page 2: a grey square (40..140 x 40..140) of the given level.
void writeTestPdf(const QString &path, int grey)
{
    QPdfWriter writer(path);
    writer.setPageSize(QPageSize(QPageSize::A4));
    writer.setPageMargins(QMarginsF(0, 0, 0, 0));
    writer.setResolution(254); // 10 device units a millimetre
    QPainter p(&writer);
    p.fillRect(QRect(200, 200, 600, 100), Qt::black);
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setBold(true);
    font.setPixelSize(700);
    p.setFont(font);
    p.drawText(QRect(200, 600, 1700, 800), Qt::AlignLeft | Qt::AlignTop, QStringLiteral("FAX"));
    writer.newPage();
    QImage picture(100, 100, QImage::Format_RGB32);
    picture.fill(qRgb(grey, grey, grey));
    p.drawImage(QRect(400, 400, 1000, 1000), picture);
    p.end();
}

// A PDF built from its objects, with a correct cross-reference table.
QByteArray buildPdf(const QList<QByteArray> &objects, const QByteArray &trailer)
{
    QByteArray pdf = "%PDF-1.4\n";
    QList<qsizetype> offsets;
    for (qsizetype i = 0; i < objects.size(); ++i) {
        offsets.append(pdf.size());
        pdf += QByteArray::number(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
    }
    const qsizetype xref = pdf.size();
    pdf += "xref\n0 " + QByteArray::number(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (const qsizetype o : offsets)
        pdf += QByteArray::number(o).rightJustified(10, '0') + " 00000 n \n";
    pdf += "trailer\n<< /Size " + QByteArray::number(objects.size() + 1) + " /Root 1 0 R " +
           trailer + " >>\nstartxref\n" + QByteArray::number(xref) + "\n%%EOF\n";
    return pdf;
}

// Fax pixels of a millimetre position on an A4 PDF page made into a fax: the page width
// fills 1728 pixels; lines are 204/98 (or 204/196) times as high as pixels are wide.
QPoint faxPixel(double xmm, double ymm, int lpi)
{
    const double perMm = 1728.0 / 210.0;
    return QPoint(int(xmm * perMm), int(ymm * perMm * lpi / 204.0));
}

// A 1-bit page of runs of random length, solid black rows and white stretches.
QImage faxPage(int width, int height, unsigned seed)
{
    std::mt19937 rng(seed);
    QImage page = sff::blankPage(width, height);
    for (int y = 0; y < height; ++y) {
        const int kind = y % 13;
        if (kind < 3)
            continue;
        int x = 0;
        bool black = kind == 3;
        while (x < width) {
            const int run = kind == 3 ? width : 1 + int(rng() % (kind * 30));
            for (int i = x; i < std::min(width, x + run); ++i)
                page.setPixel(i, y, black ? 1 : 0);
            x += run;
            black = !black;
        }
    }
    return page;
}

bool samePixels(const QImage &a, const QImage &b)
{
    if (a.size() != b.size())
        return false;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x)
            if (a.pixelIndex(x, y) != b.pixelIndex(x, y))
                return false;
    return true;
}

int quietTiff(TIFF *, void *, const char *, const char *, va_list)
{
    return 1;
}

TIFF *openTiff(const QString &path, const char *mode)
{
    TIFFOpenOptions *opts = TIFFOpenOptionsAlloc();
    TIFFOpenOptionsSetErrorHandlerExtR(opts, quietTiff, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(opts, quietTiff, nullptr);
    TIFF *t = TIFFOpenExt(QFile::encodeName(path).constData(), mode, opts);
    TIFFOpenOptionsFree(opts);
    return t;
}

// How a test TIFF is written by libtiff's own encoders.
struct TiffSpec
{
    int compression = COMPRESSION_NONE;
    int g3options = 0;
    int fillOrder = FILLORDER_MSB2LSB;
    int photometric = PHOTOMETRIC_MINISWHITE; // for 1-bit pages
    int unit = RESUNIT_INCH;
    double xres = 204; // 0: no resolution tags
    QList<double> yres; // per page; the last one repeats
    bool tiled = false; // 1-bit pages in tiles of 64 x 64 instead of strips
};

bool writeTiles(TIFF *t, const QImage &image)
{
    constexpr int tile = 64;
    QByteArray data(TIFFTileSize(t), '\0');
    for (int ty = 0; ty < image.height(); ty += tile) {
        for (int tx = 0; tx < image.width(); tx += tile) {
            data.fill('\0');
            for (int y = ty; y < std::min(image.height(), ty + tile); ++y)
                std::memcpy(data.data() + (y - ty) * (tile / 8), image.constScanLine(y) + tx / 8,
                            std::min(tile, image.width() - tx + 7) / 8);
            if (TIFFWriteTile(t, data.data(), uint32_t(tx), uint32_t(ty), 0, 0) < 0)
                return false;
        }
    }
    return true;
}

// Pages as a TIFF: Format_Mono pages as 1-bit images, Grayscale8 as grey, others as RGB.
bool writeTiff(const QString &path, const QList<QImage> &pages, const TiffSpec &spec)
{
    TIFF *t = openTiff(path, "w");
    if (!t)
        return false;
    bool ok = true;
    for (int i = 0; i < pages.size(); ++i) {
        const bool mono = pages[i].format() == QImage::Format_Mono;
        const bool grey = pages[i].format() == QImage::Format_Grayscale8;
        const QImage image = mono || grey ? pages[i] : pages[i].convertToFormat(QImage::Format_RGB888);
        TIFFSetField(t, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
        TIFFSetField(t, TIFFTAG_IMAGEWIDTH, uint32_t(image.width()));
        TIFFSetField(t, TIFFTAG_IMAGELENGTH, uint32_t(image.height()));
        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, uint16_t(mono ? 1 : 8));
        TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, uint16_t(mono || grey ? 1 : 3));
        TIFFSetField(t, TIFFTAG_PHOTOMETRIC,
                     uint16_t(mono ? spec.photometric : grey ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB));
        TIFFSetField(t, TIFFTAG_PLANARCONFIG, uint16_t(PLANARCONFIG_CONTIG));
        TIFFSetField(t, TIFFTAG_FILLORDER, uint16_t(spec.fillOrder));
        TIFFSetField(t, TIFFTAG_COMPRESSION, uint16_t(spec.compression));
        if (spec.compression == COMPRESSION_CCITTFAX3)
            TIFFSetField(t, TIFFTAG_GROUP3OPTIONS, uint32_t(spec.g3options));
        if (spec.tiled) {
            TIFFSetField(t, TIFFTAG_TILEWIDTH, uint32_t(64));
            TIFFSetField(t, TIFFTAG_TILELENGTH, uint32_t(64));
        } else {
            TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, uint32_t(32));
        }
        if (spec.xres > 0) {
            TIFFSetField(t, TIFFTAG_XRESOLUTION, spec.xres);
            TIFFSetField(t, TIFFTAG_YRESOLUTION,
                         spec.yres.isEmpty() ? 98.0 : spec.yres.value(i, spec.yres.last()));
            TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, uint16_t(spec.unit));
        }
        TIFFSetField(t, TIFFTAG_PAGENUMBER, uint16_t(i), uint16_t(pages.size()));
        if (spec.tiled)
            ok = ok && writeTiles(t, image);
        QByteArray scan(TIFFScanlineSize(t), '\0');
        for (int y = 0; y < image.height() && ok && !spec.tiled; ++y) {
            std::memcpy(scan.data(), image.constScanLine(y), scan.size());
            if (mono && spec.photometric == PHOTOMETRIC_MINISBLACK)
                for (char &c : scan)
                    c = char(~uchar(c));
            ok = TIFFWriteScanline(t, scan.data(), uint32_t(y)) >= 0;
        }
        ok = ok && TIFFWriteDirectory(t);
    }
    TIFFClose(t);
    return ok;
}

// The pages of a 1-bit MinIsWhite TIFF as libtiff reads them.
QList<QImage> readTiffPages(const QString &path)
{
    QList<QImage> pages;
    TIFF *t = openTiff(path, "r");
    if (!t)
        return pages;
    do {
        uint32_t width = 0, length = 0;
        TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &width);
        TIFFGetField(t, TIFFTAG_IMAGELENGTH, &length);
        QImage page = sff::blankPage(int(width), int(length));
        for (uint32_t y = 0; y < length; ++y)
            if (TIFFReadScanline(t, page.scanLine(int(y)), y) < 0)
                return {};
        pages.append(page);
    } while (TIFFReadDirectory(t));
    TIFFClose(t);
    return pages;
}

// A file's bytes, written by a function that makes it.
QByteArray made(const QString &path, const std::function<bool(const QString &)> &make)
{
    return make(path) ? readFile(path) : QByteArray("not made");
}

} // namespace

class TestFormats : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString path(const QString &name) const { return m_dir.filePath(name); }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    // A two-page PDF with text and a picture becomes two fax pages that show both where the
    // PDF has them; grey is dithered unless the hard cut is asked for.
    void pdfToFax_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<int>("lpi");
        QTest::addColumn<double>("greyMin");
        QTest::addColumn<double>("greyMax");
        // Grey 100 of 255 is 61 % dark: dithered about that share, cut hard all black.
        QTest::newRow("standard, dithered") << QStringList{} << 98 << 0.5 << 0.72;
        QTest::newRow("fine, dithered") << QStringList{"--fine"} << 196 << 0.5 << 0.72;
        QTest::newRow("standard, threshold") << QStringList{"--threshold"} << 98 << 0.99 << 1.0;
    }
    void pdfToFax()
    {
        QFETCH(QStringList, options);
        QFETCH(int, lpi);
        QFETCH(double, greyMin);
        QFETCH(double, greyMax);
        const QString pdf = path(QStringLiteral("two-pages.pdf"));
        if (!QFile::exists(pdf))
            writeTestPdf(pdf, 100);
        const QString out = path(QStringLiteral("from-pdf.sff"));
        const Run r = sfftool(QStringList{"make", out, pdf} + options);
        QVERIFY2(r.exitCode == 0, qPrintable(r.err));
        QVERIFY2(r.out.contains(QStringLiteral("2 pages")), qPrintable(r.out));

        sff::DocumentInfo info;
        const QList<QImage> pages =
            sff::renderDocument(readFile(out), {sff::Aspect::AsCoded, 8192}, &info);
        QVERIFY(info.isValid());
        QCOMPARE(pages.size(), 2);
        const int a4Lines = int(297.0 * 1728 / 210 * lpi / 204);
        for (const QImage &page : pages) {
            QCOMPARE(page.width(), 1728);
            QVERIFY2(qAbs(page.height() - a4Lines) <= 2, qPrintable(QString::number(page.height())));
        }
        QCOMPARE(info.pages[0].resolution,
                 lpi == 196 ? sff::Resolution::Fine : sff::Resolution::Standard);

        // The bar, inside and around it.
        const QRect bar(faxPixel(22, 22, lpi), faxPixel(78, 28, lpi));
        QCOMPARE(blackShare(pages[0], bar), 1.0);
        QCOMPARE(blackShare(pages[0], QRect(faxPixel(100, 5, lpi), faxPixel(200, 50, lpi))), 0.0);
        // The letters: ink in the band they stand in, none below it.
        const double text = blackShare(pages[0], QRect(faxPixel(20, 62, lpi), faxPixel(150, 110, lpi)));
        QVERIFY2(text > 0.15 && text < 0.85, qPrintable(QString::number(text)));
        QCOMPARE(blackShare(pages[0], QRect(faxPixel(10, 160, lpi), faxPixel(200, 280, lpi))), 0.0);
        // The picture on page 2, and white paper around it.
        const double grey = blackShare(pages[1], QRect(faxPixel(45, 45, lpi), faxPixel(135, 135, lpi)));
        QVERIFY2(grey >= greyMin && grey <= greyMax, qPrintable(QString::number(grey)));
        QCOMPARE(blackShare(pages[1], QRect(faxPixel(10, 150, lpi), faxPixel(200, 280, lpi))), 0.0);
    }

    void pageRange_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("range");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<int>("pages");
        QTest::addColumn<QString>("err");
        for (const QString kind : {"pdf", "tiff"}) {
            const QByteArray name = kind.toUpper().toLatin1();
            QTest::newRow(name + ", second only") << kind << "2" << 0 << 1 << QString();
            QTest::newRow(name + ", from the first on") << kind << "1-" << 0 << 2 << QString();
            QTest::newRow(name + ", past the end")
                << kind << "2-5" << 1 << 0 << "the " + kind.toUpper() + " has 2 pages";
            QTest::newRow(name + ", backwards") << kind << "2-1" << 2 << 0 << "--pages takes";
        }
        QTest::newRow("page 0") << "pdf" << "0" << 2 << 0 << "--pages takes";
        QTest::newRow("TIFF, first page past the end")
            << "tiff" << "3-" << 1 << 0 << "the TIFF has 2 pages; pages 3 to 2";
    }
    void pageRange()
    {
        QFETCH(QString, kind);
        QFETCH(QString, range);
        QFETCH(int, exitCode);
        QFETCH(int, pages);
        QFETCH(QString, err);
        const QList<QImage> faxPages{faxPage(1728, 300, 21), faxPage(1728, 200, 22)};
        const QString in = path(QStringLiteral("range.") + kind);
        if (!QFile::exists(in)) {
            if (kind == u"pdf")
                writeTestPdf(in, 100);
            else
                QVERIFY(writeTiff(in, faxPages, {}));
        }
        const QString out = path(QStringLiteral("range.sff"));
        QFile::remove(out);
        const Run r = sfftool({"make", out, in, "--pages", range});
        QVERIFY2(r.exitCode == exitCode, qPrintable(r.err));
        QVERIFY2(r.err.contains(err), qPrintable(r.err));
        if (exitCode != 0) {
            QVERIFY(!QFile::exists(out));
            return;
        }
        const QList<QImage> made = sff::renderDocument(readFile(out), {sff::Aspect::AsCoded, 8192});
        QCOMPARE(made.size(), pages);
        if (range != u"2")
            return;
        // Page 2 alone: of the PDF the grey square, nothing in the bar's place.
        if (kind == u"pdf")
            QCOMPARE(blackShare(made[0], QRect(faxPixel(22, 22, 98), faxPixel(38, 28, 98))), 0.0);
        else
            QVERIFY(samePixels(made[0], faxPages[1]));
    }

    // Inputs that make no fax, each refused with its reason and without an output file.
    void refusedInputs_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("suffix");
        QTest::addColumn<QString>("err");
        const QList<QByteArray> pageTree{"<< /Type /Catalog /Pages 2 0 R >>",
                                         "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
                                         "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] >>"};
        const QByteArray key32 = QByteArray(32, '\x5a').toHex();
        QTest::newRow("encrypted PDF")
            << buildPdf(pageTree + QList<QByteArray>{"<< /Filter /Standard /V 1 /R 2 /O <" + key32 +
                                                     "> /U <" + key32 + "> /P -4 >>"},
                        "/Encrypt 4 0 R /ID [<0123456789abcdef0123456789abcdef> "
                        "<0123456789abcdef0123456789abcdef>]")
            << "pdf" << "encrypted and needs a password";
        QTest::newRow("PDF without pages")
            << buildPdf({"<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [] /Count 0 >>"},
                        {})
            << "pdf" << "has no pages";
        QTest::newRow("PDF header only") << QByteArray("%PDF-1.4\n") << "pdf" << "damaged";
        QTest::newRow("empty file") << QByteArray() << "png" << "cannot read the image";
        QTest::newRow("TIFF of an unknown compression")
            << made(path("unknown.tiff"),
                    [](const QString &file) {
                        TIFF *t = openTiff(file, "w");
                        TIFFSetField(t, TIFFTAG_IMAGEWIDTH, uint32_t(1728));
                        TIFFSetField(t, TIFFTAG_IMAGELENGTH, uint32_t(2));
                        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, uint16_t(1));
                        TIFFSetField(t, TIFFTAG_PHOTOMETRIC, uint16_t(PHOTOMETRIC_MINISWHITE));
                        TIFFSetField(t, TIFFTAG_COMPRESSION, uint16_t(60000));
                        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, uint32_t(2));
                        char strip[16] = {};
                        const bool ok = TIFFWriteRawStrip(t, 0, strip, sizeof strip) > 0;
                        TIFFClose(t);
                        return ok;
                    })
            << "tiff" << "compression 60000, which cannot be decoded";
        QTest::newRow("TIFF of no pages") << QByteArray("II*\0\0\0\0\0", 8) << "tiff"
                                          << "has no pages";
        QTest::newRow("TIFF 100,000 pixels wide")
            << made(path("wide.tiff"),
                    [](const QString &file) {
                        return writeTiff(file, {sff::blankPage(100000, 2)}, {});
                    })
            << "tiff" << "100000 pixels wide";
        const QByteArray g4 = made(path("whole.tiff"), [](const QString &file) {
            TiffSpec spec;
            spec.compression = COMPRESSION_CCITTFAX4;
            return writeTiff(file, {faxPage(1728, 400, 1)}, spec);
        });
        // libtiff writes the directory last: a file cut short has none.
        QTest::newRow("TIFF cut short") << g4.left(g4.size() / 2) << "tiff" << "cannot open";
    }
    void refusedInputs()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, suffix);
        QFETCH(QString, err);
        const QString in = path(QStringLiteral("refused.") + suffix);
        QVERIFY(writeFile(in, content));
        const QString out = path(QStringLiteral("refused.sff"));
        const Run r = sfftool({"make", out, in});
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.contains(err), qPrintable(r.err));
        QVERIFY(!QFile::exists(out));
    }

    // Half of a real PDF, and a picture far wider than any fax line.
    void refusedMadeInputs()
    {
        const QString whole = path(QStringLiteral("whole.pdf"));
        writeTestPdf(whole, 100);
        const QByteArray pdf = readFile(whole);
        QVERIFY(writeFile(path(QStringLiteral("truncated.pdf")), pdf.left(pdf.size() / 2)));
        Run r = sfftool({"make", path("cut.sff"), path("truncated.pdf")});
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.contains(QStringLiteral("damaged")), qPrintable(r.err));

        QImage wide(100000, 2, QImage::Format_Mono);
        wide.fill(0);
        QVERIFY(wide.save(path(QStringLiteral("wide.png"))));
        r = sfftool({"make", path("wide.sff"), path("wide.png")});
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.contains(QStringLiteral("100000 pixels wide")), qPrintable(r.err));
        QVERIFY(!QFile::exists(path("cut.sff")) && !QFile::exists(path("wide.sff")));
    }

    // Fax TIFFs as libtiff's encoders write them become fax pages pixel for pixel, each at
    // the resolution its own tags give.
    void tiffToFax_data()
    {
        QTest::addColumn<int>("compression");
        QTest::addColumn<int>("g3options");
        QTest::addColumn<int>("fillOrder");
        QTest::addColumn<int>("photometric");
        QTest::addColumn<int>("unit");
        QTest::addColumn<double>("xres");
        QTest::addColumn<QList<double>>("yres");
        QTest::addColumn<int>("width");
        QTest::addColumn<QList<int>>("fine"); // per page
        QTest::newRow("G3 1-D, standard")
            << COMPRESSION_CCITTFAX3 << 0 << FILLORDER_MSB2LSB << PHOTOMETRIC_MINISWHITE
            << RESUNIT_INCH << 204.0 << QList<double>{98} << 1728 << QList<int>{0, 0};
        QTest::newRow("G3 2-D, fill bits, LSB first, fine")
            << COMPRESSION_CCITTFAX3 << int(GROUP3OPT_2DENCODING | GROUP3OPT_FILLBITS)
            << FILLORDER_LSB2MSB << PHOTOMETRIC_MINISWHITE << RESUNIT_INCH << 204.0
            << QList<double>{196} << 1728 << QList<int>{1, 1, 1};
        QTest::newRow("G4, fine then standard, per cm, B4")
            << COMPRESSION_CCITTFAX4 << 0 << FILLORDER_MSB2LSB << PHOTOMETRIC_MINISWHITE
            << RESUNIT_CENTIMETER << 80.3 << QList<double>{77.2, 38.5} << 2048
            << QList<int>{1, 0};
        QTest::newRow("MH, 200 dpi scanner, min is black")
            << COMPRESSION_CCITTRLE << 0 << FILLORDER_MSB2LSB << PHOTOMETRIC_MINISBLACK
            << RESUNIT_INCH << 200.0 << QList<double>{100} << 1728 << QList<int>{0};
        QTest::newRow("uncompressed, no resolution")
            << COMPRESSION_NONE << 0 << FILLORDER_MSB2LSB << PHOTOMETRIC_MINISWHITE
            << RESUNIT_INCH << 0.0 << QList<double>{0} << 2432 << QList<int>{0};
    }
    void tiffToFax()
    {
        QFETCH(int, compression);
        QFETCH(int, g3options);
        QFETCH(int, fillOrder);
        QFETCH(int, photometric);
        QFETCH(int, unit);
        QFETCH(double, xres);
        QFETCH(QList<double>, yres);
        QFETCH(int, width);
        QFETCH(QList<int>, fine);
        QList<QImage> source;
        for (int i = 0; i < fine.size(); ++i)
            source.append(faxPage(width, 300 + 50 * i, unsigned(compression + i)));
        const TiffSpec spec{compression, g3options, fillOrder, photometric, unit, xres, yres};
        const QString in = path(QStringLiteral("fax.tiff"));
        QVERIFY(writeTiff(in, source, spec));
        const QString out = path(QStringLiteral("from-tiff.sff"));
        // --fine is for pictures: a fax page keeps its own resolution.
        const Run r = sfftool({"make", out, in, "--fine"});
        QVERIFY2(r.exitCode == 0, qPrintable(r.err));

        sff::DocumentInfo info;
        const QList<QImage> pages =
            sff::renderDocument(readFile(out), {sff::Aspect::AsCoded, 8192}, &info);
        QVERIFY(info.isValid());
        QCOMPARE(pages.size(), source.size());
        for (int i = 0; i < pages.size(); ++i) {
            QCOMPARE(info.pages[i].resolution, fine[i] ? sff::Resolution::Fine : sff::Resolution::Standard);
            QVERIFY2(samePixels(pages[i], source[i]), qPrintable(QStringLiteral("page %1").arg(i + 1)));
        }
    }

    // An SFF fax as TIFF Class F, as libtiff's own reader sees it, and back to the same fax.
    void faxToTiffAndBack()
    {
        const QList<QImage> source{faxPage(1728, 500, 11), faxPage(1728, 900, 12),
                                   faxPage(2048, 200, 13)};
        const sff::Resolution resolutions[] = {sff::Resolution::Standard, sff::Resolution::Fine,
                                               sff::Resolution::Standard};
        sff::Writer w;
        for (int i = 0; i < 3; ++i)
            sff::addPage(w, source[i], resolutions[i]);
        const QString in = path(QStringLiteral("totiff.sff"));
        QVERIFY(writeFile(in, w.finish()));
        const QString out = path(QStringLiteral("tiff/fax.tif"));
        QVERIFY(QDir().mkpath(path("tiff")) && writeFile(out, "an earlier file"));
        const Run r = sfftool({"convert", in, out});
        QVERIFY2(r.exitCode == 0, qPrintable(r.err));
        QVERIFY2(r.out.contains(QStringLiteral("3 pages")), qPrintable(r.out));
        QCOMPARE(QDir(path("tiff")).entryList(QDir::Files), QStringList{"fax.tif"});

        TIFF *t = openTiff(out, "r");
        QVERIFY(t);
        QCOMPARE(int(TIFFNumberOfDirectories(t)), 3);
        for (int i = 0; i < 3; ++i) {
            QVERIFY(TIFFSetDirectory(t, tdir_t(i)));
            uint16_t compression = 0, unit = 0, photometric = 0, pageNo = 0, pageCount = 0;
            uint32_t width = 0, length = 0, g3options = 0xffff;
            float xres = 0, yres = 0;
            TIFFGetField(t, TIFFTAG_COMPRESSION, &compression);
            TIFFGetField(t, TIFFTAG_GROUP3OPTIONS, &g3options);
            TIFFGetField(t, TIFFTAG_PHOTOMETRIC, &photometric);
            TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &width);
            TIFFGetField(t, TIFFTAG_IMAGELENGTH, &length);
            TIFFGetField(t, TIFFTAG_XRESOLUTION, &xres);
            TIFFGetField(t, TIFFTAG_YRESOLUTION, &yres);
            TIFFGetField(t, TIFFTAG_RESOLUTIONUNIT, &unit);
            TIFFGetField(t, TIFFTAG_PAGENUMBER, &pageNo, &pageCount);
            QCOMPARE(compression, uint16_t(COMPRESSION_CCITTFAX3));
            QCOMPARE(g3options & GROUP3OPT_2DENCODING, 0u); // 1-D coding
            QCOMPARE(photometric, uint16_t(PHOTOMETRIC_MINISWHITE));
            QCOMPARE(int(width), source[i].width());
            QCOMPARE(int(length), source[i].height());
            QCOMPARE(xres, 204.0f);
            QCOMPARE(yres, resolutions[i] == sff::Resolution::Fine ? 196.0f : 98.0f);
            QCOMPARE(unit, uint16_t(RESUNIT_INCH));
            QCOMPARE(int(pageNo), i);
            QCOMPARE(int(pageCount), 3);
            QByteArray scan(TIFFScanlineSize(t), '\0');
            const int bytes = (source[i].width() + 7) / 8;
            for (int y = 0; y < int(length); ++y) {
                QVERIFY(TIFFReadScanline(t, scan.data(), uint32_t(y)) >= 0);
                QVERIFY2(std::memcmp(scan.constData(), source[i].constScanLine(y), bytes) == 0,
                         qPrintable(QStringLiteral("page %1, row %2").arg(i + 1).arg(y)));
            }
        }
        TIFFClose(t);

        const QString back = path(QStringLiteral("back.sff"));
        const Run again = sfftool({"make", back, out});
        QVERIFY2(again.exitCode == 0, qPrintable(again.err));
        sff::DocumentInfo info;
        const QList<QImage> pages =
            sff::renderDocument(readFile(back), {sff::Aspect::AsCoded, 8192}, &info);
        QCOMPARE(pages.size(), 3);
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(info.pages[i].resolution, resolutions[i]);
            QVERIFY(samePixels(pages[i], source[i]));
        }
    }

    // Of a fax with a fault, TIFF gets what could be read, and the exit status says it was
    // not all: a line that does not decode comes as far as it decoded, a cut comes up to it.
    void faultyFaxToTiff_data()
    {
        QTest::addColumn<bool>("cut");
        QTest::newRow("a line that does not decode") << false;
        QTest::newRow("cut short in a line") << true;
    }
    void faultyFaxToTiff()
    {
        QFETCH(bool, cut);
        const QImage first = faxPage(1728, 300, 31);
        const QImage second = faxPage(1728, 200, 32);
        sff::Writer w;
        sff::addPage(w, first, sff::Resolution::Standard);
        w.beginPage(sff::Resolution::Fine);
        QImage expected = sff::blankPage(1728, cut ? 199 : 201);
        for (int y = 0, to = 0; y < 200; ++y, ++to) {
            if (y == 100 && !cut) {
                const int broken[] = {100, 50}; // 150 of 1728 pixels
                w.addCodedLine(sff::mh::encodeRuns(broken));
                for (int x = 100; x < 150; ++x)
                    expected.setPixel(x, to, 1);
                ++to;
            }
            w.addRow(second.constScanLine(y));
            if (to < expected.height())
                std::memcpy(expected.scanLine(to), second.constScanLine(y), 1728 / 8);
        }
        QByteArray doc = w.finish();
        if (cut)
            doc.chop(3); // the end record and the last byte of the last line
        const QString in = path(QStringLiteral("faulty.sff"));
        QVERIFY(writeFile(in, doc));
        const QString out = path(QStringLiteral("faulty.tiff"));
        const Run r = sfftool({"convert", in, out});
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.contains(QStringLiteral("only what could be read was converted")),
                 qPrintable(r.err));
        const QList<QImage> pages = readTiffPages(out);
        QCOMPARE(pages.size(), 2);
        QVERIFY(samePixels(pages[0], first));
        QCOMPARE(pages[1].height(), expected.height());
        QVERIFY(samePixels(pages[1], expected));
    }

    // TIFFs that are no fax pages (grey, colour, a scan of other dots per inch) are pictures:
    // scaled to the fax line with their proportions and dithered. The left half of each is
    // black, the right half grey or white.
    void tiffPictures_data()
    {
        QTest::addColumn<int>("kind"); // 0 grey, 1 RGB, 2 1-bit, 3 1-bit in tiles
        QTest::addColumn<QSize>("size");
        QTest::addColumn<double>("xres");
        QTest::addColumn<double>("yres");
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<int>("lines");
        QTest::addColumn<double>("rightMin");
        QTest::addColumn<double>("rightMax");
        // Grey 100 of 255 is 61 % dark: dithered about that share, cut hard all black.
        QTest::newRow("grey, dithered") << 0 << QSize(800, 600) << 100.0 << 100.0 << QStringList{}
                                        << 625 << 0.5 << 0.72;
        QTest::newRow("grey, threshold, fine")
            << 0 << QSize(800, 600) << 100.0 << 100.0 << QStringList{"--threshold", "--fine"}
            << 1251 << 0.99 << 1.0;
        QTest::newRow("colour, dithered") << 1 << QSize(864, 400) << 0.0 << 0.0 << QStringList{}
                                          << 386 << 0.5 << 0.72;
        QTest::newRow("1-bit at 300 dpi") << 2 << QSize(2480, 1000) << 300.0 << 300.0
                                          << QStringList{} << 336 << 0.0 << 0.0;
        QTest::newRow("1-bit fax width at 391 lpi")
            << 2 << QSize(1728, 800) << 204.0 << 391.0 << QStringList{} << 201 << 0.0 << 0.0;
        QTest::newRow("1-bit fax page in tiles") << 3 << QSize(1728, 800) << 204.0 << 196.0
                                                 << QStringList{} << 402 << 0.0 << 0.0;
    }
    void tiffPictures()
    {
        QFETCH(int, kind);
        QFETCH(QSize, size);
        QFETCH(double, xres);
        QFETCH(double, yres);
        QFETCH(QStringList, options);
        QFETCH(int, lines);
        QFETCH(double, rightMin);
        QFETCH(double, rightMax);
        QImage picture;
        if (kind >= 2) {
            picture = sff::blankPage(size.width(), size.height());
            for (int y = 0; y < size.height(); ++y)
                std::memset(picture.scanLine(y), 0xff, size.width() / 16);
        } else {
            picture = QImage(size, kind == 0 ? QImage::Format_Grayscale8 : QImage::Format_RGB32);
            picture.fill(QColor(100, 100, 100));
            QPainter(&picture).fillRect(0, 0, size.width() / 2, size.height(), Qt::black);
        }
        TiffSpec spec;
        spec.compression = kind >= 2 ? COMPRESSION_CCITTFAX4 : COMPRESSION_LZW;
        spec.tiled = kind == 3;
        spec.xres = xres;
        spec.yres = {yres};
        const QString in = path(QStringLiteral("picture.tiff"));
        QVERIFY(writeTiff(in, {picture}, spec));
        const QString out = path(QStringLiteral("picture.sff"));
        const Run r = sfftool(QStringList{"make", out, in} + options);
        QVERIFY2(r.exitCode == 0, qPrintable(r.err));
        const QList<QImage> pages = sff::renderDocument(readFile(out), {sff::Aspect::AsCoded, 8192});
        QCOMPARE(pages.size(), 1);
        const QImage &page = pages[0];
        QCOMPARE(page.width(), 1728);
        QVERIFY2(qAbs(page.height() - lines) <= 2, qPrintable(QString::number(page.height())));
        const int h = page.height();
        QVERIFY(blackShare(page, QRect(40, h / 10, 780, h * 8 / 10)) > 0.99);
        const double right = blackShare(page, QRect(910, h / 10, 780, h * 8 / 10));
        QVERIFY2(right >= rightMin && right <= rightMax, qPrintable(QString::number(right)));
    }

    // A fax as PDF: a page per fax page at the fax's physical size, showing the fax.
    void faxToPdf()
    {
        sff::Writer w;
        QImage marked = sff::blankPage(1728, 400);
        for (int y = 0; y < 200; ++y) // the top left quarter black
            std::memset(marked.scanLine(y), 0xff, 864 / 8);
        sff::addPage(w, marked, sff::Resolution::Standard);
        sff::addPage(w, sff::blankPage(1728, 1000), sff::Resolution::Fine);
        const QString in = path(QStringLiteral("topdf.sff"));
        QVERIFY(writeFile(in, w.finish()));
        const QString out = path(QStringLiteral("out/fax.pdf"));
        const Run r = sfftool({"convert", in, out});
        QVERIFY2(r.exitCode == 0, qPrintable(r.err));
        QVERIFY2(r.out.contains(QStringLiteral("2 pages")), qPrintable(r.out));

        const std::unique_ptr<Poppler::Document> doc = Poppler::Document::load(out);
        QVERIFY(doc);
        QCOMPARE(doc->numPages(), 2);
        const QSizeF expected[] = {{1728 * 72.0 / 204, 400 * 72.0 / 98},
                                   {1728 * 72.0 / 204, 1000 * 72.0 / 196}};
        for (int i = 0; i < 2; ++i) {
            const QSizeF size = doc->page(i)->pageSizeF();
            QVERIFY2(qAbs(size.width() - expected[i].width()) < 0.5 &&
                         qAbs(size.height() - expected[i].height()) < 0.5,
                     qPrintable(QStringLiteral("page %1: %2 x %3 points")
                                    .arg(i + 1)
                                    .arg(size.width())
                                    .arg(size.height())));
        }
        const QImage shown = doc->page(0)->renderToImage(36, 36).convertToFormat(QImage::Format_RGB32);
        QVERIFY(qGray(shown.pixel(shown.width() / 4, shown.height() / 4)) < 64);
        QVERIFY(qGray(shown.pixel(shown.width() * 3 / 4, shown.height() * 3 / 4)) > 192);

        const Run bad = sfftool({"convert", in, path("fax.doc")});
        QCOMPARE(bad.exitCode, 2);
        QVERIFY2(bad.err.contains(QStringLiteral("give OUT as")), qPrintable(bad.err));
    }
};

QUILLON_TEST_MAIN_IMPL(TestFormats, QGuiApplication)
#include "tst_formats.moc"
