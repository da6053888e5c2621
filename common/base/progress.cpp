#include "base/progress.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/platform.h"

namespace progress_detail {
int64_t nextCheck = INT64_MAX;
}  // namespace progress_detail

namespace {

using Clock = std::chrono::steady_clock;

struct State {
    bool enabled = false;
    const char *program = "";
    Clock::time_point began;
    double delaySeconds = 1.0;
    const char *phase = "";
    int64_t total = 0;
    int64_t stride = 1;        // steps between two looks at the clock
    double lastDrawn = -1.0;   // seconds since `began` of the last drawing, -1: none yet
    size_t shownWidth = 0;     // characters of the line now on the terminal
} state;

// The clock is read about 500 times per phase at most, and the line is
// redrawn at most ten times a second.
constexpr int64_t kChecksPerPhase = 500;
constexpr double kRedrawSeconds = 0.1;

double Elapsed() { return std::chrono::duration<double>(Clock::now() - state.began).count(); }

void Draw(int64_t done, double elapsed) {
    char line[160];
    const int seconds = static_cast<int>(elapsed);
    int length;
    if (state.total > 0) {
        const int percent = static_cast<int>(done >= state.total ? 100 : done * 100 / state.total);
        length = std::snprintf(line, sizeof line, "%s: %s %3d%%  %d:%02d", state.program, state.phase, percent,
                               seconds / 60, seconds % 60);
    } else {
        length = std::snprintf(line, sizeof line, "%s: %s  %d:%02d", state.program, state.phase, seconds / 60,
                               seconds % 60);
    }
    if (length < 0) return;
    const size_t width = static_cast<size_t>(length) < sizeof line ? static_cast<size_t>(length) : sizeof line - 1;
    // Blanks wipe the rest of a longer line drawn before.
    const std::string pad(state.shownWidth > width ? state.shownWidth - width : 0, ' ');
    std::fprintf(stderr, "\r%s%s", line, pad.c_str());
    std::fflush(stderr);
    state.shownWidth = width;
    state.lastDrawn = elapsed;
}

}  // namespace

namespace progress_detail {

void Check(int64_t done) {
    nextCheck = done + state.stride;
    const double elapsed = Elapsed();
    if (elapsed < state.delaySeconds) return;
    if (state.lastDrawn >= 0.0 && elapsed - state.lastDrawn < kRedrawSeconds) return;
    Draw(done, elapsed);
}

}  // namespace progress_detail

void EnableProgress(const char *program) {
    state.enabled = IsTerminal(stderr);
    state.program = program;
    state.began = Clock::now();
    if (const char *delay = std::getenv("DENDRO_PROGRESS_DELAY")) {
        char *end = nullptr;
        const double seconds = std::strtod(delay, &end);
        while (end != delay && (*end == ' ' || *end == '\t')) ++end;
        if (end != delay && *end == '\0' && seconds >= 0.0 && seconds <= 1e9) {
            state.delaySeconds = seconds;
        } else {
            std::fprintf(stderr, "warning: DENDRO_PROGRESS_DELAY='%s' is not a number of seconds (0 or more); the "
                                 "progress line keeps its delay of %g s\n", delay, state.delaySeconds);
        }
    }
}

void ProgressStart(const char *phase, int64_t total) {
    if (!state.enabled) return;
    state.phase = phase;
    state.total = total;
    state.stride = total / kChecksPerPhase > 0 ? total / kChecksPerPhase : 1;
    state.lastDrawn = -1.0;
    progress_detail::nextCheck = 0;
}

void ProgressEnd() {
    progress_detail::nextCheck = INT64_MAX;
    if (state.shownWidth == 0) return;
    std::fprintf(stderr, "\r%s\r", std::string(state.shownWidth, ' ').c_str());
    std::fflush(stderr);
    state.shownWidth = 0;
}
