#pragma once
#include <cstdint>

#include "engine/engine_facts.h"

namespace talmek {

// In-place LU factorisation of a 6x6 row-major matrix with scaled partial pivoting. The strict lower
// triangle receives the negated multipliers; index[0..4] the row swapped in at each step. Returns
// status::solver_ok, or the failing step.
std::int32_t lu_decompose(float matrix[36], std::int32_t index[6]);

// Solves with the factors of a successful lu_decompose; rhs becomes the solution.
void lu_solve(const float matrix[36], const std::int32_t index[6], float rhs[6]);

// Inverse of a 6x6 matrix (which is overwritten by its factors). A singular matrix gives the
// identity; the returned factor status tells it apart. Nothing is printed.
std::int32_t invert_matrix(float matrix[36], float inverse[36]);

}  // namespace talmek
