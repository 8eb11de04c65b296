// The SETUP answer's Transport header on arbitrary bytes. Checks: channels are -1 or 0..255,
// a port pair is never half made of nothing, the source holds only address characters, and the
// parse is the same for the header read as a C string.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/fuzz_check.h"
#include "utils/sdp_parser.h"

using fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exact-size copy, so reading one byte past the header is caught.
    char* text = static_cast<char*>(malloc(size == 0 ? 1 : size));
    if (size > 0) memcpy(text, data, size);
    RtspTransportInfo info;
    bool present = parseRtspTransport(text, size, &info);
    check(present == (size > 0) && info.present == present);
    check(info.rtpChannel >= -1 && info.rtpChannel <= 255 && info.rtcpChannel >= -1 &&
          info.rtcpChannel <= 255);
    check(info.rtpChannel >= 0 || info.rtcpChannel == -1);
    check(info.serverRtpPort != 0 || info.serverRtcpPort == 0);
    check(info.hasSsrc || info.ssrc == 0);
    for (char c : info.source) check(c > 0x20 && c != 0x7f && c != ';' && c != ',');
    free(text);
    return 0;
}
