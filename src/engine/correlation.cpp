#include "engine/correlation.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "engine/fft_fast.h"

namespace talmek {

namespace {

std::int32_t truncated(float size) { return static_cast<std::int32_t>(size); }
std::int32_t rounded(float size) { return static_cast<std::int32_t>(static_cast<double>(size) + 0.5); }

// Running candidate list: 32 slots and their ranking by decreasing value.
class CandidateRanking {
public:
    CandidateRanking() {
        for (int k = 0; k < kCandidates; ++k) {
            value_[k] = -1.0f;
            col_[k] = -1;
            row_[k] = -1;
            rank_[k] = k;
        }
    }

    // Only a value above the last-ranked one enters; equal values keep visiting order.
    void offer(float r, std::int32_t c, std::int32_t i) {
        if (!(r > value_[rank_[kCandidates - 1]])) return;
        const int slot = rank_[kCandidates - 1];
        int k = kCandidates - 1;
        while (k > 0 && value_[rank_[k - 1]] < r) {
            rank_[k] = rank_[k - 1];
            --k;
        }
        rank_[k] = slot;
        value_[slot] = r;
        col_[slot] = c;
        row_[slot] = i;
    }

    void write(Candidates& out) const {
        for (int k = 0; k < kCandidates; ++k) {
            out.values[k] = value_[rank_[k]];
            out.cols[k] = col_[rank_[k]];
            out.rows[k] = row_[rank_[k]];
        }
    }

private:
    float value_[kCandidates];
    std::int32_t col_[kCandidates];
    std::int32_t row_[kCandidates];
    std::int32_t rank_[kCandidates];
};

struct ReferenceStats {
    float mean;
    float sd;
};

ReferenceStats reference_stats(const float* ref, std::int32_t n, float nf) {
    float sum = 0.0f;
    float sumsq = 0.0f;
    for (std::int32_t k = 0; k < n; ++k) {
        sum = sum + ref[k];
        sumsq = sumsq + ref[k] * ref[k];
    }
    const float mean = sum / nf;
    float variance = sumsq / nf - mean * mean;
    if (!(static_cast<double>(variance) > 0.01)) variance = static_cast<float>(0.01);
    return {mean, std::sqrt(variance)};
}

// Sums and sums of squares of each search column over the rh rows of the current window row.
class ColumnSums {
public:
    ColumnSums(const float* search, std::int32_t width, std::int32_t window_height)
        : search_(search), width_(width), window_height_(window_height),
          sum_(static_cast<std::size_t>(width), 0.0f), sumsq_(static_cast<std::size_t>(width), 0.0f) {
        for (std::int32_t y = 0; y < window_height; ++y) {
            const float* row = search + static_cast<std::size_t>(y) * width;
            for (std::int32_t k = 0; k < width; ++k) {
                sum_[k] = sum_[k] + row[k];
                sumsq_[k] = sumsq_[k] + row[k] * row[k];
            }
        }
    }

    // Moves the window from row i - 1 to row i.
    void slide_to(std::int32_t i) {
        const float* in = search_ + static_cast<std::size_t>(i - 1 + window_height_) * width_;
        const float* out = search_ + static_cast<std::size_t>(i - 1) * width_;
        for (std::int32_t k = 0; k < width_; ++k) {
            sum_[k] = (sum_[k] + in[k]) - out[k];
            sumsq_[k] = (sumsq_[k] + in[k] * in[k]) - out[k] * out[k];
        }
    }

    float sum(std::int32_t k) const { return sum_[k]; }
    float sumsq(std::int32_t k) const { return sumsq_[k]; }

private:
    const float* search_;
    std::int32_t width_;
    std::int32_t window_height_;
    std::vector<float> sum_;
    std::vector<float> sumsq_;
};

inline float window_term(float s, float q, float nf, float floor) {
    const float d = q * nf - s * s;
    return floor > d ? floor : d;
}

}  // namespace

std::int32_t grid_size(std::int32_t search_width, std::int32_t search_height) {
    std::int32_t nw = 64;
    while (nw < search_width) nw *= 2;
    std::int32_t nh = 64;
    while (nh < search_height) nh *= 2;
    return nw > nh ? nw : nh;
}

void correlate_fft(const float* search, const float* ref, ChipSize search_size, ChipSize ref_size,
                   float* raw_surface, SplitGrid& search_grid, SplitGrid& ref_grid) {
    const std::int32_t sw = truncated(search_size.width);
    const std::int32_t sh = truncated(search_size.height);
    const std::int32_t rw = truncated(ref_size.width);
    const std::int32_t rh = truncated(ref_size.height);
    const std::int32_t n = search_grid.size();
    search_grid.load_real_transposed(search, sw, sh);
    ref_grid.load_real_transposed(ref, rw, rh);
    const std::int32_t cols = static_cast<std::int32_t>(static_cast<double>(sw - rw) + 1.5);
    const std::int32_t rows = static_cast<std::int32_t>(static_cast<double>(sh - rh) + 1.5);
    // Beyond a chip's width and height lies zero padding; the surface reads only `rows` values of
    // the product's contiguous index and `cols` of the other.
    // The spectra stay in reversed row order, which the element-wise product does not mind; the
    // product is written transposed, where the inverse transform needs its contiguous index, and
    // the inverse's second dimension runs in the reference grid, free by then.
    search_grid.transform(1, Layout::transposed_reversed, {sw, sh, n}, {n, sw, n}, Layout::rows_reversed);
    ref_grid.transform(1, Layout::transposed_reversed, {rw, rh, n}, {n, rw, n}, Layout::rows_reversed);
    search_grid.multiply_conjugate_transposed(ref_grid);
    search_grid.transform_into(ref_grid, -1, {n, n, rows}, {rows, n, cols});

    const float scale = static_cast<float>(n * n);
    const float* product = ref_grid.re();
    for (std::int32_t i = 0; i < rows; ++i) {
        for (std::int32_t c = 0; c < cols; ++c) {
            raw_surface[i * cols + c] = product[static_cast<std::size_t>(c) * n + i] / scale;
        }
    }
}

void normalise_correlation(const float* ref, const float* search, ChipSize ref_size,
                           ChipSize search_size, const float* raw_surface, float* surface,
                           Candidates& candidates, float coef_sums[2]) {
    const std::int32_t sw = rounded(search_size.width);
    const std::int32_t sh = rounded(search_size.height);
    const std::int32_t rw = rounded(ref_size.width);
    const std::int32_t rh = rounded(ref_size.height);
    const std::int32_t n = rw * rh;
    const float nf = static_cast<float>(n);

    const ReferenceStats stats = reference_stats(ref, n, nf);
    const float floor = static_cast<float>(static_cast<double>(nf) * 0.01 * static_cast<double>(nf));

    coef_sums[0] = 0.0f;
    coef_sums[1] = 0.0f;
    CandidateRanking ranking;
    const std::int32_t rows = sh - rh + 1;
    const std::int32_t cols = sw - rw + 1;
    if (rows > 0) {
        ColumnSums columns(search, sw, rh);
        for (std::int32_t i = 0; i < rows; ++i) {
            if (i > 0) columns.slide_to(i);
            float s = 0.0f;
            float q = 0.0f;
            float root = 0.0f;
            for (std::int32_t c = 0; c < cols; ++c) {
                if (c == 0) {
                    for (std::int32_t k = 0; k < rw; ++k) {
                        s = s + columns.sum(k);
                        q = q + columns.sumsq(k);
                    }
                    root = std::sqrt(window_term(s, q, nf, floor));
                } else {
                    s = (s + columns.sum(c + rw - 1)) - columns.sum(c - 1);
                    q = (q + columns.sumsq(c + rw - 1)) - columns.sumsq(c - 1);
                    // Two Newton steps from the left neighbour's root instead of a fresh root.
                    const float d = window_term(s, q, nf, floor);
                    const float t = (d / root + root) * 0.5f;
                    root = (d / t + t) * 0.5f;
                }
                const float r = (raw_surface[i * cols + c] - s * stats.mean) / (root * stats.sd);
                surface[i * cols + c] = r;
                coef_sums[0] = r + coef_sums[0];
                coef_sums[1] = r * r + coef_sums[1];
                ranking.offer(r, c, i);
            }
        }
    }
    ranking.write(candidates);
}

}  // namespace talmek
