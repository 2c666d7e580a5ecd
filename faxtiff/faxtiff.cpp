#include "faxtiff/faxtiff.h"

#include "sff/mh.h"
#include "sff/reader.h"
#include "sff/writer.h"

#include <QFile>
#include <QtEndian>

#include <tiffio.h>

#include <cstdarg>
#include <cstdio>
#include <memory>

namespace faxtiff {

namespace {

// Collects libtiff's first error message of one open file.
int captureError(TIFF *, void *userData, const char *module, const char *fmt, va_list ap)
{
    auto *message = static_cast<QString *>(userData);
    if (message->isEmpty()) {
        char text[512];
        std::vsnprintf(text, sizeof text, fmt, ap);
        *message = module ? QStringLiteral("%1: %2").arg(QString::fromUtf8(module),
                                                         QString::fromUtf8(text))
                          : QString::fromUtf8(text);
    }
    return 1;
}

int ignoreWarning(TIFF *, void *, const char *, const char *, va_list)
{
    return 1;
}

struct TiffCloser
{
    void operator()(TIFF *tif) const { TIFFClose(tif); }
};
using TiffHandle = std::unique_ptr<TIFF, TiffCloser>;

TiffHandle openTiff(const QString &path, const char *mode, QString *message)
{
    TIFFOpenOptions *opts = TIFFOpenOptionsAlloc();
    TIFFOpenOptionsSetErrorHandlerExtR(opts, captureError, message);
    TIFFOpenOptionsSetWarningHandlerExtR(opts, ignoreWarning, nullptr);
    TIFF *tif = TIFFOpenExt(QFile::encodeName(path).constData(), mode, opts);
    TIFFOpenOptionsFree(opts);
    return TiffHandle(tif);
}

// The coded lines of one page, each as it will stand in its strip (without any EOL).
struct PageLines
{
    sff::Resolution resolution = sff::Resolution::Standard;
    int lineLength = sff::A4LineLength;
    QList<QByteArray> lines;
};

// Pads the runs of a line that stopped early with white up to the line length.
void padRuns(sff::mh::Runs &runs, int lineLength)
{
    int sum = 0;
    for (int r : runs)
        sum += r;
    if (sum >= lineLength)
        return;
    if (runs.size() % 2 == 1)
        runs.back() += lineLength - sum;
    else
        runs.push_back(lineLength - sum);
}

// Walks the records of a document the reader has found valid and collects the code bytes of
// every line. The reader has checked the structure; this walk still never reads past the end.
QList<PageLines> collectLines(QByteArrayView data)
{
    QList<PageLines> pages;
    const auto *p = reinterpret_cast<const uchar *>(data.data());
    const qsizetype n = data.size();
    if (n < sff::DocumentHeaderSize)
        return pages;
    qsizetype at = qFromLittleEndian<quint16>(p + 10);
    QByteArray white;
    sff::mh::Runs runs;
    auto addCoded = [&](const uchar *code, qsizetype size) {
        PageLines &page = pages.last();
        const auto r = sff::mh::decodeLine(code, size, page.lineLength, &runs);
        if (r.ok()) {
            page.lines.append(QByteArray(reinterpret_cast<const char *>(code), size));
        } else {
            padRuns(runs, page.lineLength);
            page.lines.append(sff::mh::encodeRuns(runs));
        }
    };
    while (at < n) {
        const uchar b = p[at];
        if (b == 254) {
            if (at + 1 >= n || p[at + 1] == 0)
                break;
            const int length = p[at + 1];
            if (at + 2 + length > n)
                break;
            PageLines page;
            page.resolution = p[at + 2] == 1 ? sff::Resolution::Fine : sff::Resolution::Standard;
            page.lineLength = qFromLittleEndian<quint16>(p + at + 6);
            const int whiteRun[] = {page.lineLength};
            white = sff::mh::encodeRuns(whiteRun);
            pages.append(page);
            at += 2 + length;
        } else if (pages.isEmpty()) {
            break;
        } else if (b >= 1 && b <= sff::MaxShortLine) {
            addCoded(p + at + 1, std::min<qsizetype>(b, n - at - 1));
            at += 1 + b;
        } else if (b == 0) {
            if (at + 3 > n)
                break;
            const int length = qFromLittleEndian<quint16>(p + at + 1);
            addCoded(p + at + 3, std::min<qsizetype>(length, n - at - 3));
            at += 3 + length;
        } else if (b < 254) {
            for (int i = 0; i < b - sff::MaxShortLine; ++i)
                pages.last().lines.append(white);
            at += 1;
        } else { // 255
            if (at + 1 >= n)
                break;
            const int length = p[at + 1];
            if (length == 0)
                pages.last().lines.append(white);
            at += 2 + length;
        }
    }
    return pages;
}

// A TIFF header whose first directory offset is 0: a file of no pages.
bool hasNoDirectory(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray head = file.read(16);
    const auto *p = reinterpret_cast<const uchar *>(head.constData());
    const bool little = head.startsWith("II");
    if (!little && !head.startsWith("MM"))
        return false;
    auto u16 = [&](int at) {
        return little ? qFromLittleEndian<quint16>(p + at) : qFromBigEndian<quint16>(p + at);
    };
    if (head.size() >= 8 && u16(2) == 42)
        return (little ? qFromLittleEndian<quint32>(p + 4) : qFromBigEndian<quint32>(p + 4)) == 0;
    if (head.size() >= 16 && u16(2) == 43) // BigTIFF
        return (little ? qFromLittleEndian<quint64>(p + 8) : qFromBigEndian<quint64>(p + 8)) == 0;
    return false;
}

QString statusText(const QString &what, const QString &path, const QString &libtiff)
{
    return libtiff.isEmpty() ? QStringLiteral("%1 %2").arg(what, path)
                             : QStringLiteral("%1 %2: %3").arg(what, path, libtiff);
}

} // namespace

bool sffToTiff(QByteArrayView sff, const QString &tiffPath, const WriteOptions &options,
               QString *error)
{
    auto fail = [&](const QString &message) {
        if (error)
            *error = message;
        return false;
    };
    const sff::DocumentInfo info = sff::checkData(sff);
    if (info.error)
        return fail(QStringLiteral("not a valid SFF document: %1").arg(info.error->toString()));
    if (info.pages.isEmpty())
        return fail(QStringLiteral("the SFF document has no pages"));
    QList<PageLines> pages = collectLines(sff);
    if (pages.isEmpty())
        return fail(QStringLiteral("the SFF document has no pages"));

    QString tiffError;
    TiffHandle tif = openTiff(tiffPath, "w", &tiffError);
    if (!tif)
        return fail(statusText(QStringLiteral("cannot create"), tiffPath, tiffError));

    const bool eol = options.coding == TiffCoding::T4OneDim;
    const int pageCount = int(pages.size());
    QByteArray strip;
    for (int index = 0; index < pageCount; ++index) {
        PageLines &page = pages[index];
        if (options.topRows) {
            const QList<QByteArray> rows =
                options.topRows(index, pageCount, page.lineLength, page.resolution);
            const qsizetype stride = (page.lineLength + 7) / 8;
            for (qsizetype r = 0; r < rows.size() && r < page.lines.size(); ++r) {
                if (rows[r].size() < stride)
                    continue;
                QByteArray coded;
                sff::mh::encodeRow(reinterpret_cast<const uchar *>(rows[r].constData()),
                                   page.lineLength, coded);
                page.lines[r] = coded;
            }
        }
        if (page.lines.isEmpty()) { // a TIFF image needs a row
            const int whiteRun[] = {page.lineLength};
            page.lines.append(sff::mh::encodeRuns(whiteRun));
        }
        TIFF *t = tif.get();
        TIFFSetField(t, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
        TIFFSetField(t, TIFFTAG_IMAGEWIDTH, uint32_t(page.lineLength));
        TIFFSetField(t, TIFFTAG_IMAGELENGTH, uint32_t(page.lines.size()));
        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, uint16_t(1));
        TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, uint16_t(1));
        TIFFSetField(t, TIFFTAG_PHOTOMETRIC, uint16_t(PHOTOMETRIC_MINISWHITE));
        TIFFSetField(t, TIFFTAG_PLANARCONFIG, uint16_t(PLANARCONFIG_CONTIG));
        TIFFSetField(t, TIFFTAG_FILLORDER, uint16_t(FILLORDER_LSB2MSB));
        TIFFSetField(t, TIFFTAG_COMPRESSION,
                     uint16_t(eol ? COMPRESSION_CCITTFAX3 : COMPRESSION_CCITTRLE));
        if (eol)
            TIFFSetField(t, TIFFTAG_GROUP3OPTIONS, uint32_t(GROUP3OPT_FILLBITS));
        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, uint32_t(1));
        TIFFSetField(t, TIFFTAG_XRESOLUTION, 204.0);
        TIFFSetField(t, TIFFTAG_YRESOLUTION,
                     page.resolution == sff::Resolution::Fine ? 196.0 : 98.0);
        TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, uint16_t(RESUNIT_INCH));
        TIFFSetField(t, TIFFTAG_PAGENUMBER, uint16_t(index), uint16_t(pageCount));
        TIFFSetField(t, TIFFTAG_SOFTWARE, "Quillon");
        for (qsizetype row = 0; row < page.lines.size(); ++row) {
            const QByteArray &line = page.lines[row];
            strip.clear();
            if (eol) // fill bits, then the EOL 000000000001 ending on a byte boundary
                strip.append("\x00\x80", 2);
            strip.append(line);
            if (TIFFWriteRawStrip(t, uint32_t(row), strip.data(), strip.size()) < 0)
                return fail(statusText(QStringLiteral("cannot write"), tiffPath, tiffError));
        }
        if (!TIFFWriteDirectory(t))
            return fail(statusText(QStringLiteral("cannot write"), tiffPath, tiffError));
    }
    TIFFFlush(tif.get());
    if (!tiffError.isEmpty())
        return fail(statusText(QStringLiteral("cannot write"), tiffPath, tiffError));
    return true;
}

namespace {

using PageReader = PageSink;

// The pages of an open file from its current directory, page `index` (from 0), on: pages
// before firstPage are passed over, a page after lastPage (-1: none) ends the read. `index`
// ends one past the last page reached, and `lastDirectory` (when given) at the offset of its
// directory (libtiff forgets it once it found no next one). False, with the reason in
// `result`, when a page is refused.
bool readDirectories(TIFF *t, const QString &path, const QString &tiffError, int &index,
                     int firstPage, int lastPage, const ReadLimits &limits, PageReader &out,
                     TiffReadResult &result, quint64 *lastDirectory = nullptr)
{
    auto failed = [&](const QString &message) {
        result.ok = false;
        result.error = message;
        return false;
    };
    qint64 pixels = 0;
    QByteArray scan;
    QByteArray packed;
    do {
        if (lastPage >= 0 && index > lastPage)
            break;
        if (lastDirectory)
            *lastDirectory = TIFFCurrentDirOffset(t);
        if (index < firstPage) {
            ++index;
            continue;
        }
        const QString where = QStringLiteral("page %1").arg(index + 1);
        uint16_t bits = 1, samples = 1, compression = COMPRESSION_NONE,
                 photometric = PHOTOMETRIC_MINISWHITE;
        uint32_t width = 0, length = 0;
        TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &bits);
        TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &samples);
        TIFFGetFieldDefaulted(t, TIFFTAG_COMPRESSION, &compression);
        TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &width);
        TIFFGetField(t, TIFFTAG_IMAGELENGTH, &length);
        if (!TIFFGetField(t, TIFFTAG_PHOTOMETRIC, &photometric))
            photometric = PHOTOMETRIC_MINISWHITE;
        // Rows are read one by one from black-and-white images in strips; a sink that takes
        // pictures gets everything else whole, through libtiff's RGBA reader.
        const bool bilevel = bits == 1 && samples == 1 &&
                             (photometric == PHOTOMETRIC_MINISWHITE ||
                              photometric == PHOTOMETRIC_MINISBLACK) &&
                             !TIFFIsTiled(t);
        const bool asPicture = !bilevel && out.takesPictures();
        if (!asPicture && (bits != 1 || samples != 1))
            return failed(QStringLiteral("%1 is not bilevel (%2 bits per sample, %3 samples "
                                       "per pixel)").arg(where).arg(bits).arg(samples));
        if (!asPicture && photometric != PHOTOMETRIC_MINISWHITE &&
            photometric != PHOTOMETRIC_MINISBLACK)
            return failed(QStringLiteral("%1 has photometric interpretation %2; only black and "
                                       "white images convert").arg(where).arg(photometric));
        if (!TIFFIsCODECConfigured(compression))
            return failed(QStringLiteral("%1 uses compression %2, which cannot be decoded")
                            .arg(where).arg(compression));
        if (!asPicture && TIFFIsTiled(t))
            return failed(QStringLiteral("%1 is tiled; only images in strips convert").arg(where));
        if (width == 0 || length == 0)
            return failed(QStringLiteral("%1 is empty (%2 x %3 pixels)").arg(where).arg(width)
                            .arg(length));
        if (width > uint32_t(limits.maxWidth))
            return failed(QStringLiteral("%1 is %2 pixels wide; at most %3 convert")
                            .arg(where).arg(width).arg(limits.maxWidth));
        if (bilevel && qint64(width) * length > limits.maxPagePixels)
            return failed(QStringLiteral("%1 is %2 x %3 pixels; at most %4 pixels a page convert")
                            .arg(where).arg(width).arg(length).arg(limits.maxPagePixels));
        pixels += qint64(width) * length;
        if (pixels > limits.maxPixels)
            return failed(QStringLiteral("%1 brings the pixels to more than %2")
                            .arg(where).arg(limits.maxPixels));

        TiffPage page;
        page.width = int(width);
        page.rows = int(length);
        page.bilevel = bilevel;
        page.inverted = bilevel && photometric == PHOTOMETRIC_MINISBLACK;
        float xres = 0;
        float yres = 0;
        uint16_t unit = RESUNIT_INCH;
        TIFFGetFieldDefaulted(t, TIFFTAG_RESOLUTIONUNIT, &unit);
        const double perInch = unit == RESUNIT_CENTIMETER ? 2.54 : 1.0;
        if (TIFFGetField(t, TIFFTAG_XRESOLUTION, &xres) && xres > 0)
            page.xDpi = xres * perInch;
        if (TIFFGetField(t, TIFFTAG_YRESOLUTION, &yres) && yres > 0) {
            page.yDpi = yres * perInch;
            if (page.yDpi >= 147)
                page.resolution = sff::Resolution::Fine;
        }

        if (asPicture) {
            if (qint64(width) * length > limits.maxPicturePixels)
                return failed(QStringLiteral("%1 is a picture of %2 x %3 pixels; at most %4 "
                                           "pixels convert")
                                .arg(where).arg(width).arg(length).arg(limits.maxPicturePixels));
            QList<quint32> rgba;
            rgba.resize(qsizetype(width) * length);
            if (!TIFFReadRGBAImageOriented(t, width, length, rgba.data(), ORIENTATION_TOPLEFT, 0))
                return failed(statusText(QStringLiteral("cannot read %1 of").arg(where), path,
                                       tiffError));
            out.picture(page, rgba.constData());
            result.pages.append(page);
            ++index;
            continue;
        }

        const tmsize_t scanSize = TIFFScanlineSize(t);
        const int stride = int((width + 7) / 8);
        if (scanSize < stride)
            return failed(QStringLiteral("%1 has rows shorter than its width").arg(where));
        scan.resize(scanSize);
        out.beginPage(page);
        for (uint32_t row = 0; row < length; ++row) {
            if (TIFFReadScanline(t, scan.data(), row) < 0)
                return failed(statusText(QStringLiteral("cannot read row %1 of %2 in")
                                           .arg(row + 1).arg(where),
                                       path, tiffError));
            auto *bytes = reinterpret_cast<uchar *>(scan.data());
            if (page.inverted) {
                for (int i = 0; i < stride; ++i)
                    bytes[i] = uchar(~bytes[i]);
            }
            if (width % 8) // bits past the width are padding
                bytes[stride - 1] &= uchar(0xff << (8 - width % 8));
            out.row(bytes);
        }
        out.endPage();
        result.pages.append(page);
        ++index;
    } while (TIFFReadDirectory(t));
    return true;
}

// Pages firstPage to lastPage (from 0; lastPage -1: to the end).
TiffReadResult readTiff(const QString &path, int firstPage, int lastPage, const ReadLimits &limits,
                        PageReader &out)
{
    TiffReadResult result;
    auto fail = [&](const QString &message) {
        result.ok = false;
        result.error = message;
        return result;
    };
    QString tiffError;
    TiffHandle tif = openTiff(path, "r", &tiffError);
    if (!tif) {
        // libtiff refuses a file without directories silently; say what it lacks.
        if (tiffError.isEmpty() && hasNoDirectory(path))
            return fail(QStringLiteral("%1 has no pages").arg(path));
        return fail(statusText(QStringLiteral("cannot open"), path, tiffError));
    }
    TIFF *t = tif.get();
    result.pageCount = int(TIFFNumberOfDirectories(t));
    int index = 0;
    if (!readDirectories(t, path, tiffError, index, firstPage, lastPage, limits, out, result))
        return result;
    if (result.pages.isEmpty() && firstPage == 0)
        return fail(QStringLiteral("%1 has no pages").arg(path));
    result.ok = true;
    return result;
}

struct WriterReader : PageReader
{
    sff::Writer writer;
    void beginPage(const TiffPage &page) override { writer.beginPage(page.resolution, page.width); }
    void row(const uchar *packed) override { writer.addRow(packed); }
    void endPage() override { writer.endPage(); }
};

// Each page as a one-page document whose header and end record are cut off.
struct RecordsReader : PageReader
{
    QByteArray records;
    std::unique_ptr<sff::Writer> writer;
    void beginPage(const TiffPage &page) override
    {
        writer = std::make_unique<sff::Writer>();
        writer->beginPage(page.resolution, page.width);
    }
    void row(const uchar *packed) override { writer->addRow(packed); }
    void endPage() override
    {
        const QByteArray doc = writer->finish();
        records.append(doc.mid(sff::DocumentHeaderSize,
                               doc.size() - sff::DocumentHeaderSize - 2));
        writer.reset();
    }
};

} // namespace

TiffReadResult readTiffPages(const QString &tiffPath, PageSink &sink, const ReadLimits &limits,
                             int firstPage, int lastPage)
{
    return readTiff(tiffPath, firstPage, lastPage, limits, sink);
}

TiffReadResult tiffToSff(const QString &tiffPath, QByteArray *sff, const ReadLimits &limits)
{
    WriterReader reader;
    TiffReadResult result = readTiff(tiffPath, 0, -1, limits, reader);
    if (result.ok && sff)
        *sff = reader.writer.finish();
    return result;
}

TiffReadResult tiffPagesToSffRecords(const QString &tiffPath, int firstPage, QByteArray *records,
                                     const ReadLimits &limits)
{
    RecordsReader reader;
    TiffReadResult result = readTiff(tiffPath, firstPage, -1, limits, reader);
    if (result.ok && records)
        *records = reader.records;
    return result;
}

struct GrowingTiffReader::State
{
    QString path;
    QString error; // libtiff's message, for the open file's error handler
    TiffHandle tif;
    int pages = 0;             // pages read so far
    quint64 lastDirectory = 0; // the offset of the last one's directory
};

GrowingTiffReader::GrowingTiffReader(const QString &path) : m_state(std::make_unique<State>())
{
    m_state->path = path;
}

GrowingTiffReader::~GrowingTiffReader() = default;

int GrowingTiffReader::pagesRead() const
{
    return m_state->pages;
}

TiffReadResult GrowingTiffReader::readNewPages(QByteArray *records, const ReadLimits &limits)
{
    State &s = *m_state;
    TiffReadResult result;
    s.error.clear();
    if (!s.tif || s.pages == 0) {
        // Not mapped: a map would end where the file ended when it was opened.
        s.tif = openTiff(s.path, "rm", &s.error);
        s.pages = 0;
        if (!s.tif) {
            result.error = statusText(QStringLiteral("cannot open"), s.path, s.error);
            return result;
        }
    } else {
        // The last page's directory had no next one when it was read: read it again for the
        // link the writer has set since. Its offset is known, so libtiff does not walk the
        // directories before it.
        if (!TIFFSetSubDirectory(s.tif.get(), s.lastDirectory)) {
            result.error = statusText(QStringLiteral("cannot read page %1 again in").arg(s.pages),
                                      s.path, s.error);
            return result;
        }
        if (!TIFFReadDirectory(s.tif.get())) {
            result.ok = true; // no page since
            result.pageCount = s.pages;
            return result;
        }
    }
    int index = s.pages;
    quint64 last = 0;
    RecordsReader reader;
    if (!readDirectories(s.tif.get(), s.path, s.error, index, index, -1, limits, reader, result,
                         &last))
        return result;
    s.pages = index;
    s.lastDirectory = last;
    result.pageCount = index;
    result.ok = true;
    if (records)
        *records = reader.records;
    return result;
}

QByteArray sffStreamHeader()
{
    QByteArray header(sff::DocumentHeaderSize, '\0');
    qToLittleEndian(sff::DocumentId, header.data());
    header[4] = 1;
    qToLittleEndian(quint16(sff::DocumentHeaderSize), header.data() + 10);
    return header;
}

QByteArray sffEndRecord()
{
    return QByteArray("\xfe\x00", 2);
}

} // namespace faxtiff
