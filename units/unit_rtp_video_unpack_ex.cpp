#include "units/unit_rtp_video_unpack_ex.h"

#include <utility>

#include "utils/sdp_parser.h"
#include "utils/slog.h"

RtpVideoUnpackExUnitSM::RtpVideoUnpackExUnitSM()
    : Unit<SlaveInput, MasterOutput>("RTPVUP_UNIT_SE", UNIT_DATA_RTP_VIDEO, 1, UNIT_DATA_H26X, 5),
      mIsH264(false),
      mIsH265(false) {}

// The queued-transmit worker calls onTransmitIn: it must be gone before the members are.
RtpVideoUnpackExUnitSM::~RtpVideoUnpackExUnitSM() {
    stopAsyncTransmit();
}

void RtpVideoUnpackExUnitSM::enable() {
    UnitBase::enable();
}

void RtpVideoUnpackExUnitSM::disable() {
    UnitBase::disable();
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    mH264Unit.clearAssembly();
    mH265Unit.clearAssembly();
}

unsigned long RtpVideoUnpackExUnitSM::onTransmitIn(std::shared_ptr<QelBuffer> packet, unsigned long len,
                                                   int inputIndex, int param) {
    if (!packet) {
        SLOGE_LIMITED(mPacketLog, "RtpH264Unpack buf is null\n");
        return len;
    }
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    if (!mIsH264 && !mIsH265) {
        // Two payload bytes to vote on, read only within the packet.
        if (!RtpH26xUnpackBase::isPacketReadable(packet, len, RtpH26xUnpackBase::kRtpHeaderSize + 2,
                                                 "RtpVideoUnpack", mPacketLog)) {
            return 0;
        }
        determineVideoType(packet);
    }
    if (mIsH264) {
        mH264Unit.onTransmitIn(std::move(packet), len, inputIndex, param);
    } else if (mIsH265) {
        mH265Unit.onTransmitIn(std::move(packet), len, inputIndex, param);
    }
    return 0;
}

void RtpVideoUnpackExUnitSM::determineVideoType(std::shared_ptr<QelBuffer> packet) {
    // Reads bytes 12 and 13; a packet shorter than that cannot be judged.
    if (!packet || packet->getVaddr() == nullptr || packet->length < RtpH26xUnpackBase::kRtpHeaderSize + 2 ||
        packet->length > packet->capacity) {
        SLOGE_LIMITED(mPacketLog, "Can not determine rtp video type !!!\n");
        return;
    }
    const unsigned char* p = static_cast<const unsigned char*>(packet->getVaddr());
    const unsigned char b0 = p[12];
    const unsigned char b1 = p[13];
    // H.264 (RFC 6184 1.3): forbidden bit 0, type 1-23 single NAL unit, 24-27 aggregation, 28 FU-A.
    if ((b0 & 0x80) == 0 && (b0 & 0x1F) >= 1 && (b0 & 0x1F) <= 28) mIsH264 = true;
    // H.265 (RFC 7798 1.1.4): forbidden bit 0, layer id 0 (bit 0 of b0, top five bits of b1),
    // TID plus one equal to 1.
    if ((b0 & 0x80) == 0 && (((b0 & 1) << 5) | (b1 >> 3)) == 0 && (b1 & 7) == 1) mIsH265 = true;
    if (mIsH264 && mIsH265) {
        SLOGE_LIMITED(mPacketLog, "Can not determine rtp video type, it looks both like 264 and 265 !!!\n");
        mIsH264 = false;
        mIsH265 = false;
    } else if (!mIsH264 && !mIsH265) {
        SLOGE_LIMITED(mPacketLog, "Can not determine rtp video type !!!\n");
    }
    announceCodec();
}

void RtpVideoUnpackExUnitSM::announceCodec() {
    if ((mIsH264 || mIsH265) && mVideoTypeCallback && mVideoTypeDoneCallback) {
        mVideoTypeCallback(mIsH264 ? 1 : 2);
        mVideoTypeDoneCallback();
    }
}

void RtpVideoUnpackExUnitSM::addOutputUnit(UnitBase* next, bool linkBack) {
    // The NAL units bypass this unit: `next` sees H.264 data from input 0, H.265 from input 1.
    mH264Unit.MasterOutput::addOutputUnit(next, linkBack);
    mH265Unit.MasterOutput::addOutputUnit(next, linkBack);
}

UtilsDebugFps* RtpVideoUnpackExUnitSM::getDebugInfo() {
    if (mIsH264) return &mH264Unit.mDebugFps;
    if (mIsH265) return &mH265Unit.mDebugFps;
    return &mDebugFpsUnknown;
}

std::shared_ptr<QelBuffer> RtpVideoUnpackExUnitSM::getExtra() {
    return mIsH264 ? mH264Unit.getExtra() : nullptr;
}

std::shared_ptr<QelBuffer> RtpVideoUnpackExUnitSM::getPps() {
    return mIsH264 ? mH264Unit.getPps() : nullptr;
}

std::shared_ptr<QelBuffer> RtpVideoUnpackExUnitSM::getSps() {
    return mIsH264 ? mH264Unit.getSps() : nullptr;
}

std::shared_ptr<QelBuffer> RtpVideoUnpackExUnitSM::getSei() {
    return mIsH264 ? mH264Unit.getSei() : nullptr;
}

uint32_t RtpVideoUnpackExUnitSM::getWidth() {
    return mIsH264 ? mH264Unit.getWidth() : 0;
}

uint32_t RtpVideoUnpackExUnitSM::getHeight() {
    return mIsH264 ? mH264Unit.getHeight() : 0;
}

uint32_t RtpVideoUnpackExUnitSM::getFPS() {
    return mIsH264 ? mH264Unit.getFPS() : 0;
}

void RtpVideoUnpackExUnitSM::setOptions(const RtspClientOptions& options) {
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    mOptions = options;
    mH264Unit.setOptions(options);
    mH265Unit.setOptions(options);
}

void RtpVideoUnpackExUnitSM::newSession(const RtspSessionInfo& session) {
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    // Each session decides its codec again: a vote taken on stray packets before this session
    // must not pin it.
    mIsH264 = false;
    mIsH265 = false;
    mH264Unit.newSession(session.parameterSets);
    mH265Unit.newSession(session.parameterSets);
    if (!mOptions.codecFromSdp) return;
    const int codec = RtspSdpParser::h26xCodec(session.encoding);
    mIsH264 = codec == 264;
    mIsH265 = codec == 265;
    announceCodec();
}

void RtpVideoUnpackExUnitSM::flush() {
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    if (mIsH264) mH264Unit.flush();
}

uint64_t RtpVideoUnpackExUnitSM::framesDelivered() const {
    return mH264Unit.framesDelivered() + mH265Unit.framesDelivered();
}

uint64_t RtpVideoUnpackExUnitSM::framesDroppedIncomplete() const {
    return mH264Unit.framesDroppedIncomplete() + mH265Unit.framesDroppedIncomplete();
}

bool RtpVideoUnpackExUnitSM::checkInvariants() const {
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    return !(mIsH264 && mIsH265) && mH264Unit.checkInvariants() && mH265Unit.checkInvariants();
}

IH264Interfaces RtpVideoUnpackExUnitSM::getInterfaces() {
    return IH264Interfaces::bindTo(this);
}
