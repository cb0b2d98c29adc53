#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/fft_fast.h"

namespace talmek {

constexpr int kCandidates = 32;

// The ranked candidate-peak list (best first) and the sums of all coefficients and their squares.
// Entries that were never filled hold the value -1 at position (-1, -1).
struct Candidates {
    float values[kCandidates];
    std::int32_t cols[kCandidates];
    std::int32_t rows[kCandidates];
};

// Chip sizes travel as float pairs {width, height}.
struct ChipSize {
    float width;
    float height;
};

// The two chips of one match, row-major, with their sizes.
struct ChipPair {
    const float* search;
    const float* ref;
    ChipSize search_size;
    ChipSize ref_size;
};

// A correlation surface: the coefficient of every placement, row-major, cols x rows.
struct Surface {
    const float* values;
    std::int32_t cols;
    std::int32_t rows;
};

// Power-of-two transform size for a search chip: at least 64 and no smaller than either extent.
std::int32_t grid_size(std::int32_t search_width, std::int32_t search_height);

// Raw sums of products of the reference chip with every placement inside the search chip, through
// three two-dimensional transforms, in transform grids the caller keeps (each grid_size() square).
// Needs ref <= search and search <= kSearchChip.max in both extents.
void correlate_fft(const ChipPair& chips, float* raw_surface, SplitGrid& search_grid, SplitGrid& ref_grid);

// Working storage of normalise_correlation. A caller that keeps it from one surface to the next
// (a Workspace does) allocates nothing once the size has run; values never carry over.
struct SurfaceScratch {
    std::vector<float> column_sum;    // per search column, over the window's rows
    std::vector<float> column_sumsq;
    std::vector<float> lane_sum;      // the same, per search column and surface row of a block
    std::vector<float> lane_sumsq;
    std::vector<float> roots;         // per surface cell, the root of its window term

    // Room for a search chip `search_width` pixels wide and a surface of `cells` cells.
    void reserve(std::int32_t search_width, std::size_t cells);
};

// Normalised coefficients of every placement, the candidate list and the coefficient sums.
void normalise_correlation(const ChipPair& chips, const float* raw_surface, float* surface,
                           Candidates& candidates, float coef_sums[2], SurfaceScratch& scratch);

}  // namespace talmek
