#include "testsupport/plain_fft.h"

#include <utility>

#include "engine/twiddle_sine.h"

namespace talmek {

namespace {

// Positions below count floats from 1, as the reordering and butterfly index arithmetic expects.
struct Positions {
    float* data;
    float& operator()(std::int32_t pos) const { return data[pos - 1]; }
};

// The strides of one dimension: s1 between neighbours, s2 over the whole extent, s3 over the array.
struct Strides {
    std::int32_t s1, s2, s3;
};

void reorder_bit_reversed(Positions d, Strides s) {
    std::int32_t rev = 1;
    for (std::int32_t i2 = 1; i2 <= s.s2; i2 += s.s1) {
        if (i2 < rev) {
            for (std::int32_t i1 = i2; i1 <= i2 + s.s1 - 2; i1 += 2) {
                for (std::int32_t i3 = i1; i3 <= s.s3; i3 += s.s2) {
                    const std::int32_t j = rev + i3 - i2;
                    std::swap(d(i3), d(j));
                    std::swap(d(i3 + 1), d(j + 1));
                }
            }
        }
        std::int32_t bit = s.s2 >> 1;
        while (bit >= s.s1 && rev > bit) {
            rev -= bit;
            bit >>= 1;
        }
        rev += bit;
    }
}

// One Danielson-Lanczos butterfly; the twiddle product is formed in double, rounded once.
inline void butterfly(Positions d, std::int32_t k1, std::int32_t k2, double wr, double wi) {
    const float tr = static_cast<float>(static_cast<double>(d(k2)) * wr -
                                        static_cast<double>(d(k2 + 1)) * wi);
    const float ti = static_cast<float>(static_cast<double>(d(k2 + 1)) * wr +
                                        static_cast<double>(d(k2)) * wi);
    d(k2) = d(k1) - tr;
    d(k2 + 1) = d(k1 + 1) - ti;
    d(k1) = tr + d(k1);
    d(k1 + 1) = ti + d(k1 + 1);
}

void butterfly_passes(Positions d, Strides s, std::int32_t sign) {
    for (std::int32_t len = s.s1; len < s.s2; len *= 2) {
        const std::int32_t step = 2 * len;
        const double theta = (static_cast<double>(sign) * kTurn) / static_cast<double>(step / s.s1);
        const double h = twiddle_sine(theta * 0.5);
        const double wpr = (h * -2.0) * h;
        const double wpi = twiddle_sine(theta);
        double wr = 1.0;
        double wi = 0.0;
        for (std::int32_t i3 = 1; i3 <= len; i3 += s.s1) {
            for (std::int32_t i1 = i3; i1 <= i3 + s.s1 - 2; i1 += 2) {
                for (std::int32_t i2 = i1; i2 <= s.s3; i2 += step) butterfly(d, i2, i2 + len, wr, wi);
            }
            const double old_wr = wr;
            wr = wr + (wr * wpr - wi * wpi);
            wi = wi + (wi * wpr + old_wr * wpi);
        }
    }
}

}  // namespace

bool is_power_of_two(std::int32_t n) { return n > 0 && (n & (n - 1)) == 0; }

bool fft2d(float* data, const std::int32_t dims[2], std::int32_t sign) {
    if (!is_power_of_two(dims[0]) || !is_power_of_two(dims[1])) return false;
    if (static_cast<std::int64_t>(dims[0]) * dims[1] > (std::int64_t{1} << 29)) return false;
    const Positions d{data};
    const std::int32_t total = dims[0] * dims[1];
    std::int32_t prev = 1;
    // The contiguous (second) dimension is transformed first.
    for (int dim = 1; dim >= 0; --dim) {
        const std::int32_t n = dims[dim];
        const std::int32_t rem = total / (n * prev);
        const std::int32_t s1 = 2 * prev;
        const std::int32_t s2 = s1 * n;
        const Strides s{s1, s2, s2 * rem};
        reorder_bit_reversed(d, s);
        butterfly_passes(d, s, sign);
        prev *= n;
    }
    return true;
}

}  // namespace talmek
