#include "engine/twiddle_sine.h"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace talmek {

namespace {

constexpr std::uint64_t kStored[] = {
#include "engine/twiddle_sine_values.inc"
};
constexpr int kCount = static_cast<int>(sizeof kStored / sizeof kStored[0]);

double double_of(std::uint64_t u) {
    double x;
    std::memcpy(&x, &u, sizeof x);
    return x;
}

std::uint64_t bits_of(double x) {
    std::uint64_t u;
    std::memcpy(&u, &x, sizeof u);
    return u;
}

// j when |theta| is exactly kTurn / 2^j for a stored j, else 0.
int turn_fraction(double theta) {
    int turn_exponent = 0;
    int exponent = 0;
    const double turn_mantissa = std::frexp(kTurn, &turn_exponent);
    if (std::frexp(std::fabs(theta), &exponent) != turn_mantissa) return 0;
    const int j = turn_exponent - exponent;
    return j >= 1 && j <= kCount ? j : 0;
}

}  // namespace

int twiddle_sine_count() { return kCount; }

double stored_twiddle_sine(int j) { return j >= 1 && j <= kCount ? double_of(kStored[j - 1]) : std::nan(""); }

double twiddle_sine(double theta, SineFunction platform) {
    const double s = platform(theta);
    const int j = turn_fraction(theta);
    if (j == 0) return s;
    // The correctly rounded sine of -x is that of x negated.
    const double want = theta < 0.0 ? -stored_twiddle_sine(j) : stored_twiddle_sine(j);
    return bits_of(s) == bits_of(want) ? s : want;
}

double twiddle_sine(double theta) {
    return twiddle_sine(theta, [](double x) { return std::sin(x); });
}

}  // namespace talmek
