// A one-line progress report for long runs, on standard error: the program,
// the phase, the share done and the time since the run began, rewritten in
// place and cleared at the end. It shows only once EnableProgress has been
// called (the programs do it, library users and tests do not), when standard
// error is a terminal and when the run has lasted longer than a delay: one
// second, or DENDRO_PROGRESS_DELAY seconds when that is set (0 shows it at
// the first step, so tests need not wait).
//
// Engines call ProgressStart before a long loop and ProgressAdvance in it;
// ProgressAdvance is one comparison until the next time check is due, so it
// can sit in any loop run from the main thread. Main thread only.
#pragma once

#include <cstdint>

// Starts the clock of the run; `program` names the line.
void EnableProgress(const char *program);
// Starts a phase ("merging", "distances") of `total` steps (0: unknown).
void ProgressStart(const char *phase, int64_t total);
// Clears the line, if shown; nothing more is shown until the next phase.
void ProgressEnd();

namespace progress_detail {
// The step at which ProgressAdvance next looks at the clock; INT64_MAX when
// nothing can be shown.
extern int64_t nextCheck;
void Check(int64_t done);
}  // namespace progress_detail

// `done` steps of the current phase are finished.
inline void ProgressAdvance(int64_t done) {
    if (done >= progress_detail::nextCheck) progress_detail::Check(done);
}
