#pragma once
#include <cstdint>

#include "engine/engine_facts.h"

namespace talmek {

// Every setting of a match. Nothing is validated here: the engine applies its limits when it runs.
struct MatchingParams {
    std::int32_t peakmethod_ = fit::log;
    std::int32_t corrtype_ = 1;
    double maxdiff_ = -2.0;
    double mincorr_ = 2.0;
    std::int32_t start_row_ = 0;
    std::int32_t start_col_ = 0;
    double ref_cellsize_ = 1.0;
    double srch_cellsize_ = 1.0;
    double srch_xll_ = 0.0;
    double srch_yll_ = 0.0;
    double ref_xll_ = 0.0;
    double ref_yll_ = 0.0;
    std::int32_t chipwidth_ = 128;
    std::int32_t chipheight_ = 128;
    std::int32_t hoffset_ = 0;
    std::int32_t voffset_ = 0;
    std::int32_t row_interval_ = 20;
    std::int32_t col_interval_ = 20;
    std::int32_t row_offset_ = 0;
    std::int32_t col_offset_ = 0;
};

}  // namespace talmek
