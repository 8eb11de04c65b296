#ifndef QUORVANE_TESTKIT_SDP_REGEX_REFERENCE_H
#define QUORVANE_TESTKIT_SDP_REGEX_REFERENCE_H

#include <string>
#include <vector>

#include "utils/sdp_parser.h"

// The default SDP reading as it was first written, with the three std::regex expressions: the
// reference the library's scanner is compared with (tests and the differential fuzz target).
// Deep recursion inside std::regex: give it a thread with a large stack for long lines.
namespace testkit {

bool regexMedia(const std::string& line, std::string* kind);
bool regexRtpmap(const std::string& line, std::string* payloadType, std::string* name,
                 std::string* clockRate);
bool regexControl(const std::string& line, std::string* url);

struct ReferenceSdp {
    std::vector<RtspTrack> tracks;        // media, payloadType, clockRate, format, control
    std::vector<std::string> debugLines;  // "# FOUND[0] media: video", ..., "# TOTAL FOUND  2"
};
// A whole body read line by line as the expressions read it: CR, LF or CRLF end lines, empty
// lines and lines longer than RtspSdpParser::kMaxLineBytes are skipped, five sections at most.
ReferenceSdp referenceParse(const std::string& body);

}  // namespace testkit

#endif
