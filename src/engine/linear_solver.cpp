#include "engine/linear_solver.h"

#include <cmath>
#include <utility>

namespace talmek {

namespace {

constexpr int kN = 6;

inline float& at(float m[36], int r, int c) { return m[r * kN + c]; }
inline float at(const float m[36], int r, int c) { return m[r * kN + c]; }

// Largest magnitude of each row as passed in; false when a row has none above zero.
bool row_scales(const float m[36], float scale[kN]) {
    for (int i = 0; i < kN; ++i) {
        float largest = 0.0f;
        for (int k = 0; k < kN; ++k) {
            const float mag = std::fabs(at(m, i, k));
            if (mag > largest) largest = mag;
        }
        scale[i] = largest;
        if (largest == 0.0f) return false;
    }
    return true;
}

// Lowest row with the strictly largest scaled magnitude; row j when none is above zero.
int pivot_row(const float m[36], const float scale[kN], int j) {
    int best_row = j;
    float best = 0.0f;
    for (int i = j; i < kN; ++i) {
        const float scaled = std::fabs(at(m, i, j) / scale[i]);
        if (scaled > best) {
            best = scaled;
            best_row = i;
        }
    }
    return best_row;
}

void eliminate_below(float m[36], int j) {
    for (int i = j + 1; i < kN; ++i) {
        const float mult = -at(m, i, j) / at(m, j, j);
        at(m, i, j) = mult;
        for (int k = j + 1; k < kN; ++k) at(m, i, k) = at(m, i, k) + mult * at(m, j, k);
    }
}

}  // namespace

std::int32_t lu_decompose(float matrix[36], std::int32_t index[6]) {
    float scale[kN];
    if (!row_scales(matrix, scale)) return 0;
    for (int j = 0; j < kN - 1; ++j) {
        const int p = pivot_row(matrix, scale, j);
        index[j] = p;
        // Earlier multipliers (columns before j) and the scales stay with their row positions.
        if (p != j) {
            for (int k = j; k < kN; ++k) std::swap(at(matrix, j, k), at(matrix, p, k));
        }
        if (at(matrix, j, j) == 0.0f) return j;
        eliminate_below(matrix, j);
    }
    if (at(matrix, 5, 5) == 0.0f) return 6;
    return status::solver_ok;
}

void lu_solve(const float matrix[36], const std::int32_t index[6], float rhs[6]) {
    for (int k = 0; k < kN - 1; ++k) {
        const int p = index[k];
        if (p != k) std::swap(rhs[k], rhs[p]);
        for (int i = k + 1; i < kN; ++i) rhs[i] = rhs[i] + at(matrix, i, k) * rhs[k];
    }
    rhs[5] = rhs[5] / at(matrix, 5, 5);
    for (int k = kN - 1; k >= 1; --k) {
        for (int i = 0; i < k; ++i) rhs[i] = rhs[i] - at(matrix, i, k) * rhs[k];
        rhs[k - 1] = rhs[k - 1] / at(matrix, k - 1, k - 1);
    }
}

std::int32_t invert_matrix(float matrix[36], float inverse[36]) {
    std::int32_t index[kN] = {0, 0, 0, 0, 0, 0};
    const std::int32_t status = lu_decompose(matrix, index);
    for (int c = 0; c < kN; ++c) {
        float b[kN] = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
        b[c] = 1.0f;
        if (status == status::solver_ok) lu_solve(matrix, index, b);  // else that identity column
        for (int r = 0; r < kN; ++r) at(inverse, r, c) = b[r];
    }
    return status;
}

}  // namespace talmek
