#include "testkit/annexb.h"

#include <fstream>
#include <iterator>

namespace testkit {

bool readFile(const std::string& path, Bytes* out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

bool writeFile(const std::string& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    return static_cast<bool>(out);
}

namespace {

// Position of the next 00 00 01 at or after `from`, or `len` when there is none.
size_t findStartCode(const uint8_t* data, size_t len, size_t from) {
    for (size_t i = from; i + 3 <= len; ++i) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) return i;
    }
    return len;
}

}  // namespace

std::vector<Bytes> splitAnnexB(const uint8_t* data, size_t len) {
    std::vector<Bytes> nals;
    size_t sc = findStartCode(data, len, 0);
    while (sc < len) {
        size_t begin = sc + 3;
        size_t next = findStartCode(data, len, begin);
        // The zero bytes before the next start code (its leading zero_byte included) and at the
        // end of the stream are padding of the byte stream.
        size_t end = next;
        while (end > begin && data[end - 1] == 0) --end;
        if (end > begin) nals.emplace_back(data + begin, data + end);
        sc = next;
    }
    return nals;
}

Bytes joinAnnexB(const std::vector<Bytes>& nals) {
    Bytes out;
    for (const Bytes& nal : nals) {
        static const uint8_t kStartCode[4] = {0, 0, 0, 1};
        out.insert(out.end(), kStartCode, kStartCode + 4);
        out.insert(out.end(), nal.begin(), nal.end());
    }
    return out;
}

int nalUnitType(VideoCodec codec, const Bytes& nal) {
    if (codec == VideoCodec::H264) return nal.empty() ? -1 : nal[0] & 0x1F;
    return nal.size() < 2 ? -1 : (nal[0] >> 1) & 0x3F;
}

bool isVcl(VideoCodec codec, const Bytes& nal) {
    int type = nalUnitType(codec, nal);
    if (codec == VideoCodec::H264) return type >= 1 && type <= 5;
    return type >= 0 && type <= 31;
}

namespace {

// A non-VCL unit that may only stand before the first slice of an access unit
// (H.264 7.4.1.2.3, H.265 7.4.2.4.4).
bool startsAccessUnit(VideoCodec codec, int type) {
    if (codec == VideoCodec::H264) return (type >= 6 && type <= 9) || (type >= 14 && type <= 18);
    return (type >= 32 && type <= 35) || type == 39 || (type >= 41 && type <= 44) ||
           (type >= 48 && type <= 55);
}

// First slice of a picture: first_mb_in_slice 0 (ue(v) code "1") for H.264,
// first_slice_segment_in_pic_flag for H.265.
bool isFirstSliceOfPicture(VideoCodec codec, const Bytes& nal) {
    if (codec == VideoCodec::H264) return nal.size() > 1 && (nal[1] & 0x80) != 0;
    return nal.size() > 2 && (nal[2] & 0x80) != 0;
}

}  // namespace

std::vector<std::vector<Bytes>> groupAccessUnits(VideoCodec codec, const std::vector<Bytes>& nals) {
    std::vector<std::vector<Bytes>> units;
    std::vector<Bytes> current;
    bool currentHasSlice = false;
    for (const Bytes& nal : nals) {
        bool vcl = isVcl(codec, nal);
        bool boundary = currentHasSlice && ((vcl && isFirstSliceOfPicture(codec, nal)) ||
                                            (!vcl && startsAccessUnit(codec, nalUnitType(codec, nal))));
        if (boundary) {
            units.push_back(std::move(current));
            current.clear();
            currentHasSlice = false;
        }
        current.push_back(nal);
        currentHasSlice = currentHasSlice || vcl;
    }
    if (!current.empty()) units.push_back(std::move(current));
    return units;
}

AnnexBPiece classifyPiece(VideoCodec codec, const uint8_t* data, size_t len) {
    constexpr size_t kStartCodeSize = 4;
    AnnexBPiece piece;
    if (data == nullptr || len <= kStartCodeSize) return piece;
    const uint8_t* nal = data + kStartCodeSize;
    if (codec == VideoCodec::H264) {
        piece.nalType = nal[0] & 0x1F;
        piece.slice = piece.nalType >= 1 && piece.nalType <= 5;
        piece.picture = piece.slice;
        piece.parameterSet = piece.nalType == 7 || piece.nalType == 8;
    } else {
        piece.nalType = (nal[0] >> 1) & 0x3F;
        // H.265 7.3.6.1: first_slice_segment_in_pic_flag is the first bit after the 2-byte header.
        piece.slice = piece.nalType <= 31;
        piece.picture = piece.slice && len > kStartCodeSize + 2 && (nal[2] & 0x80) != 0;
        piece.parameterSet = piece.nalType >= 32 && piece.nalType <= 34;
    }
    return piece;
}

}  // namespace testkit
