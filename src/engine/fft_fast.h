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

// The square transform of fft2d (the plain transform, testsupport/plain_fft.h) on split planes (real parts, imaginary parts), bit for bit: every
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

    // What one dimension's passes may leave out, work that cannot change what the caller reads.
    // The passes run along the rows of the planes as that dimension sees them.
    struct Region {
        // Columns taken along. Beyond them the first dimension's input must hold +0, which its
        // butterflies would keep at +0; in the second dimension they are simply not wanted.
        std::int32_t columns;
        // Input rows (counted before the reordering) at and beyond this hold +0.
        std::int32_t nonzero_rows;
        // Output rows below this are exact; the others are unfinished and must not be read.
        std::int32_t wanted_rows;
    };
    Region whole() const { return {n_, n_, n_}; }
    void transform(std::int32_t sign, Layout input, const Region& first, const Region& second);

private:
    void reorder_rows(std::int32_t columns);
    void transpose_reversed();
    void passes(std::int32_t sign, const Region& region);
    void first_pass_beside_zero_rows(const Region& region);

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
