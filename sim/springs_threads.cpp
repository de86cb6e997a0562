// Worker threads for the tiled spring phase.
//
// Every mass block receives its cell blocks in the order of the one-thread run
// (see springs_kernels.h) as long as, for each column, the parts of earlier
// first ends come first, and for each part, its segments come in order: task
// (part, s) after tasks (part - 1, s) and (part, s - 1). Two tasks that may
// run at once never touch the same mass: task (k, s) writes the columns of
// segment s and the rows of part k that lie left of segment s's end; a task
// (k', s') with k' < k and s' > s writes only later columns and earlier rows,
// one with k' > k and s' < s only earlier columns and later rows. Threads take
// ready tasks, lowest part first, so no thread waits on another that is slow
// or holds no processor while work that it could do is left.
#include "sim/springs_threads.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <atomic>
#include <bit>
#include <thread>

#include "platform/platform.h"
#include "sim/springs.h"
#include "sim/springs_plan.h"

namespace {

// A waiting thread spins for a while (a hand-over or the next phase comes
// soon while a run goes on), then yields its processor to whatever else wants
// it, and sleeps on a futex only after a long wait: waking a thread from a
// sleep can take milliseconds, and a yield can cost a time slice when another
// process wants the processor. With more threads than processors a spinning
// thread would hold back the one it waits for, so it spins only briefly.
constexpr int64_t kSpinNanos = 2000000;      // 2 ms
constexpr int64_t kCrowdedSpinNanos = 20000; // 20 us, more threads than processors
constexpr int64_t kYieldNanos = 50000000;    // then 50 ms of yielding
constexpr int kPartsPerThread = 4;           // more parts than threads: work to pick from
constexpr int kMaxParts = kPartsPerThread * SIM_MAX_SPRING_THREADS;

// Threads help only while the machine has processors to spare: the phase
// keeps the recent time of a run with and without its threads and takes the
// faster, trying the other one now and then, less often each time the try
// confirms the choice (a try on a busy machine can cost milliseconds).
constexpr int kLastProbe = 1024;    // the longest interval between tries
constexpr double kTimeWeight = 0.3; // weight of the newest time in a way's average

// The grid's cost model, in units of one cell's work (about 0.7 ns where it
// was measured); it only ranks grids against each other.
constexpr double kBlockCost = 24.0; // a cell block beyond its cells
constexpr double kVisitCost = 14.0; // a tile's visit to a segment
// A visit whose cells come from memory rather than cache starts with misses.
constexpr double kMemoryVisitCost = 400.0;
constexpr int64_t kCachedLayoutBytes = int64_t{16} << 20; // layouts up to this stay in cache
constexpr double kHandOverCost = 300.0;                   // a task passing to another thread
constexpr double kTaskCost = 1500.0; // a task's own start: taking it, its rows and columns
constexpr int kSegmentChoices[] = {2, 4, 8, 16, 32, 64};

// A part's progress in a phase: generation << 32 | segments. Tagged with the
// phase, so that a thread late from the last phase takes nothing of the next.
struct alignas(64) PartState {
    std::atomic<uint64_t> claimed{0}; // tasks taken
    std::atomic<uint64_t> done{0};    // tasks finished
};

struct Job {
    const SpringTaskGrid* grid = nullptr;
    SpringTiles view{};
    SpringPacked packed{};
    SpringTileKernel kernel = nullptr;
    int32_t* next = nullptr;
};

// A phase is open while its tasks may be taken. The caller closes it once
// every task is done and returns only when no worker is inside it any more,
// so that nothing of the phase (layout, packed rows) is touched after it.
struct Pool {
    std::vector<std::thread> workers;
    std::atomic<uint64_t> phase{0}; // generation << 1 | open
    std::atomic<int32_t> inside{0}; // workers inside an open phase
    std::atomic<bool> stop{false};
    alignas(64) std::atomic<uint32_t> events{0}; // one more for every finished task
    Job job;
    PartState parts[kMaxParts];
    ~Pool();
};
Pool pool;
std::atomic<int64_t> spinNanos{kSpinNanos}; // set with the thread count

inline void cpuRelax() {
#if defined(__x86_64__)
    _mm_pause();
#endif
}

// Waits until value != old: spins, then yields, then sleeps on the futex.
template <typename T> void awaitChange(const std::atomic<T>& value, T old) {
    const int64_t start = platCounter();
    for (int round = 0;; ++round) {
        if (value.load(std::memory_order_acquire) != old) return;
        cpuRelax();
        if (round % 64 == 0 && platCounter() - start > spinNanos.load(std::memory_order_relaxed))
            break;
    }
    while (platCounter() - start < spinNanos.load(std::memory_order_relaxed) + kYieldNanos) {
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

bool ofPhase(uint64_t state, uint32_t generation) {
    return static_cast<uint32_t>(state >> 32) == generation;
}

enum class Find { kTask, kNone, kOver };

// Takes the ready task of the lowest part: kTask with it, kNone when none is
// ready now, kOver when every task of the phase is done (or the phase is gone).
Find takeTask(uint32_t generation, int* taken, int32_t* segment) {
    const SpringTaskGrid& grid = *pool.job.grid;
    const int32_t segments = grid.segments();
    bool allDone = true;
    int32_t before = segments; // tasks finished by the part before (all, for part 0)
    for (int part = 0; part < grid.parts(); ++part) {
        const uint64_t done = pool.parts[part].done.load(std::memory_order_acquire);
        if (!ofPhase(done, generation)) return Find::kOver;
        const int32_t d = countOf(done);
        const int32_t after = before;
        before = d;
        if (d == segments) continue;
        allDone = false;
        if (after <= d) continue; // waits for the part before
        uint64_t claimed = tagged(generation, d);
        if (pool.parts[part].claimed.compare_exchange_strong(claimed, tagged(generation, d + 1),
                                                             std::memory_order_acq_rel)) {
            *taken = part;
            *segment = d;
            return Find::kTask;
        }
    }
    return allDone ? Find::kOver : Find::kNone;
}

void runTask(uint32_t generation, int part, int32_t s) {
    const Job& job = pool.job;
    const SpringTaskGrid& grid = *job.grid;
    const int32_t tileBegin = grid.partTiles[static_cast<size_t>(part)];
    const int32_t tileEnd = grid.partTiles[static_cast<size_t>(part) + 1];
    job.kernel(job.view, job.packed, tileBegin, tileEnd, grid.segment[static_cast<size_t>(s) + 1],
               job.next + tileBegin);
    pool.parts[part].done.store(tagged(generation, s + 1), std::memory_order_release);
    pool.events.fetch_add(1, std::memory_order_acq_rel);
    pool.events.notify_all();
}

// Runs ready tasks of the phase until all are done.
void runTasks(uint32_t generation) {
    for (;;) {
        const uint32_t seen = pool.events.load(std::memory_order_acquire);
        int part = 0;
        int32_t s = 0;
        const Find found = takeTask(generation, &part, &s);
        if (found == Find::kOver) return;
        if (found == Find::kTask) {
            runTask(generation, part, s);
        } else {
            awaitChange(pool.events, seen);
        }
    }
}

// `seen` is the phase word when the worker was made: it joins every later
// open phase.
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

Pool::~Pool() {
    springThreadsStop();
}

void ensureWorkers(int threads) {
    if (static_cast<int>(pool.workers.size()) == threads - 1) return;
    springThreadsStop();
    const uint64_t now = pool.phase.load(std::memory_order_acquire);
    for (int t = 1; t < threads; ++t)
        pool.workers.emplace_back(workerLoop, now);
}

// ---------------------------------------------------------------------------
// The grid and its cost model
// ---------------------------------------------------------------------------

// The modelled time of a phase on `threads` threads that take ready tasks,
// lowest part first; cost[part * segments + s] is task (part, s)'s work.
double modelGrid(const std::vector<double>& cost, const std::vector<int32_t>& firstSegment,
                 int parts, int32_t segments, int threads) {
    std::vector<double> finish(cost.size(), 0.0);
    std::vector<int32_t> next(firstSegment.begin(), firstSegment.end());
    std::vector<double> threadFree(static_cast<size_t>(threads), 0.0); // when each is free
    int64_t left = 0;
    for (int part = 0; part < parts; ++part)
        left += segments - firstSegment[static_cast<size_t>(part)];
    double end = 0.0;
    auto at = [segments](int part, int32_t s) { return static_cast<size_t>(part) * segments + s; };
    for (; left > 0; --left) {
        const size_t t = static_cast<size_t>(
            std::min_element(threadFree.begin(), threadFree.end()) - threadFree.begin());
        int pick = -1;
        double pickReady = 0.0;
        for (int part = 0; part < parts; ++part) {
            const int32_t s = next[static_cast<size_t>(part)];
            if (s == segments) continue;
            // A task whose predecessor in the part before is not yet placed
            // cannot be placed before it.
            if (part > 0 && next[static_cast<size_t>(part) - 1] <= s &&
                firstSegment[static_cast<size_t>(part) - 1] <= s)
                continue;
            double ready = 0.0;
            if (part > 0 && s >= firstSegment[static_cast<size_t>(part) - 1])
                ready = finish[at(part - 1, s)] + kHandOverCost;
            if (s > firstSegment[static_cast<size_t>(part)])
                ready = std::max(ready, finish[at(part, s - 1)]);
            if (pick < 0 ||
                (ready <= threadFree[t] ? pickReady > threadFree[t] : ready < pickReady)) {
                pick = part;
                pickReady = ready;
            }
        }
        const int32_t s = next[static_cast<size_t>(pick)]++;
        const double start = std::max(threadFree[t], pickReady);
        finish[at(pick, s)] = start + cost[at(pick, s)];
        threadFree[t] = finish[at(pick, s)];
        end = std::max(end, threadFree[t]);
    }
    return end;
}

// Parts of equal modelled cost, segments of `width` mass blocks, and each
// task's cost.
void buildGrid(const SpringLayout& layout, int parts, int32_t width, double visitCost,
               SpringTaskGrid& grid, std::vector<double>& cost) {
    const size_t nTiles = layout.tiles.size();
    grid.segment.clear();
    for (int32_t q = 0; q < layout.massBlocks; q += width)
        grid.segment.push_back(q);
    grid.segment.push_back(layout.massBlocks);
    const int32_t segments = grid.segments();
    // Per tile and segment: its cells and blocks, then whether it visits.
    std::vector<double> tileCost(nTiles * static_cast<size_t>(segments), 0.0);
    double total = 0.0;
    for (size_t t = 0; t < nTiles; ++t) {
        const SpringTile& tile = layout.tiles[t];
        for (int32_t b = tile.blockBegin; b < tile.blockEnd; ++b) {
            const SpringBlock& blk = layout.blocks[static_cast<size_t>(b)];
            const double c = kBlockCost + static_cast<double>(std::popcount(blk.present));
            tileCost[t * static_cast<size_t>(segments) + static_cast<size_t>(blk.q / width)] += c;
            total += c;
        }
    }
    grid.partTiles.assign(1, 0);
    double sum = 0.0;
    for (size_t t = 0; t < nTiles; ++t) {
        for (int32_t s = 0; s < segments; ++s)
            sum += tileCost[t * static_cast<size_t>(segments) + static_cast<size_t>(s)];
        const int made = static_cast<int>(grid.partTiles.size());
        if (made < parts && sum >= total * made / parts && t + 1 < nTiles)
            grid.partTiles.push_back(static_cast<int32_t>(t) + 1);
    }
    grid.partTiles.push_back(static_cast<int32_t>(nTiles));
    grid.firstSegment.clear();
    cost.assign(static_cast<size_t>(grid.parts()) * segments, 0.0);
    for (int part = 0; part < grid.parts(); ++part) {
        const int32_t firstRow =
            layout.tiles[static_cast<size_t>(grid.partTiles[static_cast<size_t>(part)])].p;
        int32_t first = 0;
        while (first < segments && grid.segment[static_cast<size_t>(first) + 1] <= firstRow)
            ++first;
        grid.firstSegment.push_back(first);
        for (int32_t t = grid.partTiles[static_cast<size_t>(part)];
             t < grid.partTiles[static_cast<size_t>(part) + 1]; ++t)
            for (int32_t s = first; s < segments; ++s) {
                const double c =
                    tileCost[static_cast<size_t>(t) * segments + static_cast<size_t>(s)];
                cost[static_cast<size_t>(part) * segments + static_cast<size_t>(s)] +=
                    c + (c > 0.0 ? visitCost : 0.0);
            }
        for (int32_t s = first; s < segments; ++s)
            cost[static_cast<size_t>(part) * segments + static_cast<size_t>(s)] += kTaskCost;
    }
}

// The part count and segment width that the model finds fastest.
SpringTaskGrid bestGrid(const SpringLayout& layout, int threads) {
    const double visitCost =
        springLayoutStreamed(layout) > kCachedLayoutBytes ? kMemoryVisitCost : kVisitCost;
    const int nTiles = static_cast<int>(layout.tiles.size());
    SpringTaskGrid best;
    double bestTime = 0.0;
    std::vector<double> cost;
    for (const int perThread : {1, 2, kPartsPerThread}) {
        const int parts = std::min(nTiles, perThread * threads);
        for (const int segments : kSegmentChoices) {
            const int32_t width =
                std::max<int32_t>(1, (layout.massBlocks + segments - 1) / segments);
            SpringTaskGrid grid;
            buildGrid(layout, parts, width, visitCost, grid, cost);
            const double time =
                modelGrid(cost, grid.firstSegment, grid.parts(), grid.segments(), threads);
            if (best.segment.empty() || time < bestTime) {
                bestTime = time;
                best = grid;
            }
            if (width == 1) break;
        }
    }
    best.threads = threads;
    return best;
}

} // namespace

void springThreadsSetCount(int threads) {
    spinNanos.store(threads > platProcessorCount() ? kCrowdedSpinNanos : kSpinNanos,
                    std::memory_order_relaxed);
    if (threads <= 1) springThreadsStop();
}

SpringWay springThreadsChooseWay(SpringSchedule& schedule, bool keep) {
    if (keep) return SpringWay::kThreads;
    const double one = schedule.wayNanos[static_cast<int>(SpringWay::kOneThread)];
    const double many = schedule.wayNanos[static_cast<int>(SpringWay::kThreads)];
    if (many == 0.0) return SpringWay::kThreads;
    if (one == 0.0) return SpringWay::kOneThread;
    const int faster = many < one ? 1 : 0;
    if (++schedule.sinceProbe < schedule.probeEvery) return static_cast<SpringWay>(faster);
    schedule.sinceProbe = 0;
    schedule.probing = 1 - faster;
    return static_cast<SpringWay>(schedule.probing);
}

void springThreadsTimeWay(SpringSchedule& schedule, SpringWay way, double nanos) {
    double& time = schedule.wayNanos[static_cast<int>(way)];
    time = time == 0.0 ? nanos : (1.0 - kTimeWeight) * time + kTimeWeight * nanos;
    if (schedule.probing < 0) return;
    // A try that did not change the choice makes the next one come later.
    const double one = schedule.wayNanos[static_cast<int>(SpringWay::kOneThread)];
    const double many = schedule.wayNanos[static_cast<int>(SpringWay::kThreads)];
    const bool changed = (many < one ? 1 : 0) == schedule.probing;
    schedule.probeEvery =
        changed ? kSpringFirstProbe : std::min(2 * schedule.probeEvery, kLastProbe);
    schedule.probing = -1;
}

void springThreadsPrepare(SpringSchedule& schedule, const SpringLayout& layout, int threads) {
    if (schedule.grid.threads != threads) schedule.grid = bestGrid(layout, threads);
    ensureWorkers(threads);
}

void springThreadsRun(SpringSchedule& schedule, const SpringLayout& layout,
                      const SpringPacked& packed, SpringTileKernel kernel, int32_t* next) {
    const SpringTaskGrid& grid = schedule.grid;
    pool.job.grid = &grid;
    pool.job.view = springLayoutView(layout);
    pool.job.packed = packed;
    pool.job.kernel = kernel;
    pool.job.next = next;
    for (size_t t = 0; t < layout.tiles.size(); ++t)
        next[t] = layout.tiles[t].blockBegin;
    const uint32_t generation =
        static_cast<uint32_t>(pool.phase.load(std::memory_order_relaxed) >> 1) + 1;
    for (int part = 0; part < grid.parts(); ++part) {
        const uint64_t start = tagged(generation, grid.firstSegment[static_cast<size_t>(part)]);
        pool.parts[part].claimed.store(start, std::memory_order_relaxed);
        pool.parts[part].done.store(start, std::memory_order_relaxed);
    }
    const uint64_t open = uint64_t{generation} << 1 | 1u;
    pool.phase.store(open, std::memory_order_seq_cst);
    pool.phase.notify_all();
    runTasks(generation);
    pool.phase.store(open & ~uint64_t{1}, std::memory_order_seq_cst);
    while (pool.inside.load(std::memory_order_seq_cst) != 0)
        cpuRelax();
}

void springThreadsStop() {
    if (pool.workers.empty()) return;
    pool.stop.store(true, std::memory_order_release);
    pool.phase.fetch_add(2, std::memory_order_acq_rel);
    pool.phase.notify_all();
    for (std::thread& w : pool.workers)
        w.join();
    pool.workers.clear();
    pool.stop.store(false, std::memory_order_release);
}
