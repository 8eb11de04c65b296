// quorvane-record: records a camera's H.264 or H.265 stream with one RtspClient, through the
// library's public API only: whole frames with their timestamps go into an Annex-B file (or
// standard output), or into MP4 / Matroska through FFmpeg's libavformat, optionally cut into
// segments at keyframes; progress with loss and reconnects, until a duration, a frame count or
// Ctrl-C.
#include <fcntl.h>
#include <signal.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "rtsp_client.h"
#include "tools/media_writer.h"
#include "tools/rtsp_url.h"
#include "tools/stop_signals.h"
#include "utils/h26x_sps_parser.h"
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
    "  -o, --output FILE   write to FILE: .mp4 and .mkv as MP4 / Matroska, anything else as an\n"
    "                      Annex-B stream; '-' for standard output (Annex-B, or --format mkv)\n"
    "      --format F      annexb, mp4 or mkv, whatever the file name says\n"
    "      --segment S     a new file at the first keyframe after every S seconds; the file names\n"
    "                      get the start time (FILE-YYYYmmdd-HHMMSS.ext)\n"
    "      --library-defaults  the library's default client options instead of the mixed-fleet preset\n"
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
    std::string format;  // --format as given
    double segment = 0;
    double duration = 0;
    uint64_t frames = 0;
    double timeout = 10;
    bool info = false;
    bool quiet = false;
    bool verbose = false;
    bool libraryDefaults = false;
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

bool endsWith(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() && strcasecmp(s.c_str() + s.size() - suffix.size(), suffix.c_str()) == 0;
}

// The container the output is written in: --format, else the file name's extension.
MediaFormat outputFormat(const Options& o) {
    if (o.format == "mp4") return MediaFormat::Mp4;
    if (o.format == "mkv") return MediaFormat::Matroska;
    if (o.format == "annexb" || o.output == "-") return MediaFormat::AnnexB;
    if (endsWith(o.output, ".mp4")) return MediaFormat::Mp4;
    if (endsWith(o.output, ".mkv")) return MediaFormat::Matroska;
    return MediaFormat::AnnexB;
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
        } else if (a == "--format") {
            if (!value(&v)) return false;
            o->format = v;
            if (o->format != "annexb" && o->format != "mp4" && o->format != "mkv") {
                fprintf(stderr, "quorvane-record: --format wants annexb, mp4 or mkv, not '%s'\n", v);
                return false;
            }
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
        } else if (a == "--duration" || a == "--timeout" || a == "--segment") {
            double d = 0;
            if (!value(&v)) return false;
            if (!parseNumber(v, &d)) {
                fprintf(stderr, "quorvane-record: %s wants a positive number of seconds, not '%s'\n",
                        a.c_str(), v);
                return false;
            }
            (a == "--duration" ? o->duration : a == "--timeout" ? o->timeout : o->segment) = d;
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
        } else if (a == "--library-defaults") {
            o->libraryDefaults = true;
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
    if (o->output == "-" && outputFormat(*o) == MediaFormat::Mp4) {
        fputs("quorvane-record: MP4 cannot be streamed to standard output; use --format mkv\n", stderr);
        return false;
    }
    if (o->output == "-" && o->segment > 0) {
        fputs("quorvane-record: --segment needs a file name, not standard output\n", stderr);
        return false;
    }
    return true;
}

const char* codecName(RtspVideoCodec c) {
    return c == RtspVideoCodec::H264 ? "H.264" : c == RtspVideoCodec::H265 ? "H.265" : "-";
}

// NAL units of an Annex-B buffer whose units all start with 00 00 00 01 or 00 00 01, as the
// library hands them over: (offset, length) of each unit without its start code.
std::vector<std::pair<size_t, size_t>> nalUnits(const uint8_t* data, size_t size) {
    std::vector<std::pair<size_t, size_t>> units;
    size_t i = 0, begin = 0;
    bool inUnit = false;
    while (i + 3 <= size) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            if (inUnit) {
                size_t end = i;
                while (end > begin && data[end - 1] == 0) --end;
                units.emplace_back(begin, end - begin);
            }
            i += 3;
            begin = i;
            inUnit = true;
        } else {
            ++i;
        }
    }
    if (inUnit && size > begin) units.emplace_back(begin, size - begin);
    return units;
}

// The file of the segment that starts at `wallNs`: FILE-YYYYmmdd-HHMMSS.ext.
std::string segmentName(const std::string& output, int64_t wallNs) {
    time_t seconds = static_cast<time_t>(wallNs / 1000000000LL);
    struct tm local;
    localtime_r(&seconds, &local);
    char stamp[32];
    strftime(stamp, sizeof(stamp), "-%Y%m%d-%H%M%S", &local);
    size_t slash = output.rfind('/');
    size_t dot = output.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return output + stamp;
    return output.substr(0, dot) + stamp + output.substr(dot);
}

// What the frame callback found and wrote; shared between the packet thread and the main thread.
class Recorder {
public:
    struct Target {
        MediaFormat format = MediaFormat::AnnexB;
        std::string path;     // the file, or the name segments are derived from
        FILE* out = nullptr;  // Annex-B output opened by main (not segmented)
        int fd = -1;          // standard output's copy for a container
        bool flushEachFrame = false;
        double segment = 0;
        bool writeNothing = false;  // --info: the parameter sets are all that is wanted
    };

    Recorder(Target target, uint64_t frameLimit, double duration)
        : mTarget(std::move(target)), mFrameLimit(frameLimit), mDuration(duration) {}

    void onFrame(const RtspFrame& f) {
        if (f.data == nullptr || f.size == 0 || f.codec == RtspVideoCodec::Unknown) return;
        mDataSeen = true;
        std::lock_guard<std::mutex> lock(mMutex);
        if (mClosed || mDone || mWriteFailed) return;
        const bool h264 = f.codec == RtspVideoCodec::H264;
        mCodec = f.codec;
        if (f.parameterSets) keepParameterSets(f, h264);
        // A file must begin with the parameter sets and a keyframe, or no player can decode it.
        if (!mStarted) {
            if (!f.parameterSets || !f.keyframe) return;
            mStarted = true;
            mUseRtpTime = f.hasRtpTimestamp;
        }
        if (mTarget.writeNothing) return;
        const double now = static_cast<double>(f.arrivalNs) / 1e9;
        // The duration runs from the first picture; one that arrives about when it ends is the
        // first of the next span: the cut is half a picture interval early, so 10 s at 25 fps
        // are 250 pictures whatever the jitter.
        if (mFrames == 0) mStartTime = now;
        double interval =
            mFrames > 1 ? (mLastPictureTime - mStartTime) / static_cast<double>(mFrames - 1) : 0;
        if ((mFrameLimit != 0 && mFrames >= mFrameLimit) ||
            (mDuration > 0 && mFrames > 0 && now - mStartTime >= mDuration - interval / 2)) {
            mDone = true;
            return;
        }
        // The frame's time in 1/90000 s: its RTP timestamp (the camera's pace); without one, the
        // frame rate of the SPS, else the arrival time.
        int64_t ticks = static_cast<int64_t>(f.arrivalNs / 1000) * 9 / 100;
        if (mUseRtpTime) {
            ticks = static_cast<int64_t>(f.rtpTimestamp);
        } else {
            H26xSpsInfo sps;
            if (!mSps.empty() &&
                (h264 ? H26xSpsParser::parseH264 : H26xSpsParser::parseH265)(mSps.data(), mSps.size(),
                                                                             &sps) &&
                sps.fps > 0)
                ticks = std::llround(static_cast<double>(mFrames) * 90000.0 / sps.fps);
        }
        // A segment ends at the first keyframe at or after its length (within half a frame, so
        // that arrival jitter does not push the cut one keyframe later).
        if (mWriter && mTarget.segment > 0 && f.keyframe &&
            static_cast<double>(ticks - mSegmentStart + mLastDuration / 2) >= mTarget.segment * 90000.0) {
            if (!finishWriter()) return;
        }
        if (!mWriter) {
            if (!openWriter(f)) return;
            mSegmentStart = ticks;
            mLastPts = -1;
        }
        int64_t pts = ticks - mSegmentStart;
        if (pts <= mLastPts) pts = mLastPts + 1;  // a muxer needs rising times
        int64_t frameDuration = mLastPts >= 0 ? pts - mLastPts : 3600;
        if (!mWriter->write(f.data, f.size, pts, frameDuration, f.keyframe)) {
            mWriteError = mWriter->error;
            mWriteFailed = true;
            return;
        }
        mLastPts = pts;
        mLastDuration = frameDuration;
        ++mFrames;
        mLastPictureTime = now;
        mBytes += f.size;
        if (mFrameLimit != 0 && mFrames >= mFrameLimit) mDone = true;
    }

    // No more writes after this; returns false when a write or finishing the file failed.
    bool close() {
        std::lock_guard<std::mutex> lock(mMutex);
        mClosed = true;
        if (mWriter) finishWriter();
        return !mWriteFailed;
    }

    struct Snapshot {
        bool dataSeen, started, done, writeFailed;
        std::string writeError;
        uint64_t frames, bytes;
        double startTime, lastPictureTime;
        RtspVideoCodec codec;
        std::vector<uint8_t> vps, sps, pps;
        std::vector<std::string> files;
    };
    Snapshot snapshot() {
        std::lock_guard<std::mutex> lock(mMutex);
        return Snapshot{
            mDataSeen.load(), mStarted,         mDone,  mWriteFailed, mWriteError, mFrames, mBytes,
            mStartTime,       mLastPictureTime, mCodec, mVps,         mSps,        mPps,    mFiles};
    }

private:
    void keepParameterSets(const RtspFrame& f, bool h264) {
        std::vector<uint8_t> all;
        for (auto unit : nalUnits(f.data, f.size)) {
            const uint8_t* nal = f.data + unit.first;
            if (unit.second == 0) continue;
            int type = h264 ? (nal[0] & 0x1F) : ((nal[0] >> 1) & 0x3F);
            int index = h264 ? (type == 7   ? 1
                                : type == 8 ? 2
                                            : -1)
                             : (type >= 32 && type <= 34 ? type - 32 : -1);
            if (index < 0) continue;
            std::vector<uint8_t>* sets[] = {&mVps, &mSps, &mPps};
            sets[index]->assign(nal, nal + unit.second);
        }
    }

    // Parameter sets in Annex-B form, for a container's codec record.
    std::vector<uint8_t> parameterSetsAnnexB() const {
        std::vector<uint8_t> out;
        for (const std::vector<uint8_t>* set : {&mVps, &mSps, &mPps}) {
            if (set->empty()) continue;
            out.insert(out.end(), {0, 0, 0, 1});
            out.insert(out.end(), set->begin(), set->end());
        }
        return out;
    }

    bool openWriter(const RtspFrame& f) {
        std::string path = mTarget.path;
        if (mTarget.segment > 0) {
            path = segmentName(mTarget.path, f.presentationNs);
            // Two segments begun within one second keep apart.
            for (int n = 2; !mFiles.empty() && path == mFiles.back(); ++n)
                path = segmentName(mTarget.path, f.presentationNs) + "-" + std::to_string(n);
        }
        if (mTarget.format == MediaFormat::AnnexB) {
            FILE* out = mTarget.out;
            if (mTarget.segment > 0) {
                mSegmentFile.reset(fopen(path.c_str(), "wb"));
                out = mSegmentFile.get();
            }
            if (out == nullptr) return fail("cannot open " + path + ": " + strerror(errno));
            mWriter = openAnnexBWriter(out, mTarget.flushEachFrame);
        } else {
            MediaTrack track;
            track.h265 = f.codec == RtspVideoCodec::H265;
            H26xSpsInfo sps;
            if (!mSps.empty() && (track.h265 ? H26xSpsParser::parseH265 : H26xSpsParser::parseH264)(
                                     mSps.data(), mSps.size(), &sps)) {
                track.width = sps.width;
                track.height = sps.height;
            }
            track.parameterSets = parameterSetsAnnexB();
            std::string why;
            mWriter = openContainerWriter(mTarget.format, path, mTarget.fd, track, &why);
            if (!mWriter)
                return fail("cannot write " + (mTarget.fd >= 0 ? std::string("standard output") : path) +
                            ": " + why);
        }
        if (path != "-") mFiles.push_back(path);
        return true;
    }

    bool finishWriter() {
        bool ok = mWriter->close();
        if (!ok) fail(mWriter->error);
        mWriter.reset();
        if (mSegmentFile && fclose(mSegmentFile.release()) != 0 && ok) ok = fail(strerror(errno));
        return ok;
    }

    bool fail(const std::string& why) {
        if (!mWriteFailed) mWriteError = why;
        mWriteFailed = true;
        return false;
    }

    struct FileCloser {
        void operator()(FILE* f) const {
            if (f != nullptr) fclose(f);
        }
    };

    std::mutex mMutex;  // guards everything but mDataSeen
    Target mTarget;
    uint64_t mFrameLimit;
    double mDuration;
    std::unique_ptr<MediaWriter> mWriter;
    std::unique_ptr<FILE, FileCloser> mSegmentFile;
    std::vector<std::string> mFiles;  // written so far, in order
    std::atomic<bool> mDataSeen{false};
    bool mStarted = false;
    bool mDone = false;
    bool mClosed = false;
    bool mWriteFailed = false;
    std::string mWriteError;
    bool mUseRtpTime = false;
    int64_t mSegmentStart = 0;
    int64_t mLastPts = -1;
    int64_t mLastDuration = 3600;  // of the latest frame, 1/90000 s
    uint64_t mFrames = 0;
    uint64_t mBytes = 0;
    double mStartTime = 0;  // arrival of the first picture written
    double mLastPictureTime = 0;
    RtspVideoCodec mCodec = RtspVideoCodec::Unknown;
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

std::string elapsedText(double s) {
    char t[32];
    long total = static_cast<long>(s);
    snprintf(t, sizeof(t), "%02ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
    return t;
}

int printInfo(const RtspClient& client, const Recorder::Snapshot& snap) {
    RtspStreamInfo info = client.streamInfo();
    printf("codec: %s\n", codecName(snap.codec));
    if (info.width != 0) printf("resolution: %ux%u\n", info.width, info.height);
    if (info.fps > 0) printf("frame rate: %ld fps\n", std::lround(info.fps));
    if (snap.codec == RtspVideoCodec::H264) {
        const std::vector<uint8_t>& sps = snap.sps;
        if (sps.size() >= 4) printf("profile-level-id: %02x%02x%02x\n", sps[1], sps[2], sps[3]);
        printf("sps: %s\n", hex(snap.sps).c_str());
        printf("pps: %s\n", hex(snap.pps).c_str());
        printf("sprop-parameter-sets=%s,%s\n", base64(snap.sps).c_str(), base64(snap.pps).c_str());
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

std::string sizeText(const RtspStreamInfo& info) {
    if (info.width == 0) return "";
    return " " + std::to_string(info.width) + "x" + std::to_string(info.height);
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
    const MediaFormat format = outputFormat(opt);
    if (!opt.info && !mediaFormatAvailable(format)) {
        fprintf(stderr,
                "quorvane-record: cannot write %s: this build has no FFmpeg (libavformat-dev) for MP4 and "
                "Matroska; write .264/.265 instead\n",
                opt.output.c_str());
        return kExitFailure;
    }

    sigset_t stopSignals = blockStopSignals();

    // The library writes its debug lines to standard output; when the video goes there, they
    // go to standard error instead.
    Recorder::Target target;
    target.format = format;
    target.path = opt.output;
    target.segment = opt.segment;
    target.writeNothing = opt.info;
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
            if (format == MediaFormat::AnnexB) {
                out = fdopen(videoFd, "wb");
            } else {
                target.fd = videoFd;
            }
            target.flushEachFrame = true;
        } else if (format == MediaFormat::AnnexB && opt.segment <= 0) {
            struct stat st;
            createdFile = stat(opt.output.c_str(), &st) != 0;
            out = fopen(opt.output.c_str(), "wb");
        }
        if (out == nullptr && target.fd < 0 &&
            (toStdout || (format == MediaFormat::AnnexB && opt.segment <= 0))) {
            fprintf(stderr, "quorvane-record: cannot open %s: %s\n",
                    toStdout ? "standard output" : opt.output.c_str(), strerror(errno));
            return kExitFailure;
        }
        target.out = out;
    }
    SLog::setEnable(opt.verbose);
    bool interactive = isatty(STDERR_FILENO) == 1;
    bool showProgress = !opt.quiet && !opt.info;
    const std::string outputName = toStdout ? "standard output" : opt.output;

    int exitCode = kExitOk;
    std::vector<std::string> files;
    {
        // The recorder outlives the client, whose callback uses it.
        Recorder recorder(target, opt.frames, opt.duration);
        RtspClientOptions clientOptions =
            opt.libraryDefaults ? RtspClientOptions() : RtspClientOptions::mixedFleet();
        RtspClient client(url.withoutCredentials, opt.user, opt.password, opt.tcp, clientOptions);
        client.setFrameCallback([&recorder](const RtspFrame& frame) { recorder.onFrame(frame); });

        double start = nowSeconds();
        if (!opt.quiet)
            fprintf(stderr, "quorvane-record: connecting to %s over %s\n", url.display.c_str(),
                    opt.tcp ? "TCP" : "UDP");
        client.enable();
        RtspConnectStatus first = client.connectStatus();
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
            if (snap.writeFailed) {
                if (lineOpen) fputc('\n', stderr);
                fprintf(stderr, "quorvane-record: %s\n", snap.writeError.c_str());
                exitCode = kExitFailure;
                break;
            }
            if (opt.info && snap.started && !snap.sps.empty() && !snap.pps.empty() &&
                (snap.codec == RtspVideoCodec::H264 || !snap.vps.empty())) {
                exitCode = printInfo(client, snap);
                break;
            }
            if (!snap.started && now - start >= opt.timeout) {
                if (lineOpen) fputc('\n', stderr);
                RtspConnectStatus st = client.connectStatus();
                if (snap.dataSeen)
                    fprintf(stderr,
                            "quorvane-record: video arrived but no parameter sets (%s) within %.0f s; "
                            "nothing was written\n",
                            snap.codec == RtspVideoCodec::H265 ? "VPS" : "SPS", opt.timeout);
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
            // The callback ends the recording at the first frame past the duration; a stream that
            // stalls right then must not keep the recorder waiting.
            if (snap.frames > 0 && opt.duration > 0 && now - snap.startTime >= opt.duration + 0.5) {
                stopReason = "duration reached";
                break;
            }
            if (showProgress && now - lastTick >= progressEvery) {
                RtspStreamInfo info = client.streamInfo();
                RtspStatistics stats = client.statistics();
                double span = now - lastTick;
                char line[256];
                snprintf(line, sizeof(line),
                         "%s%s | frames %" PRIu64 " | %.1f fps | %.0f kbit/s | %s written | lost %" PRIu64
                         " | reconnects %u | %s",
                         codecName(info.codec), sizeText(info).c_str(), snap.frames,
                         (snap.frames - lastFrames) / span, (snap.bytes - lastBytes) * 8 / span / 1000,
                         bytesText(snap.bytes).c_str(), stats.packetsLost, stats.reconnects,
                         elapsedText(now - start).c_str());
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
        files = snap.files;
        if (!flushed && exitCode == kExitOk) {
            fprintf(stderr, "quorvane-record: %s\n", snap.writeError.c_str());
            exitCode = kExitFailure;
        }
        if (stopReason != nullptr && !opt.quiet) {
            RtspStreamInfo info = client.streamInfo();
            RtspStatistics stats = client.statistics();
            // The rate between the first and the last picture written.
            double span = snap.frames > 1 ? snap.lastPictureTime - snap.startTime : 0;
            fprintf(stderr, "quorvane-record: %s: %" PRIu64 " frames of %s%s", stopReason, snap.frames,
                    codecName(info.codec), sizeText(info).c_str());
            std::string where = opt.segment > 0 ? std::to_string(files.size()) + " files" : outputName;
            fprintf(stderr, ", %s to %s in %.1f s (%.1f fps), %" PRIu64 " packets lost, %u reconnects\n",
                    bytesText(snap.bytes).c_str(), where.c_str(), stoppedAt - start,
                    span > 0 ? (snap.frames - 1) / span : 0.0, stats.packetsLost, stats.reconnects);
        }
        if (exitCode != kExitOk && createdFile && snap.bytes == 0) remove(opt.output.c_str());
    }
    if (out != nullptr) fclose(out);
    if (target.fd >= 0) close(target.fd);
    return exitCode;
}
