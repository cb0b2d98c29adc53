// The native half of talmek_track: the batch runner and the engine's facts for Python.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "engine/engine_facts.h"
#include "module/image_conversion.h"
#include "track/runner.h"

namespace py = pybind11;

namespace talmek::track {
namespace {

using bindings::BorrowedImage;
using bindings::ImageArray;
using PointArray = py::array_t<std::int32_t, py::array::c_style>;

void require_2d(const ImageArray& image, const char* name) {
    if (image.ndim() != 2) {
        throw py::value_error(std::string(name) + " must be a two-dimensional array, got " +
                              std::to_string(image.ndim()) + " dimensions");
    }
    if (!bindings::fits_row_and_column_counts(image.shape(0), image.shape(1))) {
        throw py::value_error(std::string(name) + " has " + std::to_string(image.shape(0)) + " rows and " +
                              std::to_string(image.shape(1)) + " columns; at most " +
                              std::to_string(std::numeric_limits<std::int32_t>::max()) +
                              " of each can be matched");
    }
}

// A Python integer as a 64-bit one; refuses anything else, bool included.
std::int64_t integer(py::handle value, const std::string& what) {
    if (PyBool_Check(value.ptr()) || !PyIndex_Check(value.ptr())) {
        throw py::type_error(what + " must be integers");
    }
    const py::int_ i = py::reinterpret_steal<py::int_>(PyNumber_Index(value.ptr()));
    if (!i) throw py::error_already_set();
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(i.ptr(), &overflow);
    if (overflow != 0) throw py::value_error(what + " are out of range");
    return v;
}

// The image as the window (row0, col0, full_rows, full_cols) describes it: the array holds the
// part of a full_rows x full_cols image that starts at (row0, col0). None: the array is the image.
ImageRows placed(const ImageRows& held, const py::object& window, const char* name) {
    if (window.is_none()) return held;
    const std::string what = std::string(name) + " (row0, col0, full_rows, full_cols)";
    if (!py::isinstance<py::tuple>(window) || py::len(window) != 4) {
        throw py::type_error(what + " must be a tuple of four integers or None");
    }
    std::int64_t v[4];
    for (std::size_t k = 0; k < 4; ++k) v[k] = integer(window[py::int_(k)], what);
    const auto [row0, col0, full_rows, full_cols] = v;
    if (row0 < 0 || col0 < 0) throw py::value_error(what + " must not start at a negative row or column");
    if (!bindings::fits_row_and_column_counts(full_rows, full_cols)) {
        throw py::value_error(what + ": the full image has more rows or columns than a 32-bit count holds");
    }
    if (row0 + static_cast<std::int64_t>(held.row_count()) > full_rows ||
        col0 + static_cast<std::int64_t>(held.width()) > full_cols) {
        throw py::value_error(what + ": the array reaches beyond the full image");
    }
    return held.placed_in(static_cast<std::size_t>(row0), static_cast<std::size_t>(col0),
                          static_cast<std::size_t>(full_rows), static_cast<std::size_t>(full_cols));
}

// Progress reports and Ctrl-C, polled with the interpreter lock while the workers run without it.
struct ProgressReport {
    const py::object& progress;
    std::optional<std::size_t> reported;

    bool operator()(std::size_t done) {
        py::gil_scoped_acquire gil;
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        if (!progress.is_none() && done != reported) {
            reported = done;
            progress(done);
        }
        return true;
    }
};

py::tuple match_points(const ImageArray& image1, const ImageArray& image2, const PointArray& points,
                       const py::object& params, unsigned threads, const py::object& progress,
                       const py::object& window1, const py::object& window2) {
    require_2d(image1, "image1");
    require_2d(image2, "image2");
    if (points.ndim() != 2 || points.shape(1) != 4) {
        throw py::value_error("points must be an (n, 4) array of row1, col1, row2, col2");
    }
    if (!progress.is_none() && !PyCallable_Check(progress.ptr())) {
        throw py::type_error("progress must be callable or None");
    }
    BatchJob job;
    try {
        job.params = params.cast<MatchingParams>();
    } catch (const py::cast_error&) {
        throw py::type_error("params must be a Talmek.MatchingParams");
    }
    const BorrowedImage ref = bindings::to_image_rows(image1);
    const BorrowedImage srch = bindings::to_image_rows(image2);
    const ImageRows placed1 = placed(ref.rows, window1, "window1");
    const ImageRows placed2 = placed(srch.rows, window2, "window2");
    job.image1 = &placed1;
    job.image2 = &placed2;
    job.n = static_cast<std::size_t>(points.shape(0));
    job.points = points.data();

    py::array_t<PointRecord> records(static_cast<py::ssize_t>(job.n));
    job.out = records.mutable_data();
    // The record's trailing padding would otherwise carry whatever the allocation held.
    std::memset(static_cast<void*>(job.out), 0, job.n * sizeof(PointRecord));
    ProgressReport report{progress, std::nullopt};
    BatchOutcome outcome;
    {
        py::gil_scoped_release nogil;
        outcome = run_batch(job, threads, std::ref(report));
    }
    if (!progress.is_none() && report.reported != job.n) progress(job.n);
    return py::make_tuple(records, outcome.failures, outcome.first_error);
}

// An integer array as int64, refusing other kinds (floats would be truncated silently) and
// unsigned 64-bit values that int64 cannot hold.
py::array_t<std::int64_t> int64_array(const py::object& values, const char* name) {
    const py::module_ np = py::module_::import("numpy");
    const py::object array = np.attr("asarray")(values);
    if (!np.attr("can_cast")(array.attr("dtype"), np.attr("int64"), "safe").cast<bool>()) {
        throw py::type_error(std::string(name) + " must hold integers, got " +
                             py::str(array.attr("dtype")).cast<std::string>());
    }
    return array.attr("astype")(np.attr("int64"));
}

// chip_origin over arrays: centres and size broadcast against each other.
py::array_t<std::int64_t> chip_origins(const py::object& centres, const py::object& size) {
    const py::module_ np = py::module_::import("numpy");
    const py::tuple both = np.attr("broadcast_arrays")(int64_array(centres, "centres"), int64_array(size, "size"));
    using Contiguous = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;
    const Contiguous c = Contiguous::ensure(both[0]);
    const Contiguous s = Contiguous::ensure(both[1]);
    py::array_t<std::int64_t> out(std::vector<py::ssize_t>(c.shape(), c.shape() + c.ndim()));
    const std::int64_t* cv = c.data();
    const std::int64_t* sv = s.data();
    std::int64_t* ov = out.mutable_data();
    constexpr auto lo = std::numeric_limits<std::int32_t>::min();
    constexpr auto hi = std::numeric_limits<std::int32_t>::max();
    for (py::ssize_t k = 0; k < c.size(); ++k) {
        if (cv[k] < lo || cv[k] > hi || sv[k] < lo || sv[k] > hi) {
            throw py::value_error("centres and size must lie in the 32-bit integer range");
        }
        ov[k] = chip_origin(static_cast<std::int32_t>(cv[k]), static_cast<std::int32_t>(sv[k]));
    }
    return out;
}

}  // namespace
}  // namespace talmek::track

PYBIND11_MODULE(_batch, m) {
    using talmek::track::PointRecord;
    PYBIND11_NUMPY_DTYPE(PointRecord, row1, col1, row2, col2, x1, y1, x2, y2, length, strength,
                         displacement, rms_1, rms_2, active);
    m.doc() = "Native half of talmek_track: point batches matched on native threads";
    m.attr("record_dtype") = py::dtype::of<PointRecord>();
    py::dict statuses;
    for (const auto& s : talmek::kMatchStatuses) statuses[py::str(s.name.data(), s.name.size())] = s.code;
    m.attr("STATUS") = statuses;
    m.attr("REF_CHIP_MIN") = talmek::kReferenceChip.min;
    m.attr("REF_CHIP_MAX") = talmek::kReferenceChip.max;
    m.attr("SEARCH_CHIP_MIN") = talmek::kSearchChip.min;
    m.attr("SEARCH_CHIP_MAX") = talmek::kSearchChip.max;
    m.def("chip_origin", &talmek::track::chip_origins, py::arg("centres"), py::arg("size"),
          "First row (or column) of a chip of `size` pixels around each centre, as int64; the "
          "arguments broadcast against each other");
    m.def("default_threads", &talmek::track::default_threads,
          "Threads used when none are asked for: the hardware's concurrency");
    m.def("match_points", &talmek::track::match_points, py::arg("image1"), py::arg("image2"),
          py::arg("points"), py::arg("params"), py::arg("threads"), py::arg("progress"),
          py::arg("window1") = py::none(), py::arg("window2") = py::none(),
          "Matches each (row1, col1, row2, col2) row of points; 0 threads means all cores. "
          "windowK = (row0, col0, full_rows, full_cols) says that imageK holds the part of a "
          "larger image that starts at (row0, col0): points, chip bounds and map coordinates "
          "are those of the full image, and a point whose chip lies inside the full image but "
          "not inside the part held fails. Returns (records, failed point count, first failure "
          "message).");
}
