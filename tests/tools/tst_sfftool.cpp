// sfftool run as a process, as an operator and the run script use it; its output read back
// with the library and, where it is installed, with Debian's independent reader sfftobmp.

#include "sff/reader.h"
#include "sff/gui/imagewriter.h"
#include "sff/gui/render.h"

#include "common/testenv.h"
#include "tools/sfftoolrun.h"

#include <QPainter>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

namespace {

using sfftooltest::readFile;
using sfftooltest::Run;
using sfftooltest::sfftool;
using sfftooltest::writeFile;

// Where C:\rest lands for this test (HOME and XDG are isolated per test run).
QString driveC(const QString &rest)
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/quillon-console/drives/c/") + rest;
}

// A binary PBM (P4) as a 1-bit image, black = 1.
QImage readPbm(const QString &path)
{
    const QByteArray data = readFile(path);
    qsizetype at = 0;
    QList<int> numbers;
    auto skipSpace = [&] {
        while (at < data.size()) {
            if (data[at] == '#')
                while (at < data.size() && data[at] != '\n')
                    ++at;
            else if (QChar::isSpace(uchar(data[at])))
                ++at;
            else
                break;
        }
    };
    if (!data.startsWith("P4"))
        return {};
    at = 2;
    while (numbers.size() < 2) {
        skipSpace();
        qsizetype start = at;
        while (at < data.size() && data[at] >= '0' && data[at] <= '9')
            ++at;
        if (start == at)
            return {};
        numbers.append(data.mid(start, at - start).toInt());
    }
    ++at; // the single white space before the pixels
    const int w = numbers[0], h = numbers[1];
    const int rowBytes = (w + 7) / 8;
    if (data.size() - at < qsizetype(rowBytes) * h)
        return {};
    QImage image = sff::blankPage(w, h);
    for (int y = 0; y < h; ++y)
        std::memcpy(image.scanLine(y), data.constData() + at + qsizetype(y) * rowBytes,
                    size_t(rowBytes));
    return image;
}

QString compareMono(const QImage &a, const QImage &b)
{
    if (a.size() != b.size())
        return QStringLiteral("sizes differ: %1x%2 and %3x%4")
            .arg(a.width())
            .arg(a.height())
            .arg(b.width())
            .arg(b.height());
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x)
            if (a.pixelIndex(x, y) != b.pixelIndex(x, y))
                return QStringLiteral("first difference at x %1, y %2").arg(x).arg(y);
    return {};
}

QImage picture(int w, int h)
{
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter p(&image);
    p.setBrush(Qt::black);
    p.drawEllipse(QRect(w / 4, h / 4, w / 2, h / 2));
    p.fillRect(0, 0, w, 3, Qt::black);
    return image;
}

} // namespace

class TestSffTool : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    QString path(const QString &name) const { return m_dir.filePath(name); }

    // sfftobmp's own reading of a document, page by page, one row per fax line.
    QList<QImage> viaSfftobmp(const QString &sffPath)
    {
        const QString sfftobmp = QStandardPaths::findExecutable(QStringLiteral("sfftobmp"));
        if (sfftobmp.isEmpty())
            return {};
        const QString outDir = path(QStringLiteral("pbm-") + QFileInfo(sffPath).baseName());
        QDir().mkpath(outDir);
        // Two inputs make sfftobmp take OUTSPEC as a folder, one PBM per page.
        QProcess p;
        p.start(sfftobmp, {QStringLiteral("-q"), QStringLiteral("-p"), QStringLiteral("-r"),
                           sffPath, QStringLiteral("-o"), outDir + QStringLiteral("/page.pbm")});
        if (!p.waitForFinished(60000) || p.exitCode() != 0) {
            qWarning() << "sfftobmp failed:" << p.readAllStandardError();
            return {};
        }
        QList<QImage> pages;
        QDir dir(outDir);
        for (const QString &name :
             dir.entryList({QStringLiteral("*.pbm")}, QDir::Files, QDir::Name))
            pages.append(readPbm(dir.filePath(name)));
        return pages;
    }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    // The run script's command: the sample lands under drive C: and is left alone later.
    void sampleAtDriveLetter()
    {
        const QString local = driveC(QStringLiteral("tmp/testfax.sff"));
        QVERIFY(!QFile::exists(local));
        Run r = sfftool({"make", "C:\\tmp\\testfax.sff", "--chart", "--if-missing"});
        QCOMPARE(r.exitCode, 0);
        QVERIFY2(r.out.contains(QStringLiteral("wrote C:\\tmp\\testfax.sff")), qPrintable(r.out));
        const sff::DocumentInfo info = sff::checkFile(local);
        QVERIFY(info.isValid());
        QCOMPARE(info.pages.size(), 1);
        QCOMPARE(info.pages[0].resolution, sff::Resolution::Standard);
        QCOMPARE(info.pages[0].lineLength, 1728);
        QCOMPARE(info.pages[0].lines, 1143);

        QVERIFY(writeFile(local, "kept"));
        r = sfftool({"make", "C:\\tmp\\testfax.sff", "--chart", "--if-missing"});
        QCOMPARE(r.exitCode, 0);
        QVERIFY(r.out.contains(QStringLiteral("left as it is")));
        r = sfftool({"sample", "C:/tmp/testfax.sff", "--if-missing"});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(readFile(local), QByteArray("kept"));

        r = sfftool({"sample", "C:\\tmp\\other\\fax.sff", "--fine"}); // a new folder
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(sff::checkFile(driveC(QStringLiteral("tmp/other/fax.sff"))).pages[0].lines, 2286);
    }

    void sfftobmpReadsSample_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("standard") << QStringList{"--chart"};
        QTest::newRow("fine") << QStringList{"--chart", "--fine"};
        QTest::newRow("text, two pages")
            << QStringList{"--text", QStringLiteral("Zeile mit Umlauten: äöü ß\n").repeated(70)};
    }
    void sfftobmpReadsSample()
    {
        QFETCH(QStringList, args);
        if (QStandardPaths::findExecutable(QStringLiteral("sfftobmp")).isEmpty())
            QSKIP("sfftobmp is not installed (Debian package sfftobmp); the independent "
                  "reader cannot be checked");
        const QString file = path(QStringLiteral("sample-%1.sff").arg(QTest::currentDataTag()));
        const Run r = sfftool(QStringList{"make", file} + args);
        QCOMPARE(r.exitCode, 0);
        const QList<QImage> ours =
            sff::renderDocument(readFile(file), {sff::Aspect::AsCoded, 8192});
        const QList<QImage> theirs = viaSfftobmp(file);
        QVERIFY(!ours.isEmpty());
        QCOMPARE(theirs.size(), ours.size());
        for (qsizetype i = 0; i < ours.size(); ++i) {
            const QString diff = compareMono(ours[i], theirs[i]);
            QVERIFY2(diff.isEmpty(), qPrintable(QStringLiteral("page %1: ").arg(i + 1) + diff));
        }
    }

    // Every run length of both colours, 0 to 1728, in A4 lines: every terminating and make-up
    // code goes through the independent reader. (sfftobmp 3.1.3 shows lines with extended
    // make-up codes, runs of 1792 and more, as white; those codes are checked as vectors in
    // tst_sff_mh.)
    void sfftobmpReadsEveryRunLength()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("sfftobmp")).isEmpty())
            QSKIP("sfftobmp is not installed (Debian package sfftobmp); the independent "
                  "reader cannot be checked");
        const int width = 1728;
        sff::Writer w;
        w.beginPage(sff::Resolution::Fine, width);
        for (int r = 0; r <= width; ++r)
            w.addRuns(std::vector<int>{r, width - r}); // white r, black width - r
        const QByteArray doc = w.finish();
        const QString file = path(QStringLiteral("runs.sff"));
        QVERIFY(writeFile(file, doc));
        const QList<QImage> ours = sff::renderDocument(doc, {sff::Aspect::AsCoded, 8192});
        const QList<QImage> theirs = viaSfftobmp(file);
        QCOMPARE(ours.size(), 1);
        QCOMPARE(theirs.size(), 1);
        QCOMPARE(ours[0].height(), width + 1);
        const QString diff = compareMono(ours[0], theirs[0]);
        QVERIFY2(diff.isEmpty(), qPrintable(diff));
    }

    void info_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("err");
        QTest::newRow("valid") << QStringList{"info", "@good"} << 0
                               << "page 2: fine (196 lpi), 1728 pixels a line, 100 lines"
                               << QString();
        QTest::newRow("not SFF: text") << QStringList{"info", "@text"} << 1
                                       << "kind: text, not an SFF document"
                                       << "not an SFF document; it appears to be text";
        QTest::newRow("not SFF: PNG") << QStringList{"info", "@picture"} << 1
                                      << "kind: a PNG image, not an SFF document"
                                      << "it appears to be a PNG image";
        QTest::newRow("not SFF: empty") << QStringList{"info", "@empty"} << 1 << "kind: empty"
                                        << "it appears to be empty";
        QTest::newRow("folder") << QStringList{"info", "@folder"} << 1 << QString()
                                << "a folder, not a file";
        QTest::newRow("device") << QStringList{"info", "/dev/zero"} << 1 << QString()
                                << "a device, not a regular file";
        QTest::newRow("render a folder")
            << QStringList{"render", "@folder", "@rendered"} << 1 << QString()
            << "a folder, not a file";
        QTest::newRow("render a text file")
            << QStringList{"render", "@text", "@rendered"} << 1 << QString()
            << "not an SFF document";
        QTest::newRow("bad line") << QStringList{"info", "@badline"} << 1 << "bad lines: 1"
                                  << "page 1, line 1: line ends early";
        QTest::newRow("missing") << QStringList{"info", "@missing"} << 1 << QString()
                                 << "no such file";
        QTest::newRow("no file named")
            << QStringList{"info"} << 2 << QString() << "missing arguments";
        QTest::newRow("unknown option")
            << QStringList{"info", "--frob", "x"} << 2 << QString() << "Unknown option '--frob'";
        QTest::newRow("unknown option with a value")
            << QStringList{"render", "--max=3", "x", "y"} << 2 << QString()
            << "Unknown option '--max'";
        QTest::newRow("help") << QStringList{"info", "--help"} << 0 << "Usage: sfftool info"
                              << QString();
        QTest::newRow("help command")
            << QStringList{"help", "make"} << 0 << "--text-file" << QString();
        QTest::newRow("general help")
            << QStringList{"--help"} << 0 << "render FILE DIR" << QString();
        QTest::newRow("unknown command")
            << QStringList{"frob"} << 2 << QString() << "unknown command 'frob'";
        QTest::newRow("render without folder")
            << QStringList{"render", "@good"} << 2 << QString() << "missing arguments";
        QTest::newRow("make without source")
            << QStringList{"make", "@new"} << 2 << QString() << "nothing to make";
        QTest::newRow("make with two sources")
            << QStringList{"make", "@new", "--chart", "--text", "x"} << 2 << QString()
            << "give only one of";
        QTest::newRow("make from a missing image")
            << QStringList{"make", "@new", "@missing"} << 1 << QString() << "no such file";
        QTest::newRow("make from an empty text")
            << QStringList{"make", "@new", "--text", ""} << 2 << QString() << "the text is empty";
        QTest::newRow("make from a blank text")
            << QStringList{"make", "@new", "--text", " \n "} << 2 << QString()
            << "the text is empty";
        QTest::newRow("make with --pages of no PDF")
            << QStringList{"make", "@new", "@picture", "--pages", "1"} << 2 << QString()
            << "--pages picks pages of PDF files";
        QTest::newRow("render bound not a number")
            << QStringList{"render", "@good", "@rendered", "--max-pages", "many"} << 2
            << QString() << "--max-pages takes a whole number";
        QTest::newRow("make from a file that is no image")
            << QStringList{"make", "@new", "@text"} << 1 << QString() << "cannot read the image";
    }
    void info()
    {
        QFETCH(QStringList, args);
        QFETCH(int, exitCode);
        QFETCH(QString, out);
        QFETCH(QString, err);
        sff::Writer w;
        sff::addPage(w, picture(1728, 50), sff::Resolution::Standard);
        sff::addPage(w, picture(1728, 100), sff::Resolution::Fine);
        QVERIFY(writeFile(path("good.sff"), w.finish()));
        QVERIFY(writeFile(path("text.sff"), "just some text, no fax"));
        QVERIFY(writeFile(path("empty.sff"), ""));
        QVERIFY(QDir().mkpath(path("folder.sff")));
        QVERIFY(picture(40, 40).save(path("picture.sff"), "PNG"));
        sff::Writer bad;
        bad.beginPage(sff::Resolution::Standard);
        bad.addCodedLine(QByteArray::fromHex("b259")); // 1728 white lacks its terminating code
        QVERIFY(writeFile(path("badline.sff"), bad.finish()));
        for (QString &a : args)
            if (a.startsWith(u'@'))
                a = path(a.mid(1) + (a == u"@new" ? ".sff" : a == u"@missing" ? ".png" : ".sff"));

        const Run r = sfftool(args);
        QVERIFY2(r.exitCode == exitCode, qPrintable(r.out + r.err));
        QVERIFY2(r.out.contains(out), qPrintable(r.out));
        QVERIFY2(r.err.contains(err), qPrintable(r.err));
        QVERIFY(!QFile::exists(path("new.sff")));
        QVERIFY(!QFile::exists(path("rendered.sff"))); // no folder made for what has no pages
    }

    void render()
    {
        sff::Writer w;
        sff::addPage(w, picture(1728, 50), sff::Resolution::Standard);
        sff::addPage(w, picture(2048, 100), sff::Resolution::Fine);
        const QString file = path("render.sff");
        QVERIFY(writeFile(file, w.finish()));
        const QString out = path("rendered/deeper"); // created as needed
        Run r = sfftool({"render", file, out});
        QVERIFY2(r.exitCode == 0, qPrintable(r.err));
        QImage first(out + "/page-001.png");
        QImage second(out + "/page-002.png");
        QCOMPARE(first.size(), QSize(1728, 100)); // 98-lpi lines doubled
        QCOMPARE(second.size(), QSize(2048, 100));
        QVERIFY(compareMono(sff::toMono(second), sff::toMono(picture(2048, 100))).isEmpty());

        r = sfftool({"render", file, out, "--coded"});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(QImage(out + "/page-001.png").size(), QSize(1728, 50));

        // A shorter document in the same folder: the earlier render's extra page goes, other
        // files stay.
        QVERIFY(writeFile(out + "/notes.txt", "mine"));
        QVERIFY(writeFile(out + "/page-017.png", "old"));
        sff::Writer one;
        sff::addPage(one, picture(1728, 50), sff::Resolution::Standard);
        QVERIFY(writeFile(path("one.sff"), one.finish()));
        r = sfftool({"render", path("one.sff"), out});
        QCOMPARE(r.exitCode, 0);
        QVERIFY(QFile::exists(out + "/page-001.png"));
        QVERIFY(!QFile::exists(out + "/page-002.png"));
        QVERIFY(!QFile::exists(out + "/page-017.png"));
        QVERIFY(QFile::exists(out + "/notes.txt"));

        QVERIFY(writeFile(path("broken.sff"), readFile(file).left(300)));
        r = sfftool({"render", path("broken.sff"), path("broken")});
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.contains("last record truncated"), qPrintable(r.err));
        QVERIFY(QFile::exists(path("broken/page-001.png"))); // what could be read is shown
    }

    // The bound on pages and pixels: what it leaves out, and that it says so.
    void renderBound_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QList<int>>("heights"); // of the pages written
        QTest::addColumn<bool>("cut");
        QTest::newRow("within the default") << QStringList{} << 0 << QList<int>{100, 100, 100}
                                            << false;
        QTest::newRow("two pages") << QStringList{"--max-pages", "2"} << 0 << QList<int>{100, 100}
                                   << true;
        QTest::newRow("pixels for two and a half pages")
            << QStringList{"--max-pixels", QString::number(1728 * 250)} << 0
            << QList<int>{100, 100, 50} << true;
        QTest::newRow("raised") << QStringList{"--max-pages", "3", "--max-pixels", "999999999"}
                                << 0 << QList<int>{100, 100, 100} << false;
    }
    void renderBound()
    {
        QFETCH(QStringList, options);
        QFETCH(int, exitCode);
        QFETCH(QList<int>, heights);
        QFETCH(bool, cut);
        sff::Writer w;
        for (int i = 0; i < 3; ++i)
            sff::addPage(w, picture(1728, 100), sff::Resolution::Fine);
        const QString file = path("three.sff");
        QVERIFY(writeFile(file, w.finish()));
        const QString out = path(QStringLiteral("bound-") + QTest::currentDataTag());
        const Run r = sfftool(QStringList{"render", file, out, "--coded"} + options);
        QVERIFY2(r.exitCode == exitCode, qPrintable(r.err));
        QCOMPARE(r.err.contains(QStringLiteral("cut the output")), cut);
        const QStringList written = QDir(out).entryList({"page-*.png"}, QDir::Files, QDir::Name);
        QCOMPARE(written.size(), heights.size());
        for (qsizetype i = 0; i < heights.size(); ++i)
            QCOMPARE(QImage(QDir(out).filePath(written[i])).height(), heights[i]);
    }

    // Grey pictures are dithered by default and cut hard on request.
    void greyPicture_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<double>("min");
        QTest::addColumn<double>("max");
        // Grey 64 of 255 is 75 % dark; grey 192 is 25 % dark.
        QTest::newRow("dark, dithered") << QStringList{} << 0.65 << 0.85;
        QTest::newRow("dark, threshold") << QStringList{"--threshold"} << 1.0 << 1.0;
        QTest::newRow("raw, dithered") << QStringList{"--raw"} << 0.65 << 0.85;
        QTest::newRow("raw, threshold") << QStringList{"--raw", "--threshold"} << 1.0 << 1.0;
    }
    void greyPicture()
    {
        QFETCH(QStringList, options);
        QFETCH(double, min);
        QFETCH(double, max);
        QImage grey(1728, 200, QImage::Format_RGB32);
        grey.fill(qRgb(64, 64, 64));
        QVERIFY(grey.save(path("grey.png")));
        const QString out = path("grey.sff");
        const Run r = sfftool(QStringList{"make", out, path("grey.png")} + options);
        QVERIFY2(r.exitCode == 0, qPrintable(r.err));
        const QList<QImage> pages = sff::renderDocument(readFile(out), {sff::Aspect::AsCoded, 8192});
        QCOMPARE(pages.size(), 1);
        qint64 black = 0;
        for (int y = 0; y < pages[0].height(); ++y)
            for (int x = 0; x < pages[0].width(); ++x)
                black += pages[0].pixelIndex(x, y);
        const double share = double(black) / (qint64(pages[0].width()) * pages[0].height());
        QVERIFY2(share >= min && share <= max, qPrintable(QString::number(share)));
    }

    void makeFromImages()
    {
        const QImage a = picture(1000, 500);
        const QImage b = picture(1728, 300);
        QVERIFY(a.save(path("a.png")));
        QVERIFY(b.save(path("b.png")));
        Run r = sfftool({"make", path("images.sff"), path("a.png"), path("b.png")});
        QVERIFY2(r.exitCode == 0, qPrintable(r.err));
        QVERIFY(r.out.contains("2 pages, standard"));
        sff::DocumentInfo info = sff::checkFile(path("images.sff"));
        QVERIFY(info.isValid());
        QCOMPARE(info.pages.size(), 2);
        QCOMPARE(info.pages[0].lineLength, 1728);
        // 1000 x 500 square pixels at 1728 wide: 864 pixels high, at 98/203 lines a pixel.
        QCOMPARE(info.pages[0].lines, 417);
        QCOMPARE(info.pages[1].lines, 145);

        r = sfftool({"make", path("raw.sff"), "--raw", "--fine", path("a.png")});
        QCOMPARE(r.exitCode, 0);
        const QList<QImage> back =
            sff::renderDocument(readFile(path("raw.sff")), {sff::Aspect::AsCoded, 8192}, &info);
        QCOMPARE(info.pages[0].resolution, sff::Resolution::Fine);
        QCOMPARE(back.size(), 1);
        const QString diff = compareMono(back[0], sff::toMono(a));
        QVERIFY2(diff.isEmpty(), qPrintable(diff));
    }

    void makeText_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("pages");
        QTest::addColumn<int>("lines");
        QTest::newRow("short, standard") << QStringList{"--text", "Hello fax"} << 1 << 1143;
        QTest::newRow("short, fine") << QStringList{"--text", "Hello fax", "--fine"} << 1 << 2286;
        QTest::newRow("long: several pages")
            << QStringList{"--text", QStringLiteral("A line of a long letter.\n").repeated(120)}
            << 3 << 1143;
        QTest::newRow("text file")
            << QStringList{"--text-file", "@letter.txt", "--fine"} << 1 << 2286;
    }
    void makeText()
    {
        QFETCH(QStringList, args);
        QFETCH(int, pages);
        QFETCH(int, lines);
        QVERIFY(writeFile(path("letter.txt"), "Dear reader,\n\nthis is a letter. äöü\n"));
        for (QString &a : args)
            if (a.startsWith(u'@'))
                a = path(a.mid(1));
        const QString file = path("text.sff");
        QFile::remove(file);
        const Run r = sfftool(QStringList{"make", file} + args);
        QVERIFY2(r.exitCode == 0, qPrintable(r.err));
        const QList<QImage> rendered =
            sff::renderDocument(readFile(file), {sff::Aspect::AsCoded, 8192});
        QCOMPARE(rendered.size(), pages);
        QCOMPARE(rendered[0].height(), lines);
        // Something was drawn on every page.
        for (const QImage &page : rendered) {
            const QImage white = sff::blankPage(page.width(), page.height());
            QVERIFY(!compareMono(page, white).isEmpty());
        }
    }
};

QUILLON_TEST_GUILESS_MAIN(TestSffTool)
#include "tst_sfftool.moc"
