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

// The reference chip's sum and sum of squares, element after element: one long chain of dependent
// additions, which advance() lets the caller run a stretch at a time beside other work.
class ReferenceSums {
public:
    ReferenceSums(const float* ref, std::int32_t n) : ref_(ref), n_(n) {}

    void advance(std::int32_t count) {
        const std::int32_t end = std::min(n_, next_ + count);
        for (; next_ < end; ++next_) {
            sum_ = sum_ + ref_[next_];
            sumsq_ = sumsq_ + ref_[next_] * ref_[next_];
        }
    }

    ReferenceStats stats(float nf) {
        advance(n_);
        const float mean = sum_ / nf;
        float variance = sumsq_ / nf - mean * mean;
        if (!(static_cast<double>(variance) > 0.01)) variance = static_cast<float>(0.01);
        return {mean, std::sqrt(variance)};
    }

private:
    const float* ref_;
    std::int32_t n_;
    std::int32_t next_ = 0;
    float sum_ = 0.0f;
    float sumsq_ = 0.0f;
};

// Sums and sums of squares of each search column over the rh rows of the current window row, in
// storage the caller keeps (`width` floats each).
class ColumnSums {
public:
    ColumnSums(const float* search, std::int32_t width, std::int32_t window_height, float* sum, float* sumsq)
        : search_(search), width_(width), window_height_(window_height), sum_(sum), sumsq_(sumsq) {
        std::fill(sum_, sum_ + width, 0.0f);
        std::fill(sumsq_, sumsq_ + width, 0.0f);
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
    float* sum_;
    float* sumsq_;
};

// Surface rows normalised side by side.
constexpr std::int32_t kLanes = 8;

inline float window_term(float s, float q, float nf, float floor) {
    const float d = q * nf - s * s;
    return floor > d ? floor : d;
}

// The placements of a window (the reference chip, rw x rh pixels, n of them) in a search chip sw
// pixels wide: a surface of rows x cols cells.
struct Placements {
    std::int32_t sw;
    std::int32_t rw;
    std::int32_t rh;
    std::int32_t n;
    std::int32_t rows;
    std::int32_t cols;
};

// The search pixels' sum under the window at every placement into `sums` and the root of its
// window term into `roots`, with the reference sums advanced a stretch at each step.
//
// Each row of the surface is a chain of its own (sliding sums, then Newton steps from the left
// neighbour's root, each waiting on the one before), so kLanes rows run side by side, lane by lane
// through exactly the operations one row would run alone, and a stretch of the reference sums
// runs beside each step.
void window_sums(const float* search, const Placements& p, float nf, float floor, ReferenceSums& reference,
                 float* sums, float* roots, SurfaceScratch& scratch) {
    ColumnSums columns(search, p.sw, p.rh, scratch.column_sum.data(), scratch.column_sumsq.data());
    float* const sum = scratch.lane_sum.data();  // column k, lane l at k * kLanes + l
    float* const sumsq = scratch.lane_sumsq.data();
    const std::int32_t rw = p.rw;
    const std::int32_t cols = p.cols;
    const std::int32_t blocks = (p.rows + kLanes - 1) / kLanes;
    const std::int32_t stretch = (p.n + blocks * cols - 1) / (blocks * cols);
    for (std::int32_t first = 0; first < p.rows; first += kLanes) {
        const std::int32_t lanes = std::min(kLanes, p.rows - first);
        for (std::int32_t l = 0; l < kLanes; ++l) {
            // Lanes beyond the last row repeat it; their values are never read.
            if (l < lanes && first + l > 0) columns.slide_to(first + l);
            for (std::int32_t k = 0; k < p.sw; ++k) {
                sum[static_cast<std::size_t>(k) * kLanes + l] = columns.sum(k);
                sumsq[static_cast<std::size_t>(k) * kLanes + l] = columns.sumsq(k);
            }
        }
        float s[kLanes];
        float q[kLanes];
        float root[kLanes];
        for (std::int32_t c = 0; c < cols; ++c) {
            if (c == 0) {
                for (std::int32_t l = 0; l < kLanes; ++l) {
                    s[l] = 0.0f;
                    q[l] = 0.0f;
                }
                for (std::int32_t k = 0; k < rw; ++k) {
                    for (std::int32_t l = 0; l < kLanes; ++l) {
                        s[l] = s[l] + sum[static_cast<std::size_t>(k) * kLanes + l];
                        q[l] = q[l] + sumsq[static_cast<std::size_t>(k) * kLanes + l];
                    }
                }
                for (std::int32_t l = 0; l < kLanes; ++l) root[l] = std::sqrt(window_term(s[l], q[l], nf, floor));
            } else {
                const float* in_s = &sum[static_cast<std::size_t>(c + rw - 1) * kLanes];
                const float* out_s = &sum[static_cast<std::size_t>(c - 1) * kLanes];
                const float* in_q = &sumsq[static_cast<std::size_t>(c + rw - 1) * kLanes];
                const float* out_q = &sumsq[static_cast<std::size_t>(c - 1) * kLanes];
                for (std::int32_t l = 0; l < kLanes; ++l) {
                    s[l] = (s[l] + in_s[l]) - out_s[l];
                    q[l] = (q[l] + in_q[l]) - out_q[l];
                    // Two Newton steps from the left neighbour's root instead of a fresh root.
                    const float d = window_term(s[l], q[l], nf, floor);
                    const float t = (d / root[l] + root[l]) * 0.5f;
                    root[l] = (d / t + t) * 0.5f;
                }
            }
            for (std::int32_t l = 0; l < lanes; ++l) {
                const std::size_t cell = static_cast<std::size_t>(first + l) * cols + c;
                sums[cell] = s[l];
                roots[cell] = root[l];
            }
            reference.advance(stretch);
        }
    }
}

// The sums of all coefficients and of their squares.
struct CoefficientSums {
    float total = 0.0f;
    float squares = 0.0f;
};

// The coefficient of every placement over its window sum (which it replaces in `surface`), the
// coefficients' sums and the candidate list, all taking the cells in the order of a single pass.
// One loop for the three: each is a chain of its own that the others run beside.
CoefficientSums coefficients(const float* raw_surface, float* surface, const float* roots, const Placements& p,
                             const ReferenceStats& stats, CandidateRanking& ranking) {
    // The sums run in registers: stored through memory at every cell, each would wait on the
    // store before it.
    float total = 0.0f;
    float total_squares = 0.0f;
    for (std::int32_t i = 0; i < p.rows; ++i) {
        for (std::int32_t c = 0; c < p.cols; ++c) {
            const std::size_t cell = static_cast<std::size_t>(i) * p.cols + c;
            const float r = (raw_surface[cell] - surface[cell] * stats.mean) / (roots[cell] * stats.sd);
            surface[cell] = r;
            total = r + total;
            total_squares = r * r + total_squares;
            ranking.offer(r, c, i);
        }
    }
    return {total, total_squares};
}

}  // namespace

std::int32_t grid_size(std::int32_t search_width, std::int32_t search_height) {
    std::int32_t nw = 64;
    while (nw < search_width) nw *= 2;
    std::int32_t nh = 64;
    while (nh < search_height) nh *= 2;
    return nw > nh ? nw : nh;
}

void correlate_fft(const ChipPair& chips, float* raw_surface, SplitGrid& search_grid, SplitGrid& ref_grid) {
    const std::int32_t sw = truncated(chips.search_size.width);
    const std::int32_t sh = truncated(chips.search_size.height);
    const std::int32_t rw = truncated(chips.ref_size.width);
    const std::int32_t rh = truncated(chips.ref_size.height);
    const std::int32_t n = search_grid.size();
    search_grid.load_real_transposed(chips.search, sw, sh);
    ref_grid.load_real_transposed(chips.ref, rw, rh);
    const std::int32_t cols = static_cast<std::int32_t>(static_cast<double>(sw - rw) + 1.5);
    const std::int32_t rows = static_cast<std::int32_t>(static_cast<double>(sh - rh) + 1.5);
    // Beyond a chip's width and height lies zero padding; the surface reads only `rows` values of
    // the product's contiguous index and `cols` of the other.
    // The spectra stay in reversed row order, which the element-wise product does not mind; the
    // product is written transposed, where the inverse transform needs its contiguous index, and
    // the inverse's second dimension runs in the reference grid, free by then.
    search_grid.forward_product(ref_grid, {sw, sh, n}, {n, sw, n}, {rw, rh, n}, {n, rw, n});
    const std::size_t stride = search_grid.transform_into(ref_grid, -1, {n, n, rows}, {rows, n, cols});

    // n * n is a power of two, so its reciprocal is exact and multiplying by it rounds to the same
    // value as dividing by n * n.
    const float unscale = 1.0f / static_cast<float>(n * n);
    const float* product = ref_grid.re();
    for (std::int32_t i = 0; i < rows; ++i) {
        for (std::int32_t c = 0; c < cols; ++c) {
            raw_surface[i * cols + c] = product[static_cast<std::size_t>(c) * stride + i] * unscale;
        }
    }
}

void SurfaceScratch::reserve(std::int32_t search_width, std::size_t cells) {
    const auto width = static_cast<std::size_t>(search_width);
    if (column_sum.size() < width) {
        column_sum.resize(width);
        column_sumsq.resize(width);
        lane_sum.resize(width * kLanes);
        lane_sumsq.resize(width * kLanes);
    }
    if (roots.size() < cells) roots.resize(cells);
}

void normalise_correlation(const ChipPair& chips, const float* raw_surface, float* surface,
                           Candidates& candidates, float coef_sums[2], SurfaceScratch& scratch) {
    const std::int32_t sw = rounded(chips.search_size.width);
    const std::int32_t sh = rounded(chips.search_size.height);
    const std::int32_t rw = rounded(chips.ref_size.width);
    const std::int32_t rh = rounded(chips.ref_size.height);
    const Placements p{sw, rw, rh, rw * rh, sh - rh + 1, sw - rw + 1};
    const float nf = static_cast<float>(p.n);

    ReferenceSums reference(chips.ref, p.n);
    const float floor = static_cast<float>(static_cast<double>(nf) * 0.01 * static_cast<double>(nf));

    CoefficientSums sums;
    CandidateRanking ranking;
    if (p.rows > 0 && p.cols > 0) {
        // The window sums and roots wait in `surface` and the scratch roots until the reference
        // statistics are known.
        scratch.reserve(sw, static_cast<std::size_t>(p.rows) * static_cast<std::size_t>(p.cols));
        window_sums(chips.search, p, nf, floor, reference, surface, scratch.roots.data(), scratch);
        const ReferenceStats stats = reference.stats(nf);
        sums = coefficients(raw_surface, surface, scratch.roots.data(), p, stats, ranking);
    }
    coef_sums[0] = sums.total;
    coef_sums[1] = sums.squares;
    ranking.write(candidates);
}

}  // namespace talmek
