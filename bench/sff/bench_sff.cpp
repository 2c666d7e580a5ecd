// Speed of the SFF library on fax pages of text: Modified Huffman decoding and encoding of
// lines, and reading a whole 100-page document as the component does before it sends one.
// Prints figures; asserts nothing. Build RelWithDebInfo or Release for meaningful numbers.

#include "sff/mh.h"
#include "sff/reader.h"
#include "sff/render.h"
#include "sff/imagewriter.h"

#include <QElapsedTimer>
#include <QFont>
#include <QGuiApplication>
#include <QPainter>
#include <QTemporaryFile>

#include <cstdio>
#include <ctime>
#include <vector>

namespace {

// A fine-resolution A4 page of text in a few sizes with a rule and a box, like a letter.
QImage letterPage(int seed)
{
    QImage image(1728, 2286, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter p(&image);
    p.setPen(Qt::black);
    QFont f(QStringLiteral("DejaVu Sans"));
    f.setStyleStrategy(QFont::NoAntialias);
    f.setPixelSize(60);
    p.setFont(f);
    p.drawText(110, 200, QStringLiteral("Letter %1").arg(seed));
    p.fillRect(110, 240, 1500, 6, Qt::black);
    f.setPixelSize(30 + seed % 4 * 2);
    p.setFont(f);
    const QString text = QStringLiteral(
        "The quick brown fox jumps over the lazy dog; 0123456789 and some more words %1.");
    for (int y = 320; y < 2100; y += 44)
        p.drawText(110, y, text.arg(y * (seed + 1)));
    p.drawRect(1200, 1900, 400, 250);
    p.end();
    return sff::toMono(image);
}

// The machine is shared, so figures are given per second of this thread's CPU time (what
// the code does when it has a core) and per second of wall-clock time.
double cpuSeconds()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + ts.tv_nsec / 1e9;
}

struct Timing
{
    double cpu = 0;
    double wall = 0;
};

template <typename F> Timing seconds(F &&work, int &rounds)
{
    QElapsedTimer t;
    t.start();
    const double cpu0 = cpuSeconds();
    rounds = 0;
    do {
        work();
        ++rounds;
    } while (cpuSeconds() - cpu0 < 1.5);
    return {cpuSeconds() - cpu0, t.nsecsElapsed() / 1e9};
}

void report(const char *what, double bytes, Timing secs, const char *unit)
{
    std::printf("%-42s %7.1f MB/s CPU %7.1f MB/s wall  (%.1f MB of %s)\n", what,
                bytes / secs.cpu / 1e6, bytes / secs.wall / 1e6, bytes / 1e6, unit);
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);

    std::printf("Drawing 100 fine A4 pages of text...\n");
    QList<QImage> distinct;
    for (int i = 0; i < 5; ++i)
        distinct.append(letterPage(i));
    QList<QImage> pages;
    for (int i = 0; i < 100; ++i)
        pages.append(distinct[i % 5]);

    // The coded lines of the distinct pages.
    std::vector<QByteArray> lines;
    qint64 codedBytes = 0;
    qint64 pixelBytes = 0;
    for (const QImage &page : distinct) {
        for (int y = 0; y < page.height(); ++y) {
            QByteArray coded;
            sff::mh::encodeRow(page.constScanLine(y), page.width(), coded);
            codedBytes += coded.size();
            lines.push_back(coded);
        }
        pixelBytes += qint64(page.height()) * ((page.width() + 7) / 8);
    }
    std::printf("%zu lines, %.2f MB coded (%.1f bytes a line), %.2f MB of pixels\n\n", lines.size(),
                codedBytes / 1e6, double(codedBytes) / double(lines.size()), pixelBytes / 1e6);

    int rounds = 0;
    long sink = 0;
    Timing s = seconds(
        [&] {
            for (const QByteArray &l : lines)
                sink += sff::mh::decodeLine(reinterpret_cast<const uchar *>(l.constData()),
                                            l.size(), 1728)
                            .pixels;
        },
        rounds);
    report("MH decode, check only", double(codedBytes) * rounds, s, "codes");

    sff::mh::Runs runs;
    s = seconds(
        [&] {
            for (const QByteArray &l : lines) {
                sff::mh::decodeLine(reinterpret_cast<const uchar *>(l.constData()), l.size(), 1728,
                                    &runs);
                sink += long(runs.size());
            }
        },
        rounds);
    report("MH decode to runs", double(codedBytes) * rounds, s, "codes");

    uchar row[216];
    s = seconds(
        [&] {
            for (const QByteArray &l : lines) {
                sff::mh::decodeLine(reinterpret_cast<const uchar *>(l.constData()), l.size(), 1728,
                                    &runs);
                sff::mh::runsToRow(runs, row, 1728);
                sink += row[100];
            }
        },
        rounds);
    report("MH decode to pixel rows", double(codedBytes) * rounds, s, "codes");

    QByteArray out;
    s = seconds(
        [&] {
            for (const QImage &page : distinct)
                for (int y = 0; y < page.height(); ++y) {
                    out.clear();
                    sff::mh::encodeRow(page.constScanLine(y), page.width(), out);
                    sink += out.size();
                }
        },
        rounds);
    report("MH encode from pixel rows", double(codedBytes) * rounds, s, "codes");
    report("  (same, counted in pixel bytes)", double(pixelBytes) * rounds, s, "pixels");

    QByteArray doc;
    s = seconds([&] { doc = sff::writeDocument(pages, sff::Resolution::Fine); }, rounds);
    report("Writer, 100 pages from 1-bit images", double(doc.size()) * rounds, s, "SFF");

    std::printf("\n100-page document: %.2f MB\n", doc.size() / 1e6);
    s = seconds(
        [&] {
            const sff::DocumentInfo info = sff::checkData(doc);
            if (!info.isValid() || info.pages.size() != 100)
                std::abort();
        },
        rounds);
    report("Whole-document check in memory", double(doc.size()) * rounds, s, "SFF");
    std::printf("%42s %7.1f documents a CPU second\n", "", rounds / s.cpu);

    QTemporaryFile file;
    if (!file.open() || file.write(doc) != doc.size())
        return 1;
    file.close();
    s = seconds(
        [&] {
            if (!sff::checkFile(file.fileName()).isValid())
                std::abort();
        },
        rounds);
    report("Whole-document check of the file", double(doc.size()) * rounds, s, "SFF");

    s = seconds(
        [&] {
            sff::StreamReader reader;
            for (qsizetype at = 0; at < doc.size(); at += 2048)
                reader.feed(
                    QByteArrayView(doc).sliced(at, std::min<qsizetype>(2048, doc.size() - at)));
            reader.finish();
            if (!reader.info().isValid())
                std::abort();
        },
        rounds);
    report("Check fed in 2048-byte blocks", double(doc.size()) * rounds, s, "SFF");

    s = seconds(
        [&] {
            const QList<QImage> images = sff::renderDocument(doc, {sff::Aspect::AsCoded, 8192});
            sink += images.size();
        },
        rounds);
    report("Render all 100 pages to QImages", double(doc.size()) * rounds, s, "SFF");

    return sink == 42 ? 1 : 0; // keeps the work from being optimised away
}
