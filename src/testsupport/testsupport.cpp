// Private module: the engine operations one by one, on NumPy arrays, for the test suite.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <new>
#include <cmath>
#include <optional>
#include <string>
#include <cstring>
#include <map>
#include <stdexcept>

#include "engine/chip.h"
#include "engine/correlation.h"
#include "engine/fft_fast.h"
#include "engine/linear_solver.h"
#include "engine/log_float.h"
#include "engine/peak.h"
#include "engine/pipeline.h"
#include "engine/subpixel_fit.h"
#include "engine/twiddle_sine.h"
#include "engine/workspace.h"
#include "testsupport/plain_fft.h"

namespace py = pybind11;
using namespace talmek;

// Allocations through operator new by the code of this module (the engine included, which is
// linked into it), counted so that a test can see a workspace keep its promise. Not under
// AddressSanitizer, whose own operator new must pair with its delete.
#if defined(__SANITIZE_ADDRESS__)
#define TALMEK_COUNT_ALLOCATIONS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TALMEK_COUNT_ALLOCATIONS 0
#endif
#endif
#ifndef TALMEK_COUNT_ALLOCATIONS
#define TALMEK_COUNT_ALLOCATIONS 1
#endif

namespace {
std::atomic<long> allocations{0};
}  // namespace

#if TALMEK_COUNT_ALLOCATIONS
namespace {
void* counted_allocation(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t size) { return counted_allocation(size); }
void* operator new[](std::size_t size) { return counted_allocation(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
#endif

namespace {

template <typename T>
using Array = py::array_t<T, py::array::c_style | py::array::forcecast>;

template <typename T>
Array<T> sized(const Array<T>& a, py::ssize_t count, const char* what) {
    if (a.size() != count) throw py::value_error(std::string(what) + " has the wrong number of elements");
    return a;
}

template <typename T>
Array<T> copy_of(const T* data, std::vector<py::ssize_t> shape) {
    Array<T> out(shape);
    if (out.size() != 0) std::memcpy(out.mutable_data(), data, static_cast<std::size_t>(out.size()) * sizeof(T));
    return out;
}

// Borrows the pixels of a C-contiguous array, which outlives the call it is used in.
ImageRows image_from(const Array<std::uint8_t>& a) {
    if (a.ndim() != 2) throw py::value_error("image must be 2-D");
    const auto rows = static_cast<std::size_t>(a.shape(0));
    const auto cols = static_cast<std::size_t>(a.shape(1));
    return ImageRows::borrow(a.data(), rows, cols, static_cast<std::ptrdiff_t>(cols), 1);
}

py::object py_extract_chip(const Array<std::uint8_t>& image, std::int32_t row, std::int32_t col,
                           std::int32_t width, std::int32_t height, std::int32_t min_size,
                           std::int32_t max_size, bool with_buffer) {
    const ImageRows rows = image_from(image);
    const bool size_ok = width >= min_size && width <= max_size && height >= min_size && height <= max_size;
    std::vector<float> buffer;
    float placeholder = -1.0f;
    float* target = nullptr;
    if (with_buffer && size_ok) {
        if (static_cast<std::int64_t>(width) * height > (std::int64_t{1} << 24)) {
            throw py::value_error("chip too large for a test buffer");
        }
        buffer.assign(static_cast<std::size_t>(width) * height, -1.0f);
        target = buffer.data();
    } else if (with_buffer) {
        target = &placeholder;  // the size test rejects the chip before the buffer is used
    }
    const std::int32_t code = extract_chip(rows, row, col, width, height, {min_size, max_size}, target);
    if (code != status::chip_ok || buffer.empty()) return py::make_tuple(code, py::none());
    return py::make_tuple(code, copy_of(buffer.data(), {height, width}));
}

// fft2d's own verdict and whatever it left in the array, refused or not.
py::tuple py_fft2d_status(const Array<std::complex<float>>& data, std::int32_t sign) {
    if (data.ndim() != 2) throw py::value_error("data must be 2-D");
    const std::int32_t dims[2] = {static_cast<std::int32_t>(data.shape(0)), static_cast<std::int32_t>(data.shape(1))};
    std::vector<float> work(static_cast<std::size_t>(data.size()) * 2);
    // An empty array may have no storage at all, and memcpy takes no null pointer even for 0 bytes.
    if (!work.empty()) std::memcpy(work.data(), data.data(), work.size() * sizeof(float));
    const bool done = fft2d(work.data(), dims, sign);
    return py::make_tuple(done, copy_of(work.data(), {dims[0], dims[1], 2}));
}

Array<float> py_fft2d(const Array<std::complex<float>>& data, std::int32_t sign) {
    const py::tuple result = py_fft2d_status(data, sign);
    if (!result[0].cast<bool>()) throw py::value_error("extents must be powers of two");
    return result[1].cast<Array<float>>();
}

Kernel kernel_called(const std::string& name) {
    if (name == "best") return best_kernel();
    const std::optional<Kernel> k = kernel_named(name);
    if (!k) throw py::value_error("unknown kernel: " + name);
    return *k;
}

std::optional<Schedule> schedule_called(const std::string& name) {
    if (name == "planned") return std::nullopt;
    const std::optional<Schedule> s = schedule_named(name);
    if (!s) throw py::value_error("unknown schedule: " + name);
    return s;
}

// The names of every kernel build or schedule, for messages: "baseline, avx2, avx512".
template <typename T, std::size_t N>
std::string all_names(const std::array<T, N>& all, const char* (*name)(T)) {
    std::string names;
    for (const T v : all) names += std::string(names.empty() ? "" : ", ") + name(v);
    return names;
}

// The transforms' kernel build and schedule from now on, for every transform of this module that
// names none; None restores the default (the widest build, the timed schedule). A name that means
// nothing, or a build this processor does not run, raises ValueError and changes nothing.
void py_force_fft(const std::optional<std::string>& kernel, const std::optional<std::string>& schedule) {
    std::optional<Kernel> k;
    std::optional<Schedule> s;
    if (kernel) {
        k = kernel_named(*kernel);
        if (!k) {
            throw py::value_error("no kernel build is called '" + *kernel + "' (" + all_names(kKernels, kernel_name) + ")");
        }
    }
    if (schedule) {
        s = schedule_named(*schedule);
        if (!s) {
            throw py::value_error("no transform schedule is called '" + *schedule + "' (" +
                                  all_names(kSchedules, schedule_name) + ")");
        }
    }
    detail::force_fft(k, s);
}

py::dict py_forced_fft() {
    py::dict d;
    const std::optional<Kernel> k = detail::forced_kernel();
    const std::optional<Schedule> s = detail::forced_schedule();
    d["kernel"] = k ? py::object(py::str(kernel_name(*k))) : py::none();
    d["schedule"] = s ? py::object(py::str(schedule_name(*s))) : py::none();
    return d;
}

// The plan of a size and direction as the engine uses it: the kernel build and schedule that a
// transform grid of the correlation runs, the schedule that timing chose, and the timings.
py::dict py_transform_plan(std::int32_t n, std::int32_t sign) {
    if (!is_power_of_two(n) || (sign != 1 && sign != -1)) throw py::value_error("a power-of-two size and a sign of +1 or -1");
    SplitGrid grid(n);
    const TransformPlan& plan = TransformPlan::get(n, sign, grid.kernel());
    py::dict timings;
    for (const TransformPlan::Timing& t : plan.timings()) timings[schedule_name(t.schedule)] = t.microseconds;
    const Schedule runs = grid.schedule(sign);
    py::dict d;
    d["schedule"] = schedule_name(runs);
    d["timed_schedule"] = schedule_name(plan.schedule());
    d["kernel"] = kernel_name(grid.kernel());
    d["microseconds"] = timings;
    d["strip_width"] = strip_width(runs, n);
    return d;
}

// The engine's split-plane transform on a square complex array; with transposed_input the array
// is handed over as its transpose, as the correlation lays out its chips.
// Row a of an n-row array in bit-reversed order.
std::size_t reversed_row(std::int32_t a, std::int32_t n) {
    std::int32_t r = 0;
    for (std::int32_t bit = 1, top = n / 2; bit < n; bit *= 2, top /= 2) {
        if (a & bit) r |= top;
    }
    return static_cast<std::size_t>(r);
}

// The engine's split-plane transform on a square complex array, which it gets transposed with
// transposed_input (as the correlation lays out its chips) or with its rows in bit-reversed order
// with reversed_input; with reversed_output its result is read from rows in that order.
Array<float> py_fft2d_fast(const Array<std::complex<float>>& data, std::int32_t sign, bool transposed_input,
                          const std::vector<std::int32_t>& first, const std::vector<std::int32_t>& second,
                          const std::string& kernel, const std::string& schedule, bool reversed_input,
                          bool reversed_output, bool reversed_transposed_input, bool into_second_grid) {
    if (data.ndim() != 2 || data.shape(0) != data.shape(1) || !is_power_of_two(static_cast<std::int32_t>(data.shape(0)))) {
        throw py::value_error("data must be square with a power-of-two extent");
    }
    if (int(transposed_input) + int(reversed_input) + int(reversed_transposed_input) > 1 ||
        ((reversed_input || reversed_transposed_input) && reversed_output)) {
        throw py::value_error("one input layout at most, and reversed input layouts give natural output");
    }
    if (into_second_grid && !reversed_transposed_input) {
        throw py::value_error("into_second_grid needs reversed_transposed_input");
    }
    const auto n = static_cast<std::int32_t>(data.shape(0));
    const Kernel k = kernel_called(kernel);
    if (!kernel_supported(k)) throw py::value_error("kernel not supported on this processor: " + kernel);
    SplitGrid grid(n, k, schedule_called(schedule));
    const std::complex<float>* in = data.data();
    for (std::int32_t a = 0; a < n; ++a) {
        for (std::int32_t b = 0; b < n; ++b) {
            const std::size_t from = static_cast<std::size_t>(a) * n + b;
            const std::size_t to = transposed_input            ? static_cast<std::size_t>(b) * n + a
                                   : reversed_input            ? reversed_row(a, n) * n + b
                                   : reversed_transposed_input ? static_cast<std::size_t>(b) * n + reversed_row(a, n)
                                                               : from;
            grid.re()[to] = in[from].real();
            grid.im()[to] = in[from].imag();
        }
    }
    // Regions as (columns, nonzero rows, wanted rows); an empty list means the whole grid.
    const auto region = [&](const std::vector<std::int32_t>& v) {
        if (v.empty()) return grid.whole();
        if (v.size() != 3) throw py::value_error("a region is (columns, nonzero_rows, wanted_rows)");
        return SplitGrid::Region{v[0], v[1], v[2]};
    };
    const Layout input = transposed_input            ? Layout::transposed
                         : reversed_input            ? Layout::rows_reversed
                         : reversed_transposed_input ? Layout::reversed_transposed
                                                     : Layout::natural;
    // The second grid starts out full of NaN, so that a value it should have received and did not
    // shows.
    SplitGrid second_grid(into_second_grid ? n : 1, k, schedule_called(schedule));
    std::fill(second_grid.re(), second_grid.re() + second_grid.size() * second_grid.size(), std::nanf(""));
    std::fill(second_grid.im(), second_grid.im() + second_grid.size() * second_grid.size(), std::nanf(""));
    std::size_t stride = static_cast<std::size_t>(n);
    if (into_second_grid) {
        stride = grid.transform_into(second_grid, sign, region(first), region(second));
    } else {
        grid.transform(sign, input, region(first), region(second), reversed_output ? Layout::rows_reversed : Layout::natural);
    }
    const SplitGrid& result = into_second_grid ? second_grid : grid;
    Array<float> out({n, n, 2});
    float* o = out.mutable_data();
    // Out of a second grid, only the first `stride` values of each row are laid out; the rest
    // stays NaN.
    const std::int32_t width = static_cast<std::int32_t>(std::min<std::size_t>(stride, static_cast<std::size_t>(n)));
    std::fill(out.mutable_data(), out.mutable_data() + 2 * static_cast<std::size_t>(n) * n, std::nanf(""));
    for (std::int32_t a = 0; a < n; ++a) {
        const std::size_t row = (reversed_output ? reversed_row(a, n) : static_cast<std::size_t>(a)) * stride;
        for (std::int32_t b = 0; b < width; ++b) {
            o[2 * (static_cast<std::size_t>(a) * n + b)] = result.re()[row + b];
            o[2 * (static_cast<std::size_t>(a) * n + b) + 1] = result.im()[row + b];
        }
    }
    return out;
}

// a times the conjugate of b, element by element, transposed, through the transform grid.
Array<std::complex<float>> py_multiply_conjugate_transposed(const Array<std::complex<float>>& a,
                                                            const Array<std::complex<float>>& b) {
    if (a.ndim() != 2 || a.shape(0) != a.shape(1) || b.ndim() != 2 || b.shape(0) != a.shape(0) ||
        b.shape(1) != a.shape(1)) {
        throw py::value_error("a and b must be square and of one size");
    }
    const auto n = static_cast<std::int32_t>(a.shape(0));
    SplitGrid x(n), y(n);
    for (std::size_t k = 0; k < static_cast<std::size_t>(n) * n; ++k) {
        x.re()[k] = a.data()[k].real();
        x.im()[k] = a.data()[k].imag();
        y.re()[k] = b.data()[k].real();
        y.im()[k] = b.data()[k].imag();
    }
    x.multiply_conjugate_transposed(y);
    Array<std::complex<float>> out({n, n});
    for (std::size_t k = 0; k < static_cast<std::size_t>(n) * n; ++k) out.mutable_data()[k] = {x.re()[k], x.im()[k]};
    return out;
}

py::tuple py_lu_decompose(const Array<float>& matrix) {
    sized(matrix, 36, "matrix");
    float m[36];
    std::memcpy(m, matrix.data(), sizeof m);
    std::int32_t index[6] = {-1, -1, -1, -1, -1, -1};
    const std::int32_t status = lu_decompose(m, index);
    return py::make_tuple(status, copy_of(m, {6, 6}), copy_of(index, {6}));
}

Array<float> py_lu_solve(const Array<float>& factors, const Array<std::int32_t>& index, const Array<float>& rhs) {
    sized(factors, 36, "factors");
    sized(index, 6, "index");
    sized(rhs, 6, "rhs");
    for (py::ssize_t k = 0; k < 5; ++k) {
        if (index.data()[k] < 0 || index.data()[k] > 5) throw py::value_error("index entries must lie in 0..5");
    }
    float b[6];
    std::memcpy(b, rhs.data(), sizeof b);
    lu_solve(factors.data(), index.data(), b);
    return copy_of(b, {6});
}

py::tuple py_invert_matrix(const Array<float>& matrix) {
    sized(matrix, 36, "matrix");
    float m[36];
    float inv[36];
    std::memcpy(m, matrix.data(), sizeof m);
    const std::int32_t status = invert_matrix(m, inv);
    return py::make_tuple(copy_of(inv, {6, 6}), copy_of(m, {6, 6}), status);
}

struct ChipExtents {
    std::int32_t sw, sh, rw, rh;
};

ChipExtents check_chips(const Array<float>& search, const Array<float>& ref) {
    if (search.ndim() != 2 || ref.ndim() != 2) throw py::value_error("chips must be 2-D");
    ChipExtents p{static_cast<std::int32_t>(search.shape(1)), static_cast<std::int32_t>(search.shape(0)),
               static_cast<std::int32_t>(ref.shape(1)), static_cast<std::int32_t>(ref.shape(0))};
    if (p.sw > kSearchChip.max || p.sh > kSearchChip.max || p.rw > p.sw || p.rh > p.sh || p.rw < 1 || p.rh < 1) {
        throw py::value_error("need 1 <= reference <= search <= " + std::to_string(kSearchChip.max) +
                              " in both extents");
    }
    return p;
}

ChipPair chip_pair(const Array<float>& search, const Array<float>& ref, const ChipExtents& p) {
    return {search.data(), ref.data(), {float(p.sw), float(p.sh)}, {float(p.rw), float(p.rh)}};
}

Array<float> py_correlate_fft(const Array<float>& search, const Array<float>& ref) {
    const ChipExtents p = check_chips(search, ref);
    const std::int32_t cols = p.sw - p.rw + 1, rows = p.sh - p.rh + 1;
    Array<float> raw({rows, cols});
    const std::int32_t n = grid_size(p.sw, p.sh);
    SplitGrid search_grid(n);
    SplitGrid ref_grid(n);
    correlate_fft(chip_pair(search, ref, p), raw.mutable_data(), search_grid, ref_grid);
    return raw;
}

py::dict candidates_dict(const Candidates& c) {
    py::dict d;
    d["peak_values"] = copy_of(c.values, {kCandidates});
    d["peak_cols"] = copy_of(c.cols, {kCandidates});
    d["peak_rows"] = copy_of(c.rows, {kCandidates});
    return d;
}

py::dict py_normalise_correlation(const Array<float>& ref, const Array<float>& search, const Array<float>& raw) {
    const ChipExtents p = check_chips(search, ref);
    const std::int32_t cols = p.sw - p.rw + 1, rows = p.sh - p.rh + 1;
    sized(raw, static_cast<py::ssize_t>(rows) * cols, "raw_surface");
    Array<float> surface({rows, cols});
    Candidates cand;
    float sums[2] = {123.0f, 456.0f};
    SurfaceScratch scratch;
    normalise_correlation(chip_pair(search, ref, p), raw.data(), surface.mutable_data(), cand, sums, scratch);
    py::dict d = candidates_dict(cand);
    d["surface"] = surface;
    d["coef_sums"] = copy_of(sums, {2});
    return d;
}

Candidates candidates_from(const Array<float>& values, const Array<std::int32_t>& cols, const Array<std::int32_t>& rows) {
    sized(values, kCandidates, "peak_values");
    sized(cols, kCandidates, "peak_cols");
    sized(rows, kCandidates, "peak_rows");
    Candidates c;
    std::memcpy(c.values, values.data(), sizeof c.values);
    std::memcpy(c.cols, cols.data(), sizeof c.cols);
    std::memcpy(c.rows, rows.data(), sizeof c.rows);
    return c;
}

py::dict py_evaluate_peak(const Array<float>& surface, const Array<float>& values, const Array<std::int32_t>& cols,
                          const Array<std::int32_t>& rows, const Array<float>& coef_sums, float min_strength) {
    if (surface.ndim() != 2) throw py::value_error("surface must be 2-D");
    const Candidates c = candidates_from(values, cols, rows);
    const auto h = static_cast<std::int32_t>(surface.shape(0));
    const auto w = static_cast<std::int32_t>(surface.shape(1));
    if (c.cols[0] >= 0 && c.rows[0] >= 0 && (c.cols[0] >= w || c.rows[0] >= h)) {
        throw py::value_error("best candidate lies outside the surface");
    }
    sized(coef_sums, 2, "coef_sums");
    float sums[2] = {coef_sums.data()[0], coef_sums.data()[1]};
    float neighbourhood[25];
    std::fill(neighbourhood, neighbourhood + 25, 0.0f);
    PeakDetails details;
    const PeakResult r = evaluate_peak({surface.data(), w, h}, c, sums, min_strength, neighbourhood, &details);
    py::dict d;
    d["status"] = r.status;
    d["strength"] = r.strength;
    d["neighbourhood"] = r.status == status::accepted ? py::object(copy_of(neighbourhood, {5, 5})) : py::none();
    d["coef_sums"] = copy_of(sums, {2});
    d["far1"] = details.far1;
    d["far2"] = details.far2;
    d["distinct"] = details.distinct;
    d["background_count"] = details.background_count;
    d["mean"] = details.mean;
    d["sd"] = details.sd;
    d["z1"] = details.z1;
    return d;
}

py::dict py_fit_peak(const Array<float>& neighbourhood, std::int32_t fit_type) {
    sized(neighbourhood, 25, "neighbourhood");
    float offsets[2];
    float errors[2];
    FitDetails details;
    fit_peak(neighbourhood.data(), fit_type, offsets, errors, &details);
    py::dict d;
    d["offsets"] = copy_of(offsets, {2});
    d["errors"] = copy_of(errors, {2});
    d["lu_status"] = details.lu_status;
    d["coef"] = copy_of(details.coef, {6});
    d["det"] = details.det;
    return d;
}

py::tuple py_accumulate(const Array<float>& neighbourhood, std::int32_t fit_type) {
    sized(neighbourhood, 25, "neighbourhood");
    FitObservations observed;
    NormalEquations equations;
    accumulate_normal_equations(neighbourhood.data(), fit_type, observed, equations);
    return py::make_tuple(copy_of(observed.z, {5, 5}), copy_of(observed.w, {5, 5}), copy_of(equations.matrix, {6, 6}),
                          copy_of(equations.rhs, {6}));
}

Array<float> py_estimate_errors(const Array<float>& z, const Array<float>& w, const Array<float>& inverse,
                                const Array<float>& coef, const Array<float>& offsets) {
    sized(z, 25, "z");
    sized(w, 25, "w");
    sized(inverse, 36, "inverse");
    sized(coef, 6, "coef");
    sized(offsets, 2, "offsets");
    FitObservations observed;
    std::memcpy(observed.z, z.data(), sizeof observed.z);
    std::memcpy(observed.w, w.data(), sizeof observed.w);
    QuadricFit fit;
    std::memcpy(fit.inverse, inverse.data(), sizeof fit.inverse);
    std::memcpy(fit.coef, coef.data(), sizeof fit.coef);
    std::memcpy(fit.offsets, offsets.data(), sizeof fit.offsets);
    float errors[2];
    estimate_fit_errors(observed, fit, errors);
    return copy_of(errors, {2});
}

// With keep_workspace, the calls of a thread share one workspace per kernel build, as a caller
// matching many points keeps one (benchmarks: no allocation per call).
py::dict py_correlate_and_locate(const Array<float>& search, const Array<float>& ref, float min_strength,
                                 std::int32_t peak_method, float max_diff, float hoffset, float voffset,
                                 bool keep_workspace) {
    const ChipExtents p = check_chips(search, ref);
    Location loc;
    thread_local std::map<Kernel, Workspace> kept;
    Workspace fresh;
    correlate_and_locate(chip_pair(search, ref, p), {min_strength, peak_method, max_diff}, {hoffset, voffset}, loc,
                         keep_workspace ? kept[best_kernel()] : fresh);
    py::dict d;
    d["status"] = loc.status;
    d["strength"] = loc.strength;
    d["dx"] = loc.dx;
    d["dy"] = loc.dy;
    d["errors"] = copy_of(loc.errors, {2});
    d["length"] = loc.length;
    return d;
}

// correlate_and_locate `runs` times on the same chips in one workspace: the allocations each run made.
std::vector<long> py_allocations_per_run(const Array<float>& search, const Array<float>& ref, std::int32_t runs) {
    const ChipExtents p = check_chips(search, ref);
    const ChipPair chips = chip_pair(search, ref, p);
    const PeakSettings settings{1.0f, fit::log, -2.0f};
    const Margins margins{static_cast<float>(p.sw - p.rw) / 2, static_cast<float>(p.sh - p.rh) / 2};
    std::vector<long> counts;
    counts.reserve(static_cast<std::size_t>(std::max(runs, 0)));
    Workspace work;
    for (std::int32_t k = 0; k < runs; ++k) {
        Location loc;
        const long before = allocations.load();
        correlate_and_locate(chips, settings, margins, loc, work);
        counts.push_back(allocations.load() - before);
    }
    return counts;
}

// f applied to every element of a float32 array.
template <typename F>
Array<float> each_float(const Array<float>& x, F f) {
    Array<float> out(std::vector<py::ssize_t>{x.size()});
    const float* in = x.data();
    float* to = out.mutable_data();
    for (py::ssize_t k = 0; k < x.size(); ++k) to[k] = f(in[k]);
    return out;
}

// The twiddle sine, with the C library's sine or with one that is always a unit in the last place
// too high (so that every stored angle takes the stored value).
double py_twiddle_sine(double theta, bool faulty_platform) {
    if (!faulty_platform) return twiddle_sine(theta);
    return twiddle_sine(theta, [](double x) { return std::nextafter(std::sin(x), 2.0); });
}

}  // namespace

PYBIND11_MODULE(_talmek_testsupport, m) {
    // Codes that only the stages' own results carry (a match result never does).
    m.attr("CHIP_OK") = status::chip_ok;
    m.attr("CHIP_NO_BUFFER") = status::no_chip_buffer;
    m.attr("LU_OK") = status::solver_ok;
    m.def("extract_chip", &py_extract_chip, py::arg("image"), py::arg("row"), py::arg("col"), py::arg("width"),
          py::arg("height"), py::arg("min_size"), py::arg("max_size"), py::arg("with_buffer") = true);
    m.def("fft2d", &py_fft2d, py::arg("data"), py::arg("sign"),
          "Transform of a complex64 array; returns float32 (rows, cols, 2)");
    m.def("fft2d_status", &py_fft2d_status, py::arg("data"), py::arg("sign"),
          "(transformed?, float32 (rows, cols, 2) as fft2d left it)");
    m.def("fft2d_fast", &py_fft2d_fast, py::arg("data"), py::arg("sign"), py::arg("transposed_input") = false,
          py::arg("first") = std::vector<std::int32_t>{}, py::arg("second") = std::vector<std::int32_t>{},
          py::arg("kernel") = "best", py::arg("schedule") = "planned", py::arg("reversed_input") = false,
          py::arg("reversed_output") = false, py::arg("reversed_transposed_input") = false,
          py::arg("into_second_grid") = false);
    m.def("multiply_conjugate_transposed", &py_multiply_conjugate_transposed, py::arg("a"), py::arg("b"));
    m.def("kernel_supported", [](const std::string& name) { return kernel_supported(kernel_called(name)); });
    m.def("schedules", [] {
        std::vector<std::string> names;
        for (const Schedule s : kSchedules) names.emplace_back(schedule_name(s));
        return names;
    });
    m.def("transform_plan", &py_transform_plan, py::arg("n"), py::arg("sign"));
    m.def("force_fft", &py_force_fft, py::arg("kernel") = py::none(), py::arg("schedule") = py::none(),
          "Kernel build and schedule of every transform that names none, from now on; None: the default");
    m.def("reset_fft", [] { detail::force_fft(std::nullopt, std::nullopt); },
          "Back to the widest kernel build and the timed schedules");
    m.def("forced_fft", &py_forced_fft, "What force_fft set: {'kernel': name or None, 'schedule': name or None}");
    m.def("lu_decompose", &py_lu_decompose, py::arg("matrix"));
    m.def("lu_solve", &py_lu_solve, py::arg("factors"), py::arg("index"), py::arg("rhs"));
    m.def("invert_matrix", &py_invert_matrix, py::arg("matrix"));
    m.def("grid_size", &grid_size, py::arg("search_width"), py::arg("search_height"));
    m.def("correlate_fft", &py_correlate_fft, py::arg("search"), py::arg("ref"));
    m.def("normalise_correlation", &py_normalise_correlation, py::arg("ref"), py::arg("search"), py::arg("raw_surface"));
    m.def("evaluate_peak", &py_evaluate_peak, py::arg("surface"), py::arg("peak_values"), py::arg("peak_cols"),
          py::arg("peak_rows"), py::arg("coef_sums"), py::arg("min_strength"));
    m.def("fit_peak", &py_fit_peak, py::arg("neighbourhood"), py::arg("fit_type"));
    m.def("accumulate_normal_equations", &py_accumulate, py::arg("neighbourhood"), py::arg("fit_type"));
    m.def("estimate_fit_errors", &py_estimate_errors, py::arg("z"), py::arg("w"), py::arg("inverse"),
          py::arg("coef"), py::arg("offsets"));
    m.def("correlate_and_locate", &py_correlate_and_locate, py::arg("search"), py::arg("ref"),
          py::arg("min_strength"), py::arg("peak_method"), py::arg("max_diff"), py::arg("hoffset"),
          py::arg("voffset"), py::arg("keep_workspace") = false);
    m.attr("COUNTS_ALLOCATIONS") = bool(TALMEK_COUNT_ALLOCATIONS);
    m.def("allocations_per_run", &py_allocations_per_run, py::arg("search"), py::arg("ref"), py::arg("runs"));
    m.def("log_float", [](const Array<float>& x) { return each_float(x, log_float); }, py::arg("x"));
    m.def("platform_logf", [](const Array<float>& x) { return each_float(x, [](float v) { return std::log(v); }); },
          py::arg("x"), "The C library's logarithm on floats, element by element");
    m.def("twiddle_sine", &py_twiddle_sine, py::arg("theta"), py::arg("faulty_platform") = false);
    m.def("stored_twiddle_sine", &stored_twiddle_sine, py::arg("j"));
    m.def("twiddle_sine_count", &twiddle_sine_count);
}
