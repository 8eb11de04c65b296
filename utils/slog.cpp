#include "utils/slog.h"

#include <cstdarg>
#include <cstring>
#include <ctime>
#include <mutex>

namespace {
constexpr const char* kLogPath = "/var/log/qel.werr";
constexpr const char* kLastLogPath = "/var/log/qel_last.werr";

// Every thread of the library may log a warning at the same moment; the stream itself is not
// safe for concurrent writers, so its writes are serialised here.
std::mutex& fileMutex() {
    static std::mutex m;
    return m;
}
}  // namespace

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
    va_list args;
    va_start(args, fmt);
    va_list copy;
    va_copy(copy, args);
    if (isEnable) vfprintf(stream, fmt, args);
    if (stream == stderr) {
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
    SLOGD("dump data: \n");
    if (len == 0) {
        printf("\n");
        return;
    }
    unsigned char row[16];
    for (unsigned long i = 0; i < len; ++i) {
        printf("%02x ", data[i]);
        row[i % 16] = data[i];
        bool rowFull = (i % 16) == 15;
        bool last = i == len - 1;
        if (!rowFull && !last) continue;
        unsigned long inRow = i % 16 + 1;
        if (last && len % 16 != 0) {
            for (unsigned long k = 0; k < 16 - len % 16; ++k) printf("   ");
        }
        printf("\t");
        for (unsigned long k = 0; k < inRow; ++k) putchar(row[k] >= 0x20 && row[k] <= 0x7e ? row[k] : '.');
        printf("\n");
    }
    printf("\n");
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
