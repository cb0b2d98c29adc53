#pragma once
// Many point pairs of one image pair matched on native threads: points in, records out.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "records/image_rows.h"
#include "records/matching_params.h"

namespace talmek::track {

// One matched point: the pair as given, then the LineSeg fields. The natural alignment of this
// layout is what the NumPy record type mirrors, so workers write straight into a result array.
struct PointRecord {
    std::int32_t row1, col1, row2, col2;
    double x1, y1, x2, y2, length;
    float strength, displacement, rms_1, rms_2;
    std::int32_t active;
};

struct BatchJob {
    const ImageRows* image1 = nullptr;
    const ImageRows* image2 = nullptr;
    MatchingParams params;
    const std::int32_t* points = nullptr;  // n rows of (row1, col1, row2, col2)
    PointRecord* out = nullptr;            // n records, each written once its point is done
    std::size_t n = 0;
};

struct BatchOutcome {
    std::size_t failures = 0;  // points whose match threw; their records are all zero
    std::string first_error;   // what the first of them threw
};

// Called on the calling thread about every poll interval while the workers run, with the number
// of points done. Returning false cancels the batch; so does an exception, which run_batch throws
// again once the workers have stopped.
using Poll = std::function<bool(std::size_t done)>;
inline constexpr std::chrono::milliseconds kPollInterval{50};

// The hardware's concurrency, at least 1.
unsigned default_threads();

// Matches every point of the job on up to `threads` threads (0: default_threads(), never more
// than there are points), each taking the next unmatched point until none are left. A point whose
// match throws gets the all-zero record that a single match would return and the batch goes on.
// When no thread can be started the calling thread does the work itself. On return every worker
// has been joined, so nothing touches the job's arrays afterwards; after a cancellation the
// records of points never taken are left as they were.
BatchOutcome run_batch(const BatchJob& job, unsigned threads, const Poll& poll = {});

}  // namespace talmek::track
