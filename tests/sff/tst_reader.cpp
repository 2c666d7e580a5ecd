#include "sff/reader.h"
#include "sff/gui/imagewriter.h"
#include "sff/gui/render.h"

#include "common/testenv.h"
#include "sff/sffbuilder.h"

#include <QPainter>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <sys/stat.h>

using namespace sfftest;
using sff::Resolution;

Q_DECLARE_METATYPE(sff::DocumentInfo)

namespace {

// A page with something on every kind of line: text-like strokes, solid bars, white gaps.
QImage drawnPage(int width, int height, int seed)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter p(&image);
    QRandomGenerator rng(seed);
    for (int i = 0; i < 40; ++i) {
        p.fillRect(rng.bounded(width), rng.bounded(height), 1 + rng.bounded(width / 3),
                   1 + rng.bounded(12), Qt::black);
    }
    p.setPen(QPen(Qt::black, 3));
    p.drawEllipse(QRect(width / 4, height / 4, width / 2, height / 2));
    p.fillRect(0, 0, width, 2, Qt::black); // a full black line
    return image;
}

sff::DocumentInfo feedInBlocks(const QByteArray &doc, int block, sff::ReaderSink *sink = nullptr,
                               sff::ReadDepth depth = sff::ReadDepth::Lines)
{
    sff::StreamReader reader(depth);
    reader.setSink(sink);
    for (qsizetype at = 0; at < doc.size(); at += block)
        reader.feed(QByteArrayView(doc).sliced(at, std::min<qsizetype>(block, doc.size() - at)));
    reader.finish();
    return reader.info();
}

// The facts of a reading, as one text, to compare readings.
QString summary(const sff::DocumentInfo &info)
{
    QStringList parts;
    parts << QString::number(info.size) << (info.error ? info.error->toString() : QString());
    for (const auto &p : info.pages)
        parts << QStringLiteral("%1:%2:%3:%4:%5:%6")
                     .arg(p.offset)
                     .arg(int(p.resolution))
                     .arg(p.lineLength)
                     .arg(p.lines)
                     .arg(p.illegalLines)
                     .arg(p.badLines);
    for (const auto &n : info.notes)
        parts << n.toString();
    return parts.join(u'|');
}

// Every line alternates 1 white, 1 black: far too long for the short record form.
QByteArray checkerLine(int width)
{
    sff::mh::Runs runs(size_t(width), 1);
    return sff::mh::encodeRuns(runs);
}

QString firstLine(const QImage &a, const QImage &b)
{
    for (int y = 0; y < std::min(a.height(), b.height()); ++y)
        for (int x = 0; x < std::min(a.width(), b.width()); ++x)
            if (a.pixelIndex(x, y) != b.pixelIndex(x, y))
                return QStringLiteral("first difference at %1,%2").arg(x).arg(y);
    return QStringLiteral("sizes %1x%2 and %3x%4")
        .arg(a.width())
        .arg(a.height())
        .arg(b.width())
        .arg(b.height());
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

} // namespace

class TestReader : public QObject
{
    Q_OBJECT

private slots:
    void writerDocuments_data()
    {
        QTest::addColumn<QByteArray>("doc");
        QTest::addColumn<QList<qint64>>("lines");
        QTest::addColumn<QList<int>>("resolutions");
        QTest::addColumn<QList<int>>("widths");
        QTest::addColumn<qint64>("illegal");

        {
            sff::Writer w;
            sff::addPage(w, drawnPage(1728, 1100, 1), Resolution::Standard);
            QTest::newRow("one standard page") << w.finish() << QList<qint64>{1100} << QList<int>{0}
                                               << QList<int>{1728} << qint64(0);
        }
        {
            sff::Writer w;
            sff::addPage(w, drawnPage(1728, 2200, 2), Resolution::Fine);
            sff::addPage(w, drawnPage(2048, 300, 3), Resolution::Standard);
            sff::addPage(w, drawnPage(2432, 400, 4), Resolution::Fine);
            QTest::newRow("three pages, both resolutions, three widths")
                << w.finish() << QList<qint64>{2200, 300, 400} << QList<int>{1, 0, 1}
                << QList<int>{1728, 2048, 2432} << qint64(0);
        }
        {
            sff::Writer w;
            w.beginPage(Resolution::Standard);
            w.addWhiteLines(100);              // 37 + 37 + 26
            w.addCodedLine(checkerLine(1728)); // escape form
            w.addIllegalLine();
            w.addUserInfo("operator note");
            w.addWhiteLines(1);
            w.addIllegalLine();
            w.addCodedLine(QByteArray::fromHex("b25901"));
            QTest::newRow("skips, escape, illegal lines, user info")
                << w.finish() << QList<qint64>{105} << QList<int>{0} << QList<int>{1728}
                << qint64(2);
        }
        {
            sff::Writer w;
            w.setLeaveCountsUnknown(true);
            sff::addPage(w, drawnPage(1728, 50, 5), Resolution::Fine);
            sff::addPage(w, drawnPage(1728, 60, 6), Resolution::Fine);
            QTest::newRow("receiver style, counts 0")
                << w.finish() << QList<qint64>{50, 60} << QList<int>{1, 1} << QList<int>{1728, 1728}
                << qint64(0);
        }
        {
            sff::Writer w;
            w.beginPage(Resolution::Standard, 2560); // the longest extended make-up code
            w.addRuns(std::vector<int>{0, 2560});
            w.addRuns(std::vector<int>{2560});
            QTest::newRow("2560 wide")
                << w.finish() << QList<qint64>{2} << QList<int>{0} << QList<int>{2560} << qint64(0);
        }
    }
    void writerDocuments()
    {
        QFETCH(QByteArray, doc);
        QFETCH(QList<qint64>, lines);
        QFETCH(QList<int>, resolutions);
        QFETCH(QList<int>, widths);
        QFETCH(qint64, illegal);

        const sff::DocumentInfo info = sff::checkData(doc);
        QVERIFY2(info.isValid(), qPrintable(info.error ? info.error->toString() : "no pages"));
        QVERIFY(info.endRecord);
        QCOMPARE(info.notes.size(), 0);
        QCOMPARE(info.pages.size(), lines.size());
        for (qsizetype i = 0; i < lines.size(); ++i) {
            QCOMPARE(info.pages[i].lines, lines[i]);
            QCOMPARE(int(info.pages[i].resolution), resolutions[i]);
            QCOMPARE(info.pages[i].lineLength, widths[i]);
        }
        QCOMPARE(info.illegalLines, illegal);
        QCOMPARE(info.badLines, 0);
        QCOMPARE(info.size, doc.size());

        // The fields the writer filled in agree with the records (else notes would say so),
        // unless it wrote like a receiver.
        if (info.header.pageCount != 0) {
            QCOMPARE(info.header.pageCount, lines.size());
            QCOMPARE(qint64(info.header.lastPageOffset), info.pages.last().offset);
            QCOMPARE(info.pages.first().header.nextPageOffset,
                     lines.size() > 1 ? quint32(info.pages[1].offset) : 0u);
        }

        // Any block size gives the same reading, down to one byte at a time.
        const QString whole = summary(info);
        for (int block : {1, 2, 3, 17, 216, 2048})
            QCOMPARE(summary(feedInBlocks(doc, block)), whole);
        // Reading the records alone finds the same pages, lines and notes.
        for (int block : {1, 2048})
            QCOMPARE(summary(feedInBlocks(doc, block, nullptr, sff::ReadDepth::Records)), whole);
    }

    void imageRoundTrip_data()
    {
        QTest::addColumn<int>("resolution");
        QTest::addColumn<int>("aspect");
        QTest::addColumn<int>("rowsPerLine");
        QTest::newRow("standard as coded") << 0 << int(sff::Aspect::AsCoded) << 1;
        QTest::newRow("standard square: lines doubled") << 0 << int(sff::Aspect::Square) << 2;
        QTest::newRow("fine square") << 1 << int(sff::Aspect::Square) << 1;
    }
    void imageRoundTrip()
    {
        QFETCH(int, resolution);
        QFETCH(int, aspect);
        QFETCH(int, rowsPerLine);
        const QList<QImage> pages = {drawnPage(1728, 700, 11), drawnPage(1728, 90, 12)};
        const QByteArray doc = sff::writeDocument(pages, Resolution(resolution));

        sff::DocumentInfo info;
        const QList<QImage> back = sff::renderDocument(doc, {sff::Aspect(aspect), 8192}, &info);
        QVERIFY(info.isValid());
        QCOMPARE(back.size(), pages.size());
        for (qsizetype i = 0; i < pages.size(); ++i) {
            const QImage want = sff::toMono(pages[i]);
            QCOMPARE(back[i].format(), QImage::Format_Mono);
            QCOMPARE(back[i].height(), want.height() * rowsPerLine);
            QImage got = back[i];
            if (rowsPerLine == 2) {
                QImage single = sff::blankPage(want.width(), want.height());
                for (int y = 0; y < want.height(); ++y) {
                    QCOMPARE(QByteArrayView(got.constScanLine(2 * y), got.bytesPerLine()),
                             QByteArrayView(got.constScanLine(2 * y + 1), got.bytesPerLine()));
                    std::memcpy(single.scanLine(y), got.constScanLine(2 * y),
                                size_t(got.bytesPerLine()));
                }
                got = single;
            }
            QVERIFY2(samePixels(got, want), qPrintable(firstLine(got, want)));
            // Index 1 is black, so the page looks right wherever it is shown.
            QCOMPARE(got.color(1), qRgb(0, 0, 0));
        }
    }

    void toMonoColours()
    {
        QImage image(4, 1, QImage::Format_ARGB32);
        image.setPixel(0, 0, qRgba(0, 0, 0, 255));       // black
        image.setPixel(1, 0, qRgba(0, 0, 0, 0));         // transparent: paper
        image.setPixel(2, 0, qRgba(200, 200, 200, 255)); // light grey
        image.setPixel(3, 0, qRgba(0, 0, 120, 255));     // dark blue
        const QImage mono = sff::toMono(image);
        QCOMPARE(mono.pixelIndex(0, 0), 1);
        QCOMPARE(mono.pixelIndex(1, 0), 0);
        QCOMPARE(mono.pixelIndex(2, 0), 0);
        QCOMPARE(mono.pixelIndex(3, 0), 1);
    }

    // 1-bit images keep their pixels whichever colour table and bit order they have.
    void toMonoFromOneBit_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<QRgb>("zero");
        QTest::addColumn<QRgb>("one");
        QTest::newRow("MSB, 1 black")
            << int(QImage::Format_Mono) << qRgb(255, 255, 255) << qRgb(0, 0, 0);
        QTest::newRow("MSB, 0 black")
            << int(QImage::Format_Mono) << qRgb(0, 0, 0) << qRgb(255, 255, 255);
        QTest::newRow("LSB, 0 black")
            << int(QImage::Format_MonoLSB) << qRgb(10, 10, 10) << qRgb(250, 250, 250);
        QTest::newRow("MSB, 0 transparent")
            << int(QImage::Format_Mono) << qRgba(0, 0, 0, 0) << qRgb(0, 0, 0);
    }
    void toMonoFromOneBit()
    {
        QFETCH(int, format);
        QFETCH(QRgb, zero);
        QFETCH(QRgb, one);
        QImage image(13, 3, QImage::Format(format));
        image.setColorTable({zero, one});
        QRandomGenerator rng(7);
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 13; ++x)
                image.setPixel(x, y, rng.bounded(2));
        const QImage mono = sff::toMono(image);
        QCOMPARE(mono.format(), QImage::Format_Mono);
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 13; ++x) {
                const QRgb c = image.pixel(x, y);
                const bool black = qAlpha(c) > 128 && qGray(c) < 128;
                QCOMPARE(mono.pixelIndex(x, y), black ? 1 : 0);
            }
    }

    // The component shows the page that is arriving while blocks of 2048 bytes come in.
    void currentPageWhileArriving()
    {
        const QImage first = drawnPage(1728, 400, 21);
        const QByteArray doc =
            sff::writeDocument({first, drawnPage(1728, 300, 22)}, Resolution::Fine);
        sff::PageRenderer renderer({sff::Aspect::AsCoded, 8192});
        QList<int> finished;
        renderer.onPage = [&finished](int index, const QImage &) { finished.append(index); };
        sff::StreamReader reader;
        reader.setSink(&renderer);
        QVERIFY(renderer.currentPage().isNull());
        int lastHeight = 0;
        bool sawPartial = false;
        for (qsizetype at = 0; at < doc.size(); at += 2048) {
            reader.feed(QByteArrayView(doc).sliced(at, std::min<qsizetype>(2048, doc.size() - at)));
            if (renderer.currentPageIndex() == 0) {
                const QImage now = renderer.currentPage();
                QVERIFY(now.height() >= lastHeight);
                sawPartial = sawPartial || now.height() < 400;
                lastHeight = now.height();
            }
        }
        reader.finish();
        QVERIFY(sawPartial);
        QCOMPARE(reader.pageCount(), 2);
        QCOMPARE(finished, (QList<int>{0, 1}));
        QCOMPARE(renderer.currentPageIndex(), 1);
        QCOMPARE(renderer.currentPage().height(), 300);
    }

    void malformed_data()
    {
        QTest::addColumn<QByteArray>("doc");
        QTest::addColumn<qint64>("offset");
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("pages"); // pages read before the fault

        const QByteArray h = DocHeader{}.bytes();
        const QByteArray page = PageHeader{}.bytes(); // at offset 20; records from 38
        auto withHeader = [](auto change) { return docWith(change); };
        auto withPage = [&](auto change) { return h + pageWith(change) + whiteLine + endRecord; };

        QTest::newRow("empty file") << QByteArray() << 0ll << "empty file" << 0;
        QTest::newRow("shorter than the header")
            << h.left(7) << 0ll << "too short for an SFF document header (7 of 20" << 0;
        QTest::newRow("bad id") << withHeader([](DocHeader &d) { d.id = 0x46464453; }) + page << 0ll
                                << "not an SFF document: id 0x46464453" << 0;
        QTest::newRow("version above 1") << withHeader([](DocHeader &d) { d.version = 2; }) + page
                                         << 4ll << "SFF version 2 is not supported" << 0;
        QTest::newRow("first page inside the header")
            << withHeader([](DocHeader &d) { d.firstPage = 12; }) + page << 10ll
            << "offset of the first page header 12 lies inside the document header" << 0;
        QTest::newRow("first page past the end")
            << withHeader([](DocHeader &d) { d.firstPage = 5000; }) + page << 10ll
            << "offset of the first page header 5000 lies past the end of the file (38 bytes)" << 0;
        QTest::newRow("header length under 16") << withPage([](PageHeader &p) { p.length = 15; })
                                                << 21ll << "page header length 15 is under 16" << 0;
        QTest::newRow("vertical resolution 2") << withPage([](PageHeader &p) { p.vres = 2; })
                                               << 22ll << "vertical resolution 2 is unknown" << 0;
        QTest::newRow("horizontal resolution 1")
            << withPage([](PageHeader &p) { p.hres = 1; }) << 23ll
            << "horizontal resolution 1 is unknown" << 0;
        QTest::newRow("coding other than MH") << withPage([](PageHeader &p) { p.coding = 1; })
                                              << 24ll << "coding 1 is not supported" << 0;
        QTest::newRow("line length 0")
            << withPage([](PageHeader &p) { p.lineLength = 0; }) << 26ll << "line length 0" << 0;
        QTest::newRow("line before any page header")
            << h + whiteLine + endRecord << 20ll
            << "expected a page header (byte 254), found byte 3" << 0;
        QTest::newRow("line decodes to fewer pixels")
            << h + page + whiteLine + QByteArray::fromHex("02b259") + endRecord << 42ll
            << "page 1, line 2: line ends early at bit 9 (after 0 of 1728 pixels)" << 1;
        QTest::newRow("line decodes to more pixels")
            << withPage([](PageHeader &p) { p.lineLength = 1000; }) << 38ll
            << "page 1, line 1: runs pass the line length at bit 0 (after 0 of 1000 pixels)" << 1;
        QTest::newRow("invalid code") << h + page + QByteArray::fromHex("020001") + endRecord
                                      << 38ll << "page 1, line 1: no valid code at bit 0" << 1;
        QTest::newRow("escape of 0 bytes")
            << h + page + QByteArray::fromHex("000000") + endRecord << 38ll
            << "escaped line of 0 bytes (1 to 32767 allowed)" << 1;
        QTest::newRow("escape over 32767 bytes")
            << h + page + QByteArray::fromHex("00ff80") + QByteArray(0x80ff, '\0') + endRecord
            << 38ll << "escaped line of 33023 bytes" << 1;
        QTest::newRow("truncated last line")
            << h + page + whiteLine + whiteLine.left(2) << 42ll
            << "last record truncated: the file ends 2 bytes into it" << 1;
        QTest::newRow("truncated escape claiming 32767 bytes")
            << h + page + QByteArray::fromHex("00ff7f") + QByteArray(10, '\0') << 38ll
            << "last record truncated: the file ends 13 bytes into it" << 1;
        QTest::newRow("truncated page header")
            << h + page.left(9) << 20ll << "last record truncated: the file ends 9 bytes into it"
            << 0;
        QTest::newRow("truncated user information")
            << h + page + QByteArray::fromHex("ff0a0102") << 38ll
            << "last record truncated: the file ends 4 bytes into it" << 1;
        QTest::newRow("no pages") << h + endRecord << 22ll << "the document has no pages" << 0;
        QTest::newRow("last page offset past the end")
            << withHeader([](DocHeader &d) { d.lastPage = 0xffffffff; }) + page + whiteLine +
                   endRecord
            << 12ll << "offset of the last page header 4294967295 lies past the end" << 1;
        QTest::newRow("document end past the end")
            << withHeader([](DocHeader &d) { d.end = 4000; }) + page + whiteLine + endRecord << 16ll
            << "offset of the document end 4000 lies past the end of the file (44 bytes)" << 1;
        QTest::newRow("next page link past the end")
            << withPage([](PageHeader &p) { p.next = 100000; }) << 34ll
            << "page 1: offset of the next page 100000 lies past the end" << 1;
    }
    void malformed()
    {
        QFETCH(QByteArray, doc);
        QFETCH(qint64, offset);
        QFETCH(QString, message);
        QFETCH(int, pages);

        for (int block : {int(doc.size()) + 1, 1, 5}) {
            const sff::DocumentInfo info = feedInBlocks(doc, std::max(block, 1));
            QVERIFY(!info.isValid());
            QVERIFY(info.error.has_value());
            QVERIFY2(info.error->message.contains(message), qPrintable(info.error->message));
            QCOMPARE(info.error->offset, offset);
            QCOMPARE(info.pages.size(), pages);

            // Reading records alone finds every fault but those in a line's codes.
            const sff::DocumentInfo records =
                feedInBlocks(doc, std::max(block, 1), nullptr, sff::ReadDepth::Records);
            if (message.startsWith(u"page 1, line")) {
                QVERIFY2(records.isValid(), qPrintable(records.error ? records.error->toString() : QString()));
                QCOMPARE(records.pages[0].lines, info.pages[0].lines);
                QCOMPARE(records.badLines, 0);
            } else {
                QVERIFY(records.error.has_value());
                QCOMPARE(records.error->toString(), info.error->toString());
                QCOMPARE(records.pages.size(), pages);
            }
        }
    }

    // Reading records as they arrive a byte at a time: where records end, which pages are
    // finished, and that a sink gets each coded line's bytes undecoded.
    void recordsAsTheyArrive()
    {
        struct Lines : sff::ReaderSink
        {
            QList<QByteArray> coded;
            int runLines = 0;
            void codedLine(QByteArrayView bytes) override { coded.append(bytes.toByteArray()); }
            void line(sff::LineKind, std::span<const int>) override { ++runLines; }
        } sink;
        const QByteArray garbage = QByteArray::fromHex("020001"); // no valid code
        const QByteArray doc = DocHeader{}.bytes() + PageHeader{}.bytes() + whiteLine +
                               PageHeader{}.bytes() + garbage + char(220) + endRecord;
        const QList<int> boundaries{20, 38, 42, 60, 63, 64, 66};
        const QList<int> finishedAt{60, 66};
        sff::StreamReader reader(sff::ReadDepth::Records);
        QCOMPARE(reader.depth(), sff::ReadDepth::Records);
        reader.setSink(&sink);
        for (int fed = 1; fed <= doc.size(); ++fed) {
            reader.feed(QByteArrayView(doc).sliced(fed - 1, 1));
            QVERIFY2(reader.atRecordBoundary() == boundaries.contains(fed),
                     qPrintable(QString::number(fed)));
            const auto finished = std::count_if(finishedAt.begin(), finishedAt.end(),
                                                [fed](int at) { return at <= fed; });
            QCOMPARE(reader.pagesFinished(), int(finished));
        }
        reader.finish();
        QVERIFY(reader.info().isValid());
        QCOMPARE(reader.info().pages[1].lines, 5); // the bad line and 4 white ones
        QCOMPARE(sink.coded, (QList<QByteArray>{whiteLine.mid(1), garbage.mid(1)}));
        QCOMPARE(sink.runLines, 0);
    }

    // Irregular but readable: the document is valid and a note says what was odd.
    void tolerated_data()
    {
        QTest::addColumn<QByteArray>("doc");
        QTest::addColumn<QString>("note"); // empty: no note at all
        const QByteArray h = DocHeader{}.bytes();
        const QByteArray page = PageHeader{}.bytes();
        QTest::newRow("no end record") << h + page + whiteLine << "no end record (FE 00)";
        QTest::newRow("page count disagrees")
            << docWith([](DocHeader &d) { d.pageCount = 3; }) + page + whiteLine + endRecord
            << "header declares 3 pages but the document has 1";
        QTest::newRow("page length disagrees")
            << h + pageWith([](PageHeader &p) { p.pageLength = 7; }) + whiteLine + endRecord
            << "page 1 declares 7 lines but has 1";
        QTest::newRow("bytes after the end record") << h + page + whiteLine + endRecord + "junk"
                                                    << "4 bytes after the end record";
        QTest::newRow("longer page header") << h + pageWith([](PageHeader &p) {
                                                   p.length = 20;
                                                   p.extra = "abcd";
                                               }) + whiteLine +
                                                   endRecord
                                            << QString();
        QTest::newRow("user data before the first page")
            << docWith([](DocHeader &d) { d.firstPage = 27; }) + "userdat" + page + whiteLine +
                   endRecord
            << QString();
        QTest::newRow("page headers that fit FE bytes in their fields")
            << h + pageWith([](PageHeader &p) { p.pageLength = 0xfefe; }) + whiteLine + endRecord
            << "page 1 declares 65278 lines but has 1";
    }
    void tolerated()
    {
        QFETCH(QByteArray, doc);
        QFETCH(QString, note);
        for (int block : {int(doc.size()), 1}) {
            const sff::DocumentInfo info = feedInBlocks(doc, block);
            QVERIFY2(info.isValid(), qPrintable(info.error ? info.error->toString() : ""));
            QCOMPARE(info.pages.size(), 1);
            QCOMPARE(info.pages[0].lines, 1);
            if (note.isEmpty()) {
                QCOMPARE(info.notes.size(), 0);
            } else {
                QCOMPARE(info.notes.size(), 1);
                QVERIFY2(info.notes[0].message.contains(note), qPrintable(info.notes[0].message));
            }
        }
    }

    // A few kilobytes of skip records stand for millions of lines: counted in full, drawn
    // only up to the limit.
    void skipFloodStaysBounded()
    {
        const QByteArray doc = docWith([](DocHeader &d) {
                                   d.pageCount = 0xffff;
                                   d.lastPage = 0xfffffff0;
                               }) +
                               pageWith([](PageHeader &p) { p.pageLength = 0xffff; }) +
                               QByteArray(200000, char(253)) + endRecord;
        sff::DocumentInfo info;
        const QList<QImage> pages = sff::renderDocument(doc, {sff::Aspect::Square, 1000}, &info);
        QCOMPARE(info.pages.size(), 1);
        QCOMPARE(info.pages[0].lines, 200000ll * 37);
        QCOMPARE(pages.size(), 1);
        QCOMPARE(pages[0].height(), 2000);

        // The widest lines a header can claim: the byte budget bounds the lines kept.
        const QByteArray wide = DocHeader{}.bytes() + pageWith([](PageHeader &p) {
                                    p.lineLength = 65535;
                                    p.vres = 1;
                                }) +
                                QByteArray(1000, char(253)) + endRecord;
        sff::RenderOptions options;
        options.maxBytes = 1 << 20;
        const QList<QImage> widePages = sff::renderDocument(wide, options, &info);
        QCOMPARE(info.pages[0].lines, 37000);
        QCOMPARE(widePages.size(), 1);
        QCOMPARE(widePages[0].height(), (1 << 20) / 8192);
    }

    void checkFile_data()
    {
        QTest::addColumn<QString>("name"); // in a temporary folder; "" = the folder itself
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("error"); // empty: valid
        const QByteArray good = sff::writeDocument({drawnPage(1728, 100, 31)}, Resolution::Fine);
        QTest::newRow("valid") << "fax.sff" << good << QString();
        QTest::newRow("missing") << "-" << QByteArray() << "no such file";
        QTest::newRow("folder") << "" << QByteArray() << "is a folder";
        QTest::newRow("empty") << "empty.sff" << QByteArray() << "at byte 0 (0x0): empty file";
        QTest::newRow("text file")
            << "notes.txt" << QByteArray("hello, this is no fax at all") << "not an SFF document";
    }
    void checkFile()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        QFETCH(QString, error);
        QTemporaryDir dir;
        QString path = dir.path();
        if (!name.isEmpty()) {
            path += u'/' + (name == u"-" ? QStringLiteral("absent.sff") : name);
            if (name != u"-") {
                QFile f(path);
                QVERIFY(f.open(QIODevice::WriteOnly));
                f.write(content);
            }
        }
        const sff::DocumentInfo info = sff::checkFile(path);
        if (error.isEmpty()) {
            QVERIFY(info.isValid());
            QCOMPARE(info.pages.size(), 1);
            QCOMPARE(info.pages[0].lines, 100);
            QCOMPARE(info.pages[0].resolution, Resolution::Fine);
        } else {
            QVERIFY(!info.isValid());
            QVERIFY2(info.error->toString().contains(error), qPrintable(info.error->toString()));
        }
    }

    // Files that are not regular files are refused by their type, unopened: /dev/zero would
    // be read for ever, and opening a FIFO waits for a writer.
    void checkFileRefusesWhatIsNoRegularFile_data()
    {
        QTest::addColumn<QString>("path"); // "fifo": a FIFO made in a temporary folder
        QTest::addColumn<QString>("error");
        QTest::newRow("endless device") << "/dev/zero" << "a device, not a regular file";
        QTest::newRow("null device") << "/dev/null" << "a device, not a regular file";
        QTest::newRow("fifo") << "fifo" << "a FIFO (named pipe), not a regular file";
    }
    void checkFileRefusesWhatIsNoRegularFile()
    {
        QFETCH(QString, path);
        QFETCH(QString, error);
        QTemporaryDir dir;
        if (path == u"fifo") {
            path = dir.filePath("pipe.sff");
            QVERIFY(::mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
        } else if (!QFileInfo::exists(path)) {
            QSKIP("no such device here");
        }
        QCOMPARE(sff::notRegularFile(path), error);
        const sff::DocumentInfo info = sff::checkFile(path);
        QVERIFY(!info.isValid());
        QCOMPARE(info.error->toString(), QStringLiteral("%1 is %2").arg(path, error));
    }

    // A document's page count is a 16-bit field, so a page past the 65,535th is a fault. A
    // file of millions of tiny pages stops there, and its notes (one per page that declares
    // the wrong line count) stay a few lines with a count.
    void pageCountAndNotesAreBounded()
    {
        QByteArray page = pageWith([](PageHeader &p) { p.pageLength = 5; }) + whiteLine;
        QByteArray doc = DocHeader{}.bytes();
        for (int i = 0; i < sff::MaxPages; ++i)
            doc += page;
        const sff::DocumentInfo most = sff::checkData(doc + endRecord, nullptr,
                                                      sff::ReadDepth::Records);
        QVERIFY(most.isValid());
        QCOMPARE(most.pages.size(), sff::MaxPages);
        QCOMPARE(most.notes.size(), sff::MaxNotes + 1);
        QCOMPARE(most.notes.last().message,
                 QStringLiteral("%1 more irregularities not listed").arg(sff::MaxPages - sff::MaxNotes));

        const qint64 extraAt = doc.size();
        QTemporaryDir dir;
        QFile f(dir.filePath("many.sff"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(doc);
        for (int i = 0; i < 100; ++i)
            f.write(page);
        f.write(endRecord);
        f.close();
        const sff::DocumentInfo tooMany = sff::checkFile(f.fileName());
        QVERIFY(!tooMany.isValid());
        QCOMPARE(tooMany.error->offset, extraAt);
        QVERIFY2(tooMany.error->message.contains("more than 65535 pages"),
                 qPrintable(tooMany.error->message));
        QCOMPARE(tooMany.pages.size(), sff::MaxPages);
        QVERIFY(tooMany.notes.size() <= sff::MaxNotes + 1);
    }

    // A fault deep in a file that is read in several blocks is reported at its own offset.
    void checkFileFaultOffsetPastFirstBlock()
    {
        sff::Writer w;
        for (int i = 0; i < 40; ++i)
            sff::addPage(w, drawnPage(1728, 400, 40 + i), Resolution::Standard);
        // Eight zero bits then a one: no code. The rest makes the record easy to find.
        const QByteArray bad = QByteArray::fromHex("0080") + "QUILLON!";
        w.beginPage(Resolution::Standard);
        w.addWhiteLines(3);
        w.addCodedLine(bad);
        w.addWhiteLines(2);
        const QByteArray doc = w.finish();
        const qint64 target = doc.indexOf(char(bad.size()) + bad);
        QVERIFY2(target > 65536, qPrintable(QString::number(target)));
        QTemporaryDir dir;
        QFile f(dir.filePath("damaged.sff"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(doc);
        f.close();
        const sff::DocumentInfo info = sff::checkFile(f.fileName());
        QVERIFY(info.error.has_value());
        QCOMPARE(info.error->offset, target);
        QCOMPARE(info.badLines, 1);
        QCOMPARE(info.pages.size(), 41);
        QCOMPARE(info.pages.last().lines, 6); // reading goes on past a bad line

        // Checking the records alone passes the file with the same pages.
        const sff::DocumentInfo records =
            sff::checkFile(f.fileName(), nullptr, sff::ReadDepth::Records);
        QVERIFY(records.isValid());
        QCOMPARE(records.pages.size(), 41);
        QCOMPARE(records.pages.last().lines, 6);
    }
};

QUILLON_TEST_GUILESS_MAIN(TestReader)
#include "tst_reader.moc"
