#include "engine/fft_fast.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <stdexcept>
#include <utility>

#include "engine/twiddle_sine.h"

#if defined(__SSE2__) || defined(_M_X64)
#include <xmmintrin.h>
#endif

#if defined(__GNUC__) && defined(__x86_64__) && !defined(_MSC_VER)
#define TALMEK_X86_KERNELS 1
#include <immintrin.h>
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

const char* kernel_name(Kernel kernel) {
    switch (kernel) {
        case Kernel::avx2: return "avx2";
        case Kernel::avx512: return "avx512";
        default: return "baseline";
    }
}

std::optional<Kernel> kernel_named(const std::string& name) {
    for (const Kernel k : kKernels) {
        if (name == kernel_name(k)) return k;
    }
    return std::nullopt;
}

namespace {

// What detail::force_fft set, as the enumerators' values, -1 for none. Atomic: transforms on other
// threads read it while a test may set it.
std::atomic<int> forced_kernel_code{-1};
std::atomic<int> forced_schedule_code{-1};

Kernel widest_kernel() {
    static const Kernel widest = [] {
        if (kernel_supported(Kernel::avx512)) return Kernel::avx512;
        if (kernel_supported(Kernel::avx2)) return Kernel::avx2;
        return Kernel::baseline;
    }();
    return widest;
}

}  // namespace

namespace detail {

void force_fft(std::optional<Kernel> kernel, std::optional<Schedule> schedule) {
    if (kernel && !kernel_supported(*kernel)) {
        std::string runs;
        for (const Kernel k : kKernels) {
            if (kernel_supported(k)) runs += std::string(runs.empty() ? "" : ", ") + kernel_name(k);
        }
        throw std::invalid_argument(std::string("the kernel build '") + kernel_name(*kernel) +
                                    "' does not run on this processor (it runs: " + runs + ")");
    }
    forced_kernel_code.store(kernel ? static_cast<int>(*kernel) : -1);
    forced_schedule_code.store(schedule ? static_cast<int>(*schedule) : -1);
}

std::optional<Kernel> forced_kernel() {
    const int code = forced_kernel_code.load();
    if (code < 0) return std::nullopt;
    return static_cast<Kernel>(code);
}

std::optional<Schedule> forced_schedule() {
    const int code = forced_schedule_code.load();
    if (code < 0) return std::nullopt;
    return static_cast<Schedule>(code);
}

}  // namespace detail

Kernel best_kernel() { return detail::forced_kernel().value_or(widest_kernel()); }

namespace {

#if defined(__GNUC__)
#define TALMEK_ALWAYS_INLINE [[gnu::always_inline]] inline
#else
#define TALMEK_ALWAYS_INLINE inline
#endif

// The butterfly of the plain transform on one column: the product is formed in double and rounded
// once per component; no operation may be fused.
TALMEK_ALWAYS_INLINE void butterfly(float& ar, float& ai, float& br, float& bi, double wr, double wi) {
    const double xr = br;
    const double xi = bi;
    const float tr = static_cast<float>(xr * wr - xi * wi);
    const float ti = static_cast<float>(xi * wr + xr * wi);
    br = ar - tr;
    bi = ai - ti;
    ar = tr + ar;
    ai = ti + ai;
}

// The same butterfly under the twiddle factor (1, 0) that every pass's first group has exactly.
// In double, x * 1.0 is x and y * 0.0 is a zero signed as y (or NaN for an infinite or NaN y),
// exactly as y * 0.0f is in float; their sum or difference is x or a signed zero (or that NaN),
// which float holds exactly, so rounding it once gives the bits of the float operations below.
TALMEK_ALWAYS_INLINE void unit_butterfly(float& ar, float& ai, float& br, float& bi) {
    const float tr = br - bi * 0.0f;
    const float ti = bi + br * 0.0f;
    br = ar - tr;
    bi = ai - ti;
    ar = tr + ar;
    ai = ti + ai;
}

// One pass's butterflies over a run of columns that share a twiddle factor; rows r1 and r2 of
// both planes. Every build of a kernel below compiles these same bodies for its vector unit.
TALMEK_ALWAYS_INLINE void radix2_body(float* __restrict r1, float* __restrict i1, float* __restrict r2,
                                      float* __restrict i2, std::int32_t count, double wr, double wi) {
    for (std::int32_t c = 0; c < count; ++c) {
        float a = r1[c], b = i1[c], x = r2[c], y = i2[c];
        butterfly(a, b, x, y, wr, wi);
        r1[c] = a;
        i1[c] = b;
        r2[c] = x;
        i2[c] = y;
    }
}

TALMEK_ALWAYS_INLINE void radix2_unit_body(float* __restrict r1, float* __restrict i1, float* __restrict r2,
                                           float* __restrict i2, std::int32_t count) {
    for (std::int32_t c = 0; c < count; ++c) {
        float a = r1[c], b = i1[c], x = r2[c], y = i2[c];
        unit_butterfly(a, b, x, y);
        r1[c] = a;
        i1[c] = b;
        r2[c] = x;
        i2[c] = y;
    }
}

// Two passes in one sweep: rows 0..3 at k, k + h, k + 2h, k + 3h (group m of a block of 4h). The
// pass of half-length h pairs (0, 1) and (2, 3) under its factor m, w[0..1]; the next pass pairs
// (0, 2) under its factor m, w[2..3], and (1, 3) under its factor m + h, w[4..5]. Each value meets
// the same butterflies in the same order as pass after pass, without going back to memory between
// them. Unit: group 0, where the first three factors are (1, 0). Without `both`, the pair (1, 3)
// of the second pass is not wanted and not formed.
template <bool Unit, bool Both>
TALMEK_ALWAYS_INLINE void radix4_body(float* __restrict r0, float* __restrict i0, float* __restrict r1,
                                      float* __restrict i1, float* __restrict r2, float* __restrict i2,
                                      float* __restrict r3, float* __restrict i3, std::int32_t count,
                                      const double* w) {
    const double w1r = w[0], w1i = w[1], w2r = w[2], w2i = w[3], w3r = w[4], w3i = w[5];
    for (std::int32_t c = 0; c < count; ++c) {
        float a0 = r0[c], b0 = i0[c], a1 = r1[c], b1 = i1[c];
        float a2 = r2[c], b2 = i2[c], a3 = r3[c], b3 = i3[c];
        if constexpr (Unit) {
            unit_butterfly(a0, b0, a1, b1);
            unit_butterfly(a2, b2, a3, b3);
            unit_butterfly(a0, b0, a2, b2);
        } else {
            butterfly(a0, b0, a1, b1, w1r, w1i);
            butterfly(a2, b2, a3, b3, w1r, w1i);
            butterfly(a0, b0, a2, b2, w2r, w2i);
        }
        if constexpr (Both) butterfly(a1, b1, a3, b3, w3r, w3i);
        r0[c] = a0;
        i0[c] = b0;
        r1[c] = a1;
        i1[c] = b1;
        r2[c] = a2;
        i2[c] = b2;
        r3[c] = a3;
        i3[c] = b3;
    }
}

#if TALMEK_X86_KERNELS
// GCC 12's own conversion intrinsics start from an undefined register, which -Wmaybe-uninitialized
// takes for a fault of the caller.
#if !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
// The AVX-512 and AVX2 builds of radix4_body and radix2_body, written out. Float sums stay in
// registers half the width of the double products (8 columns in 256-bit and 512-bit registers, or
// 4 in 128-bit and 256-bit ones), so that each conversion maps one register onto one register and
// no lanes need shuffling; the compiler's version of the loops above converts through extracted
// and inserted halves. The operations per column are the same. Several groups of columns go
// through each step together: one group's passes form a chain of dependent conversions, products
// and sums longer than the processor overlaps on its own, and independent groups side by side
// fill the gaps.
#define TALMEK_LANE_BUTTERFLIES(TARGET, F, D, CVT_IN, CVT_OUT, MUL_D, ADD_D, SUB_D, MUL_F, ADD_F, SUB_F, ZERO_F) \
    TARGET inline void butterfly_lanes(F& ar, F& ai, F& br, F& bi, D wr, D wi) {                               \
        const D xr = CVT_IN(br);                                                                               \
        const D xi = CVT_IN(bi);                                                                               \
        const F tr = CVT_OUT(SUB_D(MUL_D(xr, wr), MUL_D(xi, wi)));                                            \
        const F ti = CVT_OUT(ADD_D(MUL_D(xi, wr), MUL_D(xr, wi)));                                            \
        br = SUB_F(ar, tr);                                                                                    \
        bi = SUB_F(ai, ti);                                                                                    \
        ar = ADD_F(tr, ar);                                                                                    \
        ai = ADD_F(ti, ai);                                                                                    \
    }                                                                                                          \
    TARGET inline void unit_butterfly_lanes(F& ar, F& ai, F& br, F& bi) {                                      \
        const F zero = ZERO_F();                                                                               \
        const F tr = SUB_F(br, MUL_F(bi, zero));                                                               \
        const F ti = ADD_F(bi, MUL_F(br, zero));                                                               \
        br = SUB_F(ar, tr);                                                                                    \
        bi = SUB_F(ai, ti);                                                                                    \
        ar = ADD_F(tr, ar);                                                                                    \
        ai = ADD_F(ti, ai);                                                                                    \
    }

// Two passes over rows r[0..3], i[0..3] (radix4_body's arrangement), and one pass over two rows
// under one twiddle factor (radix2_body's), G groups of LANES columns at once from column c.
#define TALMEK_LANE_KERNELS(TARGET, F, D, LANES, LOAD, STORE, SET1)                                              \
    template <int G, bool Unit, bool Both>                                                                     \
    TARGET TALMEK_ALWAYS_INLINE void radix4_groups(float* const (&r)[4], float* const (&i)[4], std::int32_t c, \
                                                   const D (&w)[6]) {                                          \
        F a[G][4], b[G][4];                                                                                    \
        for (int k = 0; k < 4; ++k) {                                                                          \
            for (int g = 0; g < G; ++g) {                                                                      \
                a[g][k] = LOAD(r[k] + c + LANES * g);                                                          \
                b[g][k] = LOAD(i[k] + c + LANES * g);                                                          \
            }                                                                                                  \
        }                                                                                                      \
        if constexpr (Unit) {                                                                                  \
            for (int g = 0; g < G; ++g) unit_butterfly_lanes(a[g][0], b[g][0], a[g][1], b[g][1]);             \
            for (int g = 0; g < G; ++g) unit_butterfly_lanes(a[g][2], b[g][2], a[g][3], b[g][3]);             \
            for (int g = 0; g < G; ++g) unit_butterfly_lanes(a[g][0], b[g][0], a[g][2], b[g][2]);             \
        } else {                                                                                               \
            for (int g = 0; g < G; ++g) butterfly_lanes(a[g][0], b[g][0], a[g][1], b[g][1], w[0], w[1]);      \
            for (int g = 0; g < G; ++g) butterfly_lanes(a[g][2], b[g][2], a[g][3], b[g][3], w[0], w[1]);      \
            for (int g = 0; g < G; ++g) butterfly_lanes(a[g][0], b[g][0], a[g][2], b[g][2], w[2], w[3]);      \
        }                                                                                                      \
        if constexpr (Both) {                                                                                  \
            for (int g = 0; g < G; ++g) butterfly_lanes(a[g][1], b[g][1], a[g][3], b[g][3], w[4], w[5]);      \
        }                                                                                                      \
        for (int k = 0; k < 4; ++k) {                                                                          \
            for (int g = 0; g < G; ++g) {                                                                      \
                STORE(r[k] + c + LANES * g, a[g][k]);                                                          \
                STORE(i[k] + c + LANES * g, b[g][k]);                                                          \
            }                                                                                                  \
        }                                                                                                      \
    }                                                                                                          \
    template <bool Unit, bool Both>                                                                            \
    TARGET void radix4_lanes(float* re, float* im, std::size_t d1, std::size_t d2, std::int32_t count,        \
                             const double* w) {                                                                \
        float* const r[4] = {re, re + d1, re + d2, re + d1 + d2};                                              \
        float* const i[4] = {im, im + d1, im + d2, im + d1 + d2};                                              \
        D wv[6];                                                                                               \
        for (int k = 0; k < 6; ++k) wv[k] = SET1(w[k]);                                                        \
        constexpr std::int32_t step = kRadix4Groups * LANES;                                                   \
        std::int32_t c = 0;                                                                                    \
        for (; c + step <= count; c += step) radix4_groups<kRadix4Groups, Unit, Both>(r, i, c, wv);           \
        for (; c + LANES <= count; c += LANES) radix4_groups<1, Unit, Both>(r, i, c, wv);                     \
        if (c < count) {                                                                                       \
            radix4_body<Unit, Both>(r[0] + c, i[0] + c, r[1] + c, i[1] + c, r[2] + c, i[2] + c, r[3] + c,      \
                                    i[3] + c, count - c, w);                                                   \
        }                                                                                                      \
    }                                                                                                          \
    template <int G>                                                                                           \
    TARGET TALMEK_ALWAYS_INLINE void radix2_groups(float* r1, float* i1, float* r2, float* i2, D wr, D wi) {   \
        F a[G], b[G], x[G], y[G];                                                                              \
        for (int g = 0; g < G; ++g) {                                                                          \
            a[g] = LOAD(r1 + LANES * g);                                                                       \
            b[g] = LOAD(i1 + LANES * g);                                                                       \
            x[g] = LOAD(r2 + LANES * g);                                                                       \
            y[g] = LOAD(i2 + LANES * g);                                                                       \
        }                                                                                                      \
        for (int g = 0; g < G; ++g) butterfly_lanes(a[g], b[g], x[g], y[g], wr, wi);                           \
        for (int g = 0; g < G; ++g) {                                                                          \
            STORE(r1 + LANES * g, a[g]);                                                                       \
            STORE(i1 + LANES * g, b[g]);                                                                       \
            STORE(r2 + LANES * g, x[g]);                                                                       \
            STORE(i2 + LANES * g, y[g]);                                                                       \
        }                                                                                                      \
    }                                                                                                          \
    TARGET void radix2_lanes(float* re, float* im, std::size_t d, std::int32_t count, double wr, double wi) { \
        const D vr = SET1(wr);                                                                                 \
        const D vi = SET1(wi);                                                                                 \
        constexpr std::int32_t step = kRadix2Groups * LANES;                                                   \
        std::int32_t c = 0;                                                                                    \
        for (; c + step <= count; c += step) {                                                                 \
            radix2_groups<kRadix2Groups>(re + c, im + c, re + d + c, im + d + c, vr, vi);                      \
        }                                                                                                      \
        for (; c + LANES <= count; c += LANES) radix2_groups<1>(re + c, im + c, re + d + c, im + d + c, vr, vi); \
        if (c < count) radix2_body(re + c, im + c, re + d + c, im + d + c, count - c, wr, wi);                \
    }

// Groups per step (kRadix4Groups, kRadix2Groups): more groups overlap more chains, but past the
// register file they spill; these counts measured fastest. AVX2 has half the registers of AVX-512.
namespace lanes512 {
#define TALMEK_AVX512 [[gnu::target("avx512f,prefer-vector-width=512")]]
constexpr int kRadix4Groups = 4;
constexpr int kRadix2Groups = 4;
TALMEK_LANE_BUTTERFLIES(TALMEK_AVX512, __m256, __m512d, _mm512_cvtps_pd, _mm512_cvtpd_ps, _mm512_mul_pd,
                        _mm512_add_pd, _mm512_sub_pd, _mm256_mul_ps, _mm256_add_ps, _mm256_sub_ps, _mm256_setzero_ps)
TALMEK_LANE_KERNELS(TALMEK_AVX512, __m256, __m512d, 8, _mm256_loadu_ps, _mm256_storeu_ps, _mm512_set1_pd)
}  // namespace lanes512

namespace lanes256 {
#define TALMEK_AVX2 [[gnu::target("avx2")]]
constexpr int kRadix4Groups = 4;
constexpr int kRadix2Groups = 2;
TALMEK_LANE_BUTTERFLIES(TALMEK_AVX2, __m128, __m256d, _mm256_cvtps_pd, _mm256_cvtpd_ps, _mm256_mul_pd, _mm256_add_pd,
                        _mm256_sub_pd, _mm_mul_ps, _mm_add_ps, _mm_sub_ps, _mm_setzero_ps)
TALMEK_LANE_KERNELS(TALMEK_AVX2, __m128, __m256d, 4, _mm_loadu_ps, _mm_storeu_ps, _mm256_set1_pd)
}  // namespace lanes256
#endif

// A build of the kernels. Rows are `distance` floats apart in both planes.
struct KernelSet {
    void (*radix2)(float* re, float* im, std::size_t distance, std::int32_t count, double wr, double wi);
    void (*radix2_unit)(float* re, float* im, std::size_t distance, std::int32_t count);
    // Rows re, re + d1, re + d2, re + d1 + d2.
    void (*radix4[2][2])(float* re, float* im, std::size_t d1, std::size_t d2, std::int32_t count, const double* w);
};

#define TALMEK_KERNEL_SET(SUFFIX, TARGET, RADIX2, RADIX4)                                                  \
    TARGET void radix2_unit_##SUFFIX(float* re, float* im, std::size_t d, std::int32_t count) {            \
        radix2_unit_body(re, im, re + d, im + d, count);                                                   \
    }                                                                                                      \
    constexpr KernelSet kernels_##SUFFIX = {                                                               \
        RADIX2,                                                                                            \
        radix2_unit_##SUFFIX,                                                                              \
        {{RADIX4<false, false>, RADIX4<false, true>}, {RADIX4<true, false>, RADIX4<true, true>}},         \
    };

// The baseline build: the compiler's own vectors for the target at hand.
void radix2_baseline(float* re, float* im, std::size_t d, std::int32_t count, double wr, double wi) {
    radix2_body(re, im, re + d, im + d, count, wr, wi);
}

template <bool Unit, bool Both>
void radix4_baseline(float* re, float* im, std::size_t d1, std::size_t d2, std::int32_t count, const double* w) {
    radix4_body<Unit, Both>(re, im, re + d1, im + d1, re + d2, im + d2, re + d1 + d2, im + d1 + d2, count, w);
}

TALMEK_KERNEL_SET(baseline, , radix2_baseline, radix4_baseline)
#if TALMEK_X86_KERNELS
TALMEK_KERNEL_SET(avx2, TALMEK_AVX2, lanes256::radix2_lanes, lanes256::radix4_lanes)
TALMEK_KERNEL_SET(avx512, TALMEK_AVX512, lanes512::radix2_lanes, lanes512::radix4_lanes)
#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif

const KernelSet& kernels_for(Kernel kernel) {
#if TALMEK_X86_KERNELS
    if (kernel == Kernel::avx512) return kernels_avx512;
    if (kernel == Kernel::avx2) return kernels_avx2;
#endif
    (void)kernel;
    return kernels_baseline;
}

std::int32_t reversed_bits(std::int32_t value, std::int32_t bits) {
    std::int32_t out = 0;
    for (std::int32_t b = 0; b < bits; ++b) {
        out = (out << 1) | (value & 1);
        value >>= 1;
    }
    return out;
}

// Transpositions below leave out the corner where both indices reach `bound`: its values are
// either +0 on both sides or not wanted afterwards.
void transpose_scalar(float* plane, std::size_t n, std::size_t bound) {
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = std::max(i + 1, i < bound ? 0 : bound); j < n; ++j) {
            if (i >= bound && j >= bound) break;
            std::swap(plane[i * n + j], plane[j * n + i]);
        }
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
void transpose_plane(float* plane, std::size_t n, std::size_t bound) {
    if (n < 4) return transpose_scalar(plane, n, bound);
    const std::size_t tile = std::min<std::size_t>(n, 32);
    for (std::size_t ti = 0; ti < n && ti < bound; ti += tile) {
        for (std::size_t tj = ti; tj < n; tj += tile) {
            for (std::size_t bi = ti; bi < ti + tile; bi += 4) {
                for (std::size_t bj = (ti == tj ? bi : tj); bj < tj + tile; bj += 4) {
                    if (bi < bound || bj < bound) swap_blocks(plane, n, bi, bj);
                }
            }
        }
    }
}
#else
void transpose_plane(float* plane, std::size_t n, std::size_t bound) { transpose_scalar(plane, n, bound); }
#endif

}  // namespace

namespace {
// Floats between the end of a grid's real plane and the start of its imaginary one: four cache
// lines. Rows of a plane lie a power of two apart, so a strip of columns of one plane uses only
// some of a cache's sets (at 256 x 256, a 64-column strip a quarter of a 512 KB 8-way cache's);
// with the planes a whole number of such periods apart, the imaginary rows would fall into the
// very sets of the real ones and fill them. Four lines on, they take other sets.
constexpr std::size_t kPlaneGap = 64;
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

SplitGrid::SplitGrid(std::int32_t n, Kernel kernel, std::optional<Schedule> schedule)
    : n_(n),
      kernel_(kernel_supported(kernel) ? kernel : Kernel::baseline),
      schedule_(schedule),
      reversed_(static_cast<std::size_t>(n)),
      planes_(new float[2 * static_cast<std::size_t>(n) * n + kPlaneGap]),
      re_(planes_.get()),
      im_(planes_.get() + static_cast<std::size_t>(n) * n + kPlaneGap) {
    std::int32_t bits = 0;
    while ((1 << bits) < n) ++bits;
    for (std::int32_t i = 0; i < n; ++i) reversed_[static_cast<std::size_t>(i)] = reversed_bits(i, bits);
}

const TransformPlan& SplitGrid::plan(std::int32_t sign) {
    const TransformPlan*& p = plans_[sign > 0 ? 1 : 0];
    if (p == nullptr) p = &TransformPlan::get(n_, sign, kernel_);
    return *p;
}

Schedule SplitGrid::schedule(std::int32_t sign) {
    if (schedule_) return *schedule_;
    return detail::forced_schedule().value_or(plan(sign).schedule());
}

// Only the chip's own rows are written: the first dimension reads no further than its width, and
// its first pass writes the padding rows.
void SplitGrid::load_real_transposed(const float* chip, std::int32_t width, std::int32_t height) {
    const auto n = static_cast<std::size_t>(n_);
    // Row by row of the grid, in the order of memory, so that lines not in cache stream in.
    for (std::int32_t row = 0; row < n_; ++row) {
        const std::int32_t y = reversed_[static_cast<std::size_t>(row)];
        if (y >= height) continue;
        const float* from = chip + static_cast<std::size_t>(y) * width;
        const std::size_t at = static_cast<std::size_t>(row) * n;
        std::copy(from, from + width, re_ + at);
        std::fill(im_ + at, im_ + at + width, 0.0f);
    }
}

// Rows i and reversed_[i] exchanged, over the first `columns` columns.
void SplitGrid::reorder_rows(std::int32_t columns) {
    const auto n = static_cast<std::size_t>(n_);
    for (std::size_t i = 0; i < n; ++i) {
        const auto j = static_cast<std::size_t>(reversed_[i]);
        if (i < j) {
            std::swap_ranges(re_ + i * n, re_ + i * n + columns, re_ + j * n);
            std::swap_ranges(im_ + i * n, im_ + i * n + columns, im_ + j * n);
        }
    }
}

// Transposition followed by the reordering of the new rows, which is where the next dimension's
// passes need its elements. Reordering a separate pass costs less than scattering the transposed
// rows directly, which sends every tile's rows to cache sets far apart.
// Transposition, and with `reorder` the reordering of the new rows, which is where the next
// dimension's passes need its elements. Only what those passes read is moved: rows below
// `rows_read` and columns below `columns_read`; elements whose indices both reach the smaller of
// the two are never read.
void SplitGrid::transpose(std::int32_t rows_read, std::int32_t columns_read, bool reorder) {
    const auto n = static_cast<std::size_t>(n_);
    const auto bound = static_cast<std::size_t>(std::clamp(std::min(rows_read, columns_read), 0, n_));
    transpose_plane(re_, n, bound);
    transpose_plane(im_, n, bound);
    if (reorder) reorder_rows(std::clamp(columns_read, 0, n_));
}

namespace {

// One dimension's passes over columns [first, first + count) of planes with rows n floats long;
// `reversed` maps a row position to its input row. The rows stand either already reordered (the
// passes' position p is row p) or in input order, `through_reversal`: position p is row
// reversed[p]. Then the output leaves in reversed row order, and the partners of a pass with
// half-length h, positions p and p + h, are rows n / 2h apart instead of h.
struct Sweeps {
    const KernelSet& kernels;
    const TransformPlan& plan;
    float* re;
    float* im;
    std::int32_t n;
    std::size_t stride;  // floats from one row to the next
    const std::int32_t* reversed;
    bool through_reversal;

    std::int32_t row(std::int32_t position) const { return through_reversal ? reversed[position] : position; }
    // Floats between the rows of positions p and p + half, for p with no bit of `half` set.
    std::size_t apart(std::int32_t half) const {
        return static_cast<std::size_t>(through_reversal ? n / (2 * half) : half) * stride;
    }
    float* at(float* plane, std::int32_t position, std::int32_t column) const {
        return plane + static_cast<std::size_t>(row(position)) * stride + column;
    }

    // The first pass pairs each input row r with row r + n/2 under the twiddle factor (1, 0). Where
    // that partner is zero padding (+0) the butterfly's product is +0, so its outputs are the row
    // itself and the row plus +0 (which only turns -0 into +0): no product needs to be formed.
    // Where both are padding, both become +0.
    void first_pass_beside_zero_rows(std::int32_t nonzero_rows, std::int32_t first, std::int32_t count) const {
        for (std::int32_t pos = 0; pos < n; pos += 2) {
            float* r1 = at(re, pos, first);
            float* i1 = at(im, pos, first);
            if (reversed[pos] >= nonzero_rows) {
                std::fill(r1, r1 + count, 0.0f);
                std::fill(i1, i1 + count, 0.0f);
                std::fill(r1 + apart(1), r1 + apart(1) + count, 0.0f);
                std::fill(i1 + apart(1), i1 + apart(1) + count, 0.0f);
                continue;
            }
            if (reversed[pos + 1] < nonzero_rows) {
                kernels.radix2_unit(r1, i1, apart(1), count);
                continue;
            }
            float* r2 = r1 + apart(1);
            float* i2 = i1 + apart(1);
            for (std::int32_t c = 0; c < count; ++c) {
                r2[c] = r1[c];
                i2[c] = i1[c];
                r1[c] = 0.0f + r1[c];
                i1[c] = 0.0f + i1[c];
            }
        }
    }

    // The pass with half-length `half`: groups below `groups` of every block of 2 * half rows.
    void single(std::int32_t half, std::int32_t groups, std::int32_t first, std::int32_t count) const {
        const double* wr = plan.wr(half);
        const double* wi = plan.wi(half);
        const std::size_t distance = apart(half);
        for (std::int32_t block = 0; block < n; block += 2 * half) {
            kernels.radix2_unit(at(re, block, first), at(im, block, first), distance, count);
            for (std::int32_t m = 1; m < groups; ++m) {
                kernels.radix2(at(re, block + m, first), at(im, block + m, first), distance, count, wr[m], wi[m]);
            }
        }
    }

    // The passes with half-lengths `half` and 2 * half in one sweep. Only butterflies that lead to
    // wanted rows run: of the second pass, group m + half only where it is below `wanted`.
    void pair(std::int32_t half, std::int32_t groups, std::int32_t wanted, std::int32_t first,
              std::int32_t count) const {
        const double* wr1 = plan.wr(half);
        const double* wi1 = plan.wi(half);
        const double* wr2 = plan.wr(2 * half);
        const double* wi2 = plan.wi(2 * half);
        const std::size_t d1 = apart(half);
        const std::size_t d2 = apart(2 * half);
        for (std::int32_t block = 0; block < n; block += 4 * half) {
            for (std::int32_t m = 0; m < groups; ++m) {
                const double w[6] = {wr1[m], wi1[m], wr2[m], wi2[m], wr2[m + half], wi2[m + half]};
                kernels.radix4[m == 0][m + half < wanted](at(re, block + m, first), at(im, block + m, first), d1,
                                                          d2, count, w);
            }
        }
    }

    // Every pass, two at a time where `fused`. After the pass with half-length h, the rows still
    // needed are those whose position within a block of 2h lies below the wanted count.
    void run(const SplitGrid::Region& region, bool fused, std::int32_t first, std::int32_t count) const {
        const std::int32_t wanted = std::max(region.wanted_rows, 1);
        std::int32_t half = 1;
        if (n > 1 && region.nonzero_rows < n) {
            first_pass_beside_zero_rows(region.nonzero_rows, first, count);
            half = 2;
        }
        while (half < n) {
            const std::int32_t groups = std::min(half, wanted);
            if (fused && 2 * half < n) {
                pair(half, groups, wanted, first, count);
                half *= 4;
            } else {
                single(half, groups, first, count);
                half *= 2;
            }
        }
    }
};

}  // namespace

// The butterfly passes along the row index, rows already reordered, strip by strip of columns.
void SplitGrid::passes(const TransformPlan& plan, Schedule schedule, const Region& region, bool through_reversal,
                       std::size_t stride) {
    passes_over(re_, im_, stride == 0 ? static_cast<std::size_t>(n_) : stride, plan, schedule, region,
                through_reversal);
}

void SplitGrid::passes_over(float* re, float* im, std::size_t stride, const TransformPlan& plan, Schedule schedule,
                            const Region& region, bool through_reversal) const {
    const std::int32_t columns = std::clamp(region.columns, 0, n_);
    const std::int32_t width = std::max(strip_width(schedule, n_), 1);
    const Sweeps sweeps{kernels_for(kernel_), plan, re, im, n_, stride, reversed_.data(), through_reversal};
    for (std::int32_t first = 0; first < columns; first += width) {
        sweeps.run(region, schedule != Schedule::rows, first, std::min(width, columns - first));
    }
}

namespace {

// Columns of the second dimension per strip of forward_product: both grids' strips (four planes of
// n rows, 320 KB at n = 256) stay in a 512 KB level-2 cache beside the rows streaming through, and
// each kernel call runs two steps of four groups of the widest vectors. Narrower strips measured
// slower (more kernel calls per butterfly); 128 a little faster on a 1 MB level-2 cache, but its
// strips alone would fill a 512 KB one.
constexpr std::int32_t kProductStrip = 64;

// Rows of `columns` floats laid an odd number of 64-byte lines apart, so that rows a power of two
// apart do not all fall into the same cache sets.
std::size_t odd_line_stride(std::int32_t columns) {
    const std::size_t lines = static_cast<std::size_t>(columns + 15) / 16;
    return (lines | 1) * 16;
}

// to's row x, column j <- from's row j, column x, for j below `count` and x below `rows`: rows of
// `from` n floats apart, of `to` `stride` apart.
void transpose_into(float* to, std::size_t stride, const float* from, std::size_t n, std::int32_t count,
                    std::int32_t rows) {
    std::int32_t j = 0;
#if defined(__SSE2__) || defined(_M_X64)
    const std::int32_t whole = rows & ~3;
    for (; j + 4 <= count; j += 4) {
        const float* src = from + static_cast<std::size_t>(j) * n;
        for (std::int32_t x = 0; x < whole; x += 4) {
            __m128 block[4];
            load_transposed(src + x, n, block);
            store_rows(to + static_cast<std::size_t>(x) * stride + j, stride, block);
        }
        for (std::int32_t x = whole; x < rows; ++x) {
            for (std::int32_t k = 0; k < 4; ++k) to[static_cast<std::size_t>(x) * stride + j + k] = src[k * n + x];
        }
    }
#endif
    for (; j < count; ++j) {
        for (std::int32_t x = 0; x < rows; ++x) {
            to[static_cast<std::size_t>(x) * stride + j] = from[static_cast<std::size_t>(j) * n + x];
        }
    }
}

// The product of multiply_conjugate_transposed over a strip: a (this grid's) times the conjugate
// of b, element (p, j) of the strips (rows `stride` floats apart) to row j, column p of out (rows n
// floats apart), for p below n and j below count.
void product_transposed(const SplitGrid::Strip& a, const SplitGrid::Strip& b, float* out_re, float* out_im,
                        std::size_t n, std::int32_t count) {
    std::int32_t j = 0;
#if defined(__SSE2__) || defined(_M_X64)
    for (; j + 4 <= count; j += 4) {
        for (std::size_t p = 0; p < n; p += 4) {
            __m128 re[4];
            __m128 im[4];
            for (std::size_t k = 0; k < 4; ++k) {
                const std::size_t at = (p + k) * a.stride + static_cast<std::size_t>(j);
                const __m128 xr = _mm_loadu_ps(a.re + at);
                const __m128 xi = _mm_loadu_ps(a.im + at);
                const __m128 br = _mm_loadu_ps(b.re + at);
                const __m128 bi = _mm_loadu_ps(b.im + at);
                re[k] = _mm_add_ps(_mm_mul_ps(xr, br), _mm_mul_ps(bi, xi));
                im[k] = _mm_sub_ps(_mm_mul_ps(br, xi), _mm_mul_ps(xr, bi));
            }
            _MM_TRANSPOSE4_PS(re[0], re[1], re[2], re[3]);
            _MM_TRANSPOSE4_PS(im[0], im[1], im[2], im[3]);
            store_rows(out_re + static_cast<std::size_t>(j) * n + p, n, re);
            store_rows(out_im + static_cast<std::size_t>(j) * n + p, n, im);
        }
    }
#endif
    for (; j < count; ++j) {
        for (std::size_t p = 0; p < n; ++p) {
            const std::size_t at = p * a.stride + static_cast<std::size_t>(j);
            const float xr = a.re[at];
            const float xi = a.im[at];
            out_re[static_cast<std::size_t>(j) * n + p] = xr * b.re[at] + b.im[at] * xi;
            out_im[static_cast<std::size_t>(j) * n + p] = b.re[at] * xi - xr * b.im[at];
        }
    }
}

}  // namespace

SplitGrid::Strip SplitGrid::strip(int which) {
    const std::size_t stride = odd_line_stride(kProductStrip);
    const std::size_t plane = static_cast<std::size_t>(n_) * stride;
    if (!strips_) strips_.reset(new float[4 * plane]);
    float* at = strips_.get() + 2 * plane * static_cast<std::size_t>(which);
    return {at, at + plane, stride};
}

// The first dimension runs on each grid whole (it needs every row of the chip's columns); its
// output rows are the second dimension's columns, so a strip of them, transposed into a small
// buffer, goes through the second dimension's passes alone, and the product of the two strips
// lands in the rows it was read from.
void SplitGrid::forward_product(SplitGrid& ref, const Region& first, const Region& second, const Region& ref_first,
                                const Region& ref_second) {
    forward_product(ref, plan(1), schedule(1), first, second, ref_first, ref_second);
}

void SplitGrid::forward_product(SplitGrid& ref, const TransformPlan& plan, Schedule schedule, const Region& first,
                                const Region& second, const Region& ref_first, const Region& ref_second) {
    if (ref.n_ != n_ || &ref == this) throw std::invalid_argument("forward_product: grids of different sizes");
    if (n_ % kProductStrip != 0 || second.columns < n_ || ref_second.columns < n_) {
        transform(plan, schedule, Layout::transposed_reversed, first, second, Layout::rows_reversed);
        ref.transform(plan, schedule, Layout::transposed_reversed, ref_first, ref_second, Layout::rows_reversed);
        multiply_conjugate_transposed(ref);
        return;
    }
    passes(plan, schedule, first, false);
    ref.passes(plan, schedule, ref_first, false);
    const Strip a = strip(0);
    const Strip b = strip(1);
    const auto n = static_cast<std::size_t>(n_);
    // The second dimension reads rows below nonzero_rows only: the rest is padding.
    const std::int32_t rows = std::clamp(second.nonzero_rows, 0, n_);
    const std::int32_t ref_rows = std::clamp(ref_second.nonzero_rows, 0, n_);
    for (std::int32_t v = 0; v < n_; v += kProductStrip) {
        const std::size_t at = static_cast<std::size_t>(v) * n;
        transpose_into(a.re, a.stride, re_ + at, n, kProductStrip, rows);
        transpose_into(a.im, a.stride, im_ + at, n, kProductStrip, rows);
        transpose_into(b.re, b.stride, ref.re_ + at, n, kProductStrip, ref_rows);
        transpose_into(b.im, b.stride, ref.im_ + at, n, kProductStrip, ref_rows);
        passes_over(a.re, a.im, a.stride, plan, schedule, {kProductStrip, rows, second.wanted_rows}, true);
        ref.passes_over(b.re, b.im, b.stride, plan, schedule, {kProductStrip, ref_rows, ref_second.wanted_rows}, true);
        product_transposed(a, b, re_ + at, im_ + at, n, kProductStrip);
    }
}

// The product element by element, then the transposition: two plain sweeps over the planes run
// faster than one that reads and writes mirrored blocks of four planes at once.
void SplitGrid::multiply_conjugate_transposed(const SplitGrid& other) {
    if (other.n_ != n_) throw std::invalid_argument("multiply_conjugate_transposed: grids of different sizes");
    float* ar = re_;
    float* ai = im_;
    const float* br = other.re_;
    const float* bi = other.im_;
    const std::size_t count = static_cast<std::size_t>(n_) * static_cast<std::size_t>(n_);
    for (std::size_t k = 0; k < count; ++k) {
        const float xr = ar[k];
        const float xi = ai[k];
        ar[k] = xr * br[k] + bi[k] * xi;
        ai[k] = br[k] * xi - xr * bi[k];
    }
    transpose(n_, n_, false);
}

// out's row R, column j <- this grid's row r(j), column R, for j below `columns`: the rows that
// passes through the reversal left the first `columns` outputs in, transposed.
void SplitGrid::gather_transposed(SplitGrid& out, std::int32_t columns, std::size_t stride) const {
    const auto n = static_cast<std::size_t>(n_);
    const auto wanted = static_cast<std::size_t>(columns);
    const float* const from[2] = {re_, im_};
    float* const to[2] = {out.re_, out.im_};
    for (int plane = 0; plane < 2; ++plane) {
        std::size_t j = 0;
#if defined(__SSE2__) || defined(_M_X64)
        for (; n >= 4 && j + 4 <= wanted; j += 4) {
            const float* rows[4];
            for (std::size_t k = 0; k < 4; ++k) rows[k] = from[plane] + static_cast<std::size_t>(reversed_[j + k]) * n;
            for (std::size_t r = 0; r < n; r += 4) {
                __m128 block[4];
                for (int k = 0; k < 4; ++k) block[k] = _mm_loadu_ps(rows[k] + r);
                _MM_TRANSPOSE4_PS(block[0], block[1], block[2], block[3]);
                store_rows(to[plane] + r * stride + j, stride, block);
            }
        }
#endif
        for (; j < wanted; ++j) {
            const float* row = from[plane] + static_cast<std::size_t>(reversed_[j]) * n;
            for (std::size_t r = 0; r < n; ++r) to[plane][r * stride + j] = row[r];
        }
    }
}

std::size_t SplitGrid::transform_into(SplitGrid& out, std::int32_t sign, const Region& first, const Region& second) {
    return transform_into(out, plan(sign), schedule(sign), first, second);
}

std::size_t SplitGrid::transform_into(SplitGrid& out, const TransformPlan& plan, Schedule schedule,
                                      const Region& first, const Region& second) {
    if (&out == this || out.n_ != n_) {
        throw std::invalid_argument("transform_into: the second dimension needs another grid of the same size");
    }
    // The rows hold b in natural order, so the passes run through the reversal and leave output b
    // in row r(b); the gathering takes the wanted ones into out's first columns, where the first
    // index, stored reversed, now runs along the rows as the second dimension's passes need it.
    // Out's rows are only as long as the wanted columns need, so that the second dimension works in
    // a small part of memory: an odd number of 64-byte lines, which keeps rows a power of two apart
    // from landing 4 KB apart (and in the same cache sets) until the distance reaches 64 rows.
    const std::int32_t columns = std::clamp(second.columns, 0, n_);
    const std::size_t lines = static_cast<std::size_t>(columns + 15) / 16;
    const std::size_t stride = std::min<std::size_t>(static_cast<std::size_t>(n_), (lines | 1) * 16);
    passes(plan, schedule, first, true);
    gather_transposed(out, columns, stride);
    out.passes(plan, schedule, {columns, second.nonzero_rows, second.wanted_rows}, false, stride);
    return stride;
}

void SplitGrid::transform(std::int32_t sign, Layout input) { transform(sign, input, whole(), whole()); }

void SplitGrid::transform(std::int32_t sign, Layout input, const Region& first, const Region& second,
                          Layout output) {
    transform(plan(sign), schedule(sign), input, first, second, output);
}

void SplitGrid::transform(const TransformPlan& plan, Schedule schedule, Layout input, const Region& first,
                          const Region& second, Layout output) {
    // The contiguous index b is transformed first: it must run along the rows, in reversed order.
    switch (input) {
        case Layout::natural: transpose(first.nonzero_rows, first.columns, true); break;
        case Layout::rows_reversed: transpose(n_, n_, true); break;
        case Layout::transposed: reorder_rows(std::clamp(first.columns, 0, n_)); break;
        case Layout::transposed_reversed: break;
        case Layout::reversed_transposed: reorder_rows(n_); break;
    }
    passes(plan, schedule, first, false);
    if (input == Layout::rows_reversed || input == Layout::reversed_transposed) {
        // The first index was stored in reversed order: transposed, its rows stand where the passes
        // need them, and the output leaves in natural order.
        transpose(n_, second.columns, false);
        passes(plan, schedule, second, false);
    } else if (output == Layout::rows_reversed) {
        transpose(second.nonzero_rows, second.columns, false);
        passes(plan, schedule, second, true);
    } else {
        transpose(second.nonzero_rows, second.columns, true);
        passes(plan, schedule, second, false);
    }
}

}  // namespace talmek
