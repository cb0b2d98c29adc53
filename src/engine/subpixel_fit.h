#pragma once
#include <cstdint>

namespace talmek {

// Intermediate figures of one fit, for inspection.
struct FitDetails {
    std::int32_t lu_status = 0;
    float coef[6] = {0, 0, 0, 0, 0, 0};
    float det = 0.0f;  // 4 c3 c5 - c4^2, the denominator of the offsets
};

// The 25 neighbourhood points as the fit sees them (row-major): the values the quadric is fitted
// to and their weights.
struct FitObservations {
    float z[25];
    float w[25];
};

// Weighted normal equations of the quadric c0 + c1 u + c2 v + c3 u^2 + c4 uv + c5 v^2 (u along
// columns, v along rows): the 6x6 matrix, row-major, and the right-hand side.
struct NormalEquations {
    float matrix[36];
    float rhs[6];
};

// A solved fit: the inverse of the normal matrix, the quadric's coefficients and the offsets
// (column, row) of its stationary point.
struct QuadricFit {
    float inverse[36];
    float coef[6];
    float offsets[2];
};

void accumulate_normal_equations(const float neighbourhood[25], std::int32_t fit_type, FitObservations& observed,
                                 NormalEquations& equations);

// Standard errors of the two offsets from the weighted residuals and the coefficient covariance.
void estimate_fit_errors(const FitObservations& observed, const QuadricFit& fit, float errors[2]);

// Sub-pixel offset (column, row) of the peak from the centre cell of the 5x5 neighbourhood and its
// two error estimates. fit_type is one of the fit types (engine_facts.h); fit::none is fitted
// as reciprocals here, the pipeline never asks for it.
void fit_peak(const float neighbourhood[25], std::int32_t fit_type, float offsets[2],
              float errors[2], FitDetails* details = nullptr);

}  // namespace talmek
