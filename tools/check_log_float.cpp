// Compares the engine's log_float with the C library's logf on every float from 1 up to the
// largest finite one, on infinity and on NaNs, and prints the number of differing results.
// Built and run by tools/check_log_float.sh.
//
//   check_log_float --digest STEP [libc]
//       instead prints a digest of the results on every STEP-th of those floats (and the special
//       ones), of log_float or of the C library's logf: a build for another platform (run under
//       emulation by `make crosscheck`) must give the digest of glibc's logf on x86-64.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/log_float.h"

namespace {

std::uint32_t bits_of(float x) { return std::bit_cast<std::uint32_t>(x); }
float float_of(std::uint32_t u) { return std::bit_cast<float>(u); }

// Equal bits, or both NaN.
bool same(float a, float b) { return bits_of(a) == bits_of(b) || (std::isnan(a) && std::isnan(b)); }

constexpr std::uint32_t kFirst = 0x3f800000u;  // 1
constexpr std::uint32_t kLast = 0x7f7fffffu;   // the largest finite float
constexpr std::uint32_t kSpecials[] = {0x7f800000u, 0x7fc00000u, 0xffc00000u, 0x7f800001u, 0x7fffffffu};

// 64-bit FNV-1a over the results' bits, every NaN counted as one pattern.
template <typename F>
std::uint64_t digest(F f, std::uint32_t step) {
    std::uint64_t h = 0xcbf29ce484222325ull;
    const auto add = [&h](float y) {
        const std::uint32_t b = std::isnan(y) ? 0x7fc00000u : bits_of(y);
        for (int k = 0; k < 4; ++k) h = (h ^ ((b >> (8 * k)) & 0xffu)) * 0x100000001b3ull;
    };
    for (std::uint32_t u = kFirst; u <= kLast && u >= kFirst; u += step) add(f(float_of(u)));
    for (std::uint32_t u : kSpecials) add(f(float_of(u)));
    return h;
}

int print_digest(std::uint32_t step, bool libc) {
    if (step == 0) return 2;
    const std::uint64_t h = libc ? digest([](float x) { return ::logf(x); }, step) : digest(talmek::log_float, step);
    std::printf("digest of %s on the floats from 1 up, %u bit patterns apart, infinity and NaNs: %016llx\n",
                libc ? "the C library's logf" : "log_float", static_cast<unsigned>(step),
                static_cast<unsigned long long>(h));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "--digest") == 0) {
        const auto step = static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10));
        return print_digest(step, argc >= 4 && std::strcmp(argv[3], "libc") == 0);
    }
    const std::uint32_t first = kFirst;
    const std::uint32_t last = kLast;
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
    for (std::uint32_t u : kSpecials) {
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
