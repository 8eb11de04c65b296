#ifndef QUORVANE_UTILS_SLOG_H
#define QUORVANE_UTILS_SLOG_H

#include <cstdio>
#include <fstream>
#include <string>

#include "../quorvane_export.h"

// The library's one log channel. Lines go to the application's sink (rtsp_log.h) or else to
// standard error, never to standard output, and are dropped below the minimum level (debug lines
// are off by default). Warnings and errors also go into "/var/log/qel.werr" while it is open.
class QUORVANE_EXPORT SLog {
public:
    static bool isEnable;
    static std::ofstream logStm;

    static void setEnable(bool enable);
    static std::string getLogTime();
    static void print_log(FILE* stream, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    static void writeToFile(std::string text);
    static void createNewLog();
    static int saveLastLog();
    static void dumpData(const unsigned char* data, unsigned long len);
    // Whether debug lines are written at all; SLOGD formats nothing otherwise.
    static bool debugEnabled();

    // The last component of a source path, as the standard base-name function gives it.
    static const char* baseName(const char* path);

    // Where the log file lives; fixed for the library, exposed for tests of the file copy.
    static const char* logPath();
    static const char* lastLogPath();
};

#define SLOGD(fmt, ...)                                                                        \
    (SLog::debugEnabled()                                                                      \
         ? SLog::print_log(stderr, "[%s] D/: " fmt, SLog::getLogTime().c_str(), ##__VA_ARGS__) \
         : void())
#define SLOGW(fmt, ...)                                                                               \
    SLog::print_log(stderr, "[%s] W/: (%s in %s:%d): " fmt, SLog::getLogTime().c_str(), __FUNCTION__, \
                    SLog::baseName(__FILE__), __LINE__, ##__VA_ARGS__)
#define SLOGE(fmt, ...)                                                                               \
    SLog::print_log(stderr, "[%s] E/: (%s in %s:%d): " fmt, SLog::getLogTime().c_str(), __FUNCTION__, \
                    SLog::baseName(__FILE__), __LINE__, ##__VA_ARGS__)

#endif
