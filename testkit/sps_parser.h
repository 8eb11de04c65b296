#ifndef QUORVANE_TESTKIT_SPS_PARSER_H
#define QUORVANE_TESTKIT_SPS_PARSER_H

#include <cstddef>
#include <cstdint>

#include "testkit/annexb.h"

// Picture size and rate from an H.264 or H.265 sequence parameter set, for tools that show what
// a camera sends and for pacing a clip by its own frame rate.
namespace testkit {

struct SpsInfo {
    uint32_t width = 0;  // luma samples, after the cropping / conformance window
    uint32_t height = 0;
    double fps = 0;       // from the H.264 VUI timing information; 0 when absent (and for H.265)
    uint8_t profile = 0;  // profile_idc / general_profile_idc
    uint8_t level = 0;    // level_idc / general_level_idc
};

// `nal` is one SPS NAL unit with its header and without start code (emulation prevention bytes
// as sent). False when it is no SPS or ends before the fields needed; `*out` is then unchanged.
bool parseH264Sps(const uint8_t* nal, size_t len, SpsInfo* out);
bool parseH265Sps(const uint8_t* nal, size_t len, SpsInfo* out);
bool parseSps(VideoCodec codec, const uint8_t* nal, size_t len, SpsInfo* out);

}  // namespace testkit

#endif
