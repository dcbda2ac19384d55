// Fuzz target: the simulator's frame decoder. The first input byte picks where the rest is split
// into two reads. Decoding must lose and add nothing, and must not depend on the split.
#include "framedecoder.h"

#include <cstdint>
#include <cstdlib>

namespace {

QList<DecodedItem> decode(const QList<QByteArrayView> &pieces)
{
    FrameDecoder decoder;
    QList<DecodedItem> items;
    for (QByteArrayView piece : pieces)
        items += decoder.feed(piece);
    items += decoder.flush();
    if (decoder.hasPending())
        std::abort();
    return items;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const QByteArrayView stream(reinterpret_cast<const char *>(data) + 1, static_cast<qsizetype>(size - 1));
    const qsizetype cut = stream.isEmpty() ? 0 : data[0] % (stream.size() + 1);

    const QList<DecodedItem> whole = decode({stream});
    const QList<DecodedItem> split = decode({stream.first(cut), stream.sliced(cut)});
    if (whole != split)
        std::abort();

    QByteArray joined;
    for (const DecodedItem &item : whole) {
        if (item.bytes.isEmpty() || item.describe().isEmpty())
            std::abort();
        if (item.kind == DecodedItem::Frame && item.bytes.size() != 5 && item.bytes.size() != 6)
            std::abort();
        joined += item.bytes;
    }
    if (joined != stream)
        std::abort();
    return 0;
}
