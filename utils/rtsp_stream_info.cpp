#include "utils/rtsp_stream_info.h"

#include "utils/h26x_sps_parser.h"
#include "utils/sdp_parser.h"

namespace {
constexpr size_t kStartCodeSize = 4;
}

RtspVideoCodec StreamInfoTracker::codecFromEncoding(const std::string& encoding) {
    switch (RtspSdpParser::h26xCodec(encoding)) {
        case 264:
            return RtspVideoCodec::H264;
        case 265:
            return RtspVideoCodec::H265;
        default:
            return RtspVideoCodec::Unknown;
    }
}

void StreamInfoTracker::setClockRate(uint32_t clockRate) {
    std::lock_guard<std::mutex> lock(mMutex);
    mClockRate = clockRate == 0 ? 90000 : clockRate;
}

void StreamInfoTracker::onPiece(RtspVideoCodec codec, const unsigned char* data, size_t len) {
    if (data == nullptr || len <= kStartCodeSize) return;
    onNalUnit(codec, data + kStartCodeSize, len - kStartCodeSize);
}

void StreamInfoTracker::onNalUnit(RtspVideoCodec codec, const unsigned char* nal, size_t len) {
    if (nal == nullptr || len == 0) return;
    H26xSpsInfo sps;
    bool parsed = false;
    if (codec == RtspVideoCodec::H264 && (nal[0] & 0x1F) == 7)
        parsed = H26xSpsParser::parseH264(nal, len, &sps);
    else if (codec == RtspVideoCodec::H265 && ((nal[0] >> 1) & 0x3F) == 33)
        parsed = H26xSpsParser::parseH265(nal, len, &sps);
    if (!parsed) return;
    std::lock_guard<std::mutex> lock(mMutex);
    mInfo.codec = codec;
    mInfo.width = sps.width;
    mInfo.height = sps.height;
    mInfo.profile = sps.profile;
    mInfo.level = sps.level;
    mInfo.fpsFromSps = sps.fps > 0;
    if (sps.fps > 0) mInfo.fps = sps.fps;
}

void StreamInfoTracker::onFrame(RtspVideoCodec codec, bool hasTimestamp, uint64_t rtpTimestamp,
                                int64_t arrivalNs) {
    std::lock_guard<std::mutex> lock(mMutex);
    if (codec != RtspVideoCodec::Unknown) mInfo.codec = codec;
    if (hasTimestamp != mPaceByTimestamp) {
        mPaceByTimestamp = hasTimestamp;
        mPaceCount = 0;
        mPaceNext = 0;
    }
    mPace[mPaceNext] = hasTimestamp ? static_cast<int64_t>(rtpTimestamp) : arrivalNs;
    mPaceNext = (mPaceNext + 1) % kPaceFrames;
    if (mPaceCount < kPaceFrames) ++mPaceCount;
}

double StreamInfoTracker::measuredFps() const {
    if (mPaceCount < 2) return 0;
    const int newest = (mPaceNext + kPaceFrames - 1) % kPaceFrames;
    const int oldest = mPaceCount < kPaceFrames ? 0 : mPaceNext;
    const int64_t span = mPace[newest] - mPace[oldest];
    if (span <= 0) return 0;
    const double seconds = mPaceByTimestamp ? static_cast<double>(span) / mClockRate : span / 1e9;
    return (mPaceCount - 1) / seconds;
}

RtspStreamInfo StreamInfoTracker::snapshot() const {
    std::lock_guard<std::mutex> lock(mMutex);
    RtspStreamInfo info = mInfo;
    if (!info.fpsFromSps) info.fps = measuredFps();
    return info;
}
