// Worker threads for a grid of tasks.
//
// A run is open while its tasks may be taken. The caller closes it once every
// task is done and returns only when no worker is inside it any more, so that
// nothing the tasks read is touched after the run. A row's progress is tagged
// with the run's generation, so that a thread late from the last run takes
// nothing of the next.
#include "sim/parallel.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <atomic>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace {

// A waiting thread spins for a while (a hand-over or the next run comes soon
// while the work goes on), then yields its processor to whatever else wants
// it, and sleeps on a futex only after a long wait: waking a thread from a
// sleep can take milliseconds, and a yield can cost a time slice when another
// process wants the processor. With more threads than processors a spinning
// thread would hold back the one it waits for, so it spins only briefly.
constexpr double kSpinSeconds = 2e-3;
constexpr double kCrowdedSpinSeconds = 20e-6;
constexpr double kYieldSeconds = 50e-3;

struct alignas(64) RowState {
    std::atomic<uint64_t> claimed{0}; // generation << 32 | tasks taken
    std::atomic<uint64_t> done{0};    // generation << 32 | tasks finished
};

struct Job {
    SimTaskGrid grid;
    SimGridTask task = nullptr;
    void* context = nullptr;
};

struct Pool {
    std::vector<std::thread> workers;
    std::atomic<uint64_t> phase{0}; // generation << 1 | open
    std::atomic<int32_t> inside{0}; // workers inside an open run
    std::atomic<bool> stop{false};
    alignas(64) std::atomic<uint32_t> events{0}; // one more for every finished task
    std::atomic<int64_t> spinTicks{0};
    Job job;
    RowState rows[SIM_MAX_GRID_ROWS];
    ~Pool() { simParallelStop(); }
};
Pool pool;

int64_t ticksOf(double seconds) {
    return static_cast<int64_t>(seconds * static_cast<double>(platCounterFrequency()));
}

inline void cpuRelax() {
#if defined(__x86_64__)
    _mm_pause();
#endif
}

// Waits until value != old: spins, then yields, then sleeps on the futex.
template <typename T> void awaitChange(const std::atomic<T>& value, T old) {
    const int64_t start = platCounter();
    const int64_t spin = pool.spinTicks.load(std::memory_order_relaxed);
    for (int round = 0;; ++round) {
        if (value.load(std::memory_order_acquire) != old) return;
        cpuRelax();
        if (round % 64 == 0 && platCounter() - start > spin) break;
    }
    const int64_t yieldEnd = spin + ticksOf(kYieldSeconds);
    while (platCounter() - start < yieldEnd) {
        if (value.load(std::memory_order_acquire) != old) return;
        std::this_thread::yield();
    }
    while (value.load(std::memory_order_acquire) == old)
        value.wait(old, std::memory_order_acquire);
}

uint64_t tagged(uint32_t generation, int32_t count) {
    return uint64_t{generation} << 32 | static_cast<uint32_t>(count);
}

int32_t countOf(uint64_t state) {
    return static_cast<int32_t>(state & 0xffffffffu);
}

bool ofRun(uint64_t state, uint32_t generation) {
    return static_cast<uint32_t>(state >> 32) == generation;
}

enum class Find { kTask, kNone, kOver };

// Takes the ready task of the lowest row: kTask with it, kNone when none is
// ready now, kOver when every task of the run is done (or the run is gone).
Find takeTask(uint32_t generation, int* taken, int32_t* column) {
    const SimTaskGrid& grid = pool.job.grid;
    bool allDone = true;
    int32_t above = grid.columns; // tasks finished by the row above (all, for row 0)
    for (int row = 0; row < grid.rows; ++row) {
        const uint64_t done = pool.rows[row].done.load(std::memory_order_acquire);
        if (!ofRun(done, generation)) return Find::kOver;
        const int32_t d = countOf(done);
        const int32_t ready = above;
        above = d;
        if (d == grid.columns) continue;
        allDone = false;
        if (ready <= d) continue; // waits for the row above
        uint64_t claimed = tagged(generation, d);
        if (pool.rows[row].claimed.compare_exchange_strong(claimed, tagged(generation, d + 1),
                                                           std::memory_order_acq_rel)) {
            *taken = row;
            *column = d;
            return Find::kTask;
        }
    }
    return allDone ? Find::kOver : Find::kNone;
}

// Runs ready tasks of the run until all are done.
void runTasks(uint32_t generation) {
    for (;;) {
        const uint32_t seen = pool.events.load(std::memory_order_acquire);
        int row = 0;
        int32_t column = 0;
        const Find found = takeTask(generation, &row, &column);
        if (found == Find::kOver) return;
        if (found == Find::kNone) {
            awaitChange(pool.events, seen);
            continue;
        }
        pool.job.task(pool.job.context, row, column);
        pool.rows[row].done.store(tagged(generation, column + 1), std::memory_order_release);
        pool.events.fetch_add(1, std::memory_order_acq_rel);
        pool.events.notify_all();
    }
}

// `seen` is the phase word when the worker was made: it joins every later
// open run.
void workerLoop(uint64_t seen) {
    for (;;) {
        awaitChange(pool.phase, seen);
        seen = pool.phase.load(std::memory_order_acquire);
        if (pool.stop.load(std::memory_order_acquire)) return;
        if (!(seen & 1u)) continue;
        pool.inside.fetch_add(1, std::memory_order_seq_cst);
        if (pool.phase.load(std::memory_order_seq_cst) == seen)
            runTasks(static_cast<uint32_t>(seen >> 1));
        pool.inside.fetch_sub(1, std::memory_order_release);
    }
}

} // namespace

bool simParallelReserve(int threads) {
    pool.spinTicks.store(
        ticksOf(threads > platProcessorCount() ? kCrowdedSpinSeconds : kSpinSeconds),
        std::memory_order_relaxed);
    if (static_cast<int>(pool.workers.size()) == threads - 1) return true;
    simParallelStop();
    const uint64_t now = pool.phase.load(std::memory_order_acquire);
    try {
        for (int t = 1; t < threads; ++t)
            pool.workers.emplace_back(workerLoop, now);
    } catch (const std::system_error&) {
        simParallelStop();
        return false;
    }
    return true;
}

bool simParallelGrid(const SimTaskGrid& grid, int threads, SimGridTask task, void* context) {
    if (grid.rows < 1 || grid.rows > SIM_MAX_GRID_ROWS || !simParallelReserve(threads))
        return false;
    pool.job = Job{grid, task, context};
    const uint32_t generation =
        static_cast<uint32_t>(pool.phase.load(std::memory_order_relaxed) >> 1) + 1;
    for (int row = 0; row < grid.rows; ++row) {
        const uint64_t start = tagged(generation, grid.firstColumn[row]);
        pool.rows[row].claimed.store(start, std::memory_order_relaxed);
        pool.rows[row].done.store(start, std::memory_order_relaxed);
    }
    const uint64_t open = uint64_t{generation} << 1 | 1u;
    pool.phase.store(open, std::memory_order_seq_cst);
    pool.phase.notify_all();
    runTasks(generation);
    pool.phase.store(open & ~uint64_t{1}, std::memory_order_seq_cst);
    while (pool.inside.load(std::memory_order_seq_cst) != 0)
        cpuRelax();
    return true;
}

void simParallelStop() {
    if (pool.workers.empty()) return;
    pool.stop.store(true, std::memory_order_release);
    pool.phase.fetch_add(2, std::memory_order_acq_rel);
    pool.phase.notify_all();
    for (std::thread& w : pool.workers)
        w.join();
    pool.workers.clear();
    pool.stop.store(false, std::memory_order_release);
}

void simParallelEach(int count, int threads, SimEachTask task, void* context) {
    std::atomic<int> next{0};
    const auto work = [&](int worker) {
        for (int t = next.fetch_add(1); t < count; t = next.fetch_add(1))
            task(context, t, worker);
    };
    std::vector<std::thread> helpers;
    try {
        for (int w = 1; w < std::min(threads, count); ++w)
            helpers.emplace_back(work, w);
    } catch (const std::system_error&) { // fewer threads: the same tasks
    }
    work(0);
    for (std::thread& h : helpers)
        h.join();
}

namespace {
int buildThreads = 1;
}

void simParallelSetBuildThreads(int threads) {
    buildThreads = std::clamp(threads, 1, SIM_MAX_BUILD_THREADS);
}

int simParallelBuildThreads() {
    return buildThreads;
}
