#include "track/runner.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "engine/pipeline.h"
#include "engine/workspace.h"
#include "records/line_seg.h"

namespace talmek::track {

namespace {

// State that the workers and the waiting caller share.
struct Shared {
    explicit Shared(const BatchJob& j) : job(j) {}

    const BatchJob& job;

    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> done{0};
    std::atomic<bool> stop{false};

    std::mutex mutex;
    std::condition_variable finished;
    unsigned running = 0;
    BatchOutcome outcome;

    void note_failure(const char* what) {
        std::lock_guard<std::mutex> lock(mutex);
        if (outcome.failures++ == 0) outcome.first_error = what;
    }
};

void fill(PointRecord& r, const std::int32_t* p, const LineSeg& seg) {
    r.row1 = p[0];
    r.col1 = p[1];
    r.row2 = p[2];
    r.col2 = p[3];
    r.x1 = seg.x1;
    r.y1 = seg.y1;
    r.x2 = seg.x2;
    r.y2 = seg.y2;
    r.length = seg.length;
    r.strength = seg.strength;
    r.displacement = seg.displacement;
    r.rms_1 = seg.rms_1;
    r.rms_2 = seg.rms_2;
    r.active = seg.active;
}

// Takes points one at a time until none are left, so that uneven matches balance out.
void work_through(Shared& s) {
    const BatchJob& job = s.job;
    Workspace work;
    Matcher matcher = make_matcher(job.params, static_cast<std::int32_t>(job.image1->row_count()),
                                   static_cast<std::int32_t>(job.image2->row_count()));
    while (!s.stop.load(std::memory_order_relaxed)) {
        const std::size_t i = s.next.fetch_add(1, std::memory_order_relaxed);
        if (i >= job.n) break;
        const std::int32_t* p = job.points + 4 * i;
        const std::int32_t row[2] = {p[0], p[2]};
        const std::int32_t col[2] = {p[1], p[3]};
        LineSeg seg;
        try {
            match_pair(matcher, *job.image1, *job.image2, seg, row, col, work);
        } catch (const std::exception& e) {
            seg = LineSeg{};
            s.note_failure(e.what());
        } catch (...) {
            seg = LineSeg{};
            s.note_failure("unknown error");
        }
        fill(job.out[i], p, seg);
        s.done.fetch_add(1, std::memory_order_relaxed);
    }
}

void worker(Shared& s) {
    work_through(s);
    std::lock_guard<std::mutex> lock(s.mutex);
    --s.running;
    s.finished.notify_all();
}

}  // namespace

unsigned default_threads() {
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n;
}

BatchOutcome run_batch(const BatchJob& job, unsigned threads, const Poll& poll) {
    if (threads == 0) threads = default_threads();
    threads = static_cast<unsigned>(std::min<std::size_t>(threads, std::max<std::size_t>(job.n, 1)));
    Shared s(job);
    std::exception_ptr failure;
    {
        std::vector<std::jthread> pool;
        pool.reserve(threads);
        for (unsigned t = 0; t < threads; ++t) {
            {
                std::lock_guard<std::mutex> lock(s.mutex);
                ++s.running;
            }
            try {
                pool.emplace_back([&s] { worker(s); });
            } catch (const std::system_error&) {
                std::lock_guard<std::mutex> lock(s.mutex);
                --s.running;
                break;
            }
        }
        if (pool.empty()) work_through(s);

        std::unique_lock<std::mutex> lock(s.mutex);
        while (s.running > 0) {
            if (s.finished.wait_for(lock, kPollInterval, [&s] { return s.running == 0; })) break;
            lock.unlock();
            bool go_on = true;
            try {
                if (poll) go_on = poll(s.done.load(std::memory_order_relaxed));
            } catch (...) {
                failure = std::current_exception();
            }
            lock.lock();
            if (failure || !go_on) {
                s.stop.store(true);
                break;
            }
        }
        lock.unlock();
        pool.clear();  // joins
    }
    if (failure) std::rethrow_exception(failure);
    return s.outcome;
}

}  // namespace talmek::track
