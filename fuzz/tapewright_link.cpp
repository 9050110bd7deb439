// Bytes from the remote link come from another process: however they are cut into reads, the
// framer must return the same pieces, stay within its cap and never crash.
#include "tapewright/LinkFramer.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    // The first byte chooses the read size, the rest is the stream.
    const qsizetype chunk = 1 + data[0] % 64;
    const QByteArray stream(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));
    LinkFramer whole, pieces;
    const QList<QByteArray> expected = whole.feed(stream);
    QList<QByteArray> got;
    for (qsizetype at = 0; at < stream.size(); at += chunk)
        got += pieces.feed(stream.mid(at, chunk));
    if (got != expected || whole.pending() != pieces.pending() || whole.pending() > LinkFramer::maxPieceBytes)
        std::abort();
    for (const QByteArray& piece : got) {
        if (!LinkFramer().feed(LinkFramer::frame(piece.trimmed())).size())
            std::abort();
    }
    return 0;
}
