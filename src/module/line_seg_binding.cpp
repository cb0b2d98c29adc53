#include <pybind11/pybind11.h>

#include <stdexcept>

#include "module/bindings.h"
#include "records/line_seg.h"

namespace py = pybind11;

namespace talmek::bindings {

namespace {

py::tuple line_seg_state(const LineSeg& s) {
    return py::make_tuple(s.x1, s.y1, s.x2, s.y2, s.strength, s.displacement, s.rms_1, s.rms_2,
                          s.active);
}

LineSeg line_seg_from_state(const py::tuple& t) {
    if (t.size() != 9) throw std::runtime_error("Invalid state!");
    LineSeg s;
    s.set_coors(t[0].cast<double>(), t[1].cast<double>(), t[2].cast<double>(), t[3].cast<double>());
    s.strength = t[4].cast<float>();
    s.displacement = t[5].cast<float>();
    s.rms_1 = t[6].cast<float>();
    s.rms_2 = t[7].cast<float>();
    s.active = t[8].cast<std::int32_t>();
    return s;
}

}  // namespace

void register_line_seg(py::module_& m) {
    py::class_<LineSeg> cls(m, "LineSeg", built_with_defaults<LineSeg>());
    add_default_init(cls);
    cls.def("set_coors", &LineSeg::set_coors)
        .def("get_length", &LineSeg::get_length)
        .def_readwrite("strength", &LineSeg::strength)
        .def_readwrite("displacement", &LineSeg::displacement)
        .def_readwrite("rms_1", &LineSeg::rms_1)
        .def_readwrite("rms_2", &LineSeg::rms_2)
        .def_readwrite("x1", &LineSeg::x1)
        .def_readwrite("y1", &LineSeg::y1)
        .def_readwrite("x2", &LineSeg::x2)
        .def_readwrite("y2", &LineSeg::y2)
        .def_readwrite("active", &LineSeg::active)
        .def("__repr__", &describe)
        .def("__str__", &describe);
    add_state_pickling(cls, &line_seg_state, &line_seg_from_state);
}

}  // namespace talmek::bindings
