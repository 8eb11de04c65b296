#include "testkit/framemd5.h"

#include <cstdio>
#include <sstream>

namespace testkit {

bool runCommand(const std::string& command, std::string* output) {
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return false;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof(chunk), pipe)) > 0) output->append(chunk, n);
    return pclose(pipe) == 0;
}

namespace {

// Single-quoted for the shell.
std::string quoted(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

}  // namespace

bool ffmpegAvailable() {
    std::string ignored;
    return runCommand("ffmpeg -hide_banner -version >/dev/null 2>&1", &ignored);
}

bool decodeFrameMd5(const std::string& path, std::optional<VideoCodec> codec, std::vector<std::string>* md5s,
                    std::string* error) {
    const char* format = !codec ? "" : *codec == VideoCodec::H264 ? "-f h264 " : "-f hevc ";
    std::string output;
    std::string command = std::string("ffmpeg -hide_banner -nostdin -loglevel error ") + format + "-i " +
                          quoted(path) + " -f framemd5 - 2>&1";
    bool ok = runCommand(command, &output);
    md5s->clear();
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] == '#') continue;
        size_t comma = line.rfind(',');
        if (comma == std::string::npos) {
            // Not a frame line: a message of ffmpeg's own.
            ok = false;
            continue;
        }
        size_t begin = line.find_first_not_of(' ', comma + 1);
        md5s->push_back(begin == std::string::npos ? std::string() : line.substr(begin));
    }
    if (!ok) *error = output;
    return ok;
}

}  // namespace testkit
