// Shared by the end-to-end tests of RtspClient: a camera streaming a clip, a data callback that
// keeps what it is handed, and the decode check that compares delivered video with its source
// clip picture by picture.
#ifndef QUORVANE_TESTS_CLIENT_TEST_SUPPORT_H
#define QUORVANE_TESTS_CLIENT_TEST_SUPPORT_H

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "rtsp_client.h"
#include "testkit/annexb.h"
#include "testkit/child_process.h"
#include "testkit/clip_streamer.h"
#include "testkit/framemd5.h"
#include "testkit/md5.h"
#include "testkit/test_camera.h"
#include "utils/time_constants_internal.h"

namespace client_test {

// Shortens the library's waits for one test and puts the library's values back afterwards.
class ScopedTimeConstants {
public:
    using Defaults = quorvane_internal::TimeConstants;
    ScopedTimeConstants(int64_t tcpSilenceMs, int udpReceiveTimeoutMs,
                        int64_t keepAliveMs = Defaults::kDefaultKeepAliveIntervalMs,
                        int64_t requestTimeoutMs = Defaults::kDefaultRequestTimeoutMs) {
        auto& t = quorvane_internal::timeConstants();
        t.tcpSilenceNs = tcpSilenceMs * 1000000;
        t.udpReceiveTimeoutMs = udpReceiveTimeoutMs;
        t.keepAliveIntervalMs = keepAliveMs;
        t.requestTimeoutMs = requestTimeoutMs;
    }
    ~ScopedTimeConstants() {
        auto& t = quorvane_internal::timeConstants();
        t.tcpSilenceNs = Defaults::kDefaultTcpSilenceNs;
        t.udpReceiveTimeoutMs = Defaults::kDefaultUdpReceiveTimeoutMs;
        t.keepAliveIntervalMs = Defaults::kDefaultKeepAliveIntervalMs;
        t.requestTimeoutMs = Defaults::kDefaultRequestTimeoutMs;
        t.sessionTimeoutSecondMs = Defaults::kDefaultSessionTimeoutSecondMs;
        t.receiveCoalescingCapUs = Defaults::kDefaultReceiveCoalescingCapUs;
    }
};

using testkit::Bytes;
using testkit::VideoCodec;

using testkit::clipPath;
using testkit::readClip;

// A file of the camera data set's SDP folder (DESCRIBE bodies and fmtp lines of real cameras).
inline std::string cameraSdp(const std::string& name) {
    return testkit::readText(std::string(QUORVANE_SOURCE_DIR) + "/tests/data/cameras/sdp/" + name);
}

// How many requests of `method` the camera has seen.
inline size_t methodCount(const TestCamera& camera, const std::string& method) {
    const std::vector<std::string> methods = camera.methods();
    return static_cast<size_t>(std::count(methods.begin(), methods.end(), method));
}

// A camera streaming one of the clips in a loop.
struct CameraRig {
    CameraRig(const std::string& clipName, VideoCodec codec,
              testkit::ClipStreamerOptions options = loopOptions())
        : clip(readClip(clipName)), streamer(codec, clip, options), camera(scriptFor(streamer)) {
        camera.setStreamerFactory(streamer.factory());
        started = !clip.empty() && camera.start();
    }
    static testkit::ClipStreamerOptions loopOptions() {
        testkit::ClipStreamerOptions options;
        options.loop = true;
        return options;
    }
    static CameraScript scriptFor(const testkit::ClipStreamer& s) {
        CameraScript script;
        script.sdp = s.sdp();
        return script;
    }
    size_t count(const std::string& method) const { return methodCount(camera, method); }

    Bytes clip;
    testkit::ClipStreamer streamer;
    TestCamera camera;
    bool started = false;
};

// A UDP socket on 127.0.0.1 at a free port, with room for a burst of datagrams.
struct UdpPort {
    UdpPort() {
        fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int size = 4 << 20;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(addr);
        if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
            getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
            port = ntohs(addr.sin_port);
    }
    ~UdpPort() { close(fd); }
    UdpPort(const UdpPort&) = delete;
    UdpPort& operator=(const UdpPort&) = delete;
    int fd;
    uint16_t port = 0;
};

// A clip streamed to the client over UDP or TCP, named for the test's parameter.
struct StreamCase {
    const char* name;
    const char* clip;
    VideoCodec codec;
    bool tcp;
};

inline void PrintTo(const StreamCase& c, std::ostream* os) {
    *os << c.name;
}

inline std::string streamCaseName(const testing::TestParamInfo<StreamCase>& info) {
    return info.param.name;
}

// Callbacks one pass of the clip gives: every H.264 parameter set and SEI on its own plus one per
// picture; every H.265 NAL unit on its own.
inline size_t callbacksPerPass(VideoCodec codec, const Bytes& clip) {
    std::vector<Bytes> nals = testkit::splitAnnexB(clip);
    if (codec == VideoCodec::H265) return nals.size();
    size_t count = 0;
    for (const auto& unit : testkit::groupAccessUnits(codec, nals)) {
        for (const Bytes& nal : unit) count += testkit::isVcl(codec, nal) ? 0 : 1;
        count += 1;
    }
    return count;
}

// The application's side: every callback's bytes and the name of the thread it ran on.
class Collector {
public:
    void attach(RtspClient& client) {
        client.setDataCallback([this](unsigned char* data, unsigned long len) { add(data, len); });
    }

    size_t count() const {
        std::lock_guard<std::mutex> lock(mMutex);
        return mPieces.size();
    }
    bool waitForCount(size_t n, int timeoutMs) const {
        std::unique_lock<std::mutex> lock(mMutex);
        return mChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [&] { return mPieces.size() >= n; });
    }
    // Everything from callback `from` on, concatenated: the Annex-B stream the application saw.
    Bytes stream(size_t from = 0) const {
        std::lock_guard<std::mutex> lock(mMutex);
        Bytes out;
        for (size_t i = from; i < mPieces.size(); ++i)
            out.insert(out.end(), mPieces[i].begin(), mPieces[i].end());
        return out;
    }
    std::set<std::string> threadNames() const {
        std::lock_guard<std::mutex> lock(mMutex);
        return mThreads;
    }
    // Pieces that do not begin with the start code 00 00 00 01 followed by a NAL unit header.
    size_t malformed() const {
        std::lock_guard<std::mutex> lock(mMutex);
        size_t bad = 0;
        for (const Bytes& p : mPieces)
            bad += p.size() < 5 || p[0] != 0 || p[1] != 0 || p[2] != 0 || p[3] != 1;
        return bad;
    }

private:
    void add(const unsigned char* data, unsigned long len) {
        char name[16] = {0};
        pthread_getname_np(pthread_self(), name, sizeof(name));
        {
            std::lock_guard<std::mutex> lock(mMutex);
            mPieces.emplace_back(data, data + len);
            mThreads.insert(name);
        }
        mChanged.notify_all();
    }

    mutable std::mutex mMutex;
    mutable std::condition_variable mChanged;
    std::vector<Bytes> mPieces;
    std::set<std::string> mThreads;
};

// MD5 of every picture ffmpeg decodes from the file at `path`.
inline std::vector<std::string> frameMd5s(const std::string& path, VideoCodec codec) {
    std::vector<std::string> md5s;
    std::string error;
    EXPECT_TRUE(testkit::decodeFrameMd5(path, codec, &md5s, &error)) << path << ": " << error;
    return md5s;
}

// MD5 of every picture ffmpeg decodes from `stream`, written to the build tree as `name`.
// Parameter sets at the very end, of a picture that was not collected, are left out: ffmpeg
// reports an access unit without a picture as an error.
inline std::vector<std::string> decode(const Bytes& stream, VideoCodec codec, const std::string& name) {
    std::vector<Bytes> nals = testkit::splitAnnexB(stream);
    while (!nals.empty() && !testkit::isVcl(codec, nals.back())) nals.pop_back();
    std::string path = std::string(QUORVANE_BINARY_DIR) + "/tests/" + name;
    EXPECT_TRUE(testkit::writeFile(path, testkit::joinAnnexB(nals))) << path;
    return frameMd5s(path, codec);
}

// frameMd5s of a file whose bytes are known before (a clip): kept in the build tree under the MD5
// of the bytes and the codec, so that ffmpeg decodes each clip once, not once per test (a fifth
// of a second or more each time). Without a codec the file is a container, read as ffmpeg
// recognises it.
inline std::vector<std::string> clipFrameMd5s(const std::string& path, std::optional<VideoCodec> codec) {
    std::vector<std::string> md5s;
    Bytes bytes;
    if (!testkit::readFile(path, &bytes)) {
        ADD_FAILURE() << path << " cannot be read";
        return md5s;
    }
    const std::string kind = !codec ? ".any" : *codec == VideoCodec::H264 ? ".h264" : ".h265";
    const std::string cache = std::string(QUORVANE_BINARY_DIR) + "/tests/framemd5-" +
                              md5Hex(std::string(bytes.begin(), bytes.end())) + kind + ".txt";
    const std::string text = testkit::readText(cache);
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
        md5s.push_back(text.substr(at, end - at));
    if (!md5s.empty()) return md5s;
    std::string error;
    if (!testkit::decodeFrameMd5(path, codec, &md5s, &error)) {
        ADD_FAILURE() << path << ": " << error;
        return md5s;
    }
    std::string lines;
    for (const std::string& md5 : md5s) lines += md5 + "\n";
    // Whole or not at all, whichever test writes it first.
    const std::string part = cache + "." + std::to_string(getpid());
    if (!md5s.empty() && testkit::writeFile(part, Bytes(lines.begin(), lines.end())) &&
        rename(part.c_str(), cache.c_str()) != 0)
        unlink(part.c_str());
    return md5s;
}

inline std::vector<std::string> decodeClip(const std::string& clip, VideoCodec codec) {
    return clipFrameMd5s(clipPath(clip), codec);
}

// Reads decoded pictures as passes over the clip: each pass is the clip's pictures from the first
// on, the last one possibly cut short, and a new pass begins with the clip's first picture.
// Returns each pass's length; empty when a picture belongs to no such pass (a wrong, corrupted or
// missing picture).
inline std::vector<size_t> clipPasses(const std::vector<std::string>& decoded,
                                      const std::vector<std::string>& clip) {
    std::vector<size_t> passes;
    if (clip.empty()) return passes;
    size_t pos = 0;
    for (const std::string& md5 : decoded) {
        if (pos > 0 && pos < clip.size() && md5 == clip[pos]) {
            ++pos;
        } else if (md5 == clip[0]) {
            if (pos > 0) passes.push_back(pos);
            pos = 1;
        } else {
            return {};
        }
    }
    if (pos > 0) passes.push_back(pos);
    return passes;
}

}  // namespace client_test

#endif
