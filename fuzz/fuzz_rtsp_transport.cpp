// The SETUP answer's Transport header, the PLAY answer's RTP-Info header and a Session header's
// timeout on arbitrary bytes. Checks: channels are -1 or 0..255, a port pair is never half made of
// nothing, the source and destination hold only address characters, a ttl is -1 or 0..255; values
// not given stay 0; a timeout is at most a day. The source and destination go on through the
// address parser and the receiver's choice of trusted addresses: what it keeps beside the camera's
// is of its family and not its address.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/fuzz_check.h"
#include "units/unit_rtsp_client_internal.h"
#include "utils/networking/netsocket.h"
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
    for (const std::string* host : {&info.source, &info.destination})
        for (char c : *host) check(c > 0x20 && c != 0x7f && c != ';' && c != ',' && c != '[' && c != '%');
    check(info.multicastRtpPort != 0 || info.multicastRtcpPort == 0);
    check(info.ttl >= -1 && info.ttl <= 255);
    NetEndpoint peer, source;
    NetEndpoint::parse(info.destination, 554, &peer);
    NetEndpoint::parse(info.source, 0, &source);
    const bool known = rtsp_receive_internal::chooseCameraHosts(&peer, &source);
    check(known == (peer.family() != 0));
    check(source.family() == 0 || (source.family() == peer.family() && !source.sameHost(peer)));
    RtspRtpInfo rtpInfo;
    check(parseRtspRtpInfo(text, size, "rtsp://h/trackID=1", "trackID=1", &rtpInfo) == rtpInfo.present);
    check(rtpInfo.present || (!rtpInfo.hasSeq && !rtpInfo.hasRtpTime && !rtpInfo.hasSsrc));
    check((rtpInfo.hasSeq || rtpInfo.seq == 0) && (rtpInfo.hasRtpTime || rtpInfo.rtpTime == 0) &&
          (rtpInfo.hasSsrc || rtpInfo.ssrc == 0));
    check(rtspSessionTimeout(text, size) <= 86400);
    free(text);
    return 0;
}
