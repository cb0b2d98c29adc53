#include "engine/log_float.h"

#include <cstdint>
#include <cstring>
#include <limits>

// The build turns contraction off for the whole engine; here the result depends on it directly.
#if defined(__clang__)
#pragma STDC FP_CONTRACT OFF
#elif defined(_MSC_VER)
#pragma fp_contract(off)
#endif

namespace talmek {

namespace {

std::uint32_t bits_of(float x) {
    std::uint32_t u;
    std::memcpy(&u, &x, sizeof u);
    return u;
}

float float_of(std::uint32_t u) {
    float x;
    std::memcpy(&x, &u, sizeof x);
    return x;
}

// The argument is written x = 2^k z with z in [kOff, 2 kOff) (kOff = 0x1.66p-1, about 0.7), so
// that log z stays small both sides of 1. That range is cut into 16 equal parts by the top four
// mantissa bits of z; part i has a centre c_i, stored as 1/c_i and log c_i, both rounded to
// double. Then log x = log1p(z/c_i - 1) + log c_i + k ln 2, with |z/c_i - 1| < 1/32 or so.
constexpr std::uint32_t kOff = 0x3f330000;
constexpr int kTableBits = 4;

struct Centre {
    double invc;
    double logc;
};

constexpr Centre kCentres[1 << kTableBits] = {
    {0x1.661ec79f8f3bep+0, -0x1.57bf7808caadep-2},
    {0x1.571ed4aaf883dp+0, -0x1.2bef0a7c06ddbp-2},
    {0x1.49539f0f010bp+0, -0x1.01eae7f513a67p-2},
    {0x1.3c995b0b80385p+0, -0x1.b31d8a68224e9p-3},
    {0x1.30d190c8864a5p+0, -0x1.6574f0ac07758p-3},
    {0x1.25e227b0b8eap+0, -0x1.1aa2bc79c81p-3},
    {0x1.1bb4a4a1a343fp+0, -0x1.a4e76ce8c0e5ep-4},
    {0x1.12358f08ae5bap+0, -0x1.1973c5a611cccp-4},
    {0x1.0953f419900a7p+0, -0x1.252f438e10c1ep-5},
    {0x1p+0, 0x0p+0},
    {0x1.e608cfd9a47acp-1, 0x1.aa5aa5df25984p-5},
    {0x1.ca4b31f026aap-1, 0x1.c5e53aa362eb4p-4},
    {0x1.b2036576afce6p-1, 0x1.526e57720db08p-3},
    {0x1.9c2d163a1aa2dp-1, 0x1.bc2860d22477p-3},
    {0x1.886e6037841edp-1, 0x1.1058bc8a07ee1p-2},
    {0x1.767dcf5534862p-1, 0x1.4043057b6ee09p-2},
};

constexpr double kLn2 = 0x1.62e42fefa39efp-1;
// log1p(r) ~ r + kR2 r^2 + kR3 r^3 + kR4 r^4 on the reduced range.
constexpr double kR4 = -0x1.00ea348b88334p-2;
constexpr double kR3 = 0x1.5575b0be00b6ap-2;
constexpr double kR2 = -0x1.ffffef20a4123p-2;

}  // namespace

float log_float(float x) {
    std::uint32_t ix = bits_of(x);
    if (ix == 0x3f800000) return 0.0f;
    // Below the smallest normal (zero, subnormals and every negative), infinity and NaN.
    if (ix - 0x00800000u >= 0x7f800000u - 0x00800000u) {
        if ((ix << 1) == 0) return -std::numeric_limits<float>::infinity();
        if (ix == 0x7f800000) return x;
        // A NaN stays itself (quietened); anything negative has none: 0/0.
        if ((ix & 0x80000000u) != 0 || (ix << 1) >= 0xff000000u) return (x - x) / (x - x);
        // A subnormal: scaled up to a normal float, exponent taken back by 23.
        ix = bits_of(x * 0x1p23f);
        ix -= 23u << 23;
    }
    const std::uint32_t tmp = ix - kOff;
    const int i = static_cast<int>((tmp >> (23 - kTableBits)) % (1u << kTableBits));
    // Arithmetic shift of the signed difference: k may be negative.
    const int k = static_cast<std::int32_t>(tmp) >> 23;
    const std::uint32_t iz = ix - (tmp & 0xff800000u);
    const double invc = kCentres[i].invc;
    const double logc = kCentres[i].logc;
    const double z = static_cast<double>(float_of(iz));

    const double r = z * invc - 1.0;
    const double y0 = logc + static_cast<double>(k) * kLn2;
    const double r2 = r * r;
    // (kR4 r^2 + kR3 r + kR2) r^2 + (y0 + r), in this order.
    double y = kR3 * r + kR2;
    y = kR4 * r2 + y;
    y = y * r2 + (y0 + r);
    return static_cast<float>(y);
}

}  // namespace talmek
