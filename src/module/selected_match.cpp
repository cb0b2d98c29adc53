#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdio>
#include <exception>
#include <stdexcept>
#include <utility>
#include <vector>

#include "engine/pipeline.h"
#include "module/bindings.h"
#include "module/image_conversion.h"
#include "records/line_seg.h"
#include "records/matching_params.h"

namespace py = pybind11;

namespace talmek::bindings {

namespace {

// The error of a call whose params is None: a RuntimeError, as the module has always raised, and a
// TypeError too, as wrong argument types are. Made once; it is not a module attribute.
PyObject* params_error_type() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<py::object> storage;
    return storage
        .call_once_and_store_result([] {
            const py::tuple bases = py::make_tuple(py::handle(PyExc_RuntimeError), py::handle(PyExc_TypeError));
            PyObject* type = PyErr_NewException("Talmek.ParamsError", bases.ptr(), nullptr);
            if (type == nullptr) throw py::error_already_set();
            return py::reinterpret_steal<py::object>(type);
        })
        .get_stored()
        .ptr();
}

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
                       const MatchingParams* params) {
    // None reaches here as a null record.
    if (params == nullptr) {
        PyErr_SetString(params_error_type(), "params must be a Talmek.MatchingParams, got None");
        throw py::error_already_set();
    }
    LineSeg result;
    try {
        const BorrowedImage ref = to_image_rows(image1);
        const BorrowedImage srch = to_image_rows(image2);
        Matcher matcher = make_matcher(*params, static_cast<std::int32_t>(ref.rows.row_count()),
                                       static_cast<std::int32_t>(srch.rows.row_count()));
        match_pair(matcher, ref.rows, srch.rows, result, row, col);
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
