#include "testkit/framemd5.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
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
    // An executable `ffmpeg` in a folder of PATH, as the shell finds it: looked up rather than
    // run, which costs a fifth of a second for its libraries in every test that asks.
    const char* path = getenv("PATH");
    std::string folders = path != nullptr ? path : "/usr/bin:/bin";
    for (size_t at = 0; at <= folders.size();) {
        size_t end = folders.find(':', at);
        if (end == std::string::npos) end = folders.size();
        const std::string folder = end > at ? folders.substr(at, end - at) : ".";
        if (access((folder + "/ffmpeg").c_str(), X_OK) == 0) return true;
        at = end + 1;
    }
    return false;
}

bool decodeFrameMd5(const std::string& path, std::optional<VideoCodec> codec, std::vector<std::string>* md5s,
                    std::string* error) {
    const char* format = !codec ? "" : *codec == VideoCodec::H264 ? "-f h264 " : "-f hevc ";
    std::string output;
    // Every picture once, whatever the file's times: by default ffmpeg fits the pictures to the
    // stream's frame rate, and drops those of a file recorded faster than its SPS says.
    std::string command = std::string("ffmpeg -hide_banner -nostdin -loglevel error ") + format + "-i " +
                          quoted(path) + " -fps_mode passthrough -f framemd5 - 2>&1";
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
