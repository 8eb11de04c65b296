#include "testkit/sps_parser.h"

#include <algorithm>
#include <iterator>
#include <vector>

namespace testkit {

namespace {

// The RBSP of a NAL unit: H.264 7.4.1 / H.265 7.4.2, every 00 00 03 loses its 03.
std::vector<uint8_t> unescape(const uint8_t* data, size_t len) {
    std::vector<uint8_t> out;
    out.reserve(len);
    size_t zeros = 0;
    for (size_t i = 0; i < len; ++i) {
        if (zeros >= 2 && data[i] == 3) {
            zeros = 0;
            continue;
        }
        zeros = data[i] == 0 ? zeros + 1 : 0;
        out.push_back(data[i]);
    }
    return out;
}

// MSB-first bit reader that never reads past its end: a read beyond it sets `failed` and yields 0.
class BitReader {
public:
    explicit BitReader(const std::vector<uint8_t>& bytes) : mBytes(bytes) {}

    bool failed() const { return mFailed; }

    uint32_t bits(unsigned n) {
        uint32_t v = 0;
        for (unsigned i = 0; i < n; ++i) v = (v << 1) | bit();
        return v;
    }
    void skip(size_t n) {
        if (n > mBytes.size() * 8 - mPos) {
            mFailed = true;
            mPos = mBytes.size() * 8;
            return;
        }
        mPos += n;
    }
    // Exp-Golomb ue(v) (H.264 9.1); more than 31 leading zeros cannot occur in a valid stream.
    uint32_t ue() {
        unsigned zeros = 0;
        while (bit() == 0) {
            if (mFailed || ++zeros > 31) {
                mFailed = true;
                return 0;
            }
        }
        if (zeros == 0) return 0;
        return static_cast<uint32_t>((uint64_t(1) << zeros) - 1 + bits(zeros));
    }
    int32_t se() {
        uint32_t k = ue();
        return (k & 1) ? static_cast<int32_t>((k + 1) / 2) : -static_cast<int32_t>(k / 2);
    }

private:
    uint32_t bit() {
        if (mPos >= mBytes.size() * 8) {
            mFailed = true;
            return 0;
        }
        uint32_t b = (mBytes[mPos / 8] >> (7 - mPos % 8)) & 1;
        ++mPos;
        return b;
    }

    const std::vector<uint8_t>& mBytes;
    size_t mPos = 0;
    bool mFailed = false;
};

// H.264 7.3.2.1.1.1: the lists are skipped, only their delta_scale values have to be read.
void skipScalingList(BitReader& r, int size) {
    int last = 8, next = 8;
    for (int j = 0; j < size && !r.failed(); ++j) {
        if (next != 0) next = (last + r.se() + 256) % 256;
        last = next == 0 ? last : next;
    }
}

// H.264 7.3.2.1.1: the profiles whose SPS carries chroma format, bit depths and scaling lists.
bool isHighProfile(uint32_t profile) {
    static const uint32_t kProfiles[] = {100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135};
    return std::find(std::begin(kProfiles), std::end(kProfiles), profile) != std::end(kProfiles);
}

// Cropping units for chroma_format_idc (H.264 Table 6-1, H.265 Table 6-1): SubWidthC, SubHeightC.
void chromaSubsampling(uint32_t chromaFormat, bool separatePlanes, uint32_t* subW, uint32_t* subH) {
    *subW = (chromaFormat == 1 || chromaFormat == 2) && !separatePlanes ? 2 : 1;
    *subH = chromaFormat == 1 && !separatePlanes ? 2 : 1;
}

// H.265 7.3.3 profile_tier_level(1, maxSubLayersMinus1); only the general profile and level kept.
void readProfileTierLevel(BitReader& r, uint32_t maxSubLayersMinus1, SpsInfo* info) {
    r.skip(3);  // general_profile_space, general_tier_flag
    info->profile = static_cast<uint8_t>(r.bits(5));
    r.skip(32 + 4 + 43 + 1);  // compatibility flags, source flags, reserved bits, inbld flag
    info->level = static_cast<uint8_t>(r.bits(8));
    bool profilePresent[8] = {false};
    bool levelPresent[8] = {false};
    for (uint32_t i = 0; i < maxSubLayersMinus1; ++i) {
        profilePresent[i] = r.bits(1) != 0;
        levelPresent[i] = r.bits(1) != 0;
    }
    if (maxSubLayersMinus1 > 0) r.skip(2 * (8 - maxSubLayersMinus1));
    for (uint32_t i = 0; i < maxSubLayersMinus1; ++i) {
        if (profilePresent[i]) r.skip(88);
        if (levelPresent[i]) r.skip(8);
    }
}

}  // namespace

bool parseH264Sps(const uint8_t* nal, size_t len, SpsInfo* out) {
    if (nal == nullptr || len < 2 || (nal[0] & 0x1F) != 7) return false;
    std::vector<uint8_t> rbsp = unescape(nal + 1, len - 1);
    BitReader r(rbsp);
    SpsInfo info;
    uint32_t profile = r.bits(8);
    info.profile = static_cast<uint8_t>(profile);
    r.skip(8);  // constraint flags
    info.level = static_cast<uint8_t>(r.bits(8));
    r.ue();  // seq_parameter_set_id
    uint32_t chromaFormat = 1;
    bool separatePlanes = false;
    if (isHighProfile(profile)) {
        chromaFormat = r.ue();
        if (chromaFormat == 3) separatePlanes = r.bits(1) != 0;
        r.ue();           // bit_depth_luma_minus8
        r.ue();           // bit_depth_chroma_minus8
        r.skip(1);        // qpprime_y_zero_transform_bypass_flag
        if (r.bits(1)) {  // seq_scaling_matrix_present_flag
            int lists = chromaFormat != 3 ? 8 : 12;
            for (int i = 0; i < lists && !r.failed(); ++i) {
                if (r.bits(1)) skipScalingList(r, i < 6 ? 16 : 64);
            }
        }
    }
    r.ue();  // log2_max_frame_num_minus4
    uint32_t pocType = r.ue();
    if (pocType == 0) {
        r.ue();  // log2_max_pic_order_cnt_lsb_minus4
    } else if (pocType == 1) {
        r.skip(1);  // delta_pic_order_always_zero_flag
        r.se();     // offset_for_non_ref_pic
        r.se();     // offset_for_top_to_bottom_field
        uint32_t cycle = r.ue();
        if (cycle > 255) return false;  // the standard's bound
        for (uint32_t i = 0; i < cycle && !r.failed(); ++i) r.se();
    }
    r.ue();     // max_num_ref_frames
    r.skip(1);  // gaps_in_frame_num_value_allowed_flag
    uint64_t widthMbs = uint64_t(r.ue()) + 1;
    uint64_t heightMapUnits = uint64_t(r.ue()) + 1;
    uint32_t frameMbsOnly = r.bits(1);
    if (!frameMbsOnly) r.skip(1);  // mb_adaptive_frame_field_flag
    r.skip(1);                     // direct_8x8_inference_flag
    uint64_t cropLeft = 0, cropRight = 0, cropTop = 0, cropBottom = 0;
    if (r.bits(1)) {
        cropLeft = r.ue();
        cropRight = r.ue();
        cropTop = r.ue();
        cropBottom = r.ue();
    }
    if (r.failed()) return false;
    // Everything up to the size is there; the VUI is optional and may be cut short.
    uint32_t subW, subH;
    chromaSubsampling(chromaFormat, separatePlanes, &subW, &subH);
    uint64_t cropUnitX = chromaFormat == 0 || separatePlanes ? 1 : subW;
    uint64_t cropUnitY = (chromaFormat == 0 || separatePlanes ? 1 : subH) * (2 - frameMbsOnly);
    uint64_t width = widthMbs * 16;
    uint64_t height = (2 - frameMbsOnly) * heightMapUnits * 16;
    uint64_t cropX = cropUnitX * (cropLeft + cropRight);
    uint64_t cropY = cropUnitY * (cropTop + cropBottom);
    if (cropX >= width || cropY >= height || width - cropX > 0xFFFF || height - cropY > 0xFFFF) return false;
    info.width = static_cast<uint32_t>(width - cropX);
    info.height = static_cast<uint32_t>(height - cropY);

    if (r.bits(1)) {                           // vui_parameters_present_flag, E.1.1
        if (r.bits(1)) {                       // aspect_ratio_info_present_flag
            if (r.bits(8) == 255) r.skip(32);  // Extended_SAR: sar_width, sar_height
        }
        if (r.bits(1)) r.skip(1);  // overscan_info_present_flag, overscan_appropriate_flag
        if (r.bits(1)) {           // video_signal_type_present_flag
            r.skip(4);
            if (r.bits(1)) r.skip(24);  // colour_description_present_flag
        }
        if (r.bits(1)) {  // chroma_loc_info_present_flag
            r.ue();
            r.ue();
        }
        if (r.bits(1)) {  // timing_info_present_flag
            uint32_t unitsInTick = r.bits(32);
            uint32_t timeScale = r.bits(32);
            // E.2.1: one frame lasts two ticks (a tick is a field).
            if (!r.failed() && unitsInTick != 0) info.fps = double(timeScale) / (2.0 * unitsInTick);
        }
    }
    *out = info;
    return true;
}

bool parseH265Sps(const uint8_t* nal, size_t len, SpsInfo* out) {
    if (nal == nullptr || len < 3 || ((nal[0] >> 1) & 0x3F) != 33) return false;
    std::vector<uint8_t> rbsp = unescape(nal + 2, len - 2);
    BitReader r(rbsp);
    SpsInfo info;
    r.skip(4);  // sps_video_parameter_set_id
    uint32_t maxSubLayersMinus1 = r.bits(3);
    if (maxSubLayersMinus1 > 6) return false;
    r.skip(1);  // sps_temporal_id_nesting_flag
    readProfileTierLevel(r, maxSubLayersMinus1, &info);
    r.ue();  // sps_seq_parameter_set_id
    uint32_t chromaFormat = r.ue();
    bool separatePlanes = false;
    if (chromaFormat == 3) separatePlanes = r.bits(1) != 0;
    uint64_t width = r.ue();
    uint64_t height = r.ue();
    uint64_t left = 0, right = 0, top = 0, bottom = 0;
    if (r.bits(1)) {  // conformance_window_flag
        left = r.ue();
        right = r.ue();
        top = r.ue();
        bottom = r.ue();
    }
    if (r.failed() || chromaFormat > 3) return false;
    uint32_t subW, subH;
    chromaSubsampling(chromaFormat, separatePlanes, &subW, &subH);
    uint64_t cropX = subW * (left + right);
    uint64_t cropY = subH * (top + bottom);
    if (cropX >= width || cropY >= height || width - cropX > 0xFFFF || height - cropY > 0xFFFF) return false;
    info.width = static_cast<uint32_t>(width - cropX);
    info.height = static_cast<uint32_t>(height - cropY);
    *out = info;
    return true;
}

bool parseSps(VideoCodec codec, const uint8_t* nal, size_t len, SpsInfo* out) {
    return codec == VideoCodec::H264 ? parseH264Sps(nal, len, out) : parseH265Sps(nal, len, out);
}

}  // namespace testkit
