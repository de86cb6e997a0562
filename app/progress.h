// Progress lines on standard error for long start-up work (reading the scene,
// building a body's springs): shown only when standard error is a terminal and
// the work has run for about a second, rewritten in place, cleared when the
// work ends. Standard output is never written.
#pragma once

constexpr double kAppProgressDelay = 1.0;   // seconds of work before a line shows
constexpr double kAppProgressRefresh = 0.1; // seconds at least between two lines

// Listens to the import's progress when standard error is a terminal; does
// nothing otherwise. Tests pass shorter times.
void appProgressInstall(double delay = kAppProgressDelay, double refresh = kAppProgressRefresh);
