#include <pybind11/pybind11.h>

#include "module/bindings.h"

namespace py = pybind11;

// The function comes first, then the two record classes, then the descriptive attributes.
PYBIND11_MODULE(Talmek, m) {
    talmek::bindings::register_selected_match(m);
    talmek::bindings::register_line_seg(m);
    talmek::bindings::register_matching_params(m);
    m.attr("__doc__") = py::str("Sub-pixel displacement of image features by normalised cross-correlation");
    m.attr("__version__") = py::str("1.1.1");
    m.attr("version") = py::str("1.1.1");
}
