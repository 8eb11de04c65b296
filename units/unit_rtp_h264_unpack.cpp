#include "units/unit_rtp_h264_unpack.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "utils/slog.h"

namespace {

const char kWho[] = "RtpH264Unpack";

// Payload bytes each path reads: the NAL header at 12; a slice also the byte after it (the start
// of first_mb_in_slice); FU-A its FU header at 13, and a start fragment the fragmented unit's
// first payload byte at 14.
constexpr unsigned long kMinNal = RtpH26xUnpackBase::kRtpHeaderSize + 1;
constexpr unsigned long kMinSlice = kMinNal + 1;
constexpr unsigned long kMinFua = kMinNal + 1;
constexpr unsigned long kMinFuaStart = kMinFua + 1;
constexpr unsigned long kFuaHeaders = RtpH26xUnpackBase::kRtpHeaderSize + 2;

// Queue entries kept ready from the start (a 1080p picture is a few dozen packets), and the most
// kept once assembly is cleared, so that a torrent of tiny fragments does not pin its queue's size.
constexpr size_t kQueueReserve = 64;
constexpr size_t kQueueKeep = 4096;
// The statistics line reads the clock once in this many packets.
constexpr unsigned kDebugClockEvery = 32;

// mDebugCntNal entries, in the order of the statistics line's fields.
enum NalCounter { kCntSei = 0, kCntPps = 1, kCntSps = 2, kCntIdr = 3, kCntNonIdr = 4 };

unsigned char* bytesOf(const std::shared_ptr<QelBuffer>& buffer) {
    return static_cast<unsigned char*>(buffer->getVaddr());
}

std::shared_ptr<QelBuffer> copyOf(const unsigned char* data, size_t len) {
    std::shared_ptr<QelBuffer> out = QelBuffer::createMallocBuffer(len, nullptr);
    if (out) memcpy(out->getVaddr(), data, len);
    return out;
}

}  // namespace

RtpH264UnpackUnitSM::RtpH264UnpackUnitSM()
    : Unit<SlaveInput, MasterOutput>("RTP4UP_UNIT_SE", UNIT_DATA_RTP_VIDEO, 1, UNIT_DATA_H26X, 5),
      mH264QueueBytes(0),
      mFuaQueueBytes(0),
      mLastMarker(false) {
    mH264Queue.reserve(kQueueReserve);
    mFuaQueue.reserve(kQueueReserve);
}

// The queued-transmit worker calls onTransmitIn: it must be gone before the members are.
RtpH264UnpackUnitSM::~RtpH264UnpackUnitSM() {
    stopAsyncTransmit();
}

void RtpH264UnpackUnitSM::enable() {
    UnitBase::enable();
}

void RtpH264UnpackUnitSM::disable() {
    UnitBase::disable();
    clearAssembly();
}

void RtpH264UnpackUnitSM::debug() {
    debugLevel = debugLevel == 0 ? 2 : 0;
}

unsigned long RtpH264UnpackUnitSM::onTransmitIn(std::shared_ptr<QelBuffer> buffer, unsigned long length,
                                                int inputIndex, int /*param*/) {
    if (!buffer) {
        SLOGE_LIMITED(mPacketLog, "RtpH264Unpack buf is null\n");
        return length;
    }
    if (!isPacketReadable(buffer, length, kRtpHeaderSize, kWho, mPacketLog)) {
        debugPrint();
        return length;
    }
    unsigned char* p = bytesOf(buffer);
    if (inputIndex != -1) {
        if (checkRtpContinuity(p)) onPacketLoss();
        countPacketGap();
        mLastMarker = (p[1] & 0x80) != 0;
    }
    const bool outerPacket = inputIndex != -1;
    if (isLongEnough(length, kMinNal, kWho, mPacketLog)) {
        unsigned type = p[12] & 0x1F;
        switch (type) {
            case 6:
            case 7:
            case 8:
                onParameterSet(buffer, length, type);
                break;
            case 1:
            case 5:
                onSlice(buffer, length, type);
                break;
            case 9:
            case 10:
            case 11:
                onBoundary();
                break;
            case 28:
                onFua(buffer, length, inputIndex);
                break;
            case 24:
                if (mOptions.unpackAggregates && outerPacket) {
                    onStapA(buffer, length);
                    break;
                }
                [[fallthrough]];  // refused like every other type not handled
            default:
                // RFC 6184 5.7, 5.8: STAP-A/B, MTAP and FU-B are not supported.
                SLOGE_LIMITED(
                    mPacketLog,
                    "unknown nal unit type : %u, please check camera setting which is h264 or h265\n", type);
                break;
        }
    }
    // RFC 6184 5.1: the marker bit is set on the last packet of an access unit.
    if (outerPacket && mOptions.markerCompletion && mNalEndsMarkedPacket && mFuaQueue.empty()) {
        flushAccessUnit(true);
    }
    debugPrint();
    return length;
}

void RtpH264UnpackUnitSM::onStapA(const std::shared_ptr<QelBuffer>& buffer, unsigned long length) {
    // After the STAP-A header byte; a unit has at least its header byte.
    unpackAggregate(buffer, length, kMinNal, 1, "RtpH264Unpack STAP-A",
                    [this](const std::shared_ptr<QelBuffer>& nal) { onTransmitIn(nal, nal->length, -1, 0); });
}

bool RtpH264UnpackUnitSM::admit(const std::shared_ptr<QelBuffer>& packet, uint64_t payloadBytes) {
    if (heldBytes() + packet->capacity <= kMaxHeldBytes && heldPackets() < kMaxHeldPackets &&
        mH264QueueBytes + mFuaQueueBytes + payloadBytes <= kMaxPendingBytes) {
        return true;
    }
    SLOGE_LIMITED(mBoundLog,
                  "RtpH264Unpack pending data exceeds its bound (%lu bytes held in %lu packets), dropped\n",
                  static_cast<unsigned long>(heldBytes()), static_cast<unsigned long>(heldPackets()));
    mFramesDropped.fetch_add(1, std::memory_order_relaxed);
    clearAssembly();
    mAuDamaged = true;
    return false;
}

void RtpH264UnpackUnitSM::clearAssembly() {
    clearFuaQueue();
    clearH264Queue();
    mAuDamaged = false;
    for (std::vector<std::shared_ptr<QelBuffer>>* queue : {&mH264Queue, &mFuaQueue}) {
        if (queue->capacity() > kQueueKeep) {
            queue->shrink_to_fit();
            queue->reserve(kQueueReserve);
        }
    }
}

void RtpH264UnpackUnitSM::newSession(const std::vector<std::vector<uint8_t>>& sdpParameterSets) {
    clearAssembly();
    resetStreamPosition();
    mLastMarker = false;
    mSdpParameterSets.clear();
    if (mOptions.sdpParameterSets) {
        for (const std::vector<uint8_t>& nal : sdpParameterSets) {
            const unsigned type = nal.empty() ? 0 : nal[0] & 0x1F;
            if (type != 7 && type != 8) continue;
            std::shared_ptr<QelBuffer> stored = parameterSetBuffer(nal.data(), nal.size());
            std::lock_guard<std::mutex> lock(mParamMutex);
            (type == 7 ? mSps : mPps) = stored;
            mSdpParameterSets.push_back(stored);
        }
    }
    mSdpPending = !mSdpParameterSets.empty();
}

void RtpH264UnpackUnitSM::deliverSdpParameterSets() {
    mSdpPending = false;
    for (const std::shared_ptr<QelBuffer>& nal : mSdpParameterSets) {
        stampSdpParameterSet(nal);
        MasterOutput::transmitTo(nal, nal->length, -1, 0);
    }
}

void RtpH264UnpackUnitSM::flush() {
    if (mOptions.markerCompletion && mFuaQueue.empty()) flushAccessUnit(true);
}

bool RtpH264UnpackUnitSM::checkInvariants() const {
    uint64_t nalBytes = 0, fragmentBytes = 0, h264Held = 0, fuaHeld = 0;
    for (const std::shared_ptr<QelBuffer>& packet : mH264Queue) {
        if (packet->length < kMinNal) return false;
        nalBytes += packet->length - kRtpHeaderSize;
        h264Held += packet->capacity;
    }
    for (const std::shared_ptr<QelBuffer>& packet : mFuaQueue) {
        if (packet->length < kFuaHeaders) return false;
        fragmentBytes += packet->length - kFuaHeaders;
        fuaHeld += packet->capacity;
    }
    return nalBytes == mH264QueueBytes && fragmentBytes == mFuaQueueBytes && h264Held == mH264HeldBytes &&
           fuaHeld == mFuaHeldBytes && heldBytes() <= kMaxHeldBytes && heldPackets() <= kMaxHeldPackets;
}

void RtpH264UnpackUnitSM::onPacketLoss() {
    const bool pending = !mFuaQueue.empty() || !mH264Queue.empty();
    clearFuaQueue();
    // RFC 6184 5.1: the marker bit is set on the last packet of an access unit. When the packet
    // before the gap carried it, the pending picture is whole; only what follows it was lost.
    if (mLastMarker) {
        flushAccessUnit(true);
    } else {
        if (pending) mFramesDropped.fetch_add(1, std::memory_order_relaxed);
        clearH264Queue();
        // Until a slice starts a new picture, what arrives belongs to one that lost packets.
        mAuDamaged = true;
    }
}

void RtpH264UnpackUnitSM::dropIncompleteFua() {
    if (mFuaQueue.empty()) return;
    SLOGE_LIMITED(mPacketLog, "Fua is incomplete !\n");
    clearFuaQueue();
}

void RtpH264UnpackUnitSM::flushAccessUnit(bool countFrame) {
    if (mH264Queue.empty()) return;
    if (mSdpPending) deliverSdpParameterSets();
    uint32_t flags = FrameMeta::kAccessUnitEnd;
    // Whole when nothing was lost since it began and it begins with first_mb_in_slice 0.
    if (!mAuDamaged && (bytesOf(mH264Queue.front())[13] & 0x80) != 0) flags |= FrameMeta::kComplete;
    for (const std::shared_ptr<QelBuffer>& packet : mH264Queue) {
        if ((bytesOf(packet)[12] & 0x1F) == 5) flags |= FrameMeta::kKeyframe;
    }
    const uint64_t timestamp = mAuTimestamp;
    std::shared_ptr<QelBuffer> au = mergeRtpSliceToH264();
    mAuDamaged = false;
    stampMeta(au, flags, timestamp);
    if (countFrame) mDebugFps.countFps(1);
    mFramesDelivered.fetch_add(1, std::memory_order_relaxed);
    MasterOutput::transmitTo(au, au->length, -1, 0);
}

bool RtpH264UnpackUnitSM::isStoredParameterSet(const unsigned char* nal, unsigned long len, unsigned type) {
    while (len > 0 && nal[len - 1] == 0) --len;  // stored without the camera's zero padding
    std::lock_guard<std::mutex> lock(mParamMutex);
    const std::shared_ptr<QelBuffer>& stored = type == 6 ? mSei : type == 7 ? mSps : mPps;
    return stored && stored->length == len + 4 && memcmp(bytesOf(stored) + 4, nal, len) == 0;
}

void RtpH264UnpackUnitSM::onParameterSet(const std::shared_ptr<QelBuffer>& buffer, unsigned long length,
                                         unsigned type) {
    mDebugCntNal[type == 6 ? kCntSei : type == 7 ? kCntSps : kCntPps] += 1;
    dropIncompleteFua();
    const unsigned char* payload = bytesOf(buffer) + kRtpHeaderSize;
    const unsigned long payloadLength = length - kRtpHeaderSize;
    // GStreamer's rtph264pay (config-interval -1) puts SPS and PPS in front of every slice of a
    // key picture, with the picture's timestamp. Ending the picture there would hand its slices
    // over as pictures of their own, so a parameter set of the picture being assembled (same
    // timestamp, its last packet not marked as the end) leaves it pending: a repeat of the stored
    // one is dropped, a new one is handed on now, ahead of the picture that may refer to it.
    const bool insidePicture = !mH264Queue.empty() && !mAuMarked && mPacketTimestamp == mAuTimestamp;
    if (insidePicture) {
        if (isStoredParameterSet(payload, payloadLength, type)) return;
        if (mSdpPending) deliverSdpParameterSets();  // the picture's first slices came without any
    } else {
        flushAccessUnit(false);
    }
    std::shared_ptr<QelBuffer> nal = parameterSetBuffer(payload, payloadLength);
    // The camera sends its own: those of the SDP are no longer needed in front of the picture.
    if (type != 6) mSdpPending = false;
    stampMeta(nal, (type == 6 ? 0u : static_cast<uint32_t>(FrameMeta::kParameterSet)) | FrameMeta::kComplete);
    {
        std::lock_guard<std::mutex> lock(mParamMutex);
        (type == 6 ? mSei : type == 7 ? mSps : mPps) = nal;
    }
    MasterOutput::transmitTo(nal, nal->length, -1, 0);
}

void RtpH264UnpackUnitSM::onSlice(const std::shared_ptr<QelBuffer>& buffer, unsigned long length,
                                  unsigned type) {
    if (!isLongEnough(length, kMinSlice, kWho, mPacketLog)) return;
    mDebugCntNal[type == 5 ? kCntIdr : kCntNonIdr] += 1;
    dropIncompleteFua();
    // first_mb_in_slice is ue(v): a leading 1 bit codes 0, the first slice of a new picture.
    const unsigned char* p = bytesOf(buffer);
    const bool firstSlice = (p[13] & 0x80) != 0;
    // A camera that never sets the marker bit still starts each picture with a new timestamp.
    if (mOptions.markerCompletion && !mH264Queue.empty() && mPacketTimestamp != mAuTimestamp) {
        flushAccessUnit(true);
    }
    if (firstSlice) flushAccessUnit(true);
    const uint64_t nalBytes = length - kRtpHeaderSize;
    if (!admit(buffer, nalBytes)) return;
    if (mH264Queue.empty()) {
        mAuTimestamp = mPacketTimestamp;
        if (firstSlice) mAuDamaged = false;
    }
    mH264QueueBytes += nalBytes;
    mH264HeldBytes += buffer->capacity;
    mH264Queue.push_back(buffer);
    mAuMarked = mNalEndsMarkedPacket;
}

void RtpH264UnpackUnitSM::onBoundary() {
    dropIncompleteFua();
    flushAccessUnit(true);
}

void RtpH264UnpackUnitSM::onFua(const std::shared_ptr<QelBuffer>& buffer, unsigned long length,
                                int inputIndex) {
    if (!isLongEnough(length, kMinFua, kWho, mPacketLog)) return;
    if (inputIndex == -1) {
        // A reassembled unit always carries the fragmented unit's own type, never 28.
        SLOGE_LIMITED(mPacketLog, "please check your code !\n");
        return;
    }
    const unsigned char* p = bytesOf(buffer);
    const bool start = (p[13] & 0x80) != 0;  // RFC 6184 5.8: S bit of the FU header
    const bool end = (p[13] & 0x40) != 0;    // E bit
    uint64_t fragmentBytes = length - kFuaHeaders;
    if (start) {
        if (!isLongEnough(length, kMinFuaStart, kWho, mPacketLog)) return;
        if (p[14] & 0x80) flushAccessUnit(true);
        if (!mFuaQueue.empty()) {
            SLOGW_LIMITED(mPacketLog, "warning, fua queue is not empty !\n");
            clearFuaQueue();
        }
        if (!admit(buffer, fragmentBytes)) return;
        mFuaQueueBytes = fragmentBytes;
        mFuaHeldBytes += buffer->capacity;
        mFuaQueue.push_back(buffer);
        // Some cameras send a small NAL unit as one FU-A with both S and E set (RFC 6184 5.8
        // forbids it); it is complete as it stands.
        if (!end) return;
    } else {
        if (mFuaQueue.empty()) {
            // Its start never came, so the whole unit is lost: the picture is not whole, even
            // when no sequence number is missing (a camera that skipped the start).
            mAuDamaged = true;
            return;
        }
        if (!admit(buffer, fragmentBytes)) return;
        mFuaQueueBytes += fragmentBytes;
        mFuaHeldBytes += buffer->capacity;
        mFuaQueue.push_back(buffer);
        if (!end) return;
    }
    std::shared_ptr<QelBuffer> nal = mergeFuToRtpNalU();
    if (!nal) return;
    // Held here while it travels, so that a picture made of this one NAL unit can be handed on
    // in place of a copy (mergeRtpSliceToH264); let go unless it joined the pending picture.
    mMadeNal = nal;
    const unsigned long nalLength = nal->length;
    onTransmitIn(std::move(nal), nalLength, -1, 0);
    if (mH264Queue.empty() || mH264Queue.back() != mMadeNal) mMadeNal.reset();
}

std::shared_ptr<QelBuffer> RtpH264UnpackUnitSM::mergeFuToRtpNalU() {
    const uint64_t total = mFuaQueueBytes + kMinNal;
    std::shared_ptr<QelBuffer> out = QelBuffer::createPooledBuffer(total);
    unsigned char* dst = bytesOf(out);
    memset(dst, 0, kRtpHeaderSize);  // stands where an RTP header would be; never read
    uint64_t cursor = kRtpHeaderSize;
    bool first = true;
    bool lastEnd = false;
    bool ok = true;
    for (const std::shared_ptr<QelBuffer>& packet : mFuaQueue) {
        const unsigned char* p = bytesOf(packet);
        if (first) {
            if (!(p[13] & 0x80)) {
                SLOGE_LIMITED(mPacketLog, "fua not start! maybe rtp packet lost!\n");
                ok = false;
                break;
            }
            // RFC 6184 5.8: F and NRI from the FU indicator, the type from the FU header.
            dst[kRtpHeaderSize] = static_cast<unsigned char>((p[12] & 0xE0) | (p[13] & 0x1F));
            cursor = kMinNal;
            first = false;
        }
        const uint64_t n = packet->length - kFuaHeaders;
        if (cursor + n > total) {
            cursor += n;  // the byte count disagrees with the fragments: the size check reports it
            break;
        }
        memcpy(dst + cursor, p + kFuaHeaders, n);
        cursor += n;
        lastEnd = (p[13] & 0x40) != 0;
    }
    if (ok && !lastEnd) {
        SLOGE_LIMITED(mPacketLog, "fua not end!\n");
        ok = false;
    } else if (ok && cursor != total) {
        SLOGE_LIMITED(mPacketLog, "cursor check failed ! %ld != %ld\n", static_cast<long>(cursor),
                      static_cast<long>(total));
        ok = false;
    }
    if (!ok) {
        mFramesDropped.fetch_add(1, std::memory_order_relaxed);
        clearFuaQueue();
        clearH264Queue();
        mAuDamaged = true;
        return nullptr;
    }
    clearFuaQueue();
    return out;
}

std::shared_ptr<QelBuffer> RtpH264UnpackUnitSM::mergeRtpSliceToH264() {
    if (mH264Queue.empty()) {
        SLOGE_LIMITED(mPacketLog, "h264 queue buffer is null !\n");
        abort();
    }
    if (mH264Queue.size() == 1 && mMadeNal && mH264Queue.front() == mMadeNal && mMadeNal.use_count() == 2) {
        // The picture is one NAL unit this unit reassembled, and only the queue and mMadeNal hold
        // it: it becomes the access unit itself, its bytes staying where they are.
        std::shared_ptr<QelBuffer> out = std::move(mH264Queue.front());
        if (!(bytesOf(out)[13] & 0x80))
            SLOGE_LIMITED(mPacketLog, "first slice is not 0. %d\n", bytesOf(out)[13] & 0x80);
        clearH264Queue();
        annexBInPlace(*out, Utils::getBeginTimestamp());
        return out;
    }
    const uint64_t total = 4 * static_cast<uint64_t>(mH264Queue.size()) + mH264QueueBytes;
    std::shared_ptr<QelBuffer> out = QelBuffer::createPooledBuffer(total);
    unsigned char* dst = bytesOf(out);
    uint64_t cursor = 0;
    bool first = true;
    for (const std::shared_ptr<QelBuffer>& packet : mH264Queue) {
        const unsigned char* p = bytesOf(packet);
        const uint64_t nalBytes = packet->length - kRtpHeaderSize;
        if ((p[12] & 0x1B) != 1) {
            SLOGE_LIMITED(mPacketLog, "nal unit type check failed ! type = %d\n", p[12] & 0x1F);
            abort();
        }
        if (first && !(p[13] & 0x80)) {
            // The picture's first slices were lost; the decoder conceals the rest.
            SLOGE_LIMITED(mPacketLog, "first slice is not 0. %d\n", p[13] & 0x80);
        }
        first = false;
        if (cursor + 4 + nalBytes > total) break;  // reported by the size check below
        dst[cursor] = 0x00;
        dst[cursor + 1] = 0x00;
        dst[cursor + 2] = 0x00;
        dst[cursor + 3] = 0x01;
        memcpy(dst + cursor + 4, p + kRtpHeaderSize, nalBytes);
        cursor += 4 + nalBytes;
    }
    if (cursor != total) {
        SLOGE_LIMITED(mPacketLog, "cursor check failed ! %ld != %ld\n", static_cast<long>(cursor),
                      static_cast<long>(total));
        abort();
    }
    clearH264Queue();
    BufferInfo info{};
    info.dataType = UNIT_DATA_H26X;
    info.timestampNs = out->createTimeNs;  // made just now
    out->setBufferInfo(info);
    return out;
}

void RtpH264UnpackUnitSM::clearH264Queue() {
    mH264Queue.clear();
    mAuMarked = false;
    mMadeNal.reset();
    mH264QueueBytes = 0;
    mH264HeldBytes = 0;
}

void RtpH264UnpackUnitSM::clearFuaQueue() {
    mFuaQueue.clear();
    mFuaQueueBytes = 0;
    mFuaHeldBytes = 0;
}

void RtpH264UnpackUnitSM::debugPrint() {
    // A clock read per packet would cost more than the rest of the line's bookkeeping. The time
    // a buffer handed on during this packet was made serves as well; without one, the clock is
    // read once in a few dozen packets, which delays the line by a fraction of a second at most.
    long long now;
    if (mLastStampNs != 0) {
        now = mLastStampNs;
        mLastStampNs = 0;
        mDebugClockCountdown = kDebugClockEvery - 1;
    } else if (mDebugClockCountdown > 0) {
        --mDebugClockCountdown;
        return;
    } else {
        mDebugClockCountdown = kDebugClockEvery - 1;
        now = Utils::getBeginTimestamp();
    }
    if (now - mDebugPrintTime <= 29999999999LL) return;
    if (debugLevel > 1) {
        SLOGD("%s [%p] loss/recv:%5.2f/%5.2f SEI|SPS|PPS|NI|I:%5.2f|%4.2f|%4.2f|%4.2f|%4.2f\n",
              unitName.c_str(), static_cast<void*>(this), static_cast<float>(mDebugCntRtpLost) / 30.0,
              static_cast<float>(mDebugCntRtpRecv) / 30.0, static_cast<float>(mDebugCntNal[kCntSei]) / 30.0,
              static_cast<float>(mDebugCntNal[kCntSps]) / 30.0,
              static_cast<float>(mDebugCntNal[kCntPps]) / 30.0,
              static_cast<float>(mDebugCntNal[kCntNonIdr]) / 30.0,
              static_cast<float>(mDebugCntNal[kCntIdr]) / 30.0);
    }
    mDebugCntRtpRecv = 0;
    mDebugCntRtpLost = 0;
    for (int64_t& count : mDebugCntNal) count = 0;
    mDebugPrintTime = Utils::getBeginTimestamp();
}

std::shared_ptr<QelBuffer> RtpH264UnpackUnitSM::getExtra() {
    std::lock_guard<std::mutex> lock(mParamMutex);
    if (mSps && mPps) {
        std::shared_ptr<QelBuffer> out = QelBuffer::createMallocBuffer(mSps->length + mPps->length, nullptr);
        memcpy(bytesOf(out), bytesOf(mSps), mSps->length);
        memcpy(bytesOf(out) + mSps->length, bytesOf(mPps), mPps->length);
        return out;
    }
    return mSps ? mSps : mPps;
}

std::shared_ptr<QelBuffer> RtpH264UnpackUnitSM::getSps() {
    return getParameterSet(true);
}

std::shared_ptr<QelBuffer> RtpH264UnpackUnitSM::getPps() {
    return getParameterSet(false);
}

std::shared_ptr<QelBuffer> RtpH264UnpackUnitSM::getParameterSet(bool wantSps) {
    std::lock_guard<std::mutex> lock(mParamMutex);
    if (mSps && mPps) {
        const std::shared_ptr<QelBuffer>& stored = wantSps ? mSps : mPps;
        // Stored parameter sets always hold a start code and a non-zero NAL header byte.
        return stored->length > 4 ? copyOf(bytesOf(stored) + 4, stored->length - 4) : nullptr;
    }
    if (!mSps && !mPps) {
        SLOGD_LIMITED(mPacketLog, "!mSps && !mPps ...\n");
        return nullptr;
    }
    std::shared_ptr<QelBuffer> sps;
    std::shared_ptr<QelBuffer> pps;
    parseExtraPacket(mSps ? mSps : mPps, sps, pps);
    return wantSps ? sps : pps;
}

std::shared_ptr<QelBuffer> RtpH264UnpackUnitSM::getSei() {
    std::lock_guard<std::mutex> lock(mParamMutex);
    return mSei;
}

void RtpH264UnpackUnitSM::parseExtraPacket(std::shared_ptr<QelBuffer> in, std::shared_ptr<QelBuffer>& sps,
                                           std::shared_ptr<QelBuffer>& pps) {
    if (!in || in->getVaddr() == nullptr) return;
    const unsigned char* d = bytesOf(in);
    const size_t len = in->length;
    // The collectors grow with what they are given: a parameter set is never cut short.
    std::vector<unsigned char> spsBytes;
    std::vector<unsigned char> ppsBytes;
    spsBytes.reserve(1024);
    ppsBytes.reserve(1024);
    unsigned type = 0;
    bool afterStartCode = false;
    size_t i = 0;
    while (i < len) {
        if (len - i >= 4 && d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 0 && d[i + 3] == 1) {
            i += 4;
            afterStartCode = true;
            continue;
        }
        if (afterStartCode) {
            type = d[i] & 0x1F;  // the header byte itself is collected below
            afterStartCode = false;
            continue;
        }
        if (type == 8) {
            ppsBytes.push_back(d[i]);
        } else if (type == 7) {
            spsBytes.push_back(d[i]);
        } else if (type != 6) {
            SLOGE_LIMITED(mPacketLog, "known error happened !!!\n");
        }
        ++i;
    }
    if (!ppsBytes.empty()) pps = copyOf(ppsBytes.data(), ppsBytes.size());
    if (!spsBytes.empty()) sps = copyOf(spsBytes.data(), spsBytes.size());
}

bool RtpH264UnpackUnitSM::askNextUnit(uint32_t (IH264Unit::*get)(), uint32_t* value, size_t* outputs) {
    // A snapshot: the list is not held while the next unit answers.
    std::vector<UnitBase*> next(MasterOutput::units.begin(), MasterOutput::units.end());
    *outputs = next.size();
    for (UnitBase* unit : next) {
        IH264Unit* info = unit ? dynamic_cast<IH264Unit*>(unit) : nullptr;
        if (info) {
            *value = (info->*get)();
            return true;
        }
    }
    return false;
}

uint32_t RtpH264UnpackUnitSM::getWidth() {
    uint32_t value = 0;
    size_t outputs = 0;
    if (askNextUnit(&IH264Unit::getWidth, &value, &outputs)) return value;
    SLOGE_LIMITED(mPacketLog, "can not get h264 width from %d outputs !\n", static_cast<int>(outputs));
    return 0;
}

uint32_t RtpH264UnpackUnitSM::getHeight() {
    uint32_t value = 0;
    size_t outputs = 0;
    if (askNextUnit(&IH264Unit::getHeight, &value, &outputs)) return value;
    SLOGE_LIMITED(mPacketLog, "can not get h264 height from %d ouputs !\n", static_cast<int>(outputs));
    return 0;
}

uint32_t RtpH264UnpackUnitSM::getFPS() {
    uint32_t value = 0;
    size_t outputs = 0;
    if (askNextUnit(&IH264Unit::getFPS, &value, &outputs)) return value;
    SLOGE_LIMITED(mPacketLog, "can not get h264 info !\n");
    return 0;
}

IH264Interfaces RtpH264UnpackUnitSM::getInterfaces() {
    return IH264Interfaces::bindTo(this);
}
