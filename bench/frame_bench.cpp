// Frame-time benchmarks of the default scene with the program's own code on a
// real GL context: one simulation step as idle runs it, one display frame,
// the per-frame cube-map upload alone, and a whole main-loop turn split into
// stepping and drawing. Every GL timing ends with glFinish so that the
// rendering work counts, also on a software renderer that runs behind the
// calls. Needs an X server (DISPLAY); `make bench-frame` provides one.
//
// Sections: set-up; benchmarks; main.
#include <GL/freeglut.h>
#include <X11/Xlib.h>
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "demo/callbacks.h"
#include "demo/window.h"
#include "platform/platform.h"
#include "render/renderer.h"
#include "sim/world.h"
#include "startup/frame.h"
#include "startup/startup.h"

namespace {

// ---------------------------------------------------------------------------
// Set-up
// ---------------------------------------------------------------------------

// The directory with bmoon1m.3ds and 0.tga to 5.tga; the build writes them.
#ifndef ZIBBET_RUN_DIR
#define ZIBBET_RUN_DIR "run"
#endif
const char* const kSceneFile = "bmoon1m.3ds";
constexpr int kShowWindowTurns = 500; // event-loop turns to wait for the first reshape
constexpr useconds_t kShowWindowPause = 10000;

double countsToSeconds(int64_t counts) {
    return static_cast<double>(counts) / static_cast<double>(platCounterFrequency());
}

// The world and window exactly as start-up makes them, without entering the
// main loop. Returns false after printing why.
bool startUp() {
    const char* dir = std::getenv("ZIBBET_RUN_DIR");
    if (!dir || !*dir) dir = ZIBBET_RUN_DIR;
    if (chdir(dir) != 0) {
        std::printf("frame_bench: cannot enter %s: %s\n", dir, std::strerror(errno));
        return false;
    }
    if (access(kSceneFile, R_OK) != 0) {
        std::printf("frame_bench: no readable %s in %s: build the project first\n", kSceneFile,
                    dir);
        return false;
    }
    const int grey = appWorldSetup();
    appSceneSetup(grey, kSceneFile);
    appOpenWindow();
    // The window shows and gets its size through the event loop.
    for (int turn = 0; turn < kShowWindowTurns && winWidth == 0; ++turn) {
        glutMainLoopEvent();
        if (winWidth == 0) usleep(kShowWindowPause);
    }
    if (winWidth == 0) {
        std::printf("frame_bench: the window did not show\n");
        return false;
    }
    std::printf("\nframe_bench: window %dx%d, %d objects, renderer %s\n\n", winWidth, winHeight,
                simWorld.nObjects, reinterpret_cast<const char*>(glGetString(GL_RENDERER)));
    return true;
}

// ---------------------------------------------------------------------------
// Benchmarks
// ---------------------------------------------------------------------------

// One step of every object, as idle runs it (without asking for a redraw),
// with the step's own phase timers as counters.
void BM_StepWorld(benchmark::State& state) {
    int64_t forces = 0, springs = 0, motion = 0;
    for (auto _ : state) {
        appStepWorld();
        forces += phaseForces;
        springs += phaseSprings;
        motion += phaseMotion;
    }
    const auto avg = benchmark::Counter::kAvgIterations;
    state.counters["forces_ms"] = benchmark::Counter(countsToSeconds(forces) * 1e3, avg);
    state.counters["springs_ms"] = benchmark::Counter(countsToSeconds(springs) * 1e3, avg);
    state.counters["motion_ms"] = benchmark::Counter(countsToSeconds(motion) * 1e3, avg);
}

// One display frame, swap and all, finished; the draw counter is display's
// own (clear to the end of drawing, before the flush and the swap).
void BM_Display(benchmark::State& state) {
    int64_t clear = 0, draw = 0;
    for (auto _ : state) {
        display();
        glFinish();
        clear += phaseClear;
        draw += phaseDraw;
    }
    const auto avg = benchmark::Counter::kAvgIterations;
    state.counters["clear_ms"] = benchmark::Counter(countsToSeconds(clear) * 1e3, avg);
    state.counters["draw_ms"] = benchmark::Counter(countsToSeconds(draw) * 1e3, avg);
}

// The same frame with the body drawn plainly (the 'e' key's toggle): no
// cube-map upload, no reflection.
void BM_DisplayWithoutEnvMap(benchmark::State& state) {
    int32_t& flags = simWorld.objects[lastConvertedOid].flags;
    const int32_t saved = flags;
    flags &= ~SIMF_ENVMAP;
    for (auto _ : state) {
        display();
        glFinish();
    }
    flags = saved;
}

// The six face uploads that every environment-mapped object makes at every
// frame, into the cube-map texture as display leaves it bound.
void BM_UploadCubeMap(benchmark::State& state) {
    display();
    glFinish();
    for (auto _ : state) {
        uploadCubeMap();
        glFinish();
    }
}

// One turn of the GLUT main loop: the event pass that runs the pending
// display, then idle. Counters split the turn into stepping and drawing; the
// upload counter times one extra upload per turn, outside the turn's time.
void BM_MainLoopTurn(benchmark::State& state) {
    int64_t stepping = 0, drawing = 0, uploading = 0;
    idle(); // so that the first turn has a frame to draw
    for (auto _ : state) {
        const int64_t t0 = platCounter();
        glutMainLoopEvent();
        glFinish();
        const int64_t t1 = platCounter();
        idle();
        const int64_t t2 = platCounter();
        drawing += t1 - t0;
        stepping += t2 - t1;

        state.PauseTiming();
        const int64_t u0 = platCounter();
        uploadCubeMap();
        glFinish();
        uploading += platCounter() - u0;
        state.ResumeTiming();
    }
    const auto avg = benchmark::Counter::kAvgIterations;
    const double turn = countsToSeconds(stepping + drawing);
    state.counters["fps"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["step_ms"] = benchmark::Counter(countsToSeconds(stepping) * 1e3, avg);
    state.counters["draw_ms"] = benchmark::Counter(countsToSeconds(drawing) * 1e3, avg);
    state.counters["upload_ms"] = benchmark::Counter(countsToSeconds(uploading) * 1e3, avg);
    if (turn > 0.0) {
        state.counters["draw_share"] = countsToSeconds(drawing) / turn;
        state.counters["upload_share"] = countsToSeconds(uploading) / turn;
    }
}

BENCHMARK(BM_StepWorld)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Display)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DisplayWithoutEnvMap)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_UploadCubeMap)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_MainLoopTurn)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

// ---------------------------------------------------------------------------
// Main
// ---------------------------------------------------------------------------
int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

    // Without a display there is nothing to measure: say so and succeed, as
    // a skipped test does.
    const char* display = std::getenv("DISPLAY");
    Display* probe = display && *display ? XOpenDisplay(nullptr) : nullptr;
    if (!probe) {
        std::printf("frame_bench: skipped: %s; run it through scripts/with-xvfb.sh or "
                    "'make bench-frame'\n",
                    display && *display ? "the X display cannot be opened" : "DISPLAY is not set");
        return 0;
    }
    XCloseDisplay(probe);

    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (!startUp()) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
