#include <pybind11/pybind11.h>

#include <stdexcept>

#include "module/bindings.h"
#include "records/matching_params.h"

namespace py = pybind11;

namespace talmek::bindings {

namespace {

using P = MatchingParams;

py::tuple params_state(const P& p) {
    return py::make_tuple(p.peakmethod_, p.ref_cellsize_, p.srch_cellsize_, p.corrtype_, p.maxdiff_,
                          p.mincorr_, p.start_row_, p.start_col_, p.srch_xll_, p.srch_yll_,
                          p.ref_xll_, p.ref_yll_, p.chipwidth_, p.chipheight_, p.hoffset_,
                          p.voffset_, p.row_interval_, p.col_interval_, p.row_offset_,
                          p.col_offset_);
}

P params_from_state(const py::tuple& t) {
    if (t.size() != 20) throw std::runtime_error("Invalid state!");
    P p;
    p.peakmethod_ = t[0].cast<std::int32_t>();
    p.ref_cellsize_ = t[1].cast<double>();
    p.srch_cellsize_ = t[2].cast<double>();
    p.corrtype_ = t[3].cast<std::int32_t>();
    p.maxdiff_ = t[4].cast<double>();
    p.mincorr_ = t[5].cast<double>();
    p.start_row_ = t[6].cast<std::int32_t>();
    p.start_col_ = t[7].cast<std::int32_t>();
    p.srch_xll_ = t[8].cast<double>();
    p.srch_yll_ = t[9].cast<double>();
    p.ref_xll_ = t[10].cast<double>();
    p.ref_yll_ = t[11].cast<double>();
    p.chipwidth_ = t[12].cast<std::int32_t>();
    p.chipheight_ = t[13].cast<std::int32_t>();
    p.hoffset_ = t[14].cast<std::int32_t>();
    p.voffset_ = t[15].cast<std::int32_t>();
    p.row_interval_ = t[16].cast<std::int32_t>();
    p.col_interval_ = t[17].cast<std::int32_t>();
    p.row_offset_ = t[18].cast<std::int32_t>();
    p.col_offset_ = t[19].cast<std::int32_t>();
    return p;
}

}  // namespace

void register_matching_params(py::module_& m) {
    // Properties are registered in the order of the pickled state.
    py::class_<P> cls(m, "MatchingParams", built_with_defaults<P>());
    add_default_init(cls);
    cls.def_readwrite("peakmethod_", &P::peakmethod_)
        .def_readwrite("ref_cellsize_", &P::ref_cellsize_)
        .def_readwrite("srch_cellsize_", &P::srch_cellsize_)
        .def_readwrite("corrtype_", &P::corrtype_)
        .def_readwrite("maxdiff_", &P::maxdiff_)
        .def_readwrite("mincorr_", &P::mincorr_)
        .def_readwrite("start_row_", &P::start_row_)
        .def_readwrite("start_col_", &P::start_col_)
        .def_readwrite("srch_xll_", &P::srch_xll_)
        .def_readwrite("srch_yll_", &P::srch_yll_)
        .def_readwrite("ref_xll_", &P::ref_xll_)
        .def_readwrite("ref_yll_", &P::ref_yll_)
        .def_readwrite("chipwidth_", &P::chipwidth_)
        .def_readwrite("chipheight_", &P::chipheight_)
        .def_readwrite("hoffset_", &P::hoffset_)
        .def_readwrite("voffset_", &P::voffset_)
        .def_readwrite("row_interval_", &P::row_interval_)
        .def_readwrite("col_interval_", &P::col_interval_)
        .def_readwrite("row_offset_", &P::row_offset_)
        .def_readwrite("col_offset_", &P::col_offset_);
    add_state_pickling(cls, &params_state, &params_from_state);
}

}  // namespace talmek::bindings
