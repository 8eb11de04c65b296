#ifndef QUORVANE_UTILS_H26X_SPS_PARSER_H
#define QUORVANE_UTILS_H26X_SPS_PARSER_H

#include <cstddef>
#include <cstdint>

#include "../quorvane_export.h"

// What a sequence parameter set says about the picture: size, profile, level and, when its VUI
// carries timing information, the frame rate.
struct QUORVANE_EXPORT H26xSpsInfo {
    uint32_t width = 0;  // luma samples, after the cropping / conformance window
    uint32_t height = 0;
    uint32_t profile = 0;  // profile_idc (H.264), general_profile_idc (H.265)
    uint32_t level = 0;    // level_idc, general_level_idc
    double fps = 0;        // from the VUI timing information; 0 when the SPS has none
};

// Reads H.264 and H.265 sequence parameter sets as cameras send them. Every read is bounded by
// the NAL unit's length: a cut or hostile SPS is refused, never read past its end.
class QUORVANE_EXPORT H26xSpsParser {
public:
    // `nal` is one SPS NAL unit with its header and without start code, emulation prevention
    // bytes as sent. False when it is no SPS or ends before the picture size; `*out` is then
    // unchanged. A VUI cut short leaves fps at 0.
    static bool parseH264(const uint8_t* nal, size_t len, H26xSpsInfo* out);
    static bool parseH265(const uint8_t* nal, size_t len, H26xSpsInfo* out);
    // The largest SPS read; longer ones are refused (real ones are well below 100 bytes).
    static constexpr size_t kMaxSpsBytes = 4096;
};

#endif
