// Byte handling that must not depend on the processor. Plain char is signed on x86-64 and unsigned
// on AArch64, so any helper that lets a byte pass through a char (a shift, an index, a %x, a range
// check) gives different output for bytes at and above 0x80 on the two. These cases run in both
// the native and the emulated arm64 suite, over every byte value, where a signed and an unsigned
// reading part ways (the log's hex dump is checked the same way in slog_test).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "utils/curl_rtsp.h"
#include "utils/utils.h"

namespace {

std::string encode(const std::vector<unsigned char>& in) {
    // Fill beyond the documented size with a marker, so a write past it shows up.
    std::string out(4 * ((in.size() + 2) / 3) + 1 + 4, '#');
    Utils::base64encode(in.data(), in.size(), &out[0]);
    EXPECT_EQ(out.substr(out.size() - 4), "####") << "wrote past 4 * ceil(len / 3) + 1 bytes";
    return std::string(out.c_str());
}

// A decoder independent of the encoder's tables: the position of each character in the alphabet
// written out here, not in the library's base64char.
std::vector<unsigned char> decode(const std::string& text) {
    static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::vector<unsigned char> out;
    unsigned int bits = 0;
    int nbits = 0;
    for (char c : text) {
        if (c == '=') break;
        size_t v = alphabet.find(c);
        if (v == std::string::npos) {
            ADD_FAILURE() << "character outside the Base64 alphabet: 0x" << std::hex
                          << static_cast<int>(static_cast<unsigned char>(c));
            return out;
        }
        bits = (bits << 6) | static_cast<unsigned int>(v);
        nbits += 6;
        if (nbits >= 8) {
            nbits -= 8;
            out.push_back(static_cast<unsigned char>((bits >> nbits) & 0xff));
        }
    }
    return out;
}

}  // namespace

TEST(HighBytes, Base64OfEveryByteValueDecodesBackUnchanged) {
    // Every byte value; each tail length (0, 1 and 2 bytes after the last full group) ends in 0xff.
    for (size_t len : {256, 255, 254}) {
        std::vector<unsigned char> in;
        for (size_t i = 0; i < len; ++i) in.push_back(static_cast<unsigned char>(256 - len + i));
        std::string text = encode(in);
        EXPECT_EQ(text.size(), 4 * ((len + 2) / 3));
        EXPECT_EQ(decode(text), in) << "length " << len;
        // The library's decoder reads it back, also without the padding cameras leave out.
        for (int strip = 0; strip < 2; ++strip) {
            std::vector<uint8_t> out;
            EXPECT_TRUE(Utils::base64decode(text.data(), text.size(), &out)) << text;
            EXPECT_EQ(out, in);
            while (!text.empty() && text.back() == '=') text.pop_back();
        }
    }
}

TEST(HighBytes, SdpTextOutsideAsciiIsCarriedByteForByte) {
    // Cameras write their session names in their own charset (GBK here) and may put UTF-8 or stray
    // bytes into control URLs; the pattern classes (\S, \s) must treat them alike on both.
    const std::string body =
        "v=0\r\ns=\xc9\xe3\xcf\xf1\xbb\xfa\r\nm=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\n"
        "a=control:rtsp://127.0.0.1/c\xc3\xa1mara/trackID=1\r\n"
        "m=audio 0 RTP/AVP 8\r\na=rtpmap:8 PCMA/8000\r\na=control:track\xff\x80\r\n";
    RtspSdpParser parser;
    RtspTrack tracks[RtspSdpParser::kMaxTracks];
    int count = 0;
    parser.feed(body.data(), body.size(), tracks, &count);
    parser.finish(tracks, &count);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(tracks[0].format, "H264");
    EXPECT_EQ(tracks[0].control, "rtsp://127.0.0.1/c\xc3\xa1mara/trackID=1");
    EXPECT_EQ(tracks[1].format, "PCMA");
    EXPECT_EQ(tracks[1].control, "track\xff\x80");
}
