// Drives the exchange's frame reader and frame parser with arbitrary client bytes. Besides
// crashes and sanitizer reports it checks that the stream splits into the same frames
// whether it arrives at once or byte by byte, that no frame beyond the limit is taken, and
// that a parsed CAPI message framed again parses to the same message.

#include "exchange/wire.h"

#include <cstdint>
#include <cstdlib>

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

// The frames of a stream and how it ended, fed in pieces of `step` bytes.
QList<QByteArray> split(QByteArrayView bytes, qsizetype step, bool *error)
{
    exchange::FrameReader reader;
    QList<QByteArray> frames;
    *error = false;
    for (qsizetype at = 0; at < bytes.size() && !*error; at += step) {
        reader.append(bytes.sliced(at, qMin(step, bytes.size() - at)));
        for (;;) {
            QByteArray body;
            QString why;
            const auto status = reader.next(&body, &why);
            if (status == exchange::FrameReader::Status::NeedMore)
                break;
            if (status == exchange::FrameReader::Status::Error) {
                *error = true;
                break;
            }
            check(body.size() + 2 <= exchange::MaxFrame);
            frames.append(body);
        }
        check(reader.buffered() <= exchange::MaxFrame + step);
    }
    return frames;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayView bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    bool errorAtOnce = false, errorByByte = false;
    const QList<QByteArray> atOnce = split(bytes, qMax<qsizetype>(1, bytes.size()), &errorAtOnce);
    const QList<QByteArray> byByte = split(bytes, 1, &errorByByte);
    check(atOnce == byByte && errorAtOnce == errorByByte);

    for (const QByteArray &body : atOnce) {
        const exchange::Frame f = exchange::parseFrame(body);
        if (const auto *c = std::get_if<exchange::CapiFrame>(&f)) {
            QByteArray again = capi::encode(c->message);
            if (c->message.command == capi::Command::DataB3)
                again.append(c->message.data);
            const exchange::Frame reparsed = exchange::parseFrame(again);
            const auto *r = std::get_if<exchange::CapiFrame>(&reparsed);
            check(r && r->message == c->message);
        }
    }
    // The body alone, as a frame of its own.
    if (bytes.size() + 2 <= exchange::MaxFrame)
        (void)exchange::parseFrame(bytes);
    return 0;
}
