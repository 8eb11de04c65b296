#ifndef QUORVANE_PLATFORM_FRAME_META_H
#define QUORVANE_PLATFORM_FRAME_META_H

#include <cstdint>

#include "../quorvane_export.h"
#include "buffer.h"

// What the depacketizers know about each Annex-B buffer they hand on, kept in BufferInfo's
// reserved fields so that the record's layout stays as it is. A buffer whose flags lack kValid
// carries no such knowledge.
struct QUORVANE_EXPORT FrameMeta {
    enum Flags : uint32_t {
        kValid = 1u << 0,
        kKeyframe = 1u << 1,       // IDR picture (H.264), IRAP picture (H.265)
        kParameterSet = 1u << 2,   // VPS/SPS/PPS
        kComplete = 1u << 3,       // every packet of it arrived
        kAccessUnitEnd = 1u << 4,  // the last NAL unit of its access unit (marker bit seen)
        kFromSdp = 1u << 5,        // a parameter set taken from the SDP, not from the stream
    };
    uint64_t rtpTimestamp = 0;  // RTP timestamp extended to 64 bits across wraps
    uint32_t flags = 0;
    uint32_t lostBefore = 0;  // RTP packets lost between the previous buffer and this one

    static void store(BufferInfo& info, const FrameMeta& meta) {
        info.infoReserved0 = meta.rtpTimestamp;
        info.infoReserved2 = meta.flags;
        info.infoReserved3 = meta.lostBefore;
    }
    static FrameMeta load(const BufferInfo& info) {
        FrameMeta meta;
        meta.rtpTimestamp = info.infoReserved0;
        meta.flags = info.infoReserved2;
        meta.lostBefore = static_cast<uint32_t>(info.infoReserved3);
        return meta;
    }
};

#endif
