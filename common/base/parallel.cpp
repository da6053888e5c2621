#include "base/parallel.h"

#include <chrono>
#include <system_error>

#include "base/platform.h"

namespace {

// The caller spins this many rounds (a few microseconds) for the helper's
// half before sleeping on the counter.
constexpr int kSpins = 2000;
// The helper waits for the next hand-over spinning this long before it
// sleeps: loops that hand over between short serial steps then never pay
// for a wake-up, and an idle helper soon stops taking a core.
constexpr int64_t kIdleSpinNanos = 300'000;

inline void Pause() { __builtin_ia32_pause(); }

}  // namespace

// Hand-overs judged together, and the runs kept on one thread after the
// helper was found late.
constexpr int kJudgeEvery = 64;
constexpr int kSoloRuns = 4096;
constexpr int64_t kHandOverNanos = 50'000;

int64_t TwoWayLoop::Now() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool TwoWayLoop::UseHelper() {
    if (soloLeft_ == 0) return true;
    --soloLeft_;
    return false;
}

void TwoWayLoop::Account(int64_t ownNanos, int64_t waitNanos) {
    // The halves are about the same size, so a helper that keeps us waiting
    // more than twice our own time plus a generous hand-over allowance was
    // late. One late hand-over (a wake-up, a page fault) says little; when
    // three quarters of a window's are late, the helper is not getting a core, and the
    // work is better done here alone for a while.
    if (waitNanos > 2 * ownNanos + kHandOverNanos) ++late_;
    if (++rounds_ < kJudgeEvery) return;
    if (late_ > kJudgeEvery * 3 / 4) soloLeft_ = kSoloRuns;
    late_ = 0;
    rounds_ = 0;
}

TwoWayLoop::TwoWayLoop() {
    if (std::thread::hardware_concurrency() < 2) return;
    try {
        worker_ = std::thread([this] { Serve(); });
    } catch (const std::system_error &) {
        // No helper thread: every loop runs on the caller's thread.
    }
}

TwoWayLoop::~TwoWayLoop() {
    if (!worker_.joinable()) return;
    stop_.store(true, std::memory_order_release);
    posted_.fetch_add(1, std::memory_order_acq_rel);
    WakeOneWaiter(posted_);
    worker_.join();
}

void TwoWayLoop::Hand() {
    posted_.fetch_add(1, std::memory_order_acq_rel);
    WakeOneWaiter(posted_);
}

void TwoWayLoop::Join() {
    const uint64_t target = posted_.load(std::memory_order_relaxed);
    for (int k = 0; k < kSpins; ++k) {
        if (finished_.load(std::memory_order_acquire) == target) return;
        Pause();
    }
    for (uint64_t seen = finished_.load(std::memory_order_acquire); seen != target;
         seen = finished_.load(std::memory_order_acquire))
        WaitWhileEqual(finished_, seen);
}

void TwoWayLoop::Serve() {
    uint64_t done = 0;
    for (;;) {
        uint64_t now = posted_.load(std::memory_order_acquire);
        for (const int64_t since = Now(); now == done && Now() - since < kIdleSpinNanos;) {
            for (int k = 0; k < 256 && now == done; ++k) {
                Pause();
                now = posted_.load(std::memory_order_acquire);
            }
        }
        while (now == done) {
            WaitWhileEqual(posted_, done);
            now = posted_.load(std::memory_order_acquire);
        }
        if (stop_.load(std::memory_order_acquire)) return;
        task_(context_, begin_, end_);
        done = now;
        finished_.store(done, std::memory_order_release);
        WakeOneWaiter(finished_);
    }
}
