#include "engine/subpixel_fit.h"

#include <cmath>

#include "engine/engine_facts.h"
#include "engine/linear_solver.h"
#include "engine/log_float.h"

namespace talmek {

namespace {

using D = double;

struct Observation {
    float z;
    float w;
};

// Values at or below 1 (and not-a-number) all enter the fit as 1. Every type other than
// fit::values and fit::log fits reciprocals (fit::reciprocal).
Observation observe(float value, std::int32_t fit_type) {
    const float p = value > 1.0f ? value : 1.0f;
    switch (fit_type) {
        case fit::values: return {p, 1.0f};
        case fit::log: return {-log_float(p), p * p};
        default: return {static_cast<float>(1.0 / static_cast<D>(p)), ((p * p) * p) * p};
    }
}

void basis(int a, int i, float b[6]) {
    const float u = static_cast<float>(i - 2);
    const float v = static_cast<float>(a - 2);
    b[0] = 1.0f;
    b[1] = u;
    b[2] = v;
    b[3] = u * u;
    b[4] = u * v;
    b[5] = v * v;
}

float quadric(const float c[6], const float b[6]) {
    return ((((c[0] + c[1] * b[1]) + c[2] * b[2]) + c[3] * b[3]) + c[4] * b[4]) + c[5] * b[5];
}

// 4 c3 c5 - c4^2: the product with 4 in double, c4^2 in float, stored as float.
float determinant(const float c[6]) {
    return static_cast<float>(4.0 * D(c[3]) * D(c[5]) - D(c[4] * c[4]));
}

void solve_coefficients(const float inverse[36], const float rhs[6], float coef[6]) {
    for (int j = 0; j < 6; ++j) {
        float sum = 0.0f;
        for (int k = 0; k < 6; ++k) sum = sum + inverse[6 * j + k] * rhs[k];
        coef[j] = sum;
    }
}

void stationary_point(const float c[6], float det, float offsets[2]) {
    offsets[0] = static_cast<float>((D(c[2] * c[4]) - 2.0 * D(c[1]) * D(c[5])) / D(det));
    offsets[1] = static_cast<float>((D(c[1] * c[4]) - 2.0 * D(c[2]) * D(c[3])) / D(det));
}

float quadratic_form(const float g[6], const float m[36]) {
    float sum = 0.0f;
    for (int j = 0; j < 6; ++j) {
        for (int k = 0; k < 6; ++k) sum = sum + (g[j] * m[6 * j + k]) * g[k];
    }
    return sum;
}

}  // namespace

void accumulate_normal_equations(const float neighbourhood[25], std::int32_t fit_type, FitObservations& observed,
                                 NormalEquations& equations) {
    float* const z = observed.z;
    float* const w = observed.w;
    float* const normal = equations.matrix;
    float* const rhs = equations.rhs;
    for (int k = 0; k < 36; ++k) normal[k] = 0.0f;
    for (int k = 0; k < 6; ++k) rhs[k] = 0.0f;
    for (int a = 0; a < 5; ++a) {
        for (int i = 0; i < 5; ++i) {
            const int point = 5 * a + i;
            const Observation obs = observe(neighbourhood[point], fit_type);
            z[point] = obs.z;
            w[point] = obs.w;
            float b[6];
            basis(a, i, b);
            for (int j = 0; j < 6; ++j) {
                const float t = obs.w * b[j];
                rhs[j] = rhs[j] + t * obs.z;
                for (int k = 0; k < 6; ++k) normal[6 * j + k] = normal[6 * j + k] + t * b[k];
            }
        }
    }
}

void estimate_fit_errors(const FitObservations& observed, const QuadricFit& fit, float errors[2]) {
    const float* const z = observed.z;
    const float* const w = observed.w;
    const float* const inverse = fit.inverse;
    const float* const coef = fit.coef;
    const float* const offsets = fit.offsets;
    float residual = 0.0f;
    for (int a = 0; a < 5; ++a) {
        for (int i = 0; i < 5; ++i) {
            float b[6];
            basis(a, i, b);
            const float e = quadric(coef, b) - z[5 * a + i];
            residual = residual + w[5 * a + i] * (e * e);
        }
    }
    // 25 points less 6 coefficients.
    const float sigma2 = static_cast<float>(D(residual) / 19.0);
    const float det = determinant(coef);
    const D c1 = coef[1], c2 = coef[2], c3 = coef[3], c4 = coef[4], c5 = coef[5];
    const D dd = det, dx = offsets[0], dy = offsets[1];
    const float c4_over_d = coef[4] / det;
    const float gx[6] = {0.0f,
                         static_cast<float>(-2.0 * c5 / dd),
                         c4_over_d,
                         static_cast<float>(-4.0 * c5 * dx / dd),
                         static_cast<float>((c2 + 2.0 * c4 * dx) / dd),
                         static_cast<float>((-2.0 * c1 - 4.0 * c3 * dx) / dd)};
    const float gy[6] = {0.0f,
                         c4_over_d,
                         static_cast<float>(-2.0 * c3 / dd),
                         static_cast<float>((-2.0 * c2 - 4.0 * c5 * dy) / dd),
                         static_cast<float>((c1 + 2.0 * c4 * dy) / dd),
                         static_cast<float>(-4.0 * c3 * dy / dd)};
    const float vx = quadratic_form(gx, inverse);
    const float vy = quadratic_form(gy, inverse);
    errors[0] = std::sqrt(std::fabs(vx * sigma2));
    errors[1] = std::sqrt(std::fabs(vy * sigma2));
}

void fit_peak(const float neighbourhood[25], std::int32_t fit_type, float offsets[2],
              float errors[2], FitDetails* details) {
    FitObservations observed;
    NormalEquations equations;
    QuadricFit fit;
    accumulate_normal_equations(neighbourhood, fit_type, observed, equations);
    const std::int32_t lu_status = invert_matrix(equations.matrix, fit.inverse);
    solve_coefficients(fit.inverse, equations.rhs, fit.coef);
    const float det = determinant(fit.coef);
    stationary_point(fit.coef, det, fit.offsets);
    estimate_fit_errors(observed, fit, errors);
    offsets[0] = fit.offsets[0];
    offsets[1] = fit.offsets[1];
    if (details) {
        details->lu_status = lu_status;
        for (int k = 0; k < 6; ++k) details->coef[k] = fit.coef[k];
        details->det = det;
    }
}

}  // namespace talmek
