// quorvane-light-sender: the benchmarks' camera for many streams. Serves an Annex-B H.264 or H.265
// clip to any number of RTSP clients (UDP, UDP multicast or interleaved TCP) at little cost per
// stream: the clip is packetized once and each picture leaves in one system call
// (testkit/light_sender.h).
//
//   quorvane-light-sender FILE [--codec h264|h265] [--port P] [--path /stream] [--fps F] [--no-loop]
//                         [--pace-us US | --nic 100m|1g] [--ipv6] [-q]
//
// --pace-us and --nic send as real cameras do: each packet its own system call, spaced at least
// US microseconds apart, or by its wire time on a 100 Mbit/s or 1 Gbit/s network card (about
// 117 us or 12 us for a 1400-byte packet).
//
// --ipv6 serves on [::1] as well, at the same port where it is free; its URL is the second line.
// A multicast SETUP gets a group of its own (239.255.x.y); a route for it must exist (over lo in a
// network namespace of its own: multicast never leaves such a host).
//
// The URL is the first line on standard output. Answered requests are logged to standard error
// as "[client N] METHOD URL -> STATUS". Faults are lines on standard input, each answered with
// "ok <line>" on standard output: "silence MS", "loss", "close", "flood COUNT". SIGINT or SIGTERM
// stops.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "testkit/annexb.h"
#include "testkit/light_sender.h"
#include "testkit/test_camera.h"
#include "tools/stop_signals.h"

namespace {

// Applies one fault line; false when it is not one.
bool fault(testkit::LightSender& sender, const std::string& line) {
    char word[16] = {0};
    long value = 0;
    int n = sscanf(line.c_str(), "%15s %ld", word, &value);
    std::string what = n >= 1 ? word : "";
    if (what == "silence" && n == 2 && value > 0) {
        sender.silence(static_cast<int>(value));
    } else if (what == "loss") {
        sender.lossBurst();
    } else if (what == "close") {
        sender.closeAll();
    } else if (what == "flood" && n == 2 && value > 0 && value <= 1000000) {
        sender.flood(static_cast<size_t>(value));
    } else {
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::string file, path = "/stream";
    testkit::LightSenderOptions options;
    long port = 0;
    bool quiet = false;
    bool h265 = false;
    bool ipv6 = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        bool value = i + 1 < argc;
        if (a == "--no-loop") {
            options.loop = false;
        } else if (a == "--ipv6") {
            ipv6 = true;
        } else if (a == "-q" || a == "--quiet") {
            quiet = true;
        } else if (a == "--port" && value) {
            port = strtol(argv[++i], nullptr, 10);
        } else if (a == "--path" && value) {
            path = argv[++i];
        } else if (a == "--fps" && value) {
            options.fps = strtod(argv[++i], nullptr);
        } else if (a == "--pace-us" && value) {
            options.paceUs = static_cast<unsigned>(strtoul(argv[++i], nullptr, 10));
        } else if (a == "--nic" && value) {
            std::string nic = argv[++i];
            options.nicBitsPerSecond = nic == "100m" ? testkit::LightSenderOptions::kNic100Mbit
                                       : nic == "1g" ? testkit::LightSenderOptions::kNic1Gbit
                                                     : 0;
            if (options.nicBitsPerSecond == 0) {
                fprintf(stderr, "quorvane-light-sender: --nic takes 100m or 1g\n");
                return 2;
            }
        } else if (a == "--codec" && value) {
            h265 = std::string(argv[++i]) == "h265";
        } else if (!a.empty() && a[0] != '-' && file.empty()) {
            file = a;
        } else {
            fprintf(stderr,
                    "usage: %s FILE [--codec h264|h265] [--port P] [--path /stream] [--fps F] "
                    "[--no-loop] [--pace-us US | --nic 100m|1g] [--ipv6] [-q]\n",
                    argv[0]);
            return 2;
        }
    }
    testkit::Bytes clip;
    if (file.empty() || !testkit::readFile(file, &clip) || port < 0 || port > 65535 || !(options.fps > 0)) {
        fprintf(stderr, "quorvane-light-sender: give a readable clip, a port and a positive rate\n");
        return 2;
    }
    sigset_t stopSignals = blockStopSignals();
    std::unique_ptr<testkit::LightSender> sender;
    try {
        sender = std::make_unique<testkit::LightSender>(
            h265 ? testkit::VideoCodec::H265 : testkit::VideoCodec::H264, clip, options);
    } catch (const std::invalid_argument& e) {
        fprintf(stderr, "quorvane-light-sender: %s: %s\n", file.c_str(), e.what());
        return 1;
    }
    CameraScript script;
    script.sdp = sender->sdp();
    script.streamPath = path;
    TestCamera camera(script);
    TestCamera camera6(script);
    for (TestCamera* c : {&camera, &camera6}) {
        c->setStreamerFactory(sender->factory());
        c->setUdpSetupHook(sender->udpSetupHook());
    }
    if (!camera.start("127.0.0.1", static_cast<uint16_t>(port))) {
        fprintf(stderr, "quorvane-light-sender: cannot listen on 127.0.0.1:%ld\n", port);
        return 1;
    }
    if (ipv6 && !camera6.start("::1", camera.port()) && (port != 0 || !camera6.start("::1", 0))) {
        fprintf(stderr, "quorvane-light-sender: cannot listen on [::1]\n");
        return 1;
    }
    printf("rtsp://127.0.0.1:%u%s\n", camera.port(), path.c_str());
    if (ipv6) printf("%s\n", camera6.url(path).c_str());
    fflush(stdout);
    fprintf(stderr, "quorvane-light-sender: serving %s, %zu pictures at %.3g fps%s, %s\n", file.c_str(),
            sender->pictureCount(), options.fps, options.loop ? ", looping" : "",
            options.paced() ? "each packet on its own, paced" : "a picture per system call");

    size_t printed = 0, printed6 = 0;
    std::string pending;
    bool input = true;
    for (;;) {
        pollfd in{STDIN_FILENO, POLLIN, 0};
        if (input && ::poll(&in, 1, 200) > 0) {
            char chunk[256];
            ssize_t n = ::read(STDIN_FILENO, chunk, sizeof(chunk));
            if (n <= 0) input = false;  // no more faults; serve on
            if (n > 0) pending.append(chunk, static_cast<size_t>(n));
            size_t end;
            while ((end = pending.find('\n')) != std::string::npos) {
                std::string line = pending.substr(0, end);
                pending.erase(0, end + 1);
                printf("%s %s\n", fault(*sender, line) ? "ok" : "unknown", line.c_str());
                fflush(stdout);
            }
        }
        timespec wait{0, input ? 0 : 200 * 1000 * 1000};
        int sig = sigtimedwait(&stopSignals, nullptr, &wait);
        if (!quiet) {
            logAnsweredRequests(camera, "quorvane-light-sender", &printed);
            logAnsweredRequests(camera6, "quorvane-light-sender [::1]", &printed6);
        }
        if (sig > 0) break;
    }
    camera.stop();
    camera6.stop();
    if (!quiet) {
        logAnsweredRequests(camera, "quorvane-light-sender", &printed);
        logAnsweredRequests(camera6, "quorvane-light-sender [::1]", &printed6);
    }
    fprintf(stderr, "quorvane-light-sender: stopped after %zu plays, %llu pictures, %llu packets sent\n",
            sender->plays(), static_cast<unsigned long long>(sender->picturesSent()),
            static_cast<unsigned long long>(sender->packetsSent()));
    return 0;
}
