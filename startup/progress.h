// Progress lines on standard error for long start-up work (reading the scene,
// building a body's springs, making spring plans): shown only when standard
// error is a terminal and the work has run for about a second, rewritten in
// place, cleared when the work ends. Standard output is never written.
#pragma once

constexpr double kAppProgressDelay = 1.0;   // seconds of work before a line shows
constexpr double kAppProgressRefresh = 0.1; // seconds at least between two lines

// Listens to the import's progress when standard error is a terminal; does
// nothing otherwise. Tests pass shorter times.
void appProgressInstall(double delay = kAppProgressDelay, double refresh = kAppProgressRefresh);

// The time left that the line shows: the task's average rate since it began
// (not the last interval's, which jumps), once measured for a quarter of a
// second; and never more than the line showed before. A task's stages go at
// speeds their shares of it do not foretell, so a slow stage lowers the
// average: the figure then holds rather than climbing back, and falls again
// as the faster stages catch up.
struct AppTimeLeft {
    double shown = -1.0; // the last time left given, seconds; -1: none yet
};
// Seconds left after `fraction` of the task in `seconds`, or -1 when there is
// no rate yet; t starts afresh for each task.
double appProgressTimeLeft(AppTimeLeft& t, double fraction, double seconds);
