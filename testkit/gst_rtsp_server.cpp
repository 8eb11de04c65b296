#include "testkit/gst_rtsp_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "testkit/framemd5.h"

extern char** environ;

namespace {
constexpr const char* kPython = "/usr/bin/python3";
constexpr int kMissing = 77;

std::string scriptPath() {
    return std::string(QUORVANE_SOURCE_DIR) + "/testkit/gst_rtsp_server.py";
}

// Runs argv to completion with its output discarded; its exit status, or -1.
int run(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}
}  // namespace

GstRtspServer::~GstRtspServer() {
    stop();
}

std::string GstRtspServer::missingDependency() {
    if (access(kPython, X_OK) != 0) return std::string(kPython) + " not found";
    int rc = run({kPython, scriptPath(), "--check"});
    if (rc == kMissing)
        return "GStreamer RTSP server bindings (python3-gi, gir1.2-gst-rtsp-server-1.0) missing";
    if (rc != 0) return "gst_rtsp_server.py --check failed";
    if (!testkit::ffmpegAvailable()) return "ffmpeg not found";
    return std::string();
}

bool GstRtspServer::start(const Options& options, int timeoutMs) {
    stop();
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return false;
    std::vector<std::string> args = {
        kPython,       scriptPath(), "--clip",      options.clip, "--codec",
        options.codec, "--mount",    options.mount, "--port",     std::to_string(options.port)};
    args.insert(args.end(), {"--aggregate-mode", options.aggregateMode, "--config-interval",
                             std::to_string(options.configInterval)});
    if (options.speed != 1) args.insert(args.end(), {"--speed", std::to_string(options.speed)});
    if (!options.statsPath.empty()) args.insert(args.end(), {"--stats", options.statsPath});
    if (!options.address.empty()) args.insert(args.end(), {"--address", options.address});
    if (!options.multicast.empty()) args.insert(args.end(), {"--multicast", options.multicast});
    if (!options.audioClip.empty())
        args.insert(args.end(), {"--audio-clip", options.audioClip, "--audio-codec", options.audioCodec});
    if (!options.user.empty())
        args.insert(args.end(), {"--user", options.user, "--password", options.password});
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    int rc = posix_spawn(&mPid, kPython, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    mOutFd = pipeFds[0];
    if (rc != 0) {
        mPid = -1;
        stop();
        return false;
    }

    // Its first line says where it listens.
    std::string line;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (line.find('\n') == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd pfd{mOutFd, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(left.count())) <= 0) break;
        char buf[256];
        ssize_t n = read(mOutFd, buf, sizeof(buf));
        if (n <= 0) break;
        line.append(buf, static_cast<size_t>(n));
    }
    unsigned port = 0;
    if (sscanf(line.c_str(), "READY port=%u", &port) != 1 || port == 0 || port > 65535) {
        stop();
        return false;
    }
    mPort = static_cast<uint16_t>(port);
    const std::string host = options.address.empty()                          ? "127.0.0.1"
                             : options.address.find(':') != std::string::npos ? "[" + options.address + "]"
                                                                              : options.address;
    mUrl = "rtsp://" + host + ":" + std::to_string(port) + options.mount;
    return true;
}

void GstRtspServer::stop() {
    if (mPid > 0) {
        kill(mPid, SIGTERM);
        int status = 0;
        bool reaped = false;
        for (int i = 0; i < 40 && !reaped; ++i) {
            reaped = waitpid(mPid, &status, WNOHANG) == mPid;
            if (!reaped) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (!reaped) {
            kill(mPid, SIGKILL);
            waitpid(mPid, &status, 0);
        }
    }
    if (mOutFd >= 0) close(mOutFd);
    mPid = -1;
    mOutFd = -1;
    mPort = 0;
    mUrl.clear();
}
