#pragma once
#include <cstdint>

namespace talmek {

// Intermediate figures of one fit, for inspection.
struct FitDetails {
    std::int32_t lu_status = 0;
    float coef[6] = {0, 0, 0, 0, 0, 0};
    float det = 0.0f;  // 4 c3 c5 - c4^2, the denominator of the offsets
};

// Observations and weights of the 25 neighbourhood points, and the weighted normal equations of
// the quadric c0 + c1 u + c2 v + c3 u^2 + c4 uv + c5 v^2 (u along columns, v along rows).
void accumulate_normal_equations(const float neighbourhood[25], std::int32_t fit_type, float z[25],
                                 float w[25], float normal[36], float rhs[6]);

// Standard errors of the two offsets from the weighted residuals and the coefficient covariance.
void estimate_fit_errors(const float z[25], const float w[25], const float inverse[36],
                         const float coef[6], const float offsets[2], float errors[2]);

// Sub-pixel offset (column, row) of the peak from the centre cell of the 5x5 neighbourhood and its
// two error estimates. fit_type is one of the fit types (engine_facts.h); fit::none is fitted
// as reciprocals here, the pipeline never asks for it.
void fit_peak(const float neighbourhood[25], std::int32_t fit_type, float offsets[2],
              float errors[2], FitDetails* details = nullptr);

}  // namespace talmek
