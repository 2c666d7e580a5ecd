// Drives the SFF reader, the renderer and the Modified Huffman decoder with arbitrary bytes.
// Besides crashes and sanitizer reports it checks four things that must always hold:
// reading in blocks gives the same result as reading at once, a decoded line stays within
// its line length, the three ways to decode a line (runs, check only, straight to pixels)
// agree on the result and the pixels, and a line that decodes re-encodes to codes that decode
// to the same runs.

#include "sff/mh.h"
#include "sff/reader.h"
#include "sff/gui/render.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

QString summary(const sff::DocumentInfo &info)
{
    QString s = QString::number(info.size) + u'|' +
                (info.error ? info.error->toString() : QString()) + u'|' +
                QString::number(info.illegalLines) + u'|' + QString::number(info.badLines);
    for (const auto &p : info.pages)
        s += QStringLiteral("|%1:%2:%3").arg(p.offset).arg(p.lines).arg(p.lineLength);
    for (const auto &n : info.notes)
        s += u'|' + n.toString();
    return s;
}

void check(bool ok)
{
    if (!ok)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayView bytes(reinterpret_cast<const char *>(data), qsizetype(size));

    // The whole document, drawn with a small line limit.
    sff::PageRenderer renderer({sff::Aspect::Square, 256});
    int pages = 0;
    renderer.onPage = [&pages](int, const QImage &page) {
        ++pages;
        check(!page.isNull() && page.height() <= 512);
    };
    const sff::DocumentInfo whole = sff::checkData(bytes, &renderer);
    check(pages == whole.pages.size());

    // The same bytes in blocks whose size the first byte picks.
    const qsizetype block = size ? 1 + data[0] % 64 : 1;
    sff::StreamReader reader;
    for (qsizetype at = 0; at < bytes.size(); at += block)
        reader.feed(bytes.sliced(at, std::min(block, bytes.size() - at)));
    reader.finish();
    check(summary(reader.info()) == summary(whole));

    // The bytes as one coded line; the first two bytes pick the line length.
    if (size >= 2) {
        const int lineLength = 1 + ((data[0] | (data[1] << 8)) % 4000);
        sff::mh::Runs runs;
        const auto r = sff::mh::decodeLine(data + 2, qsizetype(size - 2), lineLength, &runs);
        long total = 0;
        for (int run : runs)
            total += run;
        check(total <= lineLength && r.pixels <= lineLength);
        const auto checked = sff::mh::decodeLine(data + 2, qsizetype(size - 2), lineLength);
        const int rowBytes = (lineLength + 7) / 8;
        // A guard byte past the row shows a write outside it.
        std::vector<uchar> want(static_cast<size_t>(rowBytes));
        std::vector<uchar> row(static_cast<size_t>(rowBytes) + 1, 0x5a);
        sff::mh::runsToRow(runs, want.data(), lineLength);
        const auto direct = sff::mh::decodeRow(data + 2, qsizetype(size - 2), lineLength, row.data());
        for (const auto &other : {checked, direct})
            check(other.status == r.status && other.pixels == r.pixels && other.bitPos == r.bitPos);
        check(std::equal(want.begin(), want.end(), row.begin()) && row.back() == 0x5a);
        if (r.ok()) {
            check(total == lineLength);
            const QByteArray again = sff::mh::encodeRuns(runs);
            sff::mh::Runs back;
            const auto r2 = sff::mh::decodeLine(reinterpret_cast<const uchar *>(again.constData()),
                                                again.size(), lineLength, &back);
            check(r2.ok() && back == runs);
        }
    }
    return 0;
}
