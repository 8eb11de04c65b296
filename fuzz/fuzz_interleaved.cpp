// The split of a camera's interleaved TCP stream into '$' frames and RTSP messages, fed as the
// relay feeds it: the input read in pieces whose sizes come from the input itself. Checks: a
// frame is '$', channel, length and exactly that many bytes; a message's header block ends with
// an empty line within the limit and its body length is bounded; every piece lies inside what has
// arrived; a piece is the same however many bytes follow it; nothing is split past an invalid byte;
// an answer's CSeq mend keeps the header block whole.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "utils/interleaved_relay_internal.h"

using fuzz::check;
using interleaved_internal::Piece;
using interleaved_internal::Split;
using interleaved_internal::splitInterleaved;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // The first byte sets how many bytes each read brings (1 to 256).
    const size_t step = static_cast<size_t>(data[0]) + 1;
    const uint8_t* stream = data + 1;
    const size_t total = size - 1;
    size_t arrived = 0;
    size_t pos = 0;
    size_t body = 0;
    while (arrived < total) {
        arrived = arrived + step < total ? arrived + step : total;
        for (;;) {
            if (body > 0) {
                const size_t n = body < arrived - pos ? body : arrived - pos;
                body -= n;
                pos += n;
                if (body > 0) break;
                continue;
            }
            if (pos == arrived) break;
            // The relay skips empty lines between messages.
            if (stream[pos] == '\r' || stream[pos] == '\n') {
                ++pos;
                continue;
            }
            const Split split = splitInterleaved(stream + pos, arrived - pos);
            if (split.piece == Piece::Invalid) return 0;
            if (split.piece == Piece::NeedMore) {
                check(arrived - pos < interleaved_internal::kMaxHeaderBytes + 4 + 65535);
                break;
            }
            check(split.length > 0 && split.length <= arrived - pos);
            // The same piece with only its own bytes.
            const Split alone = splitInterleaved(stream + pos, split.length);
            check(alone.piece == split.piece && alone.length == split.length &&
                  alone.bodyLength == split.bodyLength);
            if (split.piece == Piece::Frame) {
                check(stream[pos] == '$' &&
                      split.length == 4 + ((size_t{stream[pos + 2]} << 8) | stream[pos + 3]));
                check(split.bodyLength == 0);
            } else {
                check(split.length <= interleaved_internal::kMaxHeaderBytes);
                check(stream[pos + split.length - 1] == '\n');
                check(split.bodyLength <= interleaved_internal::kMaxBodyBytes);
                // An answer's CSeq mended: the block still ends where it did, a CSeq line is added
                // at most, and a request (or an answer with its CSeq) passes unchanged.
                const std::string mended =
                    interleaved_internal::mendAnswerCSeq(stream + pos, split.length, 7);
                check(mended.size() <= split.length + 9 && mended.back() == '\n');
                check(stream[pos] == 'R' || mended.size() == split.length);
                body = split.bodyLength;
            }
            pos += split.length;
        }
    }
    return 0;
}
