// Transform plans: twiddle tables prepared once per process and the schedule that runs fastest on
// the processor at hand, found by timing each at first use.
#include <algorithm>
#include <array>
#include <chrono>
#include <map>
#include <mutex>
#include <tuple>

#include "engine/fft_fast.h"

#if defined(__unix__) || defined(__APPLE__)
#include <unistd.h>
#endif

namespace talmek {

namespace {

constexpr std::int32_t kFloatsPerVector = 16;  // the widest kernel build's vector, 64 bytes

// Data cache sizes in bytes, as the system reports them, else those of a common processor.
std::int64_t cache_bytes(int level) {
    std::int64_t bytes = 0;
#if defined(_SC_LEVEL1_DCACHE_SIZE) && defined(_SC_LEVEL2_CACHE_SIZE)
    bytes = sysconf(level == 1 ? _SC_LEVEL1_DCACHE_SIZE : _SC_LEVEL2_CACHE_SIZE);
#endif
    if (bytes <= 0) bytes = level == 1 ? 32 * 1024 : 512 * 1024;
    return bytes;
}

// Columns whose rows of both planes take `bytes`, in whole vectors.
std::int32_t columns_within(std::int64_t bytes, std::int32_t n) {
    const std::int64_t columns = bytes / (2 * static_cast<std::int64_t>(sizeof(float)) * n);
    const std::int64_t vectors = std::max<std::int64_t>(columns / kFloatsPerVector, 1);
    return static_cast<std::int32_t>(std::min<std::int64_t>(vectors * kFloatsPerVector, n));
}

// Rounds of timing: each schedule once per round, in turn from a different one each round, the
// median of each counting. A first round warms the grids, the code and the twiddle tables.
constexpr int kRounds = 9;
// Schedules whose medians lie within this share of the fastest one's count as equally fast: on a
// machine shared with other work, the medians of fresh processes move by about as much. The timing
// runs in warm caches, which a match does not always find: the smaller working set is worth that.
constexpr double kWithinNoise = 0.08;
// Among equally fast schedules, the one working in the least memory, which leaves the most cache
// to the rest of the match: strips of the level-1 cache, of a share of the level-2 cache, then two
// passes per sweep (half the sweeps over the whole planes of one pass at a time).
constexpr std::array<Schedule, 4> kByWorkingSet = {Schedule::strips_l1, Schedule::strips_l2, Schedule::pairs,
                                                   Schedule::rows};
// Sizes below this are too quick to time; they run two passes per sweep.
constexpr std::int32_t kSmallestTimed = 16;

}  // namespace

const char* schedule_name(Schedule schedule) {
    switch (schedule) {
        case Schedule::rows: return "rows";
        case Schedule::pairs: return "pairs";
        case Schedule::strips_l1: return "strips_l1";
        case Schedule::strips_l2: return "strips_l2";
    }
    return "?";
}

std::optional<Schedule> schedule_named(const std::string& name) {
    for (const Schedule s : kSchedules) {
        if (name == schedule_name(s)) return s;
    }
    return std::nullopt;
}

std::int32_t strip_width(Schedule schedule, std::int32_t n) {
    static const std::int64_t l1 = cache_bytes(1);
    // A strip of one transform shares the level-2 cache with the other grid of the match and with
    // the rest of its own planes: a quarter of it.
    static const std::int64_t l2 = cache_bytes(2) / 4;
    switch (schedule) {
        case Schedule::strips_l1: return columns_within(l1, n);
        case Schedule::strips_l2: return columns_within(l2, n);
        default: return n;
    }
}

TransformPlan::TransformPlan(std::int32_t n, std::int32_t sign)
    : n_(n), sign_(sign), re_(static_cast<std::size_t>(std::max(n, 1))), im_(re_.size()) {
    for (std::int32_t half = 1; half < n; half *= 2) pass_twiddles(half, sign, re_.data() + half, im_.data() + half);
}

const TransformPlan& TransformPlan::get(std::int32_t n, std::int32_t sign, Kernel kernel) {
    static std::mutex mutex;
    static std::map<std::tuple<std::int32_t, std::int32_t, Kernel>, std::unique_ptr<TransformPlan>> plans;
    const std::lock_guard<std::mutex> lock(mutex);
    std::unique_ptr<TransformPlan>& slot = plans[{n, sign, kernel}];
    if (!slot) {
        auto plan = std::make_unique<TransformPlan>(n, sign);
        plan->choose_schedule(kernel);
        slot = std::move(plan);
    }
    return *slot;
}

// Times the correlation's work in this plan's direction under every schedule, in interleaved rounds
// so that a burst of other work on the machine does not count against one schedule alone, and
// keeps the schedule with the least working set among those as fast as the fastest within noise.
// Forward: two chips of a common search and reference size, both transforms and their product;
// inverse: the pruned inverse of a product with the surface of those chips.
void TransformPlan::choose_schedule(Kernel kernel) {
    if (n_ < kSmallestTimed) return;
    SplitGrid grid(n_, kernel);
    SplitGrid other(n_, kernel);
    const std::int32_t search = n_ * 11 / 16;
    const std::int32_t ref = n_ / 2;
    const std::int32_t surface = search - ref + 1;
    const std::size_t count = static_cast<std::size_t>(n_) * static_cast<std::size_t>(n_);
    std::vector<float> values(count);
    for (std::size_t k = 0; k < count; ++k) values[k] = static_cast<float>(k % 251);
    const auto trial = [&](Schedule schedule) {
        if (sign_ > 0) {
            grid.load_real_transposed(values.data(), search, search);
            other.load_real_transposed(values.data() + 7, ref, ref);
        } else {
            std::copy(values.begin(), values.end(), grid.re());
            std::copy(values.rbegin(), values.rend(), grid.im());
        }
        const auto start = std::chrono::steady_clock::now();
        if (sign_ > 0) {
            grid.forward_product(other, *this, schedule, {search, search, n_}, {n_, search, n_}, {ref, ref, n_},
                                 {n_, ref, n_});
        } else {
            grid.transform_into(other, *this, schedule, {n_, n_, surface}, {surface, n_, surface});
        }
        const std::chrono::duration<double, std::micro> took = std::chrono::steady_clock::now() - start;
        return took.count();
    };
    // Strips as wide as the grid run exactly what `pairs` runs: such a schedule is timed as pairs
    // (timing the same work twice would only let the noise pick between them).
    const std::size_t kinds = kSchedules.size();
    std::vector<std::size_t> timed_as(kinds);
    for (std::size_t s = 0; s < kinds; ++s) {
        const bool same_as_pairs = kSchedules[s] != Schedule::rows && strip_width(kSchedules[s], n_) >= n_;
        timed_as[s] = same_as_pairs ? 1 : s;  // kSchedules[1] is pairs
    }
    for (const Schedule s : kSchedules) trial(s);
    std::vector<std::vector<double>> times(kinds);
    for (int round = 0; round < kRounds; ++round) {
        for (std::size_t k = 0; k < kinds; ++k) {
            const std::size_t s = (k + static_cast<std::size_t>(round)) % kinds;
            if (timed_as[s] == s) times[s].push_back(trial(kSchedules[s]));
        }
    }
    std::vector<double> median(kinds);
    for (std::size_t s = 0; s < kinds; ++s) {
        std::vector<double>& own = times[timed_as[s]];
        std::nth_element(own.begin(), own.begin() + kRounds / 2, own.end());
        median[s] = own[kRounds / 2];
        timings_.push_back({kSchedules[s], median[s]});
    }
    const double fastest = *std::min_element(median.begin(), median.end());
    for (const Schedule s : kByWorkingSet) {
        const auto at = static_cast<std::size_t>(std::find(kSchedules.begin(), kSchedules.end(), s) - kSchedules.begin());
        if (median[at] <= fastest * (1.0 + kWithinNoise)) {
            schedule_ = s;
            break;
        }
    }
}

}  // namespace talmek
