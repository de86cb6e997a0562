// Worker threads for work cut into a grid of tasks. The caller asks for a run
// over a grid and takes part in it; the workers know nothing of what the tasks
// do. Task (row, column) starts once tasks (row - 1, column) and
// (row, column - 1) are done, so that work which must meet each cell of a
// column in row order, and each cell of a row in column order, keeps that
// order on any number of threads. Threads take the ready task of the lowest
// row. The interactive program never starts a worker; the headless runner's
// spring phase may.
#pragma once

#include <cstdint>

constexpr int SIM_MAX_GRID_ROWS = 256;

struct SimTaskGrid {
    int rows = 0;    // 1..SIM_MAX_GRID_ROWS
    int columns = 0; // tasks per row, at most
    // Per row: its tasks are the columns from here on; those left of it are empty.
    const int32_t* firstColumn = nullptr;
};

using SimGridTask = void (*)(void* context, int row, int column);

// Makes sure `threads` - 1 workers wait for runs (outside the timed work);
// false when they cannot be had.
bool simParallelReserve(int threads);
// Runs every task of the grid on the caller and threads - 1 workers and
// returns when all are done; false, with nothing run, when the workers cannot
// be had.
bool simParallelGrid(const SimTaskGrid& grid, int threads, SimGridTask task, void* context);
void simParallelStop(); // joins the workers

// Tasks that do not wait on each other: task(context, t, worker) for every t
// in [0, count), worker 0 being the caller. Runs them on the caller and up to
// threads - 1 threads started for the call (for work of seconds, such as
// building a large body's springs, not for a phase), and returns when all are
// done; threads that cannot be had leave their tasks to the others.
using SimEachTask = void (*)(void* context, int task, int worker);
void simParallelEach(int count, int threads, SimEachTask task, void* context);
// The same with a callable: task(t, worker).
template <typename Task> void simParallelEach(int count, int threads, Task& task) {
    simParallelEach(
        count, threads, [](void* c, int t, int w) { (*static_cast<Task*>(c))(t, w); }, &task);
}

// Threads that building a body (its springs, its tiles) may take: 1, as the
// interactive program runs, unless the headless runner asks for more.
constexpr int SIM_MAX_BUILD_THREADS = 64;
void simParallelSetBuildThreads(int threads); // clamped to 1..SIM_MAX_BUILD_THREADS
int simParallelBuildThreads();
