// The DESCRIBE body parser on arbitrary bytes, delivered in arbitrary pieces as libcurl may.
// Checks: never more than five tracks, tracks past the count stay empty, and the table after
// the pieces is the table of the whole body in one piece.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "utils/curl_rtsp.h"
#include "utils/slog.h"

namespace {
void check(bool ok) {
    if (!ok) abort();
}

bool sameTrack(const RtspTrack& a, const RtspTrack& b) {
    return a.media == b.media && a.payloadType == b.payloadType && a.format == b.format &&
           a.clockRate == b.clockRate && a.control == b.control;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    SLog::setEnable(false);
    if (size == 0) return 0;
    // The first byte chooses the piece size; the rest is the body.
    size_t piece = 1 + data[0] % 64;
    const char* body = reinterpret_cast<const char*>(data + 1);
    size_t len = size - 1;

    RtspTrack whole[RtspSdpParser::kMaxTracks];
    int wholeCount = -1;
    RtspSdpParser one;
    one.feed(body, len, whole, &wholeCount);
    one.finish(whole, &wholeCount);

    RtspTrack split[RtspSdpParser::kMaxTracks];
    int splitCount = -1;
    RtspSdpParser pieces;
    for (size_t at = 0; at < len; at += piece) {
        size_t n = len - at < piece ? len - at : piece;
        pieces.feed(body + at, n, split, &splitCount);
        check(splitCount >= 0 && splitCount <= RtspSdpParser::kMaxTracks);
    }
    pieces.finish(split, &splitCount);

    check(wholeCount >= 0 && wholeCount <= RtspSdpParser::kMaxTracks);
    check(wholeCount == splitCount);
    for (int i = 0; i < RtspSdpParser::kMaxTracks; ++i) {
        check(sameTrack(whole[i], split[i]));
        if (i >= wholeCount) check(sameTrack(whole[i], RtspTrack()));
    }
    return 0;
}
