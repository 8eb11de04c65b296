#include "units/frame_assembler.h"

#include <chrono>

#include "platform/frame_meta.h"

namespace {

constexpr unsigned long kStartCodeSize = 4;
// Seconds from 1900 (NTP era 0) to 1970.
constexpr int64_t kNtpToUnixSeconds = 2208988800LL;

int64_t wallNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

int64_t steadyNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

FrameAssembler::NalKind FrameAssembler::classify(RtspVideoCodec codec, const unsigned char* data,
                                                 unsigned long len) {
    NalKind kind;
    if (len <= kStartCodeSize) return kind;
    const unsigned char* nal = data + kStartCodeSize;
    const unsigned long nalLen = len - kStartCodeSize;
    if (codec == RtspVideoCodec::H264) {
        unsigned type = nal[0] & 0x1F;
        kind.vcl = type >= 1 && type <= 5;
        // first_mb_in_slice is ue(v): a leading 1 bit codes 0, the first slice of a picture.
        kind.firstSliceOfPicture = kind.vcl && nalLen > 1 && (nal[1] & 0x80) != 0;
        // H.264 7.4.1.2.3: SEI, SPS, PPS, delimiter and types 13-18 come before their picture.
        kind.prefix = (type >= 6 && type <= 9) || (type >= 13 && type <= 18);
        kind.parameterSet = type == 7 || type == 8;
        kind.keyframe = type == 5;
    } else if (codec == RtspVideoCodec::H265) {
        if (nalLen < 2) return kind;
        unsigned type = (nal[0] >> 1) & 0x3F;
        kind.vcl = type <= 31;
        // H.265 7.3.6.1: first_slice_segment_in_pic_flag is the first bit after the header.
        kind.firstSliceOfPicture = kind.vcl && nalLen > 2 && (nal[2] & 0x80) != 0;
        // H.265 7.4.2.4.4: VPS, SPS, PPS, delimiter, prefix SEI and types 41-44, 48-55 open an
        // access unit.
        kind.prefix = (type >= 32 && type <= 35) || type == 39 || (type >= 41 && type <= 44) ||
                      (type >= 48 && type <= 55);
        kind.parameterSet = type >= 32 && type <= 34;
        kind.keyframe = type >= 16 && type <= 23;  // IRAP
    }
    return kind;
}

void FrameAssembler::push(RtspVideoCodec codec, const unsigned char* data, unsigned long len,
                          const BufferInfo& info, int64_t arrivalNs) {
    if (data == nullptr || len <= kStartCodeSize || codec == RtspVideoCodec::Unknown) return;
    const FrameMeta meta = FrameMeta::load(info);
    const bool hasMeta = (meta.flags & FrameMeta::kValid) != 0;
    const NalKind kind = classify(codec, data, len);

    // Does this piece begin the next frame?
    if (mHasPicture) {
        bool next;
        if (codec != mCodec)
            next = true;
        else if (hasMeta && mHasTimestamp)
            next = meta.rtpTimestamp != mTimestamp;
        else
            next = kind.prefix || kind.firstSliceOfPicture;
        // A damaged piece (packets lost or a unit given up before it) that begins the next frame:
        // this one has not seen its end, so what was lost may have been its last part.
        if (next && hasMeta && (meta.flags & FrameMeta::kComplete) == 0) mComplete = false;
        if (next) emit();
    }

    if (mSize + len > kMaxFrameBytes) mOverflow = true;
    if (!mOverflow) {
        if (mKeepBytes) mBytes.insert(mBytes.end(), data, data + len);
        mSize += len;
    }
    mCodec = codec;
    mKeyframe = mKeyframe || kind.keyframe || (hasMeta && (meta.flags & FrameMeta::kKeyframe) != 0);
    mParameterSets = mParameterSets || kind.parameterSet;
    mComplete = mComplete && hasMeta && (meta.flags & FrameMeta::kComplete) != 0;
    mLost += meta.lostBefore;
    mArrivalNs = arrivalNs;
    if (hasMeta) {
        mHasTimestamp = true;
        mTimestamp = meta.rtpTimestamp;
    }
    if (kind.vcl) mHasPicture = true;

    // Does it end this frame?
    if (mHasPicture) {
        if (hasMeta ? (meta.flags & FrameMeta::kAccessUnitEnd) != 0
                    : codec == RtspVideoCodec::H264 && kind.vcl)  // H.264 pictures come whole
            emit();
    }
}

void FrameAssembler::setSession(uint32_t session) {
    if (session == mSession) return;
    flush();
    mSession = session;
    mSenderClock = RtcpSenderClock();
}

void FrameAssembler::setSenderClock(const RtcpSenderClock& clock) {
    if (!clock.valid) {
        mSenderClock = clock;
        return;
    }
    if (clock.ntp == 0 || (mSenderClock.valid && clock.ntp < mSenderClock.ntp)) return;
    mSenderClock = clock;
}

void FrameAssembler::flush() {
    if (mHasPicture)
        emit();  // resets before the sink runs: what the sink gathers again is kept
    else
        reset();
}

int64_t FrameAssembler::arrivalWallClockNs(int64_t steadyNs) {
    return wallNowNs() - (steadyNowNs() - steadyNs);
}

int64_t FrameAssembler::wallClockNs(const RtcpSenderClock& clock, uint64_t rtpTimestamp, uint32_t clockRate) {
    if (clockRate == 0) clockRate = 90000;
    const int64_t seconds = static_cast<int64_t>(clock.ntp >> 32) - kNtpToUnixSeconds;
    const int64_t fraction = static_cast<int64_t>(((clock.ntp & 0xFFFFFFFFu) * 1000000000ULL) >> 32);
    // RFC 3550 6.4.1: the report's RTP timestamp belongs to its NTP time; pictures near it differ
    // by less than half the 32-bit range, so the difference is taken modulo 2^32.
    const int32_t ticks = static_cast<int32_t>(static_cast<uint32_t>(rtpTimestamp) - clock.rtpTimestamp);
    return seconds * 1000000000LL + fraction + static_cast<int64_t>(ticks) * 1000000000LL / clockRate;
}

void FrameAssembler::emit() {
    if (!mHasPicture) return;
    if (mOverflow) {
        ++mOversized;
        reset();
        return;
    }
    // The frame leaves the assembler before the sink sees it: a sink that ends the session
    // (flush) or feeds pieces again finds an empty assembler, never this frame a second time.
    std::vector<unsigned char> bytes;
    bytes.swap(mBytes);
    RtspFrame frame;
    frame.codec = mCodec;
    frame.data = mKeepBytes && bytes.size() == mSize ? bytes.data() : nullptr;
    frame.size = static_cast<unsigned long>(mSize);
    frame.rtpTimestamp = mHasTimestamp ? mTimestamp : 0;
    frame.hasRtpTimestamp = mHasTimestamp;
    frame.arrivalNs = mArrivalNs;
    if (mHasTimestamp && mSenderClock.valid) {
        frame.presentationNs = wallClockNs(mSenderClock, mTimestamp, mClockRate);
        frame.presentationFromSenderReport = true;
    } else {
        frame.presentationNs = arrivalWallClockNs(mArrivalNs);
    }
    frame.keyframe = mKeyframe;
    frame.parameterSets = mParameterSets;
    frame.lostBefore = mLost;
    frame.complete = mComplete;
    frame.session = mSession;
    reset();
    if (mSink) mSink(frame);
    // The block goes back for the next frame unless the sink started one meanwhile.
    if (mBytes.capacity() == 0) {
        bytes.clear();
        mBytes.swap(bytes);
    }
}

void FrameAssembler::reset() {
    mBytes.clear();
    mHasPicture = false;
    mHasTimestamp = false;
    mTimestamp = 0;
    mKeyframe = false;
    mParameterSets = false;
    mComplete = true;
    mOverflow = false;
    mLost = 0;
    mSize = 0;
}
