// The DESCRIBE body parser on arbitrary bytes, in both readings, delivered in arbitrary pieces
// as libcurl may, and the parameter sets and URLs taken from what it finds.
// Checks: the default reading never gives more than five tracks, the real-camera one never more
// than its limit; the tracks after the pieces are those of the whole body in one piece; every
// parameter set is a non-empty NAL unit of the codec's parameter-set types without a start code.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "utils/sdp_parser.h"
#include "utils/slog.h"

using fuzz::check;

namespace {
bool sameTrack(const RtspTrack& a, const RtspTrack& b) {
    return a.media == b.media && a.payloadType == b.payloadType && a.format == b.format &&
           a.clockRate == b.clockRate && a.control == b.control && a.fmtp == b.fmtp;
}

void checkParameterSets(const RtspTrack& track) {
    int codec = RtspSdpParser::h26xCodec(track.format);
    for (const std::vector<uint8_t>& set : sdpParameterSets(track.format, track.fmtp)) {
        check(codec != 0 && set.size() >= 2 && set.back() != 0);
        int type = codec == 264 ? (set[0] & 0x1F) : ((set[0] >> 1) & 0x3F);
        check(codec == 264 ? (type == 7 || type == 8) : (type >= 32 && type <= 34));
        for (size_t i = 0; i + 2 < set.size(); ++i)
            check(!(set[i] == 0 && set[i + 1] == 0 && set[i + 2] == 1));
    }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    SLog::setEnable(false);
    if (size == 0) return 0;
    // The first byte chooses the reading and the piece size; the rest is the body.
    bool real = (data[0] & 0x80) != 0;
    size_t piece = 1 + data[0] % 64;
    const char* body = reinterpret_cast<const char*>(data + 1);
    size_t len = size - 1;

    RtspSdpParser one(real);
    one.feed(body, len);
    one.finish();
    std::vector<RtspTrack> whole = one.tracks();

    RtspSdpParser pieces(real);
    for (size_t at = 0; at < len; at += piece) {
        pieces.feed(body + at, len - at < piece ? len - at : piece);
        check(pieces.tracks().size() <= static_cast<size_t>(RtspSdpParser::kMaxRealCameraTracks));
    }
    pieces.finish();
    std::vector<RtspTrack> split = pieces.tracks();

    size_t limit = real ? RtspSdpParser::kMaxRealCameraTracks : RtspSdpParser::kMaxTracks;
    check(whole.size() <= limit && whole.size() == split.size());
    for (size_t i = 0; i < whole.size(); ++i) {
        check(sameTrack(whole[i], split[i]));
        checkParameterSets(whole[i]);
        std::string url = resolveRtspControl("rtsp://camera/live", whole[i].control);
        check(!url.empty());
    }
    return 0;
}
