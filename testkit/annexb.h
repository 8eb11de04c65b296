#ifndef QUORVANE_TESTKIT_ANNEXB_H
#define QUORVANE_TESTKIT_ANNEXB_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Annex-B elementary streams for tests, tools and benchmarks: read and write files, split a stream
// into NAL units, join NAL units back, and group them into pictures (access units).
namespace testkit {

using Bytes = std::vector<uint8_t>;

enum class VideoCodec { H264, H265 };

// The whole file, or false when it cannot be read.
bool readFile(const std::string& path, Bytes* out);
bool writeFile(const std::string& path, const Bytes& data);

// NAL units of an Annex-B stream, without their start codes. Three- and four-byte start codes are
// recognised; zero bytes in front of a start code or at the end of the stream are stream padding
// (trailing_zero_8bits), not part of the NAL unit before them; bytes before the first start code
// are ignored.
std::vector<Bytes> splitAnnexB(const uint8_t* data, size_t len);
inline std::vector<Bytes> splitAnnexB(const Bytes& stream) {
    return splitAnnexB(stream.data(), stream.size());
}

// Each NAL unit preceded by the start code 00 00 00 01.
Bytes joinAnnexB(const std::vector<Bytes>& nals);

// The NAL unit type from the header (first byte for H.264, first two for H.265); -1 when the
// unit is too short to have a header.
int nalUnitType(VideoCodec codec, const Bytes& nal);

// Whether the NAL unit carries a slice of a picture (H.264 types 1-5, H.265 types 0-31).
bool isVcl(VideoCodec codec, const Bytes& nal);

// Splits a NAL unit sequence into access units: each picture's slices together with the non-VCL
// units in front of them (parameter sets, SEI, delimiters). A new access unit begins at a
// parameter set, SEI or delimiter that follows a slice, and at the first slice of a picture
// (first_mb_in_slice 0, or first_slice_segment_in_pic_flag set).
std::vector<std::vector<Bytes>> groupAccessUnits(VideoCodec codec, const std::vector<Bytes>& nals);

// What one piece of the depacketizers' Annex-B output (start code 00 00 00 01, then a NAL unit)
// begins with: the NAL unit type, and whether it begins a picture or is a parameter set.
struct AnnexBPiece {
    int nalType = -1;
    bool slice = false;         // coded picture data (a VCL NAL unit)
    bool picture = false;       // begins a picture: H.264 slices come as whole pictures; for H.265
                                // the first slice segment of a picture
    bool parameterSet = false;  // VPS, SPS or PPS
};
AnnexBPiece classifyPiece(VideoCodec codec, const uint8_t* data, size_t len);

}  // namespace testkit

#endif
