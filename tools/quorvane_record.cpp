// quorvane-record: records a camera's H.264 or H.265 stream into an Annex-B file (or standard
// output) with one RtspClient, showing progress, until a duration, a frame count or Ctrl-C.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "rtsp_client.h"
#include "testkit/stream_info_unit.h"
#include "tools/rtsp_url.h"
#include "tools/stop_signals.h"
#include "units/unit_rtp_video_unpack_ex.h"
#include "units/unit_rtsp_client.h"
#include "utils/slog.h"
#include "utils/utils.h"

namespace {

// Exit codes, one per way a recording can fail, so scripts can tell them apart.
enum ExitCode {
    kExitOk = 0,
    kExitFailure = 1,      // output cannot be written, or another failure
    kExitUsage = 2,        // bad command line
    kExitBadUrl = 3,       // the URL is not a usable rtsp:// URL
    kExitConnect = 4,      // connection refused, host unreachable or unknown, no answer
    kExitAuth = 5,         // the camera refused the credentials (401/403)
    kExitNoVideo = 6,      // connected, but no video arrived within the time-out
    kExitCameraError = 7,  // the camera answered with another error, or broke the protocol
};

const char* kUsage =
    "usage: quorvane-record URL [options]\n"
    "  URL                 rtsp://[user[:password]@]host[:port]/path\n"
    "  -o, --output FILE   write the Annex-B stream to FILE ('-' for standard output)\n"
    "      --user U        user name (overrides one in the URL)\n"
    "      --password P    password (overrides one in the URL)\n"
    "      --tcp | --udp   RTP interleaved in the RTSP connection, or over UDP (default)\n"
    "      --duration S    stop after S seconds of recording\n"
    "      --frames N      stop after N pictures\n"
    "      --timeout S     give up when no video arrives within S seconds (default 10)\n"
    "      --info          connect, print codec, size and parameter sets, and exit\n"
    "  -q, --quiet         no progress line\n"
    "  -v, --verbose       also show the library's log\n"
    "exit codes: 0 done, 1 failure, 2 usage, 3 bad URL, 4 cannot connect, 5 authentication failed,\n"
    "            6 no video in time, 7 camera error\n";

struct Options {
    std::string url;
    std::string user;
    std::string password;
    bool userGiven = false;
    bool passwordGiven = false;
    bool tcp = false;
    std::string output;
    double duration = 0;
    uint64_t frames = 0;
    double timeout = 10;
    bool info = false;
    bool quiet = false;
    bool verbose = false;
};

double nowSeconds() {
    return static_cast<double>(Utils::getBeginTimestamp()) / 1e9;
}

bool parseNumber(const char* text, double* out) {
    char* end = nullptr;
    errno = 0;
    double v = strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !(v > 0)) return false;
    *out = v;
    return true;
}

// False (after a message) when the command line cannot be used.
bool parseOptions(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char** out) {
            if (i + 1 >= argc) {
                fprintf(stderr, "quorvane-record: %s needs a value\n", a.c_str());
                return false;
            }
            *out = argv[++i];
            return true;
        };
        const char* v = nullptr;
        if (a == "-h" || a == "--help") {
            fputs(kUsage, stdout);
            exit(kExitOk);
        } else if (a == "-o" || a == "--output") {
            if (!value(&v)) return false;
            o->output = v;
        } else if (a == "--user") {
            if (!value(&v)) return false;
            o->user = v;
            o->userGiven = true;
        } else if (a == "--password") {
            if (!value(&v)) return false;
            o->password = v;
            o->passwordGiven = true;
        } else if (a == "--tcp") {
            o->tcp = true;
        } else if (a == "--udp") {
            o->tcp = false;
        } else if (a == "--duration" || a == "--timeout") {
            double d = 0;
            if (!value(&v)) return false;
            if (!parseNumber(v, &d)) {
                fprintf(stderr, "quorvane-record: %s wants a positive number of seconds, not '%s'\n",
                        a.c_str(), v);
                return false;
            }
            (a == "--duration" ? o->duration : o->timeout) = d;
        } else if (a == "--frames") {
            double d = 0;
            if (!value(&v)) return false;
            if (!parseNumber(v, &d) || d != static_cast<double>(static_cast<uint64_t>(d))) {
                fprintf(stderr, "quorvane-record: --frames wants a positive whole number, not '%s'\n", v);
                return false;
            }
            o->frames = static_cast<uint64_t>(d);
        } else if (a == "--info") {
            o->info = true;
        } else if (a == "-q" || a == "--quiet") {
            o->quiet = true;
        } else if (a == "-v" || a == "--verbose") {
            o->verbose = true;
        } else if (!a.empty() && a[0] == '-' && a != "-") {
            fprintf(stderr, "quorvane-record: unknown option %s\n", a.c_str());
            return false;
        } else if (o->url.empty()) {
            o->url = a;
        } else {
            fprintf(stderr, "quorvane-record: unexpected argument '%s'\n", a.c_str());
            return false;
        }
    }
    if (o->url.empty()) {
        fputs("quorvane-record: no camera URL given\n", stderr);
        return false;
    }
    if (!o->info && o->output.empty()) {
        fputs("quorvane-record: no output given: -o FILE, or -o - for standard output\n", stderr);
        return false;
    }
    return true;
}

enum class Codec { Unknown, H264, H265 };

const char* codecName(Codec c) {
    return c == Codec::H264 ? "H.264" : c == Codec::H265 ? "H.265" : "-";
}

// What the data callback found and wrote; shared between the packet thread and the main thread.
class Recorder {
public:
    static constexpr size_t kMaxPendingBytes = 1 << 20;

    Recorder(FILE* out, bool flushEachPicture, uint64_t frameLimit, double duration)
        : mOut(out), mFlushEachPicture(flushEachPicture), mFrameLimit(frameLimit), mDuration(duration) {}

    // One piece of Annex-B data from the library: a parameter set, an SEI, a picture (H.264), or
    // one NAL unit (H.265); always behind a four-byte start code.
    void onData(const unsigned char* data, unsigned long len, Codec codec) {
        if (data == nullptr || len <= 4 || codec == Codec::Unknown) return;
        mDataSeen = true;
        std::lock_guard<std::mutex> lock(mMutex);
        if (mClosed || mDone) return;
        const bool h264 = codec == Codec::H264;
        testkit::AnnexBPiece piece =
            testkit::classifyPiece(h264 ? testkit::VideoCodec::H264 : testkit::VideoCodec::H265, data, len);
        // The first parameter set of a coded video sequence: SPS for H.264, VPS for H.265.
        const bool startsStream = piece.nalType == (h264 ? 7 : 32);
        if (piece.parameterSet) {
            int index = h264 ? piece.nalType - 7 + 1 : piece.nalType - 32;  // 0 VPS, 1 SPS, 2 PPS
            std::vector<uint8_t>* sets[] = {&mVps, &mSps, &mPps};
            sets[index]->assign(data + 4, data + len);
        }
        // A file must begin with the parameter sets, or no player can decode what precedes them.
        double now = nowSeconds();
        if (!mStarted) {
            if (!startsStream) return;
            mStarted = true;
        }
        // Parameter sets and SEI wait for the picture they belong to, and the recording ends
        // where a picture would begin, so that the file ends with a whole picture.
        if (!piece.slice) {
            // A camera sending parameter sets without pictures must not make this grow forever.
            if (mPending.size() + len > kMaxPendingBytes) mPending.clear();
            mPending.insert(mPending.end(), data, data + len);
            return;
        }
        if (piece.picture) {
            // The duration runs from the first picture: each picture is handed over when the next
            // one begins, so timing from the parameter sets would cost the recording one picture.
            if (mFrames == 0) mStartTime = now;
            // A picture that arrives about when the duration ends is the first of the next span:
            // the cut is half a picture interval early, so 10 s at 25 fps are 250 pictures
            // whatever the jitter.
            double interval =
                mFrames > 1 ? (mLastPictureTime - mStartTime) / static_cast<double>(mFrames - 1) : 0;
            if ((mFrameLimit != 0 && mFrames >= mFrameLimit) ||
                (mDuration > 0 && mFrames > 0 && now - mStartTime >= mDuration - interval / 2)) {
                mDone = true;
                return;
            }
            ++mFrames;
            mLastPictureTime = now;
        }
        mPending.insert(mPending.end(), data, data + len);
        if (mOut != nullptr && !mWriteFailed) {
            if (fwrite(mPending.data(), 1, mPending.size(), mOut) != mPending.size() ||
                (mFlushEachPicture && fflush(mOut) != 0)) {
                mWriteErrno = errno;
                mWriteFailed = true;
                return;
            }
        }
        mBytes += mPending.size();
        mPending.clear();
        // An H.264 picture comes whole: the limit is reached without waiting for the next one.
        if (h264 && mFrameLimit != 0 && mFrames >= mFrameLimit) mDone = true;
    }

    // No more writes after this; returns false when a write or the final flush failed.
    bool close() {
        std::lock_guard<std::mutex> lock(mMutex);
        mClosed = true;
        if (mOut != nullptr && !mWriteFailed && fflush(mOut) != 0) {
            mWriteErrno = errno;
            mWriteFailed = true;
        }
        return !mWriteFailed;
    }

    struct Snapshot {
        bool dataSeen, started, done, writeFailed;
        int writeErrno;
        uint64_t frames, bytes;
        double startTime, lastPictureTime;
        std::vector<uint8_t> vps, sps, pps;
    };
    Snapshot snapshot() {
        std::lock_guard<std::mutex> lock(mMutex);
        return Snapshot{mDataSeen.load(), mStarted,         mDone, mWriteFailed, mWriteErrno, mFrames, mBytes,
                        mStartTime,       mLastPictureTime, mVps,  mSps,         mPps};
    }

private:
    std::mutex mMutex;  // guards everything but mDataSeen
    FILE* mOut;
    bool mFlushEachPicture;
    uint64_t mFrameLimit;
    double mDuration;
    std::vector<uint8_t> mPending;  // the non-picture data in front of the next picture
    std::atomic<bool> mDataSeen{false};
    bool mStarted = false;
    bool mDone = false;
    bool mClosed = false;
    bool mWriteFailed = false;
    int mWriteErrno = 0;
    uint64_t mFrames = 0;
    uint64_t mBytes = 0;
    double mStartTime = 0;  // arrival of the first picture written
    double mLastPictureTime = 0;
    std::vector<uint8_t> mVps, mSps, mPps;
};

std::string hex(const std::vector<uint8_t>& b) {
    std::string s;
    char two[4];
    for (size_t i = 0; i < b.size(); ++i) {
        snprintf(two, sizeof(two), i == 0 ? "%02x" : " %02x", b[i]);
        s += two;
    }
    return s;
}

std::string base64(const std::vector<uint8_t>& b) {
    std::vector<char> out(4 * ((b.size() + 2) / 3) + 1, '\0');
    Utils::base64encode(b.data(), b.size(), out.data());
    return std::string(out.data());
}

std::string bytesText(uint64_t bytes) {
    char s[32];
    if (bytes >= 10ull * 1024 * 1024)
        snprintf(s, sizeof(s), "%.1f MB", bytes / 1048576.0);
    else if (bytes >= 10ull * 1024)
        snprintf(s, sizeof(s), "%.1f kB", bytes / 1024.0);
    else
        snprintf(s, sizeof(s), "%" PRIu64 " B", bytes);
    return s;
}

// Why the first connection attempt failed, as a message and an exit code.
int explainConnectFailure(const RtspConnectStatus& status, const RtspUrl& url, bool haveCredentials) {
    const RtspRequestResult& f = status.failure;
    std::string where = url.host + ":" + std::to_string(url.port);
    // libcurl result codes (curl/curl.h).
    enum {
        kUnsupportedProtocol = 1,
        kUrlMalformat = 3,
        kCouldNotResolve = 6,
        kCouldNotConnect = 7,
        kWeirdReply = 8,
        kTimedOut = 28,
        kGotNothing = 52,
        kRecvError = 56
    };
    if (f.request.empty()) {
        fprintf(stderr, "quorvane-record: the library refused the URL %s\n", url.display.c_str());
        return kExitBadUrl;
    }
    if (f.curlCode == kUnsupportedProtocol || f.curlCode == kUrlMalformat) {
        fprintf(stderr, "quorvane-record: bad URL %s\n", url.display.c_str());
        return kExitBadUrl;
    }
    if (f.curlCode == kCouldNotResolve) {
        fprintf(stderr, "quorvane-record: cannot resolve host name '%s'\n", url.host.c_str());
        return kExitConnect;
    }
    if (f.curlCode == kCouldNotConnect) {
        if (f.osErrno == ECONNREFUSED)
            fprintf(stderr,
                    "quorvane-record: connection refused by %s (is the camera running, is the port right?)\n",
                    where.c_str());
        else
            fprintf(stderr, "quorvane-record: cannot connect to %s: %s\n", where.c_str(),
                    f.osErrno != 0 ? strerror(f.osErrno) : "connection failed");
        return kExitConnect;
    }
    if (f.curlCode == kTimedOut) {
        fprintf(stderr, "quorvane-record: no answer from %s to %s within 3 s\n", where.c_str(),
                f.request.c_str());
        return kExitConnect;
    }
    if (f.status == 401 || f.status == 403) {
        if (haveCredentials)
            fprintf(stderr,
                    "quorvane-record: authentication failed: %s refused the user name or password (%s %ld)\n",
                    where.c_str(), f.request.c_str(), f.status);
        else
            fprintf(stderr,
                    "quorvane-record: authentication required: %s wants a user name and password "
                    "(--user/--password or user:password@ in the URL)\n",
                    where.c_str());
        return kExitAuth;
    }
    if (f.status >= 400) {
        fprintf(stderr, "quorvane-record: the camera answered %s with status %ld%s\n", f.request.c_str(),
                f.status, f.status == 404 ? " (no such stream: check the path)" : "");
        return kExitCameraError;
    }
    if (f.curlCode == kWeirdReply || f.curlCode == kGotNothing || f.curlCode == kRecvError) {
        fprintf(stderr, "quorvane-record: %s broke off or answered garbage during %s (libcurl error %d)\n",
                where.c_str(), f.request.c_str(), f.curlCode);
        return kExitCameraError;
    }
    fprintf(stderr, "quorvane-record: %s failed (libcurl error %d, status %ld)\n", f.request.c_str(),
            f.curlCode, f.status);
    return kExitCameraError;
}

struct StreamShape {
    uint32_t width = 0, height = 0, fps = 0;
};

StreamShape streamShape(RtspClient& client, StreamInfoUnitSE& info, Codec codec) {
    StreamShape s;
    if (codec == Codec::H264) {
        // The depacketizer answers from the first IH264Unit linked after it, which is `info`.
        IH264Interfaces iface = client.mVideoUnit->getInterfaces();
        s.width = iface.getWidth();
        s.height = iface.getHeight();
        s.fps = iface.getFPS();
    } else if (codec == Codec::H265) {
        testkit::SpsInfo latest = info.latest();
        s.width = latest.width;
        s.height = latest.height;
    }
    return s;
}

Codec codecOf(RtspClient& client) {
    if (client.mVideoUnit->mIsH264.load()) return Codec::H264;
    if (client.mVideoUnit->mIsH265.load()) return Codec::H265;
    return Codec::Unknown;
}

std::string elapsedText(double s) {
    char t[32];
    long total = static_cast<long>(s);
    snprintf(t, sizeof(t), "%02ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
    return t;
}

int printInfo(RtspClient& client, StreamInfoUnitSE& info, const Recorder::Snapshot& snap, Codec codec) {
    StreamShape shape = streamShape(client, info, codec);
    printf("codec: %s\n", codecName(codec));
    if (shape.width != 0) printf("resolution: %ux%u\n", shape.width, shape.height);
    if (shape.fps != 0) printf("frame rate: %u fps\n", shape.fps);
    if (codec == Codec::H264) {
        // The depacketizer's own stored copies, without start codes.
        IH264Interfaces iface = client.mVideoUnit->getInterfaces();
        std::shared_ptr<QelBuffer> spsBuffer = iface.getSps();
        std::shared_ptr<QelBuffer> ppsBuffer = iface.getPps();
        auto bytes = [](const std::shared_ptr<QelBuffer>& b) {
            const uint8_t* p = b ? static_cast<const uint8_t*>(b->getVaddr()) : nullptr;
            return p ? std::vector<uint8_t>(p, p + b->length) : std::vector<uint8_t>();
        };
        std::vector<uint8_t> sps = bytes(spsBuffer), pps = bytes(ppsBuffer);
        if (sps.size() >= 4) printf("profile-level-id: %02x%02x%02x\n", sps[1], sps[2], sps[3]);
        printf("sps: %s\n", hex(sps).c_str());
        printf("pps: %s\n", hex(pps).c_str());
        printf("sprop-parameter-sets=%s,%s\n", base64(sps).c_str(), base64(pps).c_str());
    } else {
        printf("vps: %s\n", hex(snap.vps).c_str());
        printf("sps: %s\n", hex(snap.sps).c_str());
        printf("pps: %s\n", hex(snap.pps).c_str());
        printf("sprop-vps=%s; sprop-sps=%s; sprop-pps=%s\n", base64(snap.vps).c_str(),
               base64(snap.sps).c_str(), base64(snap.pps).c_str());
    }
    fflush(stdout);
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (!parseOptions(argc, argv, &opt)) {
        fputs(kUsage, stderr);
        return kExitUsage;
    }
    RtspUrl url;
    std::string why;
    if (!parseRtspUrl(opt.url, &url, &why)) {
        fprintf(stderr, "quorvane-record: bad URL '%s': %s\n", opt.url.c_str(), why.c_str());
        return kExitBadUrl;
    }
    if (!opt.userGiven) opt.user = url.user;
    if (!opt.passwordGiven) opt.password = url.password;

    sigset_t stopSignals = blockStopSignals();

    // The library writes its debug lines to standard output; when the video goes there, they
    // go to standard error instead.
    FILE* out = nullptr;
    bool toStdout = opt.output == "-";
    bool createdFile = false;
    if (!opt.info) {
        if (toStdout) {
            int videoFd = dup(STDOUT_FILENO);
            if (videoFd < 0 || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
                perror("quorvane-record: standard output");
                return kExitFailure;
            }
            fcntl(videoFd, F_SETFD, FD_CLOEXEC);
            out = fdopen(videoFd, "wb");
        } else {
            struct stat st;
            createdFile = stat(opt.output.c_str(), &st) != 0;
            out = fopen(opt.output.c_str(), "wb");
        }
        if (out == nullptr) {
            fprintf(stderr, "quorvane-record: cannot open %s: %s\n",
                    toStdout ? "standard output" : opt.output.c_str(), strerror(errno));
            return kExitFailure;
        }
    }
    SLog::setEnable(opt.verbose);
    bool interactive = isatty(STDERR_FILENO) == 1;
    bool showProgress = !opt.quiet && !opt.info;

    int exitCode = kExitOk;
    {
        // Both outlive the client: its units hold a pointer to the first, its callback uses the second.
        StreamInfoUnitSE info;
        Recorder recorder(out, toStdout, opt.frames, opt.duration);
        RtspClient client(url.withoutCredentials, opt.user, opt.password, opt.tcp);
        static_cast<MasterOutput*>(client.mVideoUnit)->addOutputUnit(&info, true);
        info.enable();
        client.setDataCallback(
            [&](unsigned char* data, unsigned long len) { recorder.onData(data, len, codecOf(client)); });

        double start = nowSeconds();
        if (!opt.quiet)
            fprintf(stderr, "quorvane-record: connecting to %s over %s\n", url.display.c_str(),
                    opt.tcp ? "TCP" : "UDP");
        client.enable();
        RtspConnectStatus first = client.mRtspUnit->connectStatus();
        bool ok = first.connected;
        if (!ok) exitCode = explainConnectFailure(first, url, !opt.user.empty() || !opt.password.empty());

        double lastTick = nowSeconds();
        uint64_t lastFrames = 0, lastBytes = 0;
        double progressEvery = interactive ? 1.0 : 5.0;
        bool lineOpen = false;
        const char* stopReason = nullptr;
        double stoppedAt = 0;
        while (ok) {
            timespec wait{0, 100 * 1000 * 1000};
            int sig = sigtimedwait(&stopSignals, nullptr, &wait);
            if (sig > 0) {
                stopReason = sig == SIGINT ? "interrupted" : "terminated";
                break;
            }
            Recorder::Snapshot snap = recorder.snapshot();
            double now = nowSeconds();
            Codec codec = codecOf(client);
            if (snap.writeFailed) {
                if (lineOpen) fputc('\n', stderr);
                fprintf(stderr, "quorvane-record: cannot write %s: %s\n",
                        toStdout ? "standard output" : opt.output.c_str(), strerror(snap.writeErrno));
                exitCode = kExitFailure;
                break;
            }
            if (opt.info && snap.started && !snap.sps.empty() && !snap.pps.empty() &&
                (codec == Codec::H264 || !snap.vps.empty())) {
                exitCode = printInfo(client, info, snap, codec);
                break;
            }
            if (!snap.started && now - start >= opt.timeout) {
                if (lineOpen) fputc('\n', stderr);
                RtspConnectStatus st = client.mRtspUnit->connectStatus();
                if (snap.dataSeen)
                    fprintf(stderr,
                            "quorvane-record: video arrived but no parameter sets (%s) within %.0f s; "
                            "nothing was written\n",
                            codec == Codec::H265 ? "VPS" : "SPS", opt.timeout);
                else if (!st.connected)
                    fprintf(stderr,
                            "quorvane-record: no video within %.0f s: the camera dropped the session and "
                            "%u reconnect attempts failed\n",
                            opt.timeout, st.attempts - 1);
                else
                    fprintf(stderr,
                            "quorvane-record: no video within %.0f s (the camera accepted PLAY but sent no "
                            "H.264/H.265 RTP%s)\n",
                            opt.timeout,
                            opt.tcp ? "" : "; over UDP a firewall or NAT may drop it, try --tcp");
                exitCode = kExitNoVideo;
                break;
            }
            if (snap.done) {
                stopReason =
                    opt.frames != 0 && snap.frames >= opt.frames ? "frame count reached" : "duration reached";
                break;
            }
            // The callback ends the recording at the first piece past the duration; a stream that
            // stalls right then must not keep the recorder waiting.
            if (snap.frames > 0 && opt.duration > 0 && now - snap.startTime >= opt.duration + 0.5) {
                stopReason = "duration reached";
                break;
            }
            if (showProgress && now - lastTick >= progressEvery) {
                StreamShape shape = streamShape(client, info, codec);
                RtspConnectStatus st = client.mRtspUnit->connectStatus();
                double span = now - lastTick;
                char size[32] = "";
                if (shape.width != 0) snprintf(size, sizeof(size), " %ux%u", shape.width, shape.height);
                char line[256];
                snprintf(line, sizeof(line),
                         "%s%s | frames %" PRIu64
                         " | %.1f fps | %.0f kbit/s | %s written | reconnects %u | %s",
                         codecName(codec), size, snap.frames, (snap.frames - lastFrames) / span,
                         (snap.bytes - lastBytes) * 8 / span / 1000, bytesText(snap.bytes).c_str(),
                         st.attempts > 0 ? st.attempts - 1 : 0, elapsedText(now - start).c_str());
                if (interactive) {
                    fprintf(stderr, "\r%s\033[K", line);
                    lineOpen = true;
                } else {
                    fprintf(stderr, "%s\n", line);
                }
                lastTick = now;
                lastFrames = snap.frames;
                lastBytes = snap.bytes;
            }
        }
        if (lineOpen) fputc('\n', stderr);
        stoppedAt = nowSeconds();

        // TEARDOWN, then no more data reaches the file.
        client.disable();
        bool flushed = recorder.close();
        Recorder::Snapshot snap = recorder.snapshot();
        if (!flushed && exitCode == kExitOk) {
            fprintf(stderr, "quorvane-record: cannot write %s: %s\n",
                    toStdout ? "standard output" : opt.output.c_str(), strerror(snap.writeErrno));
            exitCode = kExitFailure;
        }
        if (stopReason != nullptr && !opt.quiet) {
            Codec codec = codecOf(client);
            StreamShape shape = streamShape(client, info, codec);
            RtspConnectStatus st = client.mRtspUnit->connectStatus();
            // The rate between the first and the last picture written.
            double span = snap.frames > 1 ? snap.lastPictureTime - snap.startTime : 0;
            fprintf(stderr, "quorvane-record: %s: %" PRIu64 " frames of %s", stopReason, snap.frames,
                    codecName(codec));
            if (shape.width != 0) fprintf(stderr, " %ux%u", shape.width, shape.height);
            fprintf(stderr, ", %s to %s in %.1f s (%.1f fps), %u reconnects\n", bytesText(snap.bytes).c_str(),
                    toStdout ? "standard output" : opt.output.c_str(), stoppedAt - start,
                    span > 0 ? (snap.frames - 1) / span : 0.0, st.attempts > 0 ? st.attempts - 1 : 0);
        }
        if (exitCode != kExitOk && createdFile && snap.bytes == 0) remove(opt.output.c_str());
    }
    if (out != nullptr) fclose(out);
    return exitCode;
}
