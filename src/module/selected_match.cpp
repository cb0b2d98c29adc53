#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdio>
#include <exception>
#include <stdexcept>
#include <vector>

#include "engine/pipeline.h"
#include "module/bindings.h"
#include "module/image_conversion.h"
#include "records/line_seg.h"
#include "records/matching_params.h"

namespace py = pybind11;

namespace talmek::bindings {

ImageRows to_image_rows(const ImageArray& array) {
    const py::buffer_info info = array.request();
    if (info.ndim != 2) throw std::runtime_error("Input array must be 2D");
    const auto rows = static_cast<std::size_t>(info.shape[0]);
    const auto cols = static_cast<std::size_t>(info.shape[1]);
    const py::ssize_t s0 = info.strides[0];
    const py::ssize_t s1 = info.strides[1];
    const auto* base = static_cast<const std::uint8_t*>(info.ptr);
    ImageRows image(rows, cols);
    for (std::size_t i = 0; i < rows; ++i) {
        std::uint8_t* out = image.row(i);
        for (std::size_t j = 0; j < cols; ++j) {
            out[j] = base[static_cast<py::ssize_t>(i) * s0 + static_cast<py::ssize_t>(j) * s1];
        }
    }
    return image;
}

namespace {

// Failures inside the native code reach the caller as one line on the process's standard error
// and an all-zero result, never as a Python exception.
void report_error(const std::exception& e) {
    std::fputs("Error: ", stderr);
    std::fputs(e.what(), stderr);
    std::fputs("\n", stderr);
    std::fflush(stderr);
}

LineSeg selected_match(const ImageArray& image1, const ImageArray& image2,
                       const std::vector<std::int32_t>& row, const std::vector<std::int32_t>& col,
                       const MatchingParams& params) {
    LineSeg result;
    try {
        const ImageRows ref = to_image_rows(image1);
        const ImageRows srch = to_image_rows(image2);
        Matcher matcher = make_matcher(params, static_cast<std::int32_t>(ref.row_count()),
                                       static_cast<std::int32_t>(srch.row_count()));
        match_pair(matcher, ref, srch, result, row, col);
    } catch (const std::exception& e) {
        report_error(e);
    }
    return result;
}

}  // namespace

void register_selected_match(py::module_& m) {
    m.def("SelectedMatch", &selected_match, py::arg("image1"), py::arg("image2"), py::arg("row"),
          py::arg("col"), py::arg("params"), "Image matchign with a selected pixel");
}

}  // namespace talmek::bindings
