#pragma once
#include <cstdint>

#include "engine/correlation.h"
#include "engine/engine_facts.h"

namespace talmek {

// The rank that far candidates are given while none has been found: the last one.
constexpr std::int32_t kNoFarRank = kCandidates - 1;

// Intermediate figures of one evaluation, for inspection; filled as far as the evaluation got.
struct PeakDetails {
    std::int32_t far1 = kNoFarRank;  // rank of the first candidate far from the peak
    std::int32_t far2 = kNoFarRank;  // ... and of the second
    std::int32_t distinct = -1;  // rank of the distinct second peak, -1 when there is none
    std::int32_t background_count = 0;
    float mean = 0.0f;
    float sd = 0.0f;
    float z1 = 0.0f;
};

struct PeakResult {
    std::int32_t status;  // status::accepted, border, ambiguous or weak
    float strength;
};

// Accepts or rejects the best candidate of a surface. coef_sums are used up (the 9x9 window around
// the peak is subtracted from them). The 5x5 neighbourhood, normalised against the background, is
// written only for an accepted peak.
PeakResult evaluate_peak(const Surface& surface, const Candidates& candidates, float coef_sums[2],
                         float min_strength, float neighbourhood[25], PeakDetails* details = nullptr);

}  // namespace talmek
