#pragma once
#include <cstdint>
#include <span>

#include "engine/correlation.h"
#include "engine/engine_facts.h"
#include "engine/workspace.h"
#include "records/image_rows.h"
#include "records/line_seg.h"
#include "records/matching_params.h"

namespace talmek {

// The engine's working record for one point-pair match: the two images' row counts, the settings
// as the caller gave them, and the status of the latest match.
struct Matcher {
    std::int32_t ref_rows_ = 0;
    std::int32_t srch_rows_ = 0;
    MatchingParams params_;
    std::int32_t status_ = 0;
};

Matcher make_matcher(const MatchingParams& params, std::int32_t ref_rows, std::int32_t srch_rows);

// What correlate_and_locate hands back to match_pair.
struct Location {
    std::int32_t status = 0;
    float strength = 0.0f;
    float dx = 0.0f;
    float dy = 0.0f;
    float errors[2] = {0.0f, 0.0f};
    float length = 0.0f;
};

// How a peak is judged and refined, narrowed to float where the settings are doubles.
struct PeakSettings {
    float min_strength;        // the least strength accepted
    std::int32_t peak_method;  // a fit type (engine_facts.h)
    float max_diff;            // the displacement limit; not above 0: the smaller margin less 2
};

// The search chip's margins around the reference chip, in pixels: the placement they give is
// no displacement.
struct Margins {
    float horizontal;
    float vertical;
};

// Correlation, peak evaluation, optional sub-pixel fit and the displacement limit for two
// extracted chips, in the caller's workspace. Sizes and margins arrive as floats.
void correlate_and_locate(const ChipPair& chips, const PeakSettings& settings, Margins margins, Location& loc,
                          Workspace& work);

// Matches image1 at (row[0], col[0]) with image2 around (row[1], col[1]) and fills every field of
// `out`. Throws std::invalid_argument for fewer than two points and the standard allocation errors.
// Works in a workspace of the calling thread's own, kept between its calls.
void match_pair(Matcher& m, const ImageRows& image1, const ImageRows& image2, LineSeg& out,
                std::span<const std::int32_t> row, std::span<const std::int32_t> col);
// The same in a workspace the caller keeps between matches.
void match_pair(Matcher& m, const ImageRows& image1, const ImageRows& image2, LineSeg& out,
                std::span<const std::int32_t> row, std::span<const std::int32_t> col, Workspace& work);

}  // namespace talmek
