#ifndef QUORVANE_UTILS_SDP_SCAN_INTERNAL_H
#define QUORVANE_UTILS_SDP_SCAN_INTERNAL_H

#include <string>

#include "../quorvane_export.h"

// Not installed. The three line forms of the default SDP reading, as plain scans. Each finds
// what a search with the pattern beside it finds (the leftmost match, the longest runs the
// pattern's repetitions allow) and gives the same groups, in one pass over the line and
// constant stack. "Blank" is what the C locale's isspace() takes: space, \t, \n, \v, \f, \r.
namespace sdp_scan {

// m=(\S+) \d+ RTP/AVP (\d+)                group 1
QUORVANE_EXPORT bool media(const std::string& line, std::string* kind);
// a=rtpmap:(\d+)\s+(\S+)/(\d+)             groups 1, 2, 3
QUORVANE_EXPORT bool rtpmap(const std::string& line, std::string* payloadType, std::string* name,
                            std::string* clockRate);
// a\s*=\s*control\s*:\s*([^*]\S+)          group 1
QUORVANE_EXPORT bool control(const std::string& line, std::string* url);

}  // namespace sdp_scan

#endif
