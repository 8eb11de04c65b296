#ifndef QUORVANE_UTILS_RTSP_STREAM_INFO_H
#define QUORVANE_UTILS_RTSP_STREAM_INFO_H

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "../quorvane_export.h"
#include "../rtsp_frame.h"

// Follows what a video stream is: codec, size, profile and level from every SPS going past (in
// band, or from the SDP), and the frame rate from the SPS's timing or, without it, from the
// pace of the frames. Fed from the packet thread; snapshots from any thread.
class QUORVANE_EXPORT StreamInfoTracker {
public:
    // The codec named by an SDP encoding (H264, H265, HEVC, any case); Unknown for others.
    static RtspVideoCodec codecFromEncoding(const std::string& encoding);

    void setClockRate(uint32_t clockRate);
    // One Annex-B piece of the depacketizers (start code, then a NAL unit): an SPS is read.
    void onPiece(RtspVideoCodec codec, const unsigned char* data, size_t len);
    // One bare NAL unit without start code, such as the SDP's parameter sets.
    void onNalUnit(RtspVideoCodec codec, const unsigned char* nal, size_t len);
    // One frame: its RTP timestamp when it has one, else its arrival (steady clock) paces it.
    void onFrame(RtspVideoCodec codec, bool hasTimestamp, uint64_t rtpTimestamp, int64_t arrivalNs);

    RtspStreamInfo snapshot() const;

private:
    static constexpr int kPaceFrames = 32;
    double measuredFps() const;

    mutable std::mutex mMutex;  // guards everything below
    RtspStreamInfo mInfo;
    uint32_t mClockRate = 90000;
    // The latest frames' times: RTP ticks, or nanoseconds when the frames carry no timestamp.
    int64_t mPace[kPaceFrames] = {0};
    int mPaceCount = 0;
    int mPaceNext = 0;
    bool mPaceByTimestamp = false;
};

#endif
