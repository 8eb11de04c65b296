#ifndef QUORVANE_UTILS_BYTE_ORDER_INTERNAL_H
#define QUORVANE_UTILS_BYTE_ORDER_INTERNAL_H

#include <cstdint>

// Not installed. Network-order fields of RTP and RTCP packets, read from bytes the caller has
// already checked are there.
namespace quorvane_internal {

inline uint16_t readBe16(const unsigned char* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
inline uint32_t readBe32(const unsigned char* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

}  // namespace quorvane_internal

#endif
