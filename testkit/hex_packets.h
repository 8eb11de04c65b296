#ifndef QUORVANE_TESTKIT_HEX_PACKETS_H
#define QUORVANE_TESTKIT_HEX_PACKETS_H

#include <string>
#include <vector>

#include "testkit/annexb.h"

namespace testkit {

// Reads a packet sequence in the text form of the camera captures in tests/data/cameras/hex:
// '#' comment lines, then one packet per line as "seq timestamp marker payload_hex" (timestamp
// "-" when unknown, taken as 0). Returns whole RTP packets (12-byte header built from the
// columns, then the payload); false when the file is missing or a line is malformed.
bool readHexPackets(const std::string& path, std::vector<Bytes>* packets);

}  // namespace testkit

#endif
