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

H265FUs::H265FUs() : mFusBytes(0) {}

void H265FUs::pushRTP(std::shared_ptr<QelBuffer> packet) {
    mFusBytes += packet->length - kFuHeaders;
    mFus.push_back(std::move(packet));
}

void H265FUs::clear() {
    mFus.clear();
    mFusBytes = 0;
}

void H265FUs::dropBuffers() {
    clear();
}

std::shared_ptr<QelBuffer> H265FUs::mergeFuToRtpNalU() {
    if (mFus.empty()) {
        SLOGE("fua not end!\n");
        clear();
        return nullptr;
    }
    const uint64_t total = mFusBytes + kRebuiltHeaders;
    std::shared_ptr<QelBuffer> out = QelBuffer::createMallocBuffer(total, nullptr);
    unsigned char* dst = bytesOf(out);
    memset(dst, 0, RtpH26xUnpackBase::kRtpHeaderSize);  // stands where an RTP header would be; never read
    uint64_t cursor = RtpH26xUnpackBase::kRtpHeaderSize;
    bool first = true;
    bool lastEnd = false;
    while (!mFus.empty()) {
        std::shared_ptr<QelBuffer> packet = mFus.front();
        mFus.pop_front();
        const unsigned char* p = bytesOf(packet);
        if (first) {
            if (!(p[14] & 0x80)) {
                SLOGE("fua not start! maybe rtp packet lost!\n");
                clear();
                return nullptr;
            }
            // RFC 7798 4.4.3: the type comes from the FU header. Layer id 0 and TID 1 are written
            // as fixed values, the only ones the cameras we serve send.
            dst[cursor] = static_cast<unsigned char>((p[14] & 0x3F) << 1);
            dst[cursor + 1] = 0x01;
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
        SLOGE("fua not end!\n");
        clear();
        return nullptr;
    }
    if (cursor != total) {
        SLOGE("cursor check failed ! %ld != %ld\n", static_cast<long>(cursor), static_cast<long>(total));
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
}

unsigned long RtpH265UnpackUnitSM::onTransmitIn(std::shared_ptr<QelBuffer> packet, unsigned long len,
                                                int inputIndex, int /*param*/) {
    if (!packet) {
        SLOGE("RtpH265Unpack buf is null\n");
        return len;
    }
    if (!isPacketReadable(packet, len, kRtpHeaderSize, kWho)) return len;
    const unsigned char* p = bytesOf(packet);
    if (inputIndex != -1 && checkRtpContinuity(p)) mH265Fus.dropBuffers();
    if (!isLongEnough(len, kMinNal, kWho)) return len;
    // RFC 7798 1.1.4: forbidden bit, six type bits, six layer-id bits, three TID bits.
    const int type = (p[12] >> 1) & 0x3F;
    switch (type) {
        case 1:  // TRAIL_R
            mDebugCntNal[kCntTrail] += 1;
            deliver(packet, len, false);
            break;
        case 19:  // IDR_W_RADL
            mDebugCntNal[kCntIdr] += 1;
            deliver(packet, len, false);
            break;
        case 32:  // VPS
            deliver(packet, len, true);
            break;
        case 33:  // SPS
            mDebugCntNal[kCntSps] += 1;
            deliver(packet, len, true);
            break;
        case 34:  // PPS
            mDebugCntNal[kCntPps] += 1;
            deliver(packet, len, true);
            break;
        case 39:  // prefix SEI
            mDebugCntNal[kCntSei] += 1;
            deliver(packet, len, true);
            break;
        case 49:  // RFC 7798 4.4.3 fragmentation unit
            onFragment(packet, len, inputIndex);
            break;
        default:
            // Aggregation packets (48), PACI (50) and every NAL unit type cameras do not send.
            SLOGE("H265 RTP cannot recognize type %d\n", type);
            break;
    }
    return len;
}

void RtpH265UnpackUnitSM::deliver(const std::shared_ptr<QelBuffer>& packet, unsigned long len,
                                  bool trimZeros) {
    // A whole NAL unit ends whatever fragmented unit was waiting.
    mH265Fus.dropBuffers();
    std::shared_ptr<QelBuffer> nal = transferFuToH26x(bytesOf(packet) + kRtpHeaderSize, len - kRtpHeaderSize);
    if (trimZeros) {
        // Cameras pad parameter sets with zero bytes; the start code's 01 ends this.
        const unsigned char* bytes = bytesOf(nal);
        while (nal->length > 0 && bytes[nal->length - 1] == 0) nal->length -= 1;
    }
    MasterOutput::transmitTo(nal, nal->length, -1, 0);
}

void RtpH265UnpackUnitSM::onFragment(const std::shared_ptr<QelBuffer>& packet, unsigned long len,
                                     int inputIndex) {
    if (inputIndex == -1) {
        // A reassembled unit always carries the fragmented unit's own type, never 49.
        SLOGE("please check your code !\n");
        return;
    }
    if (!isLongEnough(len, kFuHeaders, kWho)) return;
    const unsigned char* p = bytesOf(packet);
    const bool start = (p[14] & 0x80) != 0;  // RFC 7798 4.4.3: S bit of the FU header
    const bool end = (p[14] & 0x40) != 0;    // E bit
    if (start) {
        mH265Fus.dropBuffers();
    } else if (mH265Fus.pendingBytes() + (len - kFuHeaders) > kMaxPendingBytes) {
        SLOGE("RtpH265Unpack fragmented unit exceeds %lu bytes, dropped\n",
              static_cast<unsigned long>(kMaxPendingBytes));
        mH265Fus.dropBuffers();
        return;
    }
    mH265Fus.pushRTP(packet);
    // A start fragment with E set too is a whole NAL unit: some cameras send small units that
    // way although RFC 7798 4.4.3 forbids it.
    if (!end) return;
    std::shared_ptr<QelBuffer> nal = mH265Fus.mergeFuToRtpNalU();
    if (nal) onTransmitIn(nal, nal->length, -1, 0);
}
