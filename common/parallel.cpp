#include "parallel.h"

#include <chrono>
#include <system_error>

namespace {

// Spin this many rounds (a few microseconds) before sleeping on the
// counter: enough to catch the next hand-over of a tight loop, little enough
// not to take a core from other work on a busy machine.
constexpr int kSpins = 2000;

inline void Pause() { __builtin_ia32_pause(); }

}  // namespace

// Hand-overs judged together, and the runs kept on one thread after the
// helper was found late.
constexpr int kJudgeEvery = 64;
constexpr int kSoloRuns = 4096;

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
    ownTotal_ += ownNanos;
    waitTotal_ += waitNanos;
    if (++rounds_ < kJudgeEvery) return;
    // Both halves are the same size: waiting longer than our own half took
    // means the helper needed more than twice our time.
    if (waitTotal_ > ownTotal_) soloLeft_ = kSoloRuns;
    ownTotal_ = waitTotal_ = 0;
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
    posted_.notify_one();
    worker_.join();
}

void TwoWayLoop::Hand() {
    posted_.fetch_add(1, std::memory_order_acq_rel);
    posted_.notify_one();
}

void TwoWayLoop::Join() {
    const uint64_t target = posted_.load(std::memory_order_relaxed);
    for (int k = 0; k < kSpins; ++k) {
        if (finished_.load(std::memory_order_acquire) == target) return;
        Pause();
    }
    for (uint64_t seen = finished_.load(std::memory_order_acquire); seen != target;
         seen = finished_.load(std::memory_order_acquire))
        finished_.wait(seen, std::memory_order_acquire);
}

void TwoWayLoop::Serve() {
    uint64_t done = 0;
    for (;;) {
        uint64_t now = posted_.load(std::memory_order_acquire);
        for (int k = 0; k < kSpins && now == done; ++k) {
            Pause();
            now = posted_.load(std::memory_order_acquire);
        }
        while (now == done) {
            posted_.wait(done, std::memory_order_acquire);
            now = posted_.load(std::memory_order_acquire);
        }
        if (stop_.load(std::memory_order_acquire)) return;
        task_(context_, begin_, end_);
        done = now;
        finished_.store(done, std::memory_order_release);
        finished_.notify_one();
    }
}
