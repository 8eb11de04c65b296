#include "testkit/hex_packets.h"

#include <fstream>
#include <sstream>

#include "testkit/rtp_packetizer.h"

namespace testkit {

namespace {

bool parseHex(const std::string& text, Bytes* out) {
    if (text.size() % 2 != 0) return false;
    for (size_t i = 0; i < text.size(); i += 2) {
        int value = 0;
        for (size_t k = i; k < i + 2; ++k) {
            char c = text[k];
            int digit = c >= '0' && c <= '9'   ? c - '0'
                        : c >= 'a' && c <= 'f' ? c - 'a' + 10
                        : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                               : -1;
            if (digit < 0) return false;
            value = value * 16 + digit;
        }
        out->push_back(static_cast<uint8_t>(value));
    }
    return true;
}

}  // namespace

bool readHexPackets(const std::string& path, std::vector<Bytes>* packets) {
    std::ifstream in(path);
    if (!in) return false;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        unsigned long seq = 0;
        std::string timestamp, hex;
        int marker = 0;
        if (!(fields >> seq >> timestamp >> marker >> hex)) return false;
        Bytes payload;
        if (!parseHex(hex, &payload)) return false;
        unsigned long ts = 0;
        if (timestamp != "-" && !(std::istringstream(timestamp) >> ts)) return false;
        packets->push_back(
            makeRtpPacket(static_cast<uint16_t>(seq), static_cast<uint32_t>(ts), marker != 0, payload));
    }
    return true;
}

}  // namespace testkit
