#pragma once
#include <cstdint>
#include <vector>

namespace talmek {

// Builds of the butterfly kernel for wider vector units. Each gives the same bits; the widest that
// the processor runs is the default.
enum class Kernel { baseline, avx2, avx512 };
bool kernel_supported(Kernel kernel);
Kernel best_kernel();

// The square transform of fft2d on split planes (real parts, imaginary parts), bit for bit: every
// element goes through the same operations in the same order, only the loops are arranged so that
// butterflies sharing a twiddle factor run over contiguous memory.
//
// Planes are row-major n x n; element (a, b) is at a * n + b, b being fft2d's contiguous index.
// When `transposed_input` is set the planes hold the input as (b, a) instead, which saves one
// transposition for a caller that can lay its data out that way. The output is always (a, b).
class SplitGrid {
public:
    // An unsupported kernel falls back to the baseline one.
    explicit SplitGrid(std::int32_t n, Kernel kernel = best_kernel());

    std::int32_t size() const { return n_; }
    Kernel kernel() const { return kernel_; }
    float* re() { return re_.data(); }
    float* im() { return im_.data(); }
    const float* re() const { return re_.data(); }
    const float* im() const { return im_.data(); }

    void transform(std::int32_t sign, bool transposed_input);

    // The same with work left out where it cannot change what the caller reads. Columns are those
    // of the planes as the pass sees them: for the first (contiguous-index) pass, the columns at and
    // beyond `nonzero_columns` must hold +0 on input, and butterflies of +0 with +0 give +0, so they
    // are left as they are. For the second pass only the first `wanted_columns` columns are
    // transformed: the output is exact there and unfinished elsewhere.
    void transform(std::int32_t sign, bool transposed_input, std::int32_t nonzero_columns,
                   std::int32_t wanted_columns);

private:
    std::int32_t n_;
    Kernel kernel_;
    std::vector<float> re_;
    std::vector<float> im_;
    std::vector<double> twiddle_re_;
    std::vector<double> twiddle_im_;
};

// One pass's twiddle factors (cos m.theta, sin m.theta), m = 0 .. half - 1, from the same double
// recurrence and constant as the plain transform.
void pass_twiddles(std::int32_t half, std::int32_t sign, double* wr, double* wi);

}  // namespace talmek
