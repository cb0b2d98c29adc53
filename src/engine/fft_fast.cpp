#include "engine/fft_fast.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "engine/twiddle_sine.h"

#if defined(__SSE2__) || defined(_M_X64)
#include <xmmintrin.h>
#endif

#if defined(__GNUC__) && defined(__x86_64__) && !defined(_MSC_VER)
#define TALMEK_X86_KERNELS 1
#else
#define TALMEK_X86_KERNELS 0
#endif

namespace talmek {

bool kernel_supported(Kernel kernel) {
    switch (kernel) {
        case Kernel::baseline: return true;
#if TALMEK_X86_KERNELS
        case Kernel::avx2: return __builtin_cpu_supports("avx2");
        case Kernel::avx512: return __builtin_cpu_supports("avx512f");
#endif
        default: return false;
    }
}

Kernel best_kernel() {
    if (kernel_supported(Kernel::avx512)) return Kernel::avx512;
    if (kernel_supported(Kernel::avx2)) return Kernel::avx2;
    return Kernel::baseline;
}

namespace {

using ButterflyRun = void (*)(float*, float*, float*, float*, std::int32_t, double, double);

// The butterfly of the plain transform over a run of columns sharing one twiddle factor. The
// product is formed in double and rounded once per component; no operation may be fused. Every
// build of it below compiles this same body, only for wider vector units.
#if defined(__GNUC__)
[[gnu::always_inline]]
#endif
inline void butterfly_body(float* __restrict r1, float* __restrict i1, float* __restrict r2,
                           float* __restrict i2, std::int32_t count, double wr, double wi) {
    for (std::int32_t c = 0; c < count; ++c) {
        const double xr = r2[c];
        const double xi = i2[c];
        const float tr = static_cast<float>(xr * wr - xi * wi);
        const float ti = static_cast<float>(xi * wr + xr * wi);
        r2[c] = r1[c] - tr;
        i2[c] = i1[c] - ti;
        r1[c] = tr + r1[c];
        i1[c] = ti + i1[c];
    }
}

void butterfly_baseline(float* r1, float* i1, float* r2, float* i2, std::int32_t count, double wr, double wi) {
    butterfly_body(r1, i1, r2, i2, count, wr, wi);
}

#if TALMEK_X86_KERNELS
[[gnu::target("avx2")]]
void butterfly_avx2(float* r1, float* i1, float* r2, float* i2, std::int32_t count, double wr, double wi) {
    butterfly_body(r1, i1, r2, i2, count, wr, wi);
}

[[gnu::target("avx512f,prefer-vector-width=512")]]
void butterfly_avx512(float* r1, float* i1, float* r2, float* i2, std::int32_t count, double wr, double wi) {
    butterfly_body(r1, i1, r2, i2, count, wr, wi);
}
#endif

ButterflyRun butterfly_for(Kernel kernel) {
#if TALMEK_X86_KERNELS
    if (kernel == Kernel::avx512) return butterfly_avx512;
    if (kernel == Kernel::avx2) return butterfly_avx2;
#endif
    (void)kernel;
    return butterfly_baseline;
}

std::int32_t reversed_bits(std::int32_t value, std::int32_t bits) {
    std::int32_t out = 0;
    for (std::int32_t b = 0; b < bits; ++b) {
        out = (out << 1) | (value & 1);
        value >>= 1;
    }
    return out;
}

void transpose_scalar(float* plane, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = i + 1; j < n; ++j) std::swap(plane[i * n + j], plane[j * n + i]);
    }
}

#if defined(__SSE2__) || defined(_M_X64)
// The 4x4 block at `from` (rows n apart), transposed.
inline void load_transposed(const float* from, std::size_t n, __m128 (&rows)[4]) {
    for (int r = 0; r < 4; ++r) rows[r] = _mm_loadu_ps(from + r * n);
    _MM_TRANSPOSE4_PS(rows[0], rows[1], rows[2], rows[3]);
}

inline void store_rows(float* to, std::size_t n, const __m128 (&rows)[4]) {
    for (int r = 0; r < 4; ++r) _mm_storeu_ps(to + r * n, rows[r]);
}

// Exchanges the 4x4 blocks at (bi, bj) and (bj, bi), each transposed.
inline void swap_blocks(float* plane, std::size_t n, std::size_t bi, std::size_t bj) {
    float* a = plane + bi * n + bj;
    float* b = plane + bj * n + bi;
    __m128 ra[4];
    load_transposed(a, n, ra);
    if (a == b) return store_rows(a, n, ra);
    __m128 rb[4];
    load_transposed(b, n, rb);
    store_rows(b, n, ra);
    store_rows(a, n, rb);
}

// In-place transposition of a square plane, four by four values at a time, tile by tile so that
// both tiles of a pair stay in cache.
void transpose(float* plane, std::size_t n) {
    if (n < 4) return transpose_scalar(plane, n);
    const std::size_t tile = std::min<std::size_t>(n, 32);
    for (std::size_t ti = 0; ti < n; ti += tile) {
        for (std::size_t tj = ti; tj < n; tj += tile) {
            for (std::size_t bi = ti; bi < ti + tile; bi += 4) {
                for (std::size_t bj = (ti == tj ? bi : tj); bj < tj + tile; bj += 4) swap_blocks(plane, n, bi, bj);
            }
        }
    }
}
#else
void transpose(float* plane, std::size_t n) { transpose_scalar(plane, n); }
#endif

}  // namespace

void pass_twiddles(std::int32_t half, std::int32_t sign, double* wr, double* wi) {
    const double theta = (static_cast<double>(sign) * kTurn) / static_cast<double>(2 * half);
    const double h = twiddle_sine(theta * 0.5);
    const double wpr = (h * -2.0) * h;
    const double wpi = twiddle_sine(theta);
    double r = 1.0;
    double i = 0.0;
    for (std::int32_t m = 0; m < half; ++m) {
        wr[m] = r;
        wi[m] = i;
        const double old_r = r;
        r = r + (r * wpr - i * wpi);
        i = i + (i * wpr + old_r * wpi);
    }
}

SplitGrid::SplitGrid(std::int32_t n, Kernel kernel)
    : n_(n),
      kernel_(kernel_supported(kernel) ? kernel : Kernel::baseline),
      reversed_(static_cast<std::size_t>(n)),
      re_(new float[static_cast<std::size_t>(n) * n]),
      im_(new float[static_cast<std::size_t>(n) * n]),
      twiddle_re_(static_cast<std::size_t>(n)),
      twiddle_im_(static_cast<std::size_t>(n)) {
    std::int32_t bits = 0;
    while ((1 << bits) < n) ++bits;
    for (std::int32_t i = 0; i < n; ++i) reversed_[static_cast<std::size_t>(i)] = reversed_bits(i, bits);
}

void SplitGrid::load_real_transposed(const float* chip, std::int32_t width, std::int32_t height) {
    const auto n = static_cast<std::size_t>(n_);
    std::fill(re(), re() + n * n, 0.0f);
    std::fill(im(), im() + n * n, 0.0f);
    for (std::int32_t y = 0; y < height; ++y) {
        const float* from = chip + static_cast<std::size_t>(y) * width;
        std::copy(from, from + width, re_.get() + static_cast<std::size_t>(reversed_[y]) * n);
    }
}

// Rows i and reversed_[i] exchanged, over the first `columns` columns.
void SplitGrid::reorder_rows(std::int32_t columns) {
    const auto n = static_cast<std::size_t>(n_);
    for (std::size_t i = 0; i < n; ++i) {
        const auto j = static_cast<std::size_t>(reversed_[i]);
        if (i < j) {
            std::swap_ranges(re_.get() + i * n, re_.get() + i * n + columns, re_.get() + j * n);
            std::swap_ranges(im_.get() + i * n, im_.get() + i * n + columns, im_.get() + j * n);
        }
    }
}

// Transposition followed by the reordering of the new rows, which is where the next dimension's
// passes need its elements. Reordering a separate pass costs less than scattering the transposed
// rows directly, which sends every tile's rows to cache sets far apart.
void SplitGrid::transpose_reversed() {
    const auto n = static_cast<std::size_t>(n_);
    transpose(re_.get(), n);
    transpose(im_.get(), n);
    reorder_rows(n_);
}

// The first pass pairs each input row r with row r + n/2 under the twiddle factor (1, 0). Where
// that partner is zero padding (+0) the butterfly's product is +0, so its outputs are the row
// itself and the row plus +0 (which only turns -0 into +0): no product needs to be formed. Where
// both are padding, both stay +0.
void SplitGrid::first_pass_beside_zero_rows(const Region& region) {
    const ButterflyRun run = butterfly_for(kernel_);
    const std::int32_t columns = std::clamp(region.columns, 0, n_);
    for (std::int32_t pos = 0; pos < n_; pos += 2) {
        const std::int32_t row = reversed_[static_cast<std::size_t>(pos)];
        if (row >= region.nonzero_rows) continue;
        float* r1 = re_.get() + static_cast<std::size_t>(pos) * n_;
        float* i1 = im_.get() + static_cast<std::size_t>(pos) * n_;
        float* r2 = r1 + n_;
        float* i2 = i1 + n_;
        if (reversed_[static_cast<std::size_t>(pos) + 1] < region.nonzero_rows) {
            run(r1, i1, r2, i2, columns, 1.0, 0.0);
            continue;
        }
        for (std::int32_t c = 0; c < columns; ++c) {
            r2[c] = r1[c];
            i2[c] = i1[c];
            r1[c] = 0.0f + r1[c];
            i1[c] = 0.0f + i1[c];
        }
    }
}

// The butterfly passes along the row index, rows already reordered. Only butterflies that lead to
// wanted output rows run: after the pass with half-length h, the rows still needed are those
// whose position within a block of 2h lies below the wanted count.
void SplitGrid::passes(std::int32_t sign, const Region& region) {
    const ButterflyRun run = butterfly_for(kernel_);
    const std::int32_t columns = std::clamp(region.columns, 0, n_);
    float* re = re_.get();
    float* im = im_.get();
    double* wr = twiddle_re_.data();
    double* wi = twiddle_im_.data();
    for (std::int32_t half = 1; half < n_; half *= 2) {
        pass_twiddles(half, sign, wr, wi);
        if (half == 1 && region.nonzero_rows < n_) {
            first_pass_beside_zero_rows(region);
            continue;
        }
        const std::int32_t wanted = std::min(half, std::max(region.wanted_rows, 1));
        for (std::int32_t m = 0; m < wanted; ++m) {
            for (std::int32_t block = 0; block < n_; block += 2 * half) {
                const std::size_t k1 = static_cast<std::size_t>(block + m) * n_;
                const std::size_t k2 = k1 + static_cast<std::size_t>(half) * n_;
                run(re + k1, im + k1, re + k2, im + k2, columns, wr[m], wi[m]);
            }
        }
    }
}

void SplitGrid::transform(std::int32_t sign, Layout input) { transform(sign, input, whole(), whole()); }

void SplitGrid::transform(std::int32_t sign, Layout input, const Region& first, const Region& second) {
    // The contiguous index b is transformed first: it must run along the rows, in reversed order.
    switch (input) {
        case Layout::natural: transpose_reversed(); break;
        case Layout::transposed: reorder_rows(std::clamp(first.columns, 0, n_)); break;
        case Layout::transposed_reversed: break;
    }
    passes(sign, first);
    transpose_reversed();
    passes(sign, second);
}

}  // namespace talmek
