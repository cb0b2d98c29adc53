#include "engine/pipeline.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "engine/chip.h"
#include "engine/correlation.h"
#include "engine/peak.h"
#include "engine/subpixel_fit.h"

namespace talmek {

namespace {

// The peak evaluation needs a 5x5 neighbourhood inside the surface.
constexpr std::int32_t kSmallestSurface = 5;
// Error estimate of a peak located to the whole cell only.
constexpr float kWholeCellError = 0.5f;
// A fitted offset may move the peak at most this far (in cells) from the best cell.
constexpr float kMaxFitOffset = 1.0f;

struct ChipSizes {
    std::int32_t rw, rh, sw, sh;
};

bool fits_int32(std::int64_t v) {
    return v >= std::numeric_limits<std::int32_t>::min() && v <= std::numeric_limits<std::int32_t>::max();
}

// False when a search extent or an element count cannot be formed in 32 bits.
bool chip_sizes(const MatchingParams& p, ChipSizes& sizes) {
    const std::int64_t rw = p.chipwidth_, rh = p.chipheight_;
    const std::int64_t sw = rw + 2 * std::int64_t{p.hoffset_};
    const std::int64_t sh = rh + 2 * std::int64_t{p.voffset_};
    if (!fits_int32(sw) || !fits_int32(sh) || !fits_int32(sw * sh) || !fits_int32(rw * rh)) return false;
    sizes = {static_cast<std::int32_t>(rw), static_cast<std::int32_t>(rh),
             static_cast<std::int32_t>(sw), static_cast<std::int32_t>(sh)};
    return true;
}

void fill_rejected(LineSeg& out, std::int32_t status) {
    out = LineSeg{};
    out.active = status;
}

std::int32_t surface_extent(float search, float ref) {
    return static_cast<std::int32_t>(static_cast<double>(search) + 0.5) -
           static_cast<std::int32_t>(static_cast<double>(ref) + 0.5) + 1;
}

// False for offsets that are not numbers or reach beyond the neighbouring cells; exactly one
// cell is still accepted.
bool fit_within_cell(const float offsets[2]) {
    return std::fabs(offsets[0]) <= kMaxFitOffset && std::fabs(offsets[1]) <= kMaxFitOffset;
}

float displacement_limit(float max_diff, Margins margins) {
    if (max_diff <= 0.0f) {
        return static_cast<float>(static_cast<double>(std::min(margins.horizontal, margins.vertical)) - 2.0);
    }
    return max_diff;
}

}  // namespace

Matcher make_matcher(const MatchingParams& p, std::int32_t ref_rows, std::int32_t srch_rows) {
    Matcher m;
    m.ref_rows_ = ref_rows;
    m.srch_rows_ = srch_rows;
    m.params_ = p;
    return m;
}

void correlate_and_locate(const ChipPair& chips, const PeakSettings& settings, Margins margins, Location& loc,
                          Workspace& work) {
    const std::int32_t cols = surface_extent(chips.search_size.width, chips.ref_size.width);
    const std::int32_t rows = surface_extent(chips.search_size.height, chips.ref_size.height);
    // Too small a surface can only end at the border test; it is not worth correlating.
    if (cols < kSmallestSurface || rows < kSmallestSurface) {
        loc.status = status::border;
        loc.strength = 0.0f;
        return;
    }
    const std::size_t cells = static_cast<std::size_t>(cols) * static_cast<std::size_t>(rows);
    float* raw_surface = work.raw_surface(cells);
    float* surface = work.surface(cells);
    Candidates candidates;
    float coef_sums[2];
    const std::int32_t n = grid_size(static_cast<std::int32_t>(chips.search_size.width),
                                     static_cast<std::int32_t>(chips.search_size.height));
    correlate_fft(chips, raw_surface, work.search_grid(n), work.ref_grid(n));
    normalise_correlation(chips, raw_surface, surface, candidates, coef_sums, work.surface_scratch);

    float neighbourhood[25];
    const PeakResult peak =
        evaluate_peak({surface, cols, rows}, candidates, coef_sums, settings.min_strength, neighbourhood);
    loc.status = peak.status;
    loc.strength = peak.strength;
    if (peak.status != status::accepted) return;

    const float whole_dx = static_cast<float>(candidates.cols[0]) - margins.horizontal;
    const float whole_dy = static_cast<float>(candidates.rows[0]) - margins.vertical;
    if (settings.peak_method == fit::none) {
        loc.dx = whole_dx;
        loc.dy = whole_dy;
        loc.errors[0] = kWholeCellError;
        loc.errors[1] = kWholeCellError;
    } else {
        float offsets[2];
        fit_peak(neighbourhood, settings.peak_method, offsets, loc.errors);
        if (fit_within_cell(offsets)) {
            loc.dx = whole_dx + offsets[0];
            loc.dy = whole_dy + offsets[1];
        } else {
            // The quadric's stationary point lies beyond the neighbouring cells (or is no number):
            // it is not the peak of this neighbourhood. Keep the whole-cell peak instead.
            loc.dx = whole_dx;
            loc.dy = whole_dy;
            loc.errors[0] = kWholeCellError;
            loc.errors[1] = kWholeCellError;
        }
    }
    loc.length = std::sqrt(loc.dx * loc.dx + loc.dy * loc.dy);
    const float limit = displacement_limit(settings.max_diff, margins);
    // A length that is not a number comes from a degenerate fit and cannot be trusted.
    if (loc.length > limit || std::isnan(loc.length)) loc.status = status::too_far;
}

void match_pair(Matcher& m, const ImageRows& image1, const ImageRows& image2, LineSeg& out,
                std::span<const std::int32_t> row, std::span<const std::int32_t> col) {
    // One workspace per thread, kept from call to call: a caller matching point after point this way
    // allocates the grids once instead of at every call, where the C library often hands the freed
    // grids back to the system and each call then faults them in again (at 128/168, as long again
    // as the match). It holds the grids of the last size matched until the thread ends.
    thread_local Workspace work;
    match_pair(m, image1, image2, out, row, col, work);
}

void match_pair(Matcher& m, const ImageRows& image1, const ImageRows& image2, LineSeg& out,
                std::span<const std::int32_t> row, std::span<const std::int32_t> col, Workspace& work) {
    if (row.size() < 2 || col.size() < 2) {
        throw std::invalid_argument("row and col need at least two entries");
    }
    const MatchingParams& p = m.params_;
    ChipSizes z{};
    if (!chip_sizes(p, z)) {
        m.status_ = status::bad_chip_size;
        fill_rejected(out, status::bad_chip_size);
        return;
    }
    // Both buffers are obtained before any size test, as 32-bit element counts.
    float* const search = work.search_chip.obtain(z.sw * z.sh);
    float* const ref = work.ref_chip.obtain(z.rw * z.rh);

    std::int32_t code = extract_chip(image1, row[0], col[0], z.rw, z.rh, kReferenceChip, ref);
    if (code == status::chip_ok) code = extract_chip(image2, row[1], col[1], z.sw, z.sh, kSearchChip, search);
    if (code != status::chip_ok) {
        m.status_ = code;
        fill_rejected(out, code);
        return;
    }

    const ChipPair chips{search, ref, {static_cast<float>(z.sw), static_cast<float>(z.sh)},
                         {static_cast<float>(z.rw), static_cast<float>(z.rh)}};
    const PeakSettings settings{static_cast<float>(p.mincorr_), p.peakmethod_, static_cast<float>(p.maxdiff_)};
    const Margins margins{static_cast<float>(p.hoffset_), static_cast<float>(p.voffset_)};
    Location loc;
    correlate_and_locate(chips, settings, margins, loc, work);

    const bool accepted = loc.status == status::accepted;
    const double c2 = accepted ? static_cast<double>(loc.dx) + col[1] : static_cast<double>(col[1]);
    const double r2 = accepted ? static_cast<double>(loc.dy) + row[1] : static_cast<double>(row[1]);
    const double x1 = col[0] * p.ref_cellsize_ + p.ref_xll_;
    const double y1 = ((m.ref_rows_ - 1) * p.ref_cellsize_ + p.ref_yll_) - row[0] * p.ref_cellsize_;
    const double x2 = p.srch_cellsize_ * c2 + p.srch_xll_;
    const double y2 = ((m.srch_rows_ - 1) * p.srch_cellsize_ + p.srch_yll_) - p.srch_cellsize_ * r2;
    out.set_coors(x1, y1, x2, y2);
    out.strength = loc.strength;
    out.displacement = loc.length;
    out.rms_1 = accepted ? loc.errors[0] : 0.0f;
    out.rms_2 = accepted ? loc.errors[1] : 0.0f;
    out.active = loc.status;
    m.status_ = loc.status;
}

}  // namespace talmek
