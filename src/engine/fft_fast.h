#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace talmek {

// Builds of the butterfly kernels for wider vector units. Each gives the same bits; the widest that
// the processor runs is the default (unless a test has forced another, see detail::force_fft).
enum class Kernel { baseline, avx2, avx512 };
constexpr std::array<Kernel, 3> kKernels = {Kernel::baseline, Kernel::avx2, Kernel::avx512};
bool kernel_supported(Kernel kernel);
// The build that transforms run when they name none: the forced one, else the widest supported.
Kernel best_kernel();
const char* kernel_name(Kernel kernel);
// The kernel called `name`, if there is one by that name (supported here or not).
std::optional<Kernel> kernel_named(const std::string& name);

// Orders in which one dimension's butterfly passes may run. Every element goes through the same
// operations in the same order under each of them, so all give the same bits; they differ in
// memory traffic and loop overhead, and which is fastest depends on the processor.
enum class Schedule {
    rows,       // one pass at a time over the whole width of the plane
    pairs,      // two passes per sweep: four rows at a time, the middle values kept in registers
    strips_l1,  // column strips sized for the level-1 cache, each through every pass (pairs)
    strips_l2,  // the same with strips sized for a share of the level-2 cache
};
constexpr std::array<Schedule, 4> kSchedules = {Schedule::rows, Schedule::pairs, Schedule::strips_l1,
                                                Schedule::strips_l2};
const char* schedule_name(Schedule schedule);
std::optional<Schedule> schedule_named(const std::string& name);
// Columns per strip (the whole width for schedules without strips).
std::int32_t strip_width(Schedule schedule, std::int32_t n);

// One pass's twiddle factors (cos m.theta, sin m.theta), m = 0 .. half - 1, from the same double
// recurrence and constant as the plain transform.
void pass_twiddles(std::int32_t half, std::int32_t sign, double* wr, double* wi);

namespace detail {
// Test and benchmark hook, reached only from the test-support module and the native test tools,
// never from the Python modules: from now on every transform that names no kernel build or
// schedule of its own runs `kernel` and `schedule`; nullopt returns either to its default (the
// widest build, the timed schedule). It holds for every thread of this copy of the engine; each
// Python module links a copy of its own, so Talmek and talmek_track never see it. All choices give
// the same bits; only the speed differs. Throws std::invalid_argument for a kernel build this
// processor does not run, and then changes nothing.
void force_fft(std::optional<Kernel> kernel, std::optional<Schedule> schedule);
std::optional<Kernel> forced_kernel();
std::optional<Schedule> forced_schedule();
}  // namespace detail

// What one transform size and direction needs, prepared once per process: the twiddle factors of
// every pass and the schedule that measured fastest on this processor at first use.
class TransformPlan {
public:
    // The process-wide plan; the first call for a size, direction and kernel measures the schedules.
    static const TransformPlan& get(std::int32_t n, std::int32_t sign, Kernel kernel);

    TransformPlan(std::int32_t n, std::int32_t sign);

    std::int32_t size() const { return n_; }
    std::int32_t sign() const { return sign_; }
    Schedule schedule() const { return schedule_; }
    // Twiddle factor m of the pass with half-length `half`: wr(half)[m], wi(half)[m].
    const double* wr(std::int32_t half) const { return re_.data() + half; }
    const double* wi(std::int32_t half) const { return im_.data() + half; }

    // How the schedule was chosen: for each schedule, the median microseconds of the trials (the
    // correlation's work in this direction: the forward transforms of two chips with their product,
    // or the pruned inverse), empty for sizes too small to time.
    struct Timing {
        Schedule schedule;
        double microseconds;
    };
    const std::vector<Timing>& timings() const { return timings_; }

private:
    void choose_schedule(Kernel kernel);

    std::int32_t n_;
    std::int32_t sign_;
    Schedule schedule_ = Schedule::pairs;
    std::vector<double> re_;  // pass with half-length h: entries h .. 2h - 1
    std::vector<double> im_;
    std::vector<Timing> timings_;
};

// How the planes hold a transform's input. Element (a, b) has b as fft2d's contiguous index.
enum class Layout {
    natural,              // element (a, b) at a * n + b
    transposed,           // element (a, b) at b * n + a
    transposed_reversed,  // as transposed, with the rows already in bit-reversed order
    rows_reversed,        // element (a, b) at r(a) * n + b, r reversing the bits of a: a forward
                          // transform can leave its output so, without reordering, for an
                          // element-wise product whose inverse transform then skips one too
    reversed_transposed,  // rows_reversed, transposed: element (a, b) at b * n + r(a), as
                          // multiply_conjugate_transposed leaves a product of two such spectra
};

// The square transform of fft2d (the plain transform, testsupport/plain_fft.h) on split planes
// (real parts, imaginary parts), bit for bit: every element goes through the same operations in
// the same order, only the loops are arranged so that butterflies sharing a twiddle factor run over
// contiguous memory and vector units. Output: layout natural, or rows_reversed on request (not
// after an input in rows_reversed).
class SplitGrid {
public:
    // An unsupported kernel falls back to the baseline one. Without a schedule, each direction
    // runs the forced one (detail::force_fft) or else the one its plan chose.
    explicit SplitGrid(std::int32_t n, Kernel kernel = best_kernel(),
                       std::optional<Schedule> schedule = std::nullopt);

    std::int32_t size() const { return n_; }
    Kernel kernel() const { return kernel_; }
    // The schedule that a transform in direction `sign` runs.
    Schedule schedule(std::int32_t sign);
    // The planes hold no defined values until the caller fills them (or load_real_transposed does).
    float* re() { return re_; }
    float* im() { return im_; }
    const float* re() const { return re_; }
    const float* im() const { return im_; }

    // A real width x height chip (row-major) as the input in layout transposed_reversed: pixel (y, x)
    // is element (x, y). Only the chip's own elements are written; the padding beyond is taken as
    // +0 by a transform with regions first = {width, height, ..} and second = {.., width, ..}.
    void load_real_transposed(const float* chip, std::int32_t width, std::int32_t height);

    void transform(std::int32_t sign, Layout input);

    // What one dimension's passes may leave out, work that cannot change what the caller reads.
    // The passes run along the rows of the planes as that dimension sees them.
    struct Region {
        // Columns taken along; the others are not read. In the first dimension, the columns beyond
        // must lie among the second dimension's padding rows (second.nonzero_rows <= columns) or
        // hold +0; in the second dimension they are simply not wanted.
        std::int32_t columns;
        // Input rows (counted before the reordering) at and beyond this are +0; they are not read.
        std::int32_t nonzero_rows;
        // Output rows below this are exact; the others are unfinished and must not be read.
        std::int32_t wanted_rows;
    };
    Region whole() const { return {n_, n_, n_}; }
    // In layouts rows_reversed and reversed_transposed, the input must have no padding:
    // first = {n, ..}, second = {.., n, ..}.
    void transform(std::int32_t sign, Layout input, const Region& first, const Region& second,
                   Layout output = Layout::natural);
    // The same under a given plan and schedule.
    void transform(const TransformPlan& plan, Schedule schedule, Layout input, const Region& first,
                   const Region& second, Layout output = Layout::natural);

    // The forward transforms of two chips loaded with load_real_transposed, this grid's (regions
    // `first`, `second`) and `ref`'s (`ref_first`, `ref_second`), and this grid's spectrum times the
    // conjugate of ref's: this grid then holds what transform(1, Layout::transposed_reversed, ..,
    // Layout::rows_reversed) on both grids and multiply_conjugate_transposed(ref) leave, bit for
    // bit, and ref holds nothing defined. The second dimension runs strip by strip of its columns
    // for both grids side by side, each strip taking its product at once, so that neither spectrum
    // is ever whole in memory. (With second dimensions that leave columns out, or sizes that are no
    // multiple of a strip, the whole transforms and the product run one after the other instead.)
    // Two planes of n rows, `stride` floats a row apart.
    struct Strip {
        float* re;
        float* im;
        std::size_t stride;
    };
    void forward_product(SplitGrid& ref, const Region& first, const Region& second, const Region& ref_first,
                         const Region& ref_second);
    // The same under a given plan and schedule (for both grids).
    void forward_product(SplitGrid& ref, const TransformPlan& plan, Schedule schedule, const Region& first,
                         const Region& second, const Region& ref_first, const Region& ref_second);

    // This grid's values times the conjugates of `other`'s, element by element (in float: real
    // part a.re * b.re + b.im * a.im, imaginary part b.re * a.im - a.re * b.im), left transposed:
    // on two spectra in layout rows_reversed, the product stands in layout reversed_transposed.
    void multiply_conjugate_transposed(const SplitGrid& other);

    // The transform of an input in layout reversed_transposed, whose second dimension runs in
    // `out` (a grid of the same size, not this one): out receives the output in layout natural,
    // but with rows as many floats apart as the returned stride (element (a, b) at a * stride + b,
    // b below second.columns); this grid is left unfinished. Only `second.columns` of the first
    // dimension's outputs are carried over (no more than first.wanted_rows), so neither a
    // reordering nor a whole transposition is needed.
    std::size_t transform_into(SplitGrid& out, std::int32_t sign, const Region& first, const Region& second);
    std::size_t transform_into(SplitGrid& out, const TransformPlan& plan, Schedule schedule, const Region& first,
                               const Region& second);

private:
    const TransformPlan& plan(std::int32_t sign);
    void gather_transposed(SplitGrid& out, std::int32_t columns, std::size_t stride) const;
    Strip strip(int which);
    void reorder_rows(std::int32_t columns);
    void transpose(std::int32_t rows_read, std::int32_t columns_read, bool reorder);
    // Rows `stride` floats apart, or n with 0.
    void passes(const TransformPlan& plan, Schedule schedule, const Region& region, bool through_reversal,
                std::size_t stride = 0);
    // The same on other planes of n rows, `stride` floats apart.
    void passes_over(float* re, float* im, std::size_t stride, const TransformPlan& plan, Schedule schedule,
                     const Region& region, bool through_reversal) const;

    std::int32_t n_;
    Kernel kernel_;
    std::optional<Schedule> schedule_;
    const TransformPlan* plans_[2] = {nullptr, nullptr};  // inverse, forward
    std::vector<std::int32_t> reversed_;  // row i goes to row reversed_[i]
    // Both planes in one block, uninitialised: every use overwrites them first. The imaginary plane
    // starts a few cache lines past the real plane's end, so that its rows fall into other cache
    // sets than the real rows beside them (see kPlaneGap).
    std::unique_ptr<float[]> planes_;
    float* re_;
    float* im_;
    std::unique_ptr<float[]> strips_;  // forward_product's column strips, allocated at its first use
};

}  // namespace talmek
