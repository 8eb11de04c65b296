#include "units/unit_rtp_h265_unpack.h"

#include <cstring>

#include "utils/slog.h"

namespace {

const char kWho[] = "RtpH265Unpack";

// Payload header at 12-13 (the type is read from byte 12), FU header at 14, fragment from 15.
constexpr unsigned long kMinNal = RtpH26xUnpackBase::kRtpHeaderSize + 1;
constexpr unsigned long kFuHeaders = RtpH26xUnpackBase::kRtpHeaderSize + 3;
// The rebuilt packet: unused header, then the two-byte NAL unit header.
constexpr unsigned long kRebuiltHeaders = RtpH26xUnpackBase::kRtpHeaderSize + 2;

// mDebugCntNal entries.
enum NalCounter { kCntSei = 0, kCntPps = 1, kCntSps = 2, kCntIdr = 3, kCntTrail = 4 };

unsigned char* bytesOf(const std::shared_ptr<QelBuffer>& buffer) {
    return static_cast<unsigned char*>(buffer->getVaddr());
}

}  // namespace

H265FUs::H265FUs() : mFusBytes(0) {
    mFus.reserve(64);  // a 1080p slice is a few dozen fragments
}

void H265FUs::pushRTP(std::shared_ptr<QelBuffer> packet) {
    mFusBytes += packet->length - kFuHeaders;
    mHeldBytes += packet->capacity;
    mFus.push_back(std::move(packet));
}

void H265FUs::clear() {
    mFus.clear();
    // A torrent of tiny fragments does not pin the list's size once it is over.
    if (mFus.capacity() > 4096) {
        mFus.shrink_to_fit();
        mFus.reserve(64);
    }
    mFusBytes = 0;
    mHeldBytes = 0;
}

bool H265FUs::checkInvariants() const {
    uint64_t fragmentBytes = 0, held = 0;
    for (const std::shared_ptr<QelBuffer>& packet : mFus) {
        if (packet->length < kFuHeaders) return false;
        fragmentBytes += packet->length - kFuHeaders;
        held += packet->capacity;
    }
    return fragmentBytes == mFusBytes && held == mHeldBytes;
}

void H265FUs::dropBuffers() {
    clear();
}

std::shared_ptr<QelBuffer> H265FUs::mergeFuToRtpNalU() {
    if (mFus.empty()) {
        SLOGE_LIMITED(mPacketLog, "fua not end!\n");
        clear();
        return nullptr;
    }
    const uint64_t total = mFusBytes + kRebuiltHeaders;
    std::shared_ptr<QelBuffer> out = QelBuffer::createPooledBuffer(total);
    unsigned char* dst = bytesOf(out);
    memset(dst, 0, RtpH26xUnpackBase::kRtpHeaderSize);  // stands where an RTP header would be; never read
    uint64_t cursor = RtpH26xUnpackBase::kRtpHeaderSize;
    bool first = true;
    bool lastEnd = false;
    for (const std::shared_ptr<QelBuffer>& packet : mFus) {
        const unsigned char* p = bytesOf(packet);
        if (first) {
            if (!(p[14] & 0x80)) {
                SLOGE_LIMITED(mPacketLog, "fua not start! maybe rtp packet lost!\n");
                clear();
                return nullptr;
            }
            // RFC 7798 4.4.3: the type comes from the FU header; F, layer id and TID are those of
            // the payload header, which carries them for the fragmented NAL unit.
            dst[cursor] = static_cast<unsigned char>((p[12] & 0x81) | (p[14] & 0x3F) << 1);
            dst[cursor + 1] = p[13];
            cursor += 2;
            first = false;
        }
        const uint64_t n = packet->length - kFuHeaders;
        if (cursor + n > total) {
            cursor += n;  // the byte count disagrees with the fragments: the size check reports it
            break;
        }
        memcpy(dst + cursor, p + kFuHeaders, n);
        cursor += n;
        lastEnd = (p[14] & 0x40) != 0;
    }
    if (!lastEnd) {
        SLOGE_LIMITED(mPacketLog, "fua not end!\n");
        clear();
        return nullptr;
    }
    if (cursor != total) {
        SLOGE_LIMITED(mPacketLog, "cursor check failed ! %ld != %ld\n", static_cast<long>(cursor),
                      static_cast<long>(total));
        clear();
        return nullptr;
    }
    clear();
    return out;
}

RtpH265UnpackUnitSM::RtpH265UnpackUnitSM()
    : Unit<SlaveInput, MasterOutput>("RTP5UP_UNIT_SE", UNIT_DATA_RTP_VIDEO, 1, UNIT_DATA_H26X, 5) {}

// The queued-transmit worker calls onTransmitIn: it must be gone before the members are.
RtpH265UnpackUnitSM::~RtpH265UnpackUnitSM() {
    stopAsyncTransmit();
}

void RtpH265UnpackUnitSM::enable() {
    UnitBase::enable();
}

void RtpH265UnpackUnitSM::disable() {
    UnitBase::disable();
    clearAssembly();
}

void RtpH265UnpackUnitSM::clearAssembly() {
    mH265Fus.clear();
    mDamaged = false;
}

bool RtpH265UnpackUnitSM::checkInvariants() const {
    return mH265Fus.checkInvariants() && mH265Fus.heldBytes() <= kMaxHeldBytes &&
           mH265Fus.size() <= kMaxHeldPackets;
}

void RtpH265UnpackUnitSM::newSession(const std::vector<std::vector<uint8_t>>& sdpParameterSets) {
    clearAssembly();
    resetStreamPosition();
    mSdpParameterSets.clear();
    if (mOptions.sdpParameterSets) {
        for (const std::vector<uint8_t>& nal : sdpParameterSets) {
            const int type = nal.size() < 2 ? 0 : (nal[0] >> 1) & 0x3F;
            if (type < 32 || type > 34) continue;  // VPS, SPS, PPS
            mSdpParameterSets.push_back(parameterSetBuffer(nal.data(), nal.size()));
        }
    }
    mSdpPending = !mSdpParameterSets.empty();
}

void RtpH265UnpackUnitSM::abandonFragments() {
    // Counted as a picture given up: a fragmented NAL unit is in practice a slice.
    if (!mH265Fus.empty()) {
        mFramesDropped.fetch_add(1, std::memory_order_relaxed);
        mDamaged = true;
    }
    mH265Fus.dropBuffers();
}

unsigned long RtpH265UnpackUnitSM::onTransmitIn(std::shared_ptr<QelBuffer> packet, unsigned long len,
                                                int inputIndex, int /*param*/) {
    if (!packet) {
        SLOGE_LIMITED(mPacketLog, "RtpH265Unpack buf is null\n");
        return len;
    }
    if (!isPacketReadable(packet, len, kRtpHeaderSize, kWho, mPacketLog)) return len;
    const unsigned char* p = bytesOf(packet);
    if (inputIndex != -1) {
        if (checkRtpContinuity(p)) abandonFragments();
        countPacketGap();
    }
    if (!isLongEnough(len, kMinNal, kWho, mPacketLog)) return len;
    // RFC 7798 1.1.4: forbidden bit, six type bits, six layer-id bits, three TID bits.
    const int type = (p[12] >> 1) & 0x3F;
    switch (type) {
        case 1:  // TRAIL_R
            mDebugCntNal[kCntTrail] += 1;
            deliver(packet, len, type);
            break;
        case 19:  // IDR_W_RADL
            mDebugCntNal[kCntIdr] += 1;
            deliver(packet, len, type);
            break;
        case 32:  // VPS
            deliver(packet, len, type);
            break;
        case 33:  // SPS
            mDebugCntNal[kCntSps] += 1;
            deliver(packet, len, type);
            break;
        case 34:  // PPS
            mDebugCntNal[kCntPps] += 1;
            deliver(packet, len, type);
            break;
        case 39:  // prefix SEI
            mDebugCntNal[kCntSei] += 1;
            deliver(packet, len, type);
            break;
        case 49:  // RFC 7798 4.4.3 fragmentation unit
            onFragment(packet, len, inputIndex);
            break;
        default:
            // ITU-T H.265 table 7-1: VCL 0-9 and 16-21, AUD 35, EOS 36, EOB 37, FD 38, suffix SEI 40; the
            // rest is reserved or unspecified.
            if (mOptions.allH265NalUnitTypes &&
                (type <= 9 || (type >= 16 && type <= 21) || (type >= 35 && type <= 40))) {
                deliver(packet, len, type);
            } else if (type == 48 && mOptions.unpackAggregates && inputIndex != -1) {
                onAggregate(packet, len);
            } else {
                SLOGE_LIMITED(mPacketLog, "H265 RTP cannot recognize type %d\n", type);
            }
            break;
    }
    return len;
}

void RtpH265UnpackUnitSM::onAggregate(const std::shared_ptr<QelBuffer>& packet, unsigned long len) {
    // After the payload header; no DONL fields, as the session does not interleave. A unit has at
    // least its two header bytes.
    unpackAggregate(packet, len, kRebuiltHeaders, 2, "RtpH265Unpack AP",
                    [this](const std::shared_ptr<QelBuffer>& nal) { onTransmitIn(nal, nal->length, -1, 0); });
}

void RtpH265UnpackUnitSM::deliver(const std::shared_ptr<QelBuffer>& packet, unsigned long len, int type) {
    // A whole NAL unit ends whatever fragmented unit was waiting.
    mDamaged = mDamaged || !mH265Fus.empty();
    mH265Fus.dropBuffers();
    const bool vcl = type < 32;
    // first_slice_segment_in_pic_flag: the slice that begins a picture.
    const bool firstSlice = vcl && len > kRebuiltHeaders && (bytesOf(packet)[kRebuiltHeaders] & 0x80) != 0;
    std::shared_ptr<QelBuffer> nal;
    if (packet == mMadeNal && packet.use_count() == 2) {
        // A NAL unit this unit reassembled, held only by the call and mMadeNal: handed on in
        // place of a copy.
        mMadeNal.reset();
        nal = packet;
        annexBInPlace(*nal, nal->createTimeNs);  // reassembled moments ago, for this packet
        const unsigned char* bytes = bytesOf(nal);
        if (!vcl) {
            while (nal->length > 0 && bytes[nal->length - 1] == 0) nal->length -= 1;
        }
    } else {
        // Cameras pad parameter sets (and other non-VCL units) with zero bytes.
        nal = vcl ? transferFuToH26x(bytesOf(packet) + kRtpHeaderSize, len - kRtpHeaderSize)
                  : parameterSetBuffer(bytesOf(packet) + kRtpHeaderSize, len - kRtpHeaderSize);
    }
    if (type >= 32 && type <= 34) mSdpPending = false;  // the camera sends its own
    if (vcl && mSdpPending) {
        mSdpPending = false;
        for (const std::shared_ptr<QelBuffer>& set : mSdpParameterSets) {
            stampSdpParameterSet(set);
            MasterOutput::transmitTo(set, set->length, -1, 0);
        }
    }
    uint32_t flags = mDamaged || packetsLostSinceOutput() ? 0u : static_cast<uint32_t>(FrameMeta::kComplete);
    mDamaged = false;
    if (type >= 32 && type <= 34) flags |= FrameMeta::kParameterSet;
    if (type >= 16 && type <= 23) flags |= FrameMeta::kKeyframe;  // IRAP
    if (mNalEndsMarkedPacket) flags |= FrameMeta::kAccessUnitEnd;
    stampMeta(nal, flags);
    if (firstSlice) mFramesDelivered.fetch_add(1, std::memory_order_relaxed);
    MasterOutput::transmitTo(nal, nal->length, -1, 0);
}

void RtpH265UnpackUnitSM::onFragment(const std::shared_ptr<QelBuffer>& packet, unsigned long len,
                                     int inputIndex) {
    if (inputIndex == -1) {
        // A reassembled unit always carries the fragmented unit's own type, never 49.
        SLOGE_LIMITED(mPacketLog, "please check your code !\n");
        return;
    }
    if (!isLongEnough(len, kFuHeaders, kWho, mPacketLog)) return;
    const unsigned char* p = bytesOf(packet);
    const bool start = (p[14] & 0x80) != 0;  // RFC 7798 4.4.3: S bit of the FU header
    const bool end = (p[14] & 0x40) != 0;    // E bit
    if (start) {
        abandonFragments();
    } else if (mH265Fus.empty()) {
        // Its start was lost, and with it the whole unit: nothing is held for it.
        if (end) SLOGE_LIMITED(mPacketLog, "fua not start! maybe rtp packet lost!\n");
        mDamaged = true;
        return;
    } else if (mH265Fus.pendingBytes() + (len - kFuHeaders) > kMaxPendingBytes ||
               mH265Fus.heldBytes() + packet->capacity > kMaxHeldBytes ||
               mH265Fus.size() >= kMaxHeldPackets) {
        SLOGE_LIMITED(
            mBoundLog,
            "RtpH265Unpack pending data exceeds its bound (%lu bytes held in %lu packets), dropped\n",
            static_cast<unsigned long>(mH265Fus.heldBytes()), static_cast<unsigned long>(mH265Fus.size()));
        abandonFragments();
        return;
    }
    mH265Fus.pushRTP(packet);
    // A start fragment with E set too is a whole NAL unit: some cameras send small units that
    // way although RFC 7798 4.4.3 forbids it.
    if (!end) return;
    std::shared_ptr<QelBuffer> nal = mH265Fus.mergeFuToRtpNalU();
    if (!nal) return;
    // Held while it travels, so that deliver() can hand it on in place of a copy.
    mMadeNal = nal;
    const unsigned long nalLength = nal->length;
    onTransmitIn(std::move(nal), nalLength, -1, 0);
    mMadeNal.reset();
}
