#pragma once
#include <pybind11/pybind11.h>

namespace talmek::bindings {

void register_selected_match(pybind11::module_& m);
void register_line_seg(pybind11::module_& m);
void register_matching_params(pybind11::module_& m);

}  // namespace talmek::bindings
