#include <pybind11/pybind11.h>

#include "module/bindings.h"

namespace py = pybind11;

PYBIND11_MODULE(Talmek, m) {
    // SelectedMatch comes first among the attributes, but its signature can only name the record
    // classes once they exist: hold its place, register the classes, then define it in that place.
    m.attr("SelectedMatch") = py::none();
    talmek::bindings::register_line_seg(m);
    talmek::bindings::register_matching_params(m);
    talmek::bindings::register_selected_match(m);
    m.attr("__doc__") = py::str("Sub-pixel displacement of image features by normalised cross-correlation");
    m.attr("__version__") = py::str(TALMEK_VERSION);
    m.attr("version") = py::str(TALMEK_VERSION);
}
