// The progress listener: one line on the terminal, "\r"-rewritten, e.g.
//   Building springs  42%  10,676,278 springs  0:03 left
#include "startup/progress.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "platform/progress.h"

namespace {

constexpr int kLineMax = 160; // characters, more than any line takes
constexpr int kSecondsPerMinute = 60;
constexpr int kPercent = 100;
// The rate is trusted once it has been measured this long: a first figure
// from a few rows would hold the line near 0:00.
constexpr double kRateSeconds = 0.25;

struct ProgressState {
    double delay = kAppProgressDelay;
    double refresh = kAppProgressRefresh;
    bool active = false; // a task is under way
    bool shown = false;  // a line stands on the terminal
    int64_t start = 0;   // counter at the task's first report
    int64_t last = 0;    // counter at the last line written
    int width = 0;       // characters of the last line
    AppTimeLeft left;    // the task's time left so far
};
ProgressState progress;

double secondsSince(int64_t then, int64_t now) {
    return static_cast<double>(now - then) / static_cast<double>(platCounterFrequency());
}

// 12345678 as "12,345,678".
void groupDigits(char* out, size_t size, int64_t value) {
    char digits[32];
    const int n = std::snprintf(digits, sizeof digits, "%" PRId64, value);
    size_t at = 0;
    for (int i = 0; i < n && at + 1 < size; ++i) {
        if (i > 0 && (n - i) % 3 == 0 && digits[i - 1] != '-' && at + 2 < size) out[at++] = ',';
        out[at++] = digits[i];
    }
    out[at] = '\0';
}

// Wipes the line off the terminal, leaving the cursor where it found it.
void clearLine() {
    if (!progress.shown) return;
    char blank[kLineMax + 3];
    blank[0] = '\r';
    std::memset(blank + 1, ' ', static_cast<size_t>(progress.width));
    blank[progress.width + 1] = '\r';
    std::fwrite(blank, 1, static_cast<size_t>(progress.width) + 2, stderr);
    progress.shown = false;
    progress.width = 0;
}

void onProgress(const SimProgress& p) {
    const int64_t now = platCounter();
    if (p.done) {
        clearLine();
        progress.active = false;
        return;
    }
    if (!progress.active) {
        progress.active = true;
        progress.start = now;
        progress.left = AppTimeLeft{};
    }
    const double elapsed = secondsSince(progress.start, now);
    if (elapsed < progress.delay) return;
    if (progress.shown && secondsSince(progress.last, now) < progress.refresh) return;

    const double f = p.fraction < 0.0 ? 0.0 : p.fraction > 1.0 ? 1.0 : p.fraction;
    const double secondsLeft = appProgressTimeLeft(progress.left, f, elapsed);
    char line[kLineMax + 1];
    int n = std::snprintf(line, sizeof line, "%s %3d%%", p.stage ? p.stage : "",
                          static_cast<int>(f * kPercent));
    if (p.springs >= 0 && n < kLineMax) {
        char count[32];
        groupDigits(count, sizeof count, p.springs);
        n += std::snprintf(line + n, sizeof line - static_cast<size_t>(n), "  %s springs", count);
    }
    if (n < kLineMax) {
        if (secondsLeft >= 0.0) {
            const long left = static_cast<long>(secondsLeft + 0.5);
            n += std::snprintf(line + n, sizeof line - static_cast<size_t>(n), "  %ld:%02ld left",
                               left / kSecondsPerMinute, left % kSecondsPerMinute);
        } else {
            n += std::snprintf(line + n, sizeof line - static_cast<size_t>(n), "  -:-- left");
        }
    }
    if (n > kLineMax) n = kLineMax;

    // On a terminal shared with standard output, what the program printed
    // before comes first.
    if (!progress.shown) std::fflush(stdout);
    char out[2 * kLineMax + 2];
    const int pad = progress.width > n ? progress.width - n : 0;
    const int len = std::snprintf(out, sizeof out, "\r%s%*s", line, pad, "");
    std::fwrite(out, 1, static_cast<size_t>(len), stderr);
    progress.shown = true;
    progress.width = n;
    progress.last = now;
}

} // namespace

double appProgressTimeLeft(AppTimeLeft& t, double fraction, double seconds) {
    if (fraction > 0.0 && seconds >= kRateSeconds) {
        const double estimate = fraction < 1.0 ? seconds * (1.0 - fraction) / fraction : 0.0;
        if (t.shown < 0.0 || estimate < t.shown) t.shown = estimate;
    }
    return t.shown;
}

void appProgressInstall(double delay, double refresh) {
    if (!platStderrIsTerminal()) return;
    progress = ProgressState{};
    progress.delay = delay;
    progress.refresh = refresh;
    simProgressHook = onProgress;
}
