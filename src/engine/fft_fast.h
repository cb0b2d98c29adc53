#pragma once
#include <cstdint>
#include <memory>
#include <vector>

namespace talmek {

// Builds of the butterfly kernel for wider vector units. Each gives the same bits; the widest that
// the processor runs is the default.
enum class Kernel { baseline, avx2, avx512 };
bool kernel_supported(Kernel kernel);
Kernel best_kernel();

// How the planes hold a transform's input. Element (a, b) has b as fft2d's contiguous index.
enum class Layout {
    natural,              // element (a, b) at a * n + b
    transposed,           // element (a, b) at b * n + a
    transposed_reversed,  // as transposed, with the rows already in bit-reversed order
};

// The square transform of fft2d on split planes (real parts, imaginary parts), bit for bit: every
// element goes through the same operations in the same order, only the loops are arranged so that
// butterflies sharing a twiddle factor run over contiguous memory and vector units. Output: layout
// natural.
class SplitGrid {
public:
    // An unsupported kernel falls back to the baseline one.
    explicit SplitGrid(std::int32_t n, Kernel kernel = best_kernel());

    std::int32_t size() const { return n_; }
    Kernel kernel() const { return kernel_; }
    // The planes hold no defined values until the caller fills them (or load_real_transposed does).
    float* re() { return re_.get(); }
    float* im() { return im_.get(); }
    const float* re() const { return re_.get(); }
    const float* im() const { return im_.get(); }

    // A real width x height chip (row-major), zero-padded, as the input in layout transposed_reversed:
    // pixel (y, x) is element (x, y).
    void load_real_transposed(const float* chip, std::int32_t width, std::int32_t height);

    void transform(std::int32_t sign, Layout input);

    // The same with work left out where it cannot change what the caller reads. Columns are those
    // of the planes as each dimension's passes see them: for the first dimension, the columns at
    // and beyond `nonzero_columns` must hold +0, and butterflies of +0 with +0 give +0, so they are
    // left as they are. For the second dimension only the first `wanted_columns` columns are
    // transformed: the output is exact there and unfinished elsewhere.
    void transform(std::int32_t sign, Layout input, std::int32_t nonzero_columns, std::int32_t wanted_columns);

private:
    void reorder_rows(std::int32_t columns);
    void transpose_reversed();
    void passes(std::int32_t sign, std::int32_t columns);

    std::int32_t n_;
    Kernel kernel_;
    std::vector<std::int32_t> reversed_;  // row i goes to row reversed_[i]
    std::unique_ptr<float[]> re_;  // uninitialised: every use overwrites them first
    std::unique_ptr<float[]> im_;
    std::vector<double> twiddle_re_;
    std::vector<double> twiddle_im_;
};

// One pass's twiddle factors (cos m.theta, sin m.theta), m = 0 .. half - 1, from the same double
// recurrence and constant as the plain transform.
void pass_twiddles(std::int32_t half, std::int32_t sign, double* wr, double* wi);

}  // namespace talmek
