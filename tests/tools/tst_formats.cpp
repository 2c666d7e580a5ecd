// Faxes in and out of other formats through sfftool, run as a process: PDF documents made
// here with QPdfWriter, and the PDF files sfftool writes read back with Poppler.

#include "sff/reader.h"
#include "sff/gui/render.h"
#include "sff/gui/imagewriter.h"

#include "common/testenv.h"
#include "tools/sfftoolrun.h"

#include <poppler-qt6.h>

#include <QGuiApplication>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QProcess>
#include <QTemporaryDir>

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

    void pdfPageRange_data()
    {
        QTest::addColumn<QString>("range");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<int>("pages");
        QTest::addColumn<QString>("err");
        QTest::newRow("second only") << "2" << 0 << 1 << QString();
        QTest::newRow("from the first on") << "1-" << 0 << 2 << QString();
        QTest::newRow("past the end") << "2-5" << 1 << 0 << "the PDF has 2 pages";
        QTest::newRow("backwards") << "2-1" << 2 << 0 << "--pages takes";
        QTest::newRow("page 0") << "0" << 2 << 0 << "--pages takes";
    }
    void pdfPageRange()
    {
        QFETCH(QString, range);
        QFETCH(int, exitCode);
        QFETCH(int, pages);
        QFETCH(QString, err);
        const QString pdf = path(QStringLiteral("range.pdf"));
        if (!QFile::exists(pdf))
            writeTestPdf(pdf, 100);
        const QString out = path(QStringLiteral("range.sff"));
        QFile::remove(out);
        const Run r = sfftool({"make", out, pdf, "--pages", range});
        QVERIFY2(r.exitCode == exitCode, qPrintable(r.err));
        QVERIFY2(r.err.contains(err), qPrintable(r.err));
        if (exitCode != 0) {
            QVERIFY(!QFile::exists(out));
            return;
        }
        const QList<QImage> made = sff::renderDocument(readFile(out), {sff::Aspect::AsCoded, 8192});
        QCOMPARE(made.size(), pages);
        // Page 2 alone is the grey square: nothing in the bar's place.
        if (range == u"2")
            QCOMPARE(blackShare(made[0], QRect(faxPixel(22, 22, 98), faxPixel(38, 28, 98))), 0.0);
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
