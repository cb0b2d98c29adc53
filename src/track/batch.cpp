// Many point pairs of one image pair, matched on native threads while the interpreter runs on.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <limits>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "engine/engine_facts.h"
#include "engine/pipeline.h"
#include "engine/workspace.h"
#include "module/image_conversion.h"
#include "records/line_seg.h"
#include "records/matching_params.h"

namespace py = pybind11;

namespace talmek::track {

// One matched point: the pair as given, then the LineSeg fields. The natural alignment of this
// layout is what the NumPy record type mirrors, so workers write straight into the result array.
struct PointRecord {
    std::int32_t row1, col1, row2, col2;
    double x1, y1, x2, y2, length;
    float strength, displacement, rms_1, rms_2;
    std::int32_t active;
};

namespace {

using bindings::BorrowedImage;
using bindings::ImageArray;
using PointArray = py::array_t<std::int32_t, py::array::c_style>;

constexpr auto kPollInterval = std::chrono::milliseconds(50);

unsigned default_threads() {
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n;
}

// State that the workers and the waiting caller share.
struct Batch {
    const ImageRows* image1 = nullptr;
    const ImageRows* image2 = nullptr;
    MatchingParams params;
    const std::int32_t* points = nullptr;  // n rows of (row1, col1, row2, col2)
    PointRecord* out = nullptr;
    std::size_t n = 0;

    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> done{0};
    std::atomic<bool> stop{false};

    std::mutex mutex;
    std::condition_variable finished;
    unsigned running = 0;
    std::size_t failures = 0;
    std::string first_error;

    void note_failure(const char* what) {
        std::lock_guard<std::mutex> lock(mutex);
        if (failures++ == 0) first_error = what;
    }
};

void fill(PointRecord& r, const std::int32_t* p, const LineSeg& seg) {
    r.row1 = p[0];
    r.col1 = p[1];
    r.row2 = p[2];
    r.col2 = p[3];
    r.x1 = seg.x1;
    r.y1 = seg.y1;
    r.x2 = seg.x2;
    r.y2 = seg.y2;
    r.length = seg.length;
    r.strength = seg.strength;
    r.displacement = seg.displacement;
    r.rms_1 = seg.rms_1;
    r.rms_2 = seg.rms_2;
    r.active = seg.active;
}

// Takes points one at a time until none are left, so that uneven matches balance out. A point
// whose match throws gets the all-zero record that SelectedMatch would return; the batch goes on.
void work_through(Batch& b) {
    Workspace work;
    Matcher matcher = make_matcher(b.params, static_cast<std::int32_t>(b.image1->row_count()),
                                   static_cast<std::int32_t>(b.image2->row_count()));
    while (!b.stop.load(std::memory_order_relaxed)) {
        const std::size_t i = b.next.fetch_add(1, std::memory_order_relaxed);
        if (i >= b.n) break;
        const std::int32_t* p = b.points + 4 * i;
        const std::int32_t row[2] = {p[0], p[2]};
        const std::int32_t col[2] = {p[1], p[3]};
        LineSeg seg;
        try {
            match_pair(matcher, *b.image1, *b.image2, seg, row, col, work);
        } catch (const std::exception& e) {
            seg = LineSeg{};
            b.note_failure(e.what());
        } catch (...) {
            seg = LineSeg{};
            b.note_failure("unknown error");
        }
        fill(b.out[i], p, seg);
        b.done.fetch_add(1, std::memory_order_relaxed);
    }
}

void worker(Batch& b) {
    work_through(b);
    std::lock_guard<std::mutex> lock(b.mutex);
    --b.running;
    b.finished.notify_all();
}

void require_2d(const ImageArray& image, const char* name) {
    if (image.ndim() != 2) {
        throw py::value_error(std::string(name) + " must be a two-dimensional array, got " +
                              std::to_string(image.ndim()) + " dimensions");
    }
    if (!bindings::fits_row_and_column_counts(image.shape(0), image.shape(1))) {
        throw py::value_error(std::string(name) + " has " + std::to_string(image.shape(0)) + " rows and " +
                              std::to_string(image.shape(1)) +
                              " columns; at most 2147483647 of each can be matched");
    }
}

// Runs the workers with the interpreter lock released. The calling thread wakes every poll
// interval to report progress and to notice Ctrl-C; an exception there stops the workers, which
// are joined before it propagates so that nothing touches the arrays afterwards.
void run(Batch& b, unsigned threads, const py::object& progress) {
    std::exception_ptr failure;
    std::size_t reported = std::numeric_limits<std::size_t>::max();
    {
        py::gil_scoped_release nogil;
        std::vector<std::jthread> pool;
        pool.reserve(threads);
        for (unsigned t = 0; t < threads; ++t) {
            {
                std::lock_guard<std::mutex> lock(b.mutex);
                ++b.running;
            }
            try {
                pool.emplace_back([&b] { worker(b); });
            } catch (const std::system_error&) {
                std::lock_guard<std::mutex> lock(b.mutex);
                --b.running;
                break;
            }
        }
        // No thread could be had: the caller does the work itself.
        if (pool.empty()) work_through(b);

        std::unique_lock<std::mutex> lock(b.mutex);
        while (b.running > 0) {
            if (b.finished.wait_for(lock, kPollInterval, [&b] { return b.running == 0; })) break;
            lock.unlock();
            {
                py::gil_scoped_acquire gil;
                try {
                    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
                    const std::size_t done = b.done.load(std::memory_order_relaxed);
                    if (!progress.is_none() && done != reported) {
                        reported = done;
                        progress(done);
                    }
                } catch (...) {
                    failure = std::current_exception();
                }
            }
            lock.lock();
            if (failure) {
                b.stop.store(true);
                break;
            }
        }
        lock.unlock();
        pool.clear();  // joins
    }
    if (failure) std::rethrow_exception(failure);
    if (!progress.is_none() && reported != b.n) progress(b.n);
}

py::tuple match_points(const ImageArray& image1, const ImageArray& image2, const PointArray& points,
                       const py::object& params, unsigned threads, const py::object& progress) {
    require_2d(image1, "image1");
    require_2d(image2, "image2");
    if (points.ndim() != 2 || points.shape(1) != 4) {
        throw py::value_error("points must be an (n, 4) array of row1, col1, row2, col2");
    }
    if (!progress.is_none() && !PyCallable_Check(progress.ptr())) {
        throw py::type_error("progress must be callable or None");
    }
    Batch b;
    try {
        b.params = params.cast<MatchingParams>();
    } catch (const py::cast_error&) {
        throw py::type_error("params must be a Talmek.MatchingParams");
    }
    const BorrowedImage ref = bindings::to_image_rows(image1);
    const BorrowedImage srch = bindings::to_image_rows(image2);
    b.image1 = &ref.rows;
    b.image2 = &srch.rows;
    b.n = static_cast<std::size_t>(points.shape(0));
    b.points = points.data();

    py::array_t<PointRecord> records(static_cast<py::ssize_t>(b.n));
    b.out = records.mutable_data();
    // The record's trailing padding would otherwise carry whatever the allocation held.
    std::memset(static_cast<void*>(b.out), 0, b.n * sizeof(PointRecord));
    if (threads == 0) threads = default_threads();
    threads = static_cast<unsigned>(std::min<std::size_t>(threads, std::max<std::size_t>(b.n, 1)));
    run(b, threads, progress);
    return py::make_tuple(records, b.failures, b.first_error);
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
          "Matches each (row1, col1, row2, col2) row of points; 0 threads means all cores. "
          "Returns (records, failed point count, first failure message).");
}
