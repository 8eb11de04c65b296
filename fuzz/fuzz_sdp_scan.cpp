// Differential: the SDP line scanner against the three std::regex expressions it replaced, on
// every line (up to 4 KB) of the input. Any difference in match or groups aborts.
#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/fuzz_check.h"
#include "testkit/sdp_regex_reference.h"
#include "utils/sdp_scan_internal.h"

using fuzz::check;

namespace {
void compare(const std::string& line) {
    std::string a1, a2, a3, b1, b2, b3;
    bool scan = sdp_scan::media(line, &a1);
    check(scan == testkit::regexMedia(line, &b1) && (!scan || a1 == b1));
    scan = sdp_scan::rtpmap(line, &a1, &a2, &a3);
    check(scan == testkit::regexRtpmap(line, &b1, &b2, &b3) && (!scan || (a1 == b1 && a2 == b2 && a3 == b3)));
    scan = sdp_scan::control(line, &a1);
    check(scan == testkit::regexControl(line, &b1) && (!scan || a1 == b1));
}

struct Input {
    const uint8_t* data;
    size_t size;
};

// std::regex recurses once per character: a 4 KB line needs more stack than the main thread's
// under the sanitizers, so the comparison runs on a thread with a large one.
void* compareLines(void* arg) {
    const Input& in = *static_cast<const Input*>(arg);
    std::string text(reinterpret_cast<const char*>(in.data), in.size < 4096 ? in.size : 4096);
    size_t from = 0;
    while (from <= text.size()) {
        size_t end = text.find_first_of("\r\n", from);
        if (end == std::string::npos) end = text.size();
        compare(text.substr(from, end - from));
        from = end + 1;
    }
    return nullptr;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in{data, size};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 512u << 20);
    pthread_t thread;
    check(pthread_create(&thread, &attr, compareLines, &in) == 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
    return 0;
}
