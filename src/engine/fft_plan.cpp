// Transform plans: twiddle tables prepared once per process and the schedule that runs fastest on
// the processor at hand, found by timing each at first use.
#include <algorithm>
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

// Rounds of timing: each schedule once per round, in turn, the best round of each counting.
constexpr int kRounds = 3;
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

// Times a whole transform under every schedule, in interleaved rounds so that a burst of other
// work on the machine does not count against one schedule alone, and keeps the fastest.
void TransformPlan::choose_schedule(Kernel kernel) {
    if (n_ < kSmallestTimed) return;
    SplitGrid grid(n_, kernel);
    const std::size_t count = static_cast<std::size_t>(n_) * static_cast<std::size_t>(n_);
    std::vector<float> values(count);
    for (std::size_t k = 0; k < count; ++k) values[k] = static_cast<float>(k % 251);
    std::vector<double> best(kSchedules.size(), 1e300);
    for (int round = 0; round < kRounds; ++round) {
        for (std::size_t s = 0; s < kSchedules.size(); ++s) {
            std::copy(values.begin(), values.end(), grid.re());
            std::copy(values.rbegin(), values.rend(), grid.im());
            const auto start = std::chrono::steady_clock::now();
            grid.transform(*this, kSchedules[s], Layout::natural, grid.whole(), grid.whole());
            const std::chrono::duration<double, std::micro> took = std::chrono::steady_clock::now() - start;
            best[s] = std::min(best[s], took.count());
        }
    }
    for (std::size_t s = 0; s < kSchedules.size(); ++s) timings_.push_back({kSchedules[s], best[s]});
    schedule_ = kSchedules[static_cast<std::size_t>(std::min_element(best.begin(), best.end()) - best.begin())];
}

}  // namespace talmek
