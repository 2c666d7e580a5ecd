// Speed of the SFF library: Modified Huffman decoding to pixel rows and encoding from pixel
// rows, side by side with libtiff's CCITT codec on the same lines of five kinds of page, and
// reading a whole 100-page document as the component does before it sends one.
// Prints figures; asserts nothing but that both codecs give identical bitmaps. Build
// RelWithDebInfo or Release for meaningful numbers.

#include "sff/gui/imagewriter.h"
#include "sff/gui/render.h"
#include "sff/memtiff.h"
#include "sff/mh.h"
#include "sff/reader.h"
#include "tools/sfftool/pages.h"

#include <QElapsedTimer>
#include <QFont>
#include <QGuiApplication>
#include <QPainter>
#include <QRadialGradient>
#include <QTemporaryFile>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <vector>

namespace {

// The machine is shared, so every figure is per second of this thread's CPU time.
double cpuSeconds()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + ts.tv_nsec / 1e9;
}

QImage textPage(int height, int pixelSize, int lineStep, int lines, int seed)
{
    QImage image(1728, height, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter p(&image);
    p.setPen(Qt::black);
    QFont f(QStringLiteral("DejaVu Sans"));
    f.setStyleStrategy(QFont::NoAntialias);
    f.setPixelSize(pixelSize * 2);
    p.setFont(f);
    p.drawText(110, 60 + pixelSize * 3, QStringLiteral("Letter %1").arg(seed));
    f.setPixelSize(pixelSize);
    p.setFont(f);
    const QString text = QStringLiteral(
        "The quick brown fox jumps over the lazy dog; 0123456789 and some more words %1.");
    int y = 100 + pixelSize * 5;
    for (int i = 0; i < lines && y < height - 60; ++i, y += lineStep)
        p.drawText(110, y, text.arg(y * (seed + 1)));
    p.end();
    return sff::toMono(image);
}

// A grey picture: a radial gradient under grey shapes and large grey letters.
QImage greyPicture(int height)
{
    QImage image(1728, height, QImage::Format_RGB32);
    QPainter p(&image);
    QRadialGradient g(QPointF(600, height / 3.0), 1600);
    g.setColorAt(0, Qt::white);
    g.setColorAt(1, QColor(30, 30, 30));
    p.fillRect(image.rect(), g);
    for (int i = 0; i < 12; ++i) {
        p.setBrush(QColor::fromHsv(0, 0, 20 * i + 10));
        p.setPen(Qt::NoPen);
        p.drawEllipse(QPointF(150 + 130 * i, height * (0.2 + 0.05 * i)), 120.0, 90.0);
    }
    QFont f(QStringLiteral("DejaVu Sans"));
    f.setPixelSize(160);
    p.setFont(f);
    p.setPen(QColor(90, 90, 90));
    p.drawText(100, height - 200, QStringLiteral("Grey 50%"));
    p.end();
    return image.convertToFormat(QImage::Format_Grayscale8);
}

struct PageKind
{
    const char *name;
    QImage page; // Format_Mono
};

struct Coded
{
    QByteArray data;                 // the coded lines back to back, as a TIFF strip holds them
    std::vector<qsizetype> offsets;  // start of each line, and the end
};

Coded encodePage(const QImage &page)
{
    Coded c;
    c.offsets.push_back(0);
    for (int y = 0; y < page.height(); ++y) {
        sff::mh::encodeRow(page.constScanLine(y), page.width(), c.data);
        c.offsets.push_back(c.data.size());
    }
    return c;
}

// The packed rows of a page, back to back.
QByteArray pixelsOf(const QImage &page)
{
    const int rowBytes = (page.width() + 7) / 8;
    QByteArray pixels(qsizetype(rowBytes) * page.height(), '\0');
    for (int y = 0; y < page.height(); ++y)
        std::memcpy(pixels.data() + qsizetype(y) * rowBytes, page.constScanLine(y), rowBytes);
    return pixels;
}

struct Stats
{
    double median = 0;
    double low = 0;
    double high = 0;
};

Stats stats(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], v.front(), v.back()};
}

// Times ours and theirs in interleaved rounds (which goes first alternates); returns the
// seconds per call of each round.
void interleave(int rounds, int reps, const std::function<void()> &ours,
                const std::function<void()> &theirs, std::vector<double> &oursSecs,
                std::vector<double> &theirsSecs)
{
    auto time = [reps](const std::function<void()> &f) {
        const double t0 = cpuSeconds();
        for (int i = 0; i < reps; ++i)
            f();
        return (cpuSeconds() - t0) / reps;
    };
    ours();
    theirs(); // warm up caches and tables
    for (int r = 0; r < rounds; ++r) {
        if (r % 2 == 0) {
            oursSecs.push_back(time(ours));
            theirsSecs.push_back(time(theirs));
        } else {
            theirsSecs.push_back(time(theirs));
            oursSecs.push_back(time(ours));
        }
    }
}

void printComparison(const char *what, const char *kind, double codedBytes, double pixels,
                     const std::vector<double> &ours, const std::vector<double> &theirs)
{
    std::vector<double> oursRate, theirsRate, ratio;
    for (size_t i = 0; i < ours.size(); ++i) {
        oursRate.push_back(codedBytes / ours[i] / 1e6);
        theirsRate.push_back(codedBytes / theirs[i] / 1e6);
        ratio.push_back(theirs[i] / ours[i]);
    }
    const Stats o = stats(oursRate), t = stats(theirsRate), r = stats(ratio);
    std::printf("%s %s ours %.1f MB/s libtiff %.1f MB/s ratio %.2f\n", what, kind, o.median,
                t.median, r.median);
    std::printf("    %.1f vs %.1f Mpixel/s; %zu rounds, ours %.1f-%.1f, libtiff %.1f-%.1f MB/s, "
                "ratio %.2f-%.2f\n",
                pixels * o.median / (codedBytes / 1e6), pixels * t.median / (codedBytes / 1e6),
                ours.size(), o.low, o.high, t.low, t.high, r.low, r.high);
}

bool compareDecode(const PageKind &k, const Coded &c, memtiff::File &tiff)
{
    const QImage &page = k.page;
    const int rowBytes = (page.width() + 7) / 8;
    const QByteArray want = pixelsOf(page);
    QByteArray ours(want.size(), '\0');
    for (int y = 0; y < page.height(); ++y) {
        const sff::mh::DecodeResult r = sff::mh::decodeRow(
            reinterpret_cast<const uchar *>(c.data.constData()) + c.offsets[y],
            c.offsets[y + 1] - c.offsets[y], page.width(),
            reinterpret_cast<uchar *>(ours.data()) + qsizetype(y) * rowBytes);
        if (!r.ok())
            return false;
    }
    QByteArray theirs(want.size(), '\0');
    TIFF *tif = tiff.open("r");
    const tmsize_t got = TIFFReadEncodedStrip(tif, 0, theirs.data(), theirs.size());
    TIFFClose(tif);
    if (ours != want)
        std::printf("%s: our decoder differs from the page\n", k.name);
    if (got != theirs.size() || theirs != want)
        std::printf("%s: libtiff's decoder differs from the page\n", k.name);
    return ours == want && theirs == want;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    TIFFSetWarningHandler(nullptr);
    const int rounds = argc > 1 ? std::max(3, atoi(argv[1])) : 15;
    long sink = 0;

    const QImage grey = greyPicture(2286);
    const std::vector<PageKind> kinds = {
        {"dense-fine", textPage(2286, 22, 30, 1000, 1)},
        {"sparse", textPage(1143, 30, 44, 6, 2)},
        {"halftone", sff::toMono(grey.convertToFormat(QImage::Format_Mono, Qt::OrderedDither))},
        {"dithered", sff::toMono(grey.convertToFormat(QImage::Format_Mono, Qt::DiffuseDither))},
        {"chart", sfftool::chartPage(sff::Resolution::Fine)},
    };

    std::printf("Pages (1728 pixels a line), coded size, and rounds of each comparison\n");
    std::vector<Coded> coded;
    std::vector<memtiff::File> tiffs(kinds.size());
    for (size_t i = 0; i < kinds.size(); ++i) {
        coded.push_back(encodePage(kinds[i].page));
        const Coded &c = coded.back();
        // The same coded lines as one strip of a TIFF in memory.
        TIFF *tif = tiffs[i].open("w");
        memtiff::setFaxTags(tif, kinds[i].page.width(), kinds[i].page.height(), 1);
        TIFFWriteRawStrip(tif, 0, const_cast<char *>(c.data.constData()), c.data.size());
        TIFFClose(tif);
        std::printf("  %-10s %4d lines, %7.1f kB coded, %.1f bytes a line\n", kinds[i].name,
                    kinds[i].page.height(), c.data.size() / 1e3,
                    double(c.data.size()) / kinds[i].page.height());
        if (!compareDecode(kinds[i], c, tiffs[i]))
            return 2;
    }
    std::printf("\nDecoding the coded lines to packed pixel rows (MB/s of coded data):\n");
    for (size_t i = 0; i < kinds.size(); ++i) {
        const QImage &page = kinds[i].page;
        const Coded &c = coded[i];
        const int rowBytes = (page.width() + 7) / 8;
        QByteArray rows(qsizetype(rowBytes) * page.height(), '\0');
        TIFF *tif = tiffs[i].open("r");
        const auto *data = reinterpret_cast<const uchar *>(c.data.constData());
        auto ours = [&] {
            uchar *out = reinterpret_cast<uchar *>(rows.data());
            for (int y = 0; y < page.height(); ++y, out += rowBytes)
                sink += sff::mh::decodeRow(data + c.offsets[y], c.offsets[y + 1] - c.offsets[y],
                                           page.width(), out)
                            .pixels;
        };
        auto theirs = [&] { sink += long(TIFFReadEncodedStrip(tif, 0, rows.data(), rows.size())); };
        std::vector<double> o, t;
        const int reps = std::max(1, int(2e6 / c.data.size()));
        interleave(rounds, reps, ours, theirs, o, t);
        TIFFClose(tif);
        printComparison("decode", kinds[i].name, double(c.data.size()),
                        double(page.width()) * page.height() / 1e6, o, t);
    }

    std::printf("\nEncoding packed pixel rows (MB/s of coded data produced):\n");
    constexpr int Strips = 8; // pages per TIFF, so that opening one costs libtiff little
    for (size_t i = 0; i < kinds.size(); ++i) {
        const QImage &page = kinds[i].page;
        const QByteArray pixels = pixelsOf(page);
        const int rowBytes = (page.width() + 7) / 8;
        QByteArray out;
        memtiff::File mem;
        mem.bytes.reserve(coded[i].data.size() * (Strips + 1) + 4096);
        auto ours = [&] {
            out.resize(0);
            for (int s = 0; s < Strips; ++s)
                for (int y = 0; y < page.height(); ++y)
                    sff::mh::encodeRow(reinterpret_cast<const uchar *>(pixels.constData()) +
                                           qsizetype(y) * rowBytes,
                                       page.width(), out);
            sink += out.size();
        };
        auto theirs = [&] {
            TIFF *tif = mem.open("w");
            memtiff::setFaxTags(tif, page.width(), page.height(), Strips);
            for (int s = 0; s < Strips; ++s)
                sink += long(TIFFWriteEncodedStrip(tif, s, const_cast<char *>(pixels.constData()),
                                                   pixels.size()));
            TIFFClose(tif);
        };
        std::vector<double> o, t;
        const int reps = std::max(1, int(4e6 / (double(coded[i].data.size()) * Strips)));
        interleave(rounds, reps, ours, theirs, o, t);
        // Both outputs decode to the page.
        if (out.left(coded[i].data.size()) != coded[i].data)
            return 3;
        {
            QByteArray back(pixels.size() * Strips, '\0');
            TIFF *tif = mem.open("r");
            bool same = true;
            for (int s = 0; s < Strips && same; ++s) {
                same = TIFFReadEncodedStrip(tif, s, back.data(), pixels.size()) == pixels.size() &&
                       std::memcmp(back.constData(), pixels.constData(), pixels.size()) == 0;
            }
            TIFFClose(tif);
            if (!same) {
                std::printf("%s: libtiff's encoding does not decode to the page\n", kinds[i].name);
                return 3;
            }
        }
        printComparison("encode", kinds[i].name, double(coded[i].data.size()) * Strips,
                        double(page.width()) * page.height() * Strips / 1e6, o, t);
    }

    std::printf("\nCheck-only decoding (codes checked, no runs or pixels), MB/s of coded data:\n");
    for (size_t i = 0; i < kinds.size(); ++i) {
        const Coded &c = coded[i];
        const auto *data = reinterpret_cast<const uchar *>(c.data.constData());
        std::vector<double> rates;
        const int lines = int(c.offsets.size()) - 1;
        for (int r = 0; r < rounds; ++r) {
            const int reps = std::max(1, int(2e6 / c.data.size()));
            const double t0 = cpuSeconds();
            for (int k = 0; k < reps; ++k)
                for (int y = 0; y < lines; ++y)
                    sink += sff::mh::decodeLine(data + c.offsets[y],
                                                c.offsets[y + 1] - c.offsets[y], 1728)
                                .pixels;
            rates.push_back(double(c.data.size()) * reps / (cpuSeconds() - t0) / 1e6);
        }
        const Stats s = stats(rates);
        std::printf("check %s ours %.1f MB/s (%.1f-%.1f)\n", kinds[i].name, s.median, s.low,
                    s.high);
    }

    // A 100-page document of text, read as the component reads one before sending it.
    QList<QImage> pages;
    for (int i = 0; i < 100; ++i)
        pages.append(kinds[0].page);
    const QByteArray doc = sff::writeDocument(pages, sff::Resolution::Fine);
    std::printf("\n100-page document of dense fine text: %.2f MB\n", doc.size() / 1e6);
    auto docRate = [&](const char *what, const std::function<void()> &f) {
        std::vector<double> rates;
        for (int r = 0; r < std::max(3, rounds / 3); ++r) {
            const double t0 = cpuSeconds();
            f();
            rates.push_back(doc.size() / (cpuSeconds() - t0) / 1e6);
        }
        const Stats s = stats(rates);
        std::printf("%-46s %8.1f MB/s (%.1f-%.1f)\n", what, s.median, s.low, s.high);
    };
    docRate("Writer, 100 pages from 1-bit images", [&] {
        sink += sff::writeDocument(pages, sff::Resolution::Fine).size();
    });
    docRate("Whole-document check, every line decoded", [&] {
        if (!sff::checkData(doc).isValid())
            std::abort();
    });
    docRate("Whole-document check, records only", [&] {
        if (!sff::checkData(doc, nullptr, sff::ReadDepth::Records).isValid())
            std::abort();
    });
    docRate("Check fed in 2048-byte blocks, every line", [&] {
        sff::StreamReader reader;
        for (qsizetype at = 0; at < doc.size(); at += 2048)
            reader.feed(QByteArrayView(doc).sliced(at, std::min<qsizetype>(2048, doc.size() - at)));
        reader.finish();
        if (!reader.info().isValid())
            std::abort();
    });
    docRate("Render all 100 pages to QImages", [&] {
        sink += sff::renderDocument(doc, {sff::Aspect::AsCoded, 8192}).size();
    });
    return sink == 42 ? 1 : 0; // keeps the work from being optimised away
}
