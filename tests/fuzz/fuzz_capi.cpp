// Drives capi::decode with arbitrary bytes. Besides crashes and sanitizer reports it checks
// that a message that decodes encodes again, to the same bytes, unless the input took one of
// the liberties the decoder allows and the encoder never takes:
//   - a struct under 255 bytes with the escaped (0xFF, length word) length;
//   - a called party number holding only the default type byte 0x80;
//   - a calling party or connected number holding only the default bytes 0x00 0x80;
//   - an additional info struct whose four parts are all empty (no sending complete).
// Each of these reads as the empty struct would, and is written as the empty struct: the
// re-encoding is then shorter, and decodes to the same message. Error results must carry a
// text and an offset inside the buffer, and every decoded message must give a trace line.

#include "capi/message.h"
#include "capi/trace.h"

#include <cstdint>
#include <cstdlib>

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayView bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const capi::DecodeResult r = capi::decode(bytes);
    if (!r.ok()) {
        check(!r.error().text.isEmpty());
        check(r.error().offset >= 0 && r.error().offset <= bytes.size());
        return 0;
    }
    const capi::Message &m = r.message();
    check(!capi::traceLine(m).isEmpty());
    const QByteArray again = capi::encode(m);
    check(!again.isEmpty());
    if (again != bytes) {
        check(again.size() < bytes.size());
        const capi::DecodeResult r2 = capi::decode(again);
        check(r2.ok() && r2.message() == m);
        check(capi::encode(r2.message()) == again);
    }
    return 0;
}
