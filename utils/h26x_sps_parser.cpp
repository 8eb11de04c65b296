#include "utils/h26x_sps_parser.h"

#include <algorithm>
#include <iterator>
#include <vector>

namespace {

// The RBSP of a NAL unit (H.264 7.4.1, H.265 7.4.2): every 00 00 03 loses its 03.
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

// MSB-first bit reader that never reads past its end: a read beyond it sets `failed` and yields 0,
// so a parse can run to its next check and give up there.
class BitReader {
public:
    explicit BitReader(const std::vector<uint8_t>& bytes) : mBytes(bytes), mSize(bytes.size() * 8) {}

    bool failed() const { return mFailed; }

    uint32_t bits(unsigned n) {
        uint32_t v = 0;
        for (unsigned i = 0; i < n; ++i) v = (v << 1) | bit();
        return v;
    }
    bool flag() { return bit() != 0; }
    void skip(size_t n) {
        if (n > mSize - mPos) {
            mFailed = true;
            mPos = mSize;
            return;
        }
        mPos += n;
    }
    // Exp-Golomb ue(v) (H.264 9.1); a code of more than 31 leading zeros is not a 32-bit value.
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
        if (mPos >= mSize) {
            mFailed = true;
            return 0;
        }
        uint32_t b = (mBytes[mPos / 8] >> (7 - mPos % 8)) & 1;
        ++mPos;
        return b;
    }

    const std::vector<uint8_t>& mBytes;
    size_t mSize;
    size_t mPos = 0;
    bool mFailed = false;
};

// H.264 7.3.2.1.1.1: the lists are skipped, only their delta_scale values have to be read.
void skipH264ScalingList(BitReader& r, int size) {
    int64_t last = 8, next = 8;
    for (int j = 0; j < size && !r.failed(); ++j) {
        // delta_scale is -128..127 in a valid SPS; any 32-bit value is summed without overflow.
        if (next != 0) next = ((last + r.se() + 256) % 256 + 256) % 256;
        last = next == 0 ? last : next;
    }
}

// H.264 7.3.2.1.1: the profiles whose SPS carries chroma format, bit depths and scaling lists.
bool isH264HighProfile(uint32_t profile) {
    static const uint32_t kProfiles[] = {100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135};
    return std::find(std::begin(kProfiles), std::end(kProfiles), profile) != std::end(kProfiles);
}

// Cropping units for chroma_format_idc (H.264 and H.265 Table 6-1): SubWidthC, SubHeightC.
void chromaSubsampling(uint32_t chromaFormat, bool separatePlanes, uint32_t* subW, uint32_t* subH) {
    *subW = (chromaFormat == 1 || chromaFormat == 2) && !separatePlanes ? 2 : 1;
    *subH = chromaFormat == 1 && !separatePlanes ? 2 : 1;
}

// Largest picture side taken as true; no camera codes more (H.264 level 6.2 and H.265 level 6.2
// stop at 8192 luma samples on a side, 16384 leaves room). Beyond it the size is unknown (0).
constexpr uint64_t kMaxPlausibleSide = 16384;
// Highest frame rate taken as true; beyond it the rate is unknown (0).
constexpr double kMaxPlausibleFps = 1000;

// Size after cropping; false when the crop swallows the picture or the result is beyond 16 bits.
// An implausible size leaves both sides unknown (0).
bool croppedSize(uint64_t width, uint64_t height, uint64_t cropX, uint64_t cropY, H26xSpsInfo* info) {
    if (cropX >= width || cropY >= height || width - cropX > 0xFFFF || height - cropY > 0xFFFF) return false;
    const bool plausible = width - cropX <= kMaxPlausibleSide && height - cropY <= kMaxPlausibleSide;
    info->width = plausible ? static_cast<uint32_t>(width - cropX) : 0;
    info->height = plausible ? static_cast<uint32_t>(height - cropY) : 0;
    return true;
}

// Frames per second from the VUI timing (ticks per frame: 2 for H.264, whose tick is a field,
// 1 for H.265); 0 (unknown) without a tick or time scale, or beyond kMaxPlausibleFps.
double frameRate(uint32_t timeScale, uint32_t unitsInTick, unsigned ticksPerFrame) {
    if (unitsInTick == 0 || timeScale == 0) return 0;
    const double fps = double(timeScale) / (double(ticksPerFrame) * unitsInTick);
    return fps <= kMaxPlausibleFps ? fps : 0;
}

// Cropping / conformance window offsets (left, right, top, bottom) behind their presence flag.
void readWindow(BitReader& r, uint64_t window[4]) {
    if (!r.flag()) return;
    for (int i = 0; i < 4; ++i) window[i] = r.ue();
}

// The VUI fields before the timing information, as far as H.264 E.1.1 and H.265 E.2.1 share them.
void skipVuiStart(BitReader& r) {
    if (r.flag()) {                        // aspect_ratio_info_present_flag
        if (r.bits(8) == 255) r.skip(32);  // Extended_SAR: sar_width, sar_height
    }
    if (r.flag()) r.skip(1);  // overscan_info_present_flag, overscan_appropriate_flag
    if (r.flag()) {           // video_signal_type_present_flag
        r.skip(4);
        if (r.flag()) r.skip(24);  // colour_description_present_flag
    }
    if (r.flag()) {  // chroma_loc_info_present_flag
        r.ue();
        r.ue();
    }
}

// H.265 7.3.3 profile_tier_level(1, maxSubLayersMinus1); only the general profile and level kept.
void readProfileTierLevel(BitReader& r, uint32_t maxSubLayersMinus1, H26xSpsInfo* info) {
    r.skip(3);  // general_profile_space, general_tier_flag
    info->profile = r.bits(5);
    r.skip(32 + 4 + 43 + 1);  // compatibility flags, source flags, reserved bits, inbld flag
    info->level = r.bits(8);
    bool profilePresent[8] = {false};
    bool levelPresent[8] = {false};
    for (uint32_t i = 0; i < maxSubLayersMinus1; ++i) {
        profilePresent[i] = r.flag();
        levelPresent[i] = r.flag();
    }
    if (maxSubLayersMinus1 > 0) r.skip(2 * (8 - maxSubLayersMinus1));
    for (uint32_t i = 0; i < maxSubLayersMinus1; ++i) {
        if (profilePresent[i]) r.skip(88);
        if (levelPresent[i]) r.skip(8);
    }
}

// H.265 7.3.4 scaling_list_data().
void skipH265ScalingListData(BitReader& r) {
    for (int sizeId = 0; sizeId < 4 && !r.failed(); ++sizeId) {
        for (int matrixId = 0; matrixId < 6 && !r.failed(); matrixId += sizeId == 3 ? 3 : 1) {
            if (!r.flag()) {  // scaling_list_pred_mode_flag
                r.ue();       // scaling_list_pred_matrix_id_delta
                continue;
            }
            int coefNum = std::min(64, 1 << (4 + (sizeId << 1)));
            if (sizeId > 1) r.se();  // scaling_list_dc_coef_minus8
            for (int i = 0; i < coefNum && !r.failed(); ++i) r.se();
        }
    }
}

// H.265 7.3.7 st_ref_pic_set(idx) as the SPS carries it; `numDeltaPocs` holds NumDeltaPocs of
// the sets before `idx` and receives that of `idx`. False on a value the standard does not allow.
bool skipH265ShortTermRefPicSet(BitReader& r, uint32_t idx, uint32_t* numDeltaPocs) {
    if (idx != 0 && r.flag()) {  // inter_ref_pic_set_prediction_flag
        r.skip(1);               // delta_rps_sign
        r.ue();                  // abs_delta_rps_minus1
        // In the SPS the reference is always the set before (delta_idx_minus1 is 0).
        uint32_t refDeltaPocs = numDeltaPocs[idx - 1];
        uint32_t count = 0;
        for (uint32_t j = 0; j <= refDeltaPocs && !r.failed(); ++j) {
            bool used = r.flag();              // used_by_curr_pic_flag
            bool useDelta = used || r.flag();  // use_delta_flag, 1 when absent
            if (useDelta) ++count;
        }
        if (count > 32) return false;
        numDeltaPocs[idx] = count;
        return !r.failed();
    }
    uint32_t negative = r.ue();
    uint32_t positive = r.ue();
    if (negative > 16 || positive > 16) return false;  // bounded by sps_max_dec_pic_buffering
    for (uint32_t i = 0; i < negative + positive && !r.failed(); ++i) {
        r.ue();     // delta_poc_s0/s1_minus1
        r.skip(1);  // used_by_curr_pic_s0/s1_flag
    }
    numDeltaPocs[idx] = negative + positive;
    return !r.failed();
}

}  // namespace

bool H26xSpsParser::parseH264(const uint8_t* nal, size_t len, H26xSpsInfo* out) {
    if (nal == nullptr || len < 2 || len > kMaxSpsBytes || (nal[0] & 0x1F) != 7) return false;
    std::vector<uint8_t> rbsp = unescape(nal + 1, len - 1);
    BitReader r(rbsp);
    H26xSpsInfo info;
    uint32_t profile = r.bits(8);
    info.profile = profile;
    r.skip(8);  // constraint flags
    info.level = r.bits(8);
    r.ue();  // seq_parameter_set_id
    uint32_t chromaFormat = 1;
    bool separatePlanes = false;
    if (isH264HighProfile(profile)) {
        chromaFormat = r.ue();
        if (chromaFormat > 3) return false;
        if (chromaFormat == 3) separatePlanes = r.flag();
        r.ue();          // bit_depth_luma_minus8
        r.ue();          // bit_depth_chroma_minus8
        r.skip(1);       // qpprime_y_zero_transform_bypass_flag
        if (r.flag()) {  // seq_scaling_matrix_present_flag
            int lists = chromaFormat != 3 ? 8 : 12;
            for (int i = 0; i < lists && !r.failed(); ++i) {
                if (r.flag()) skipH264ScalingList(r, i < 6 ? 16 : 64);
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
    if (!frameMbsOnly) r.skip(1);     // mb_adaptive_frame_field_flag
    r.skip(1);                        // direct_8x8_inference_flag
    uint64_t crop[4] = {0, 0, 0, 0};  // frame_cropping_flag, then left, right, top, bottom
    readWindow(r, crop);
    if (r.failed()) return false;
    uint32_t subW, subH;
    chromaSubsampling(chromaFormat, separatePlanes, &subW, &subH);
    uint64_t cropUnitX = chromaFormat == 0 || separatePlanes ? 1 : subW;
    uint64_t cropUnitY = (chromaFormat == 0 || separatePlanes ? 1 : subH) * (2 - frameMbsOnly);
    if (!croppedSize(widthMbs * 16, (2 - frameMbsOnly) * heightMapUnits * 16, cropUnitX * (crop[0] + crop[1]),
                     cropUnitY * (crop[2] + crop[3]), &info))
        return false;

    // Everything up to the size is there; the VUI is optional and may be cut short.
    if (r.flag()) {  // vui_parameters_present_flag, E.1.1
        skipVuiStart(r);
        if (r.flag()) {  // timing_info_present_flag
            uint32_t unitsInTick = r.bits(32);
            uint32_t timeScale = r.bits(32);
            // E.2.1: a tick is a field, one frame lasts two.
            if (!r.failed()) info.fps = frameRate(timeScale, unitsInTick, 2);
        }
    }
    *out = info;
    return true;
}

bool H26xSpsParser::parseH265(const uint8_t* nal, size_t len, H26xSpsInfo* out) {
    if (nal == nullptr || len < 3 || len > kMaxSpsBytes || ((nal[0] >> 1) & 0x3F) != 33) return false;
    std::vector<uint8_t> rbsp = unescape(nal + 2, len - 2);
    BitReader r(rbsp);
    H26xSpsInfo info;
    r.skip(4);  // sps_video_parameter_set_id
    uint32_t maxSubLayersMinus1 = r.bits(3);
    if (maxSubLayersMinus1 > 6) return false;
    r.skip(1);  // sps_temporal_id_nesting_flag
    readProfileTierLevel(r, maxSubLayersMinus1, &info);
    r.ue();  // sps_seq_parameter_set_id
    uint32_t chromaFormat = r.ue();
    if (chromaFormat > 3) return false;
    bool separatePlanes = false;
    if (chromaFormat == 3) separatePlanes = r.flag();
    uint64_t width = r.ue();
    uint64_t height = r.ue();
    uint64_t window[4] = {0, 0, 0, 0};  // conformance_window_flag, then the offsets
    readWindow(r, window);
    if (r.failed()) return false;
    uint32_t subW, subH;
    chromaSubsampling(chromaFormat, separatePlanes, &subW, &subH);
    if (!croppedSize(width, height, subW * (window[0] + window[1]), subH * (window[2] + window[3]), &info))
        return false;

    // The frame rate is in the VUI, behind the coding tools; a cut anywhere keeps the size.
    auto done = [&] {
        *out = info;
        return true;
    };
    r.ue();  // bit_depth_luma_minus8
    r.ue();  // bit_depth_chroma_minus8
    uint32_t log2MaxPocLsb = r.ue() + 4;
    if (log2MaxPocLsb > 16) return done();
    bool subLayerOrdering = r.flag();
    for (uint32_t i = subLayerOrdering ? 0 : maxSubLayersMinus1; i <= maxSubLayersMinus1; ++i) {
        r.ue();  // sps_max_dec_pic_buffering_minus1
        r.ue();  // sps_max_num_reorder_pics
        r.ue();  // sps_max_latency_increase_plus1
    }
    for (int i = 0; i < 6; ++i) r.ue();                    // coding block, transform block sizes and depths
    if (r.flag() && r.flag()) skipH265ScalingListData(r);  // scaling_list_enabled, ..._data_present
    r.skip(2);                                             // amp_enabled_flag, sample_adaptive_offset
    if (r.flag()) {                                        // pcm_enabled_flag
        r.skip(8);                                         // pcm sample bit depths
        r.ue();
        r.ue();
        r.skip(1);  // pcm_loop_filter_disabled_flag
    }
    uint32_t numShortTermRefPicSets = r.ue();
    if (r.failed() || numShortTermRefPicSets > 64) return done();
    uint32_t numDeltaPocs[64] = {0};
    for (uint32_t i = 0; i < numShortTermRefPicSets; ++i) {
        if (!skipH265ShortTermRefPicSet(r, i, numDeltaPocs)) return done();
    }
    if (r.flag()) {  // long_term_ref_pics_present_flag
        uint32_t count = r.ue();
        if (count > 32) return done();
        for (uint32_t i = 0; i < count && !r.failed(); ++i) r.skip(log2MaxPocLsb + 1);
    }
    r.skip(2);       // sps_temporal_mvp_enabled_flag, strong_intra_smoothing_enabled_flag
    if (r.flag()) {  // vui_parameters_present_flag, E.2.1
        skipVuiStart(r);
        r.skip(3);       // neutral_chroma_indication, field_seq, frame_field_info_present
        if (r.flag()) {  // default_display_window_flag
            for (int i = 0; i < 4; ++i) r.ue();
        }
        if (r.flag()) {  // vui_timing_info_present_flag
            uint32_t unitsInTick = r.bits(32);
            uint32_t timeScale = r.bits(32);
            if (!r.failed()) info.fps = frameRate(timeScale, unitsInTick, 1);
        }
    }
    return done();
}
