#include "utils/slog.h"

#include <atomic>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>

#include "rtsp_log.h"

namespace {
constexpr const char* kLogPath = "/var/log/qel.werr";
constexpr const char* kLastLogPath = "/var/log/qel_last.werr";

// Every thread of the library may log a warning at the same moment; the stream itself is not
// safe for concurrent writers, so its writes are serialised here.
std::mutex& fileMutex() {
    static std::mutex m;
    return m;
}

// Process-wide and never destroyed: receive threads of clients still enabled at exit may log
// while static objects are destroyed.
struct Output {
    std::atomic<int> minimum{static_cast<int>(RtspLogLevel::Warning)};
    std::mutex sinkMutex;  // guards sink; held only to copy or replace it
    std::shared_ptr<const RtspLogSink> sink;
};
Output& output() {
    static Output* o = new Output();
    return *o;
}

std::shared_ptr<const RtspLogSink> currentSink() {
    Output& o = output();
    std::lock_guard<std::mutex> lock(o.sinkMutex);
    return o.sink;
}

// The level of a line from its stream and its form ("[%s] E/: ..." is an error).
RtspLogLevel levelOf(FILE* stream, const char* fmt) {
    if (stream != stderr || strncmp(fmt, "[%s] D/", 7) == 0) return RtspLogLevel::Debug;
    return strncmp(fmt, "[%s] E/", 7) == 0 ? RtspLogLevel::Error : RtspLogLevel::Warning;
}
}  // namespace

void setRtspLogSink(RtspLogSink sink) {
    std::shared_ptr<const RtspLogSink> next;
    if (sink) next = std::make_shared<const RtspLogSink>(std::move(sink));
    Output& o = output();
    std::lock_guard<std::mutex> lock(o.sinkMutex);
    o.sink.swap(next);
}

void setRtspLogLevel(RtspLogLevel minimum) {
    output().minimum.store(static_cast<int>(minimum));
}

RtspLogLevel rtspLogLevel() {
    return static_cast<RtspLogLevel>(output().minimum.load());
}

bool SLog::debugEnabled() {
    return output().minimum.load(std::memory_order_relaxed) <= static_cast<int>(RtspLogLevel::Debug);
}

bool SLog::isEnable = true;
std::ofstream SLog::logStm;

void SLog::setEnable(bool enable) {
    isEnable = enable;
}

std::string SLog::getLogTime() {
    char buf[24] = {0};
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    strftime(buf, sizeof(buf), "%Y/%m/%d %X", &local);
    return std::string(buf);
}

void SLog::print_log(FILE* stream, const char* fmt, ...) {
    const RtspLogLevel level = levelOf(stream, fmt);
    if (static_cast<int>(level) < output().minimum.load(std::memory_order_relaxed)) return;
    va_list args;
    va_start(args, fmt);
    va_list copy;
    va_copy(copy, args);
    if (std::shared_ptr<const RtspLogSink> sink = currentSink()) {
        va_list measure;
        va_copy(measure, args);
        const int length = vsnprintf(nullptr, 0, fmt, measure);
        va_end(measure);
        if (length >= 0) {
            std::string line(static_cast<size_t>(length) + 1, '\0');
            vsnprintf(&line[0], line.size(), fmt, args);
            line.resize(static_cast<size_t>(length));
            (*sink)(level, line);
        }
    } else if (isEnable) {
        vfprintf(stderr, fmt, args);  // never standard output: it belongs to the application
    }
    if (level != RtspLogLevel::Debug) {
        char buf[1024];
        memset(buf, 0, sizeof(buf));
        vsnprintf(buf, sizeof(buf), fmt, copy);
        writeToFile(std::string(buf));
    }
    va_end(copy);
    va_end(args);
}

void SLog::writeToFile(std::string text) {
    std::lock_guard<std::mutex> lock(fileMutex());
    if (!logStm.is_open()) return;
    logStm << text;
    logStm.flush();
}

void SLog::createNewLog() {
    std::lock_guard<std::mutex> lock(fileMutex());
    if (logStm.is_open()) logStm.close();
    logStm.clear();
    logStm.open(kLogPath, std::ios::out | std::ios::trunc);
    if (logStm.is_open()) logStm.clear();
}

int SLog::saveLastLog() {
    return rename(kLogPath, kLastLogPath) == 0 ? 0 : -1;
}

void SLog::dumpData(const unsigned char* data, unsigned long len) {
    if (!debugEnabled()) return;
    SLOGD("dump data: \n");
    // The rows go where the debug lines go: the sink gets them as one line, else standard error.
    std::string rows;
    char hex[4];
    if (len == 0) rows += "\n";
    unsigned char row[16];
    for (unsigned long i = 0; i < len; ++i) {
        snprintf(hex, sizeof(hex), "%02x ", data[i]);
        rows += hex;
        row[i % 16] = data[i];
        bool rowFull = (i % 16) == 15;
        bool last = i == len - 1;
        if (!rowFull && !last) continue;
        unsigned long inRow = i % 16 + 1;
        if (last && len % 16 != 0) rows.append(3 * (16 - len % 16), ' ');
        rows += "\t";
        for (unsigned long k = 0; k < inRow; ++k)
            rows += static_cast<char>(row[k] >= 0x20 && row[k] <= 0x7e ? row[k] : '.');
        rows += "\n";
    }
    if (len != 0) rows += "\n";
    if (std::shared_ptr<const RtspLogSink> sink = currentSink())
        (*sink)(RtspLogLevel::Debug, rows);
    else if (isEnable)
        fputs(rows.c_str(), stderr);
}

const char* SLog::baseName(const char* path) {
    const char* slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

const char* SLog::logPath() {
    return kLogPath;
}
const char* SLog::lastLogPath() {
    return kLastLogPath;
}
