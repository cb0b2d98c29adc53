// Compares the engine's log_float with the C library's logf on every float from 1 up to the
// largest finite one, on infinity and on NaNs, and prints the number of differing results.
// Built and run by tools/check_log_float.sh.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>

#include "engine/log_float.h"

namespace {

std::uint32_t bits_of(float x) { return std::bit_cast<std::uint32_t>(x); }
float float_of(std::uint32_t u) { return std::bit_cast<float>(u); }

// Equal bits, or both NaN.
bool same(float a, float b) { return bits_of(a) == bits_of(b) || (std::isnan(a) && std::isnan(b)); }

}  // namespace

int main() {
    const std::uint32_t first = bits_of(1.0f);
    const std::uint32_t last = bits_of(3.40282347e38f);  // the largest finite float
    std::uint64_t checked = 0;
    std::uint64_t differing = 0;
    for (std::uint32_t u = first;; ++u) {
        const float x = float_of(u);
        const float want = ::logf(x);
        const float got = talmek::log_float(x);
        ++checked;
        if (!same(got, want)) {
            if (++differing <= 10) std::printf("differs at %a: logf %a, log_float %a\n", x, want, got);
        }
        if (u == last) break;
    }
    const std::uint32_t specials[] = {0x7f800000u, 0x7fc00000u, 0xffc00000u, 0x7f800001u, 0x7fffffffu};
    for (std::uint32_t u : specials) {
        const float x = float_of(u);
        ++checked;
        if (!same(talmek::log_float(x), ::logf(x))) {
            ++differing;
            std::printf("differs at bits %08x\n", static_cast<unsigned>(u));
        }
    }
    std::printf("log_float against logf: %llu floats from 0x1p+0 to %a, infinity and 4 NaNs: %llu differences\n",
                static_cast<unsigned long long>(checked), float_of(last), static_cast<unsigned long long>(differing));
    return differing == 0 ? 0 : 1;
}
