// The readers of picture data on arbitrary bytes: both SPS parsers, the stream-info tracker, the
// frame assembler (pieces with arbitrary FrameMeta) and the RTP statistics. Checks: a parsed SPS
// has a plausible size (both sides up to 16384) or none (0), and a rate from 0 (unknown) to 1000; frames hold
// no more bytes than were fed and not yet handed over; the statistics' counts stay consistent.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz/fuzz_check.h"
#include "platform/frame_meta.h"
#include "units/frame_assembler.h"
#include "utils/h26x_sps_parser.h"
#include "utils/rtp_statistics.h"
#include "utils/rtsp_stream_info.h"

using fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    for (bool h265 : {false, true}) {
        H26xSpsInfo info;
        bool ok =
            h265 ? H26xSpsParser::parseH265(data, size, &info) : H26xSpsParser::parseH264(data, size, &info);
        if (ok)
            check(((info.width == 0 && info.height == 0) ||
                   (info.width > 0 && info.width <= 16384 && info.height > 0 && info.height <= 16384)) &&
                  info.fps >= 0 && info.fps <= 1000);
    }
    if (size < 2) return 0;
    // The first byte picks the codec and the piece sizes; the rest is cut into pieces, each
    // preceded by a start code and given FrameMeta from its own first bytes.
    const RtspVideoCodec codec = (data[0] & 1) ? RtspVideoCodec::H265 : RtspVideoCodec::H264;
    const size_t pieceMax = 1 + (data[0] >> 1);
    size_t fed = 0;
    FrameAssembler assembler([&](const RtspFrame& f) {
        check(f.data != nullptr && f.size <= fed && f.codec == codec);
        fed -= f.size;
    });
    StreamInfoTracker tracker;
    RtpStatistics stats;
    int64_t now = 1;
    for (size_t at = 1; at < size;) {
        size_t len = size - at < pieceMax ? size - at : pieceMax;
        uint8_t piece[4 + 128] = {0, 0, 0, 1};
        memcpy(piece + 4, data + at, len);
        BufferInfo info{};
        FrameMeta meta;
        meta.flags = len > 0 ? data[at] : 0;
        meta.rtpTimestamp = len > 1 ? data[at + 1] / 64 : 0;
        meta.lostBefore = len > 2 ? data[at + 2] % 3 : 0;
        FrameMeta::store(info, meta);
        fed += 4 + len;
        tracker.onPiece(codec, piece, 4 + len);
        assembler.push(codec, piece, 4 + len, info, now);
        stats.onPacket(data + at, len, now);
        now += 1000000;
        at += len;
    }
    assembler.flush();
    RtspStreamInfo info = tracker.snapshot();
    check(info.width <= 0xFFFF && info.fps >= 0);
    RtspStatistics s = stats.snapshot(now);
    check(s.packetsDuplicate + s.packetsOutOfOrder <= s.packetsReceived && s.jitterMs >= 0);
    return 0;
}
