// The head of a server's answer to the HTTP tunnel's GET, as the relay reads it: growing prefixes
// of the input. Checks: a status only from three digits behind "HTTP/1.x "; a head that ends with
// an empty line inside what has arrived and within the limit; once decided, the answer is the same
// however many bytes follow; NeedMore only while the limit is not reached.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_check.h"
#include "utils/http_tunnel_internal.h"

using fuzz::check;
using tunnel_internal::HttpAnswer;
using tunnel_internal::parseHttpAnswer;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    HttpAnswer decided;
    for (size_t n = 0; n <= size; ++n) {
        const HttpAnswer a = parseHttpAnswer(data, n);
        if (a.result == HttpAnswer::Result::NeedMore) {
            check(decided.result == HttpAnswer::Result::NeedMore && n < tunnel_internal::kMaxHttpAnswerBytes);
            continue;
        }
        if (decided.result != HttpAnswer::Result::NeedMore) {
            check(a.result == decided.result && a.length == decided.length && a.status == decided.status);
            continue;
        }
        decided = a;
        if (a.result == HttpAnswer::Result::Invalid) continue;
        check(a.length >= 14 && a.length <= n && a.length <= tunnel_internal::kMaxHttpAnswerBytes);
        check(data[a.length - 1] == '\n' && a.status >= 0 && a.status <= 999);
        check((a.result == HttpAnswer::Result::Ok) == (a.status >= 200 && a.status < 300));
    }
    return 0;
}
