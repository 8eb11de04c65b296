#include "units/unit_rtp_h26x_unpack_base.h"

#include <cstring>

#include "units/unit.h"
#include "utils/byte_order_internal.h"
#include "utils/log_rate_limiter.h"
#include "utils/slog.h"

IH264Interfaces IH264Interfaces::bindTo(IH264Unit* unit) {
    IH264Interfaces record;
    record.getExtra = std::bind(&IH264Unit::getExtra, unit);
    record.getPps = std::bind(&IH264Unit::getPps, unit);
    record.getSps = std::bind(&IH264Unit::getSps, unit);
    record.getSei = std::bind(&IH264Unit::getSei, unit);
    record.getWidth = std::bind(&IH264Unit::getWidth, unit);
    record.getHeight = std::bind(&IH264Unit::getHeight, unit);
    record.getFPS = std::bind(&IH264Unit::getFPS, unit);
    return record;
}

RtpH26xUnpackBase::RtpH26xUnpackBase()
    : mLastSeq(65535),
      mLastTimestamp(0),
      mDebugCntRtpRecv(0),
      mDebugCntRtpLost(0),
      mDebugCntNal{0, 0, 0, 0, 0},
      mDebugPrintTime(0) {}

std::shared_ptr<QelBuffer> RtpH26xUnpackBase::transferFuToH26x(unsigned char* data, unsigned long len) {
    std::shared_ptr<QelBuffer> out = QelBuffer::createPooledBuffer(len + 4);
    unsigned char* dst = static_cast<unsigned char*>(out->getVaddr());
    dst[0] = 0x00;
    dst[1] = 0x00;
    dst[2] = 0x00;
    dst[3] = 0x01;
    if (len > 0) memcpy(dst + 4, data, len);
    BufferInfo info{};
    info.dataType = UNIT_DATA_H26X;
    // Made just now: its creation time is the time it was completed, without a second clock read.
    info.timestampNs = out->createTimeNs;
    out->setBufferInfo(info);
    return out;
}

void RtpH26xUnpackBase::annexBInPlace(QelBuffer& packet, int64_t nowNs) {
    unsigned char* p = static_cast<unsigned char*>(packet.getVaddr()) + kRtpHeaderSize - 4;
    p[0] = 0x00;
    p[1] = 0x00;
    p[2] = 0x00;
    p[3] = 0x01;
    packet.vaddr = p;
    packet.capacity -= kRtpHeaderSize - 4;
    packet.length -= kRtpHeaderSize - 4;
    packet.createTimeNs = nowNs;
    BufferInfo info{};
    info.dataType = UNIT_DATA_H26X;
    info.timestampNs = packet.createTimeNs;
    packet.setBufferInfo(info);
}

bool RtpH26xUnpackBase::isPacketReadable(const std::shared_ptr<QelBuffer>& buffer, unsigned long length,
                                         unsigned long minLength, const char* who, LogRateLimiter& log) {
    // Assembly copies by the buffer's own length field, so the two must agree; and a length past
    // the block (or a block that failed to allocate) would have us read memory we do not own.
    if (buffer->getVaddr() == nullptr || length != buffer->length || buffer->length > buffer->capacity) {
        SLOGE_LIMITED(log, "%s packet length %lu does not match its buffer (%lu of %lu bytes), dropped\n",
                      who, length, static_cast<unsigned long>(buffer->length),
                      static_cast<unsigned long>(buffer->capacity));
        return false;
    }
    return isLongEnough(length, minLength, who, log);
}

bool RtpH26xUnpackBase::isLongEnough(unsigned long length, unsigned long minLength, const char* who,
                                     LogRateLimiter& log) {
    if (length >= minLength) return true;
    SLOGE_LIMITED(log, "%s packet of %lu bytes is too short, needs %lu, dropped\n", who, length, minLength);
    return false;
}

namespace {
LogRateLimiter& sharedPacketLog() {
    static LogRateLimiter* log = new LogRateLimiter();  // never destroyed: threads may log at exit
    return *log;
}
}  // namespace

bool RtpH26xUnpackBase::isPacketReadable(const std::shared_ptr<QelBuffer>& buffer, unsigned long length,
                                         unsigned long minLength, const char* who) {
    return isPacketReadable(buffer, length, minLength, who, sharedPacketLog());
}

bool RtpH26xUnpackBase::isLongEnough(unsigned long length, unsigned long minLength, const char* who) {
    return isLongEnough(length, minLength, who, sharedPacketLog());
}

bool RtpH26xUnpackBase::checkRtpContinuity(const unsigned char* packet) {
    mDebugCntRtpRecv += 1;
    mDebugFps.countPkt(1);
    // RFC 3550 5.1: sequence number at bytes 2-3, timestamp at 4-7, both big-endian.
    uint16_t seq = quorvane_internal::readBe16(packet + 2);
    uint32_t timestamp = quorvane_internal::readBe32(packet + 4);
    uint16_t last = mLastSeq;
    // RFC 3550 A.1: the timestamp is extended across 32-bit wraps by the signed distance from the
    // last one, so a packet a little behind its predecessor stays in the same cycle.
    if (!mHaveTimestamp) {
        mPacketTimestamp = timestamp;
        mHaveTimestamp = true;
    } else {
        mPacketTimestamp +=
            static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(timestamp - mLastTimestamp)));
    }
    mNalEndsMarkedPacket = (packet[1] & 0x80) != 0;
    // The sum is taken in 32 bits, so after 65535 only the explicit wrap to 0 is in order. The
    // first packet of a session still drops what was assembled before it, but no packet of this
    // session was lost before it: the previous session's numbers say nothing about this one.
    const bool first = !mHaveSeq;
    mHaveSeq = true;
    bool inOrder =
        static_cast<uint32_t>(seq) == static_cast<uint32_t>(last) + 1 || (seq == 0 && last == 65535);
    bool lost = false;
    if (!inOrder) {
        int32_t gap = static_cast<int32_t>(seq) - static_cast<int32_t>(last) - 1;
        mDebugCntRtpLost += gap;
        mDebugFps.countPktLoss(gap);
        SLOGW_LIMITED(mPacketLog, "rtp lost one packet ... mDebugCntRtpLost: %u > %u\n",
                      static_cast<unsigned>(last), static_cast<unsigned>(seq));
        lost = true;
        // Only a plausible forward jump counts as loss for the next buffer; a repeat, a reordered
        // packet or a new origin does not.
        if (!first && gap > 0 && gap < 0x8000) mPacketGap = static_cast<uint32_t>(gap);
    }
    if (mLastTimestamp > timestamp) {
        SLOGW_LIMITED(mPacketLog, "rtp timestamp out of order ! cur(%u) < last(%u)\n", timestamp,
                      mLastTimestamp);
    }
    mLastSeq = seq;
    mLastTimestamp = timestamp;
    return lost;
}

void RtpH26xUnpackBase::resetStreamPosition() {
    mHaveSeq = false;
    mHaveTimestamp = false;
    mPacketTimestamp = 0;
    mLostSinceOutput = 0;
    mPacketGap = 0;
    mNalEndsMarkedPacket = false;
}

void RtpH26xUnpackBase::countPacketGap() {
    mLostSinceOutput += mPacketGap;
    mPacketGap = 0;
}

void RtpH26xUnpackBase::stampMeta(const std::shared_ptr<QelBuffer>& out, uint32_t flags) {
    stampMeta(out, flags, mPacketTimestamp);
}

void RtpH26xUnpackBase::stampMeta(const std::shared_ptr<QelBuffer>& out, uint32_t flags,
                                  uint64_t rtpTimestamp) {
    FrameMeta meta;
    meta.rtpTimestamp = rtpTimestamp;
    meta.flags = flags | FrameMeta::kValid;
    meta.lostBefore = mLostSinceOutput;
    mLostSinceOutput = 0;
    FrameMeta::store(out->info, meta);
    mLastStampNs = out->createTimeNs;
}

void RtpH26xUnpackBase::unpackAggregate(const std::shared_ptr<QelBuffer>& packet, unsigned long length,
                                        unsigned long firstUnit, unsigned long minUnit, const char* kind,
                                        const std::function<void(const std::shared_ptr<QelBuffer>&)>& unit) {
    const unsigned char* p = static_cast<const unsigned char*>(packet->getVaddr());
    const bool marker = mNalEndsMarkedPacket;
    unsigned long pos = firstUnit;
    while (pos < length) {
        const unsigned long size = length - pos >= 2 ? quorvane_internal::readBe16(p + pos) : 0UL;
        if (size < minUnit || size > length - pos - 2) {
            SLOGE_LIMITED(
                mAggregateSizeLog,
                "%s unit size %lu at offset %lu does not fit the packet of %lu bytes, rest dropped\n", kind,
                size, pos, length);
            break;
        }
        pos += 2;
        std::shared_ptr<QelBuffer> single = QelBuffer::createPooledBuffer(kRtpHeaderSize + size);
        unsigned char* dst = static_cast<unsigned char*>(single->getVaddr());
        memcpy(dst, p, kRtpHeaderSize);
        memcpy(dst + kRtpHeaderSize, p + pos, size);
        pos += size;
        mNalEndsMarkedPacket = marker && pos == length;
        unit(single);
    }
    mNalEndsMarkedPacket = marker;
}

std::shared_ptr<QelBuffer> RtpH26xUnpackBase::parameterSetBuffer(const uint8_t* data, unsigned long len) {
    std::shared_ptr<QelBuffer> out = transferFuToH26x(const_cast<uint8_t*>(data), len);
    // The start code's 01 ends the trimming.
    const unsigned char* bytes = static_cast<const unsigned char*>(out->getVaddr());
    while (out->length > 0 && bytes[out->length - 1] == 0) out->length -= 1;
    return out;
}

void RtpH26xUnpackBase::stampSdpParameterSet(const std::shared_ptr<QelBuffer>& nal) const {
    FrameMeta meta;
    meta.rtpTimestamp = mPacketTimestamp;
    meta.flags = FrameMeta::kValid | FrameMeta::kParameterSet | FrameMeta::kComplete | FrameMeta::kFromSdp;
    FrameMeta::store(nal->info, meta);
}
