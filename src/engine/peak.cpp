#include "engine/peak.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace talmek {

namespace {

constexpr std::int32_t kBorder = 2;       // a 5x5 neighbourhood must fit around the peak
constexpr std::int32_t kFar = 2;          // candidates further than this compete with the peak
constexpr std::int32_t kDistinct = 3;     // ... and further than this form a second peak
constexpr std::int32_t kWindowHalf = 4;   // the 9x9 window left out of the background
// The peak is ambiguous when the first far candidate has rank kCloseFirstRank or better (the peak
// itself is rank 0), or the second has rank kCloseSecondRank or better.
constexpr std::int32_t kCloseFirstRank = 2;
constexpr std::int32_t kCloseSecondRank = 4;

// A cell of the surface.
struct Cell {
    std::int32_t col;
    std::int32_t row;
};

bool at_border(Cell cell, const Surface& s) {
    return cell.col <= kBorder - 1 || cell.col >= s.cols - kBorder || cell.row <= kBorder - 1 ||
           cell.row >= s.rows - kBorder;
}

std::int32_t distance(Cell a, Cell b) {
    return std::max(std::abs(b.col - a.col), std::abs(b.row - a.row));
}

// Ranks of the first two far candidates and of the distinct second peak.
void scan_ranking(const Candidates& cand, PeakDetails& d) {
    int far_count = 0;
    for (int k = 1; k < kCandidates && far_count < 2; ++k) {
        if (cand.cols[k] < 0 || cand.rows[k] < 0) continue;  // never filled
        const std::int32_t dist = distance({cand.cols[0], cand.rows[0]}, {cand.cols[k], cand.rows[k]});
        if (dist <= kFar) continue;
        if (far_count == 0) d.far1 = k; else d.far2 = k;
        ++far_count;
        if (d.distinct < 0 && dist > kDistinct) d.distinct = k;
    }
}

// Mean and deviation of the surface outside the window around the peak.
void background(const Surface& s, Cell peak, float coef_sums[2], PeakDetails& d) {
    const std::int32_t cols = s.cols;
    const std::int32_t rows = s.rows;
    const std::int32_t r0 = std::max(peak.row - kWindowHalf, 0);
    const std::int32_t r1 = std::min(peak.row + kWindowHalf, rows - 1);
    const std::int32_t c0 = std::max(peak.col - kWindowHalf, 0);
    const std::int32_t c1 = std::min(peak.col + kWindowHalf, cols - 1);
    std::int32_t window_cells = 0;
    for (std::int32_t r = r0; r <= r1; ++r) {
        for (std::int32_t c = c0; c <= c1; ++c) {
            const float v = s.values[r * cols + c];
            coef_sums[0] = coef_sums[0] - v;
            coef_sums[1] = coef_sums[1] - v * v;
            ++window_cells;
        }
    }
    d.background_count = cols * rows - window_cells;
    const float n = static_cast<float>(d.background_count);
    d.mean = coef_sums[0] / n;
    const float variance = coef_sums[1] / n - d.mean * d.mean;
    d.sd = std::sqrt(variance);
}

}  // namespace

PeakResult evaluate_peak(const Surface& surface, const Candidates& candidates, float coef_sums[2],
                         float min_strength, float neighbourhood[25], PeakDetails* details) {
    PeakDetails local;
    PeakDetails& d = details ? *details : local;
    d = PeakDetails{};
    const Cell peak{candidates.cols[0], candidates.rows[0]};
    if (at_border(peak, surface)) return {status::border, 0.0f};

    scan_ranking(candidates, d);
    if (d.far1 <= kCloseFirstRank || d.far2 <= kCloseSecondRank) return {status::ambiguous, 0.0f};

    background(surface, peak, coef_sums, d);
    const float best = candidates.values[0];
    d.z1 = (best - d.mean) / d.sd;
    float strength;
    if (d.distinct >= 0) {
        strength = (best - candidates.values[d.distinct]) / d.sd + d.z1;
    } else {
        strength = static_cast<float>(static_cast<double>(d.z1 + d.z1) - 0.2);
    }
    // A strength that is not a number cannot vouch for a match.
    if (min_strength > strength || std::isnan(strength)) return {status::weak, strength};

    for (int a = 0; a < 5; ++a) {
        for (int i = 0; i < 5; ++i) {
            const float v = surface.values[(peak.row - 2 + a) * surface.cols + (peak.col - 2 + i)];
            neighbourhood[5 * a + i] = (v - d.mean) / d.sd;
        }
    }
    return {status::accepted, strength};
}

}  // namespace talmek
