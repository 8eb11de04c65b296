// quorvane-testcam: an RTSP camera on this machine for developing without one. Serves an Annex-B
// H.264 or H.265 file (or the bundled clip) paced at its frame rate, looping, over UDP and
// interleaved TCP to any number of clients, with optional credentials and switchable faults.
#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "testkit/annexb.h"
#include "testkit/clip_streamer.h"
#include "testkit/test_camera.h"
#include "testkit/tls_front.h"
#include "tools/stop_signals.h"
#include "utils/h26x_sps_parser.h"

namespace {

constexpr const char* kClipName = "testcam_640x360.264";

const char* kUsage =
    "usage: quorvane-testcam [FILE] [options]\n"
    "  FILE                  Annex-B H.264 or H.265 file (default: the bundled 640x360 clip)\n"
    "      --codec h264|h265 when the file's first NAL unit does not tell\n"
    "      --bind ADDR       listen address (default 127.0.0.1; 0.0.0.0 for every interface; an IPv6\n"
    "                        address such as ::1 serves rtsp://[::1]:P/... over TCP and UDP, a\n"
    "                        link-local one takes its zone: fe80::1%eth0)\n"
    "      --port P          RTSP port (default 8554; 0 picks a free one)\n"
    "      --path NAME       stream path (default /stream)\n"
    "      --fps F           pictures per second (default: from the SPS, else 25)\n"
    "      --no-loop         play the file once per PLAY, then stay silent\n"
    "      --user U --password P   demand these credentials\n"
    "      --auth basic|digest     the scheme asked for (default digest)\n"
    "      --mtu N           largest RTP packet (default 1400)\n"
    "      --tls-cert PEM --tls-key PEM   serve rtsps:// (RTSP over TLS, interleaved RTP only)\n"
    "  faults, each counted from a client's PLAY:\n"
    "      --silence-after S --silence-for T   send nothing from S seconds on, for T seconds\n"
    "      --close-after S   close the client's RTSP connection after S seconds\n"
    "      --drop SHARE      leave out this share of the RTP packets (0..1, at random)\n"
    "      --aggregate       send SPS/PPS/SEI in aggregation packets (STAP-A / AP)\n"
    "      --clock-restart   set the RTP clock back by an hour at every start of the file after the\n"
    "                        first, as a camera whose clock restarts\n"
    "      --then FILE       after the first play, serve FILE (its own codec) to every later one, as\n"
    "                        a camera reconfigured while a client watches\n"
    "      --duration S      stop serving after S seconds\n"
    "  -q, --quiet           do not log the clients' requests\n"
    "The stream's URL is printed as the first line on standard output; SIGINT or SIGTERM stops.\n";

struct Options {
    std::string file;
    std::string codec;
    std::string bind = "127.0.0.1";
    long port = 8554;
    std::string path = "/stream";
    double fps = 0;
    bool loop = true;
    std::string user;
    std::string password;
    std::string auth = "digest";
    long mtu = 1400;
    double silenceAfter = 0;
    double silenceFor = 0;
    double closeAfter = 0;
    double drop = 0;
    bool aggregate = false;
    bool clockRestart = false;
    std::string then;
    double duration = 0;
    bool quiet = false;
    std::string tlsCert;
    std::string tlsKey;
};

bool number(const char* text, double lo, double hi, double* out) {
    char* end = nullptr;
    errno = 0;
    double v = strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || v < lo || v > hi) return false;
    *out = v;
    return true;
}

bool parseOptions(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            fputs(kUsage, stdout);
            exit(0);
        }
        if (a == "--no-loop") {
            o->loop = false;
            continue;
        }
        if (a == "--aggregate") {
            o->aggregate = true;
            continue;
        }
        if (a == "--clock-restart") {
            o->clockRestart = true;
            continue;
        }
        if (a == "-q" || a == "--quiet") {
            o->quiet = true;
            continue;
        }
        if (a.empty() || a[0] != '-') {
            if (!o->file.empty()) {
                fprintf(stderr, "quorvane-testcam: unexpected argument '%s'\n", a.c_str());
                return false;
            }
            o->file = a;
            continue;
        }
        if (i + 1 >= argc) {
            fprintf(stderr, "quorvane-testcam: unknown option or missing value: %s\n", a.c_str());
            return false;
        }
        const char* v = argv[++i];
        double d = 0;
        auto bad = [&](const char* what) {
            fprintf(stderr, "quorvane-testcam: %s wants %s, not '%s'\n", a.c_str(), what, v);
            return false;
        };
        if (a == "--codec") {
            o->codec = v;
            if (o->codec != "h264" && o->codec != "h265") return bad("h264 or h265");
        } else if (a == "--bind") {
            o->bind = v;
        } else if (a == "--port") {
            if (!number(v, 0, 65535, &d) || d != static_cast<long>(d)) return bad("a port number");
            o->port = static_cast<long>(d);
        } else if (a == "--path") {
            o->path = v;
            if (o->path.empty() || o->path[0] != '/') o->path = "/" + o->path;
        } else if (a == "--fps") {
            if (!number(v, 0.1, 1000, &d)) return bad("a rate between 0.1 and 1000");
            o->fps = d;
        } else if (a == "--user") {
            o->user = v;
        } else if (a == "--password") {
            o->password = v;
        } else if (a == "--tls-cert") {
            o->tlsCert = v;
        } else if (a == "--tls-key") {
            o->tlsKey = v;
        } else if (a == "--auth") {
            o->auth = v;
            if (o->auth != "basic" && o->auth != "digest") return bad("basic or digest");
        } else if (a == "--mtu") {
            if (!number(v, 100, 65000, &d)) return bad("a size between 100 and 65000");
            o->mtu = static_cast<long>(d);
        } else if (a == "--silence-after" || a == "--silence-for" || a == "--close-after" ||
                   a == "--duration") {
            if (!number(v, 0, 86400 * 365, &d)) return bad("a number of seconds");
            (a == "--silence-after" ? o->silenceAfter
             : a == "--silence-for" ? o->silenceFor
             : a == "--close-after" ? o->closeAfter
                                    : o->duration) = d;
        } else if (a == "--then") {
            o->then = v;
        } else if (a == "--drop") {
            if (!number(v, 0, 1, &d)) return bad("a share between 0 and 1");
            o->drop = d;
        } else {
            fprintf(stderr, "quorvane-testcam: unknown option %s\n", a.c_str());
            return false;
        }
    }
    if (o->user.empty() != o->password.empty()) {
        fputs("quorvane-testcam: --user and --password go together\n", stderr);
        return false;
    }
    if (o->tlsCert.empty() != o->tlsKey.empty()) {
        fputs("quorvane-testcam: --tls-cert and --tls-key go together\n", stderr);
        return false;
    }
    return true;
}

bool fileExists(const std::string& path) {
    return access(path.c_str(), R_OK) == 0;
}

// The bundled clip: beside an installed binary, then where this build installs it, then in the
// source tree this binary was built from.
std::string bundledClip() {
    char self[PATH_MAX] = {0};
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (n > 0) {
        std::string dir(self, static_cast<size_t>(n));
        dir = dir.substr(0, dir.rfind('/'));
        std::string installed = dir + "/../share/quorvane_rtsp/" + kClipName;
        if (fileExists(installed)) return installed;
    }
    for (const char* dir : {QUORVANE_CLIP_DIR, QUORVANE_SOURCE_CLIP_DIR}) {
        std::string candidate = std::string(dir) + "/" + kClipName;
        if (fileExists(candidate)) return candidate;
    }
    return std::string();
}

// From the first NAL unit: an H.264 SPS, PPS, SEI or delimiter, or an H.265 VPS, SPS, PPS, SEI
// or delimiter (whose layer id is 0 and temporal id plus one is 1).
bool detectCodec(const std::vector<testkit::Bytes>& nals, testkit::VideoCodec* codec) {
    if (nals.empty() || nals[0].size() < 2) return false;
    const testkit::Bytes& n = nals[0];
    int h265Type = (n[0] >> 1) & 0x3F;
    if ((n[0] & 0x81) == 0 && n[1] == 1 && (h265Type >= 32 && h265Type <= 40)) {
        *codec = testkit::VideoCodec::H265;
        return true;
    }
    int h264Type = n[0] & 0x1F;
    if ((n[0] & 0x80) == 0 && (h264Type == 6 || h264Type == 7 || h264Type == 8 || h264Type == 9)) {
        *codec = testkit::VideoCodec::H264;
        return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (!parseOptions(argc, argv, &opt)) {
        fputs(kUsage, stderr);
        return 2;
    }
    if (opt.file.empty()) {
        opt.file = bundledClip();
        if (opt.file.empty()) {
            fprintf(stderr, "quorvane-testcam: the bundled clip %s is not installed; give a file\n",
                    kClipName);
            return 1;
        }
    }
    testkit::Bytes data;
    if (!testkit::readFile(opt.file, &data)) {
        fprintf(stderr, "quorvane-testcam: cannot read %s: %s\n", opt.file.c_str(), strerror(errno));
        return 1;
    }
    std::vector<testkit::Bytes> nals = testkit::splitAnnexB(data);
    testkit::VideoCodec codec = testkit::VideoCodec::H264;
    if (!opt.codec.empty()) {
        codec = opt.codec == "h265" ? testkit::VideoCodec::H265 : testkit::VideoCodec::H264;
    } else if (!detectCodec(nals, &codec)) {
        fprintf(stderr, "quorvane-testcam: %s does not start like an H.264 or H.265 stream; use --codec\n",
                opt.file.c_str());
        return 1;
    }
    H26xSpsInfo sps;
    for (const testkit::Bytes& nal : nals) {
        bool h264 = codec == testkit::VideoCodec::H264;
        if (testkit::nalUnitType(codec, nal) == (h264 ? 7 : 33) &&
            (h264 ? H26xSpsParser::parseH264 : H26xSpsParser::parseH265)(nal.data(), nal.size(), &sps))
            break;
    }
    testkit::ClipStreamerOptions clipOptions;
    clipOptions.fps = opt.fps > 0 ? opt.fps : sps.fps > 0 ? sps.fps : 25.0;
    clipOptions.loop = opt.loop;
    clipOptions.mtu = static_cast<size_t>(opt.mtu);
    clipOptions.aggregate = opt.aggregate;
    clipOptions.silenceAfterMs = static_cast<int>(opt.silenceAfter * 1000);
    clipOptions.silenceForMs = static_cast<int>(opt.silenceFor * 1000);
    clipOptions.closeAfterMs = static_cast<int>(opt.closeAfter * 1000);
    clipOptions.dropShare = opt.drop;
    if (opt.clockRestart) clipOptions.clockStepPerPass = static_cast<uint32_t>(0) - 3600u * 90000u;
    std::unique_ptr<testkit::ClipStreamer> clip;
    try {
        clip = std::make_unique<testkit::ClipStreamer>(codec, data, clipOptions);
    } catch (const std::invalid_argument&) {
        fprintf(stderr, "quorvane-testcam: %s holds no picture\n", opt.file.c_str());
        return 1;
    }

    // A second file for the plays after the first, without the faults.
    std::unique_ptr<testkit::ClipStreamer> then;
    if (!opt.then.empty()) {
        testkit::Bytes thenData;
        testkit::VideoCodec thenCodec = testkit::VideoCodec::H264;
        if (!testkit::readFile(opt.then, &thenData) ||
            !detectCodec(testkit::splitAnnexB(thenData), &thenCodec)) {
            fprintf(stderr, "quorvane-testcam: cannot serve %s\n", opt.then.c_str());
            return 1;
        }
        testkit::ClipStreamerOptions thenOptions;
        thenOptions.fps = clipOptions.fps;
        thenOptions.loop = opt.loop;
        thenOptions.mtu = clipOptions.mtu;
        try {
            then = std::make_unique<testkit::ClipStreamer>(thenCodec, thenData, thenOptions);
        } catch (const std::invalid_argument&) {
            fprintf(stderr, "quorvane-testcam: %s holds no picture\n", opt.then.c_str());
            return 1;
        }
    }

    CameraScript script;
    script.sdp = clip->sdp();
    script.streamPath = opt.path;
    if (!opt.user.empty()) {
        script.auth = opt.auth == "basic" ? CameraScript::Auth::Basic : CameraScript::Auth::Digest;
        script.user = opt.user;
        script.password = opt.password;
        // A nonce per run, as a camera makes them, so a recorded answer does not work next time.
        char nonce[17];
        snprintf(nonce, sizeof(nonce), "%08lx%08lx", static_cast<unsigned long>(time(nullptr)),
                 static_cast<unsigned long>(getpid()));
        script.nonce = nonce;
    }

    sigset_t stopSignals = blockStopSignals();

    TestCamera camera(script);
    camera.setStreamerFactory(clip->factory());
    if (then) {
        // The first PLAY gets the first file and turns DESCRIBE to the second one's SDP.
        auto first = clip->factory();
        auto later = then->factory();
        CameraReply describe;
        describe.replaceBody = true;
        describe.body = then->sdp();
        auto played = std::make_shared<bool>(false);  // the camera calls copies of the factory
        TestCamera* self = &camera;
        camera.setStreamerFactory([first, later, describe, played, self]() {
            if (*played) return later();
            *played = true;
            self->setReply("DESCRIBE", describe);
            return first();
        });
    }
    errno = 0;
    // With TLS the camera itself listens on a free loopback port behind the TLS front.
    const bool tls = !opt.tlsCert.empty();
    testkit::TlsFront front;
    if (!camera.start(tls ? "127.0.0.1" : opt.bind, tls ? 0 : static_cast<uint16_t>(opt.port)) ||
        (tls &&
         !front.start(opt.tlsCert, opt.tlsKey, camera.port(), opt.bind, static_cast<uint16_t>(opt.port)))) {
        fprintf(stderr, "quorvane-testcam: cannot listen on %s:%ld%s: %s\n", opt.bind.c_str(), opt.port,
                tls ? " with that certificate and key" : "", errno != 0 ? strerror(errno) : "bad address");
        return 1;
    }
    std::string host = opt.bind == "0.0.0.0" ? "127.0.0.1" : opt.bind == "::" ? "::1" : opt.bind;
    // A link-local address's zone is written %25 in a URL (RFC 6874).
    if (host.find('%') != std::string::npos) host.insert(host.find('%') + 1, "25");
    if (host.find(':') != std::string::npos) host = "[" + host + "]";
    std::string url = std::string(tls ? "rtsps://" : "rtsp://") + host + ":" +
                      std::to_string(tls ? front.port() : camera.port()) + opt.path;
    printf("%s\n", url.c_str());
    fflush(stdout);
    fprintf(stderr, "quorvane-testcam: serving %s (%s", opt.file.c_str(),
            codec == testkit::VideoCodec::H264 ? "H.264" : "H.265");
    if (sps.width != 0) fprintf(stderr, " %ux%u", sps.width, sps.height);
    fprintf(stderr, ", %.3g fps, %zu pictures%s) at %s%s\n", clipOptions.fps, clip->pictureCount(),
            opt.loop ? ", looping" : "", url.c_str(),
            opt.user.empty() ? "" : (" with " + opt.auth + " authentication").c_str());

    time_t started = time(nullptr);
    size_t printed = 0;
    for (;;) {
        timespec wait{0, 200 * 1000 * 1000};
        int sig = sigtimedwait(&stopSignals, nullptr, &wait);
        if (!opt.quiet) logAnsweredRequests(camera, "quorvane-testcam", &printed);
        if (sig > 0) break;
        if (opt.duration > 0 && difftime(time(nullptr), started) >= opt.duration) break;
    }
    front.stop();
    camera.stop();
    if (!opt.quiet) logAnsweredRequests(camera, "quorvane-testcam", &printed);
    fprintf(stderr,
            "quorvane-testcam: stopped after %zu plays, %zu pictures, %zu packets sent, %zu left out\n",
            clip->plays(), clip->picturesSent(), clip->packetsSent(), clip->packetsDropped());
    return 0;
}
