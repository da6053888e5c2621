#include "parallel.h"

#include <system_error>

namespace {

// Spin this many rounds before sleeping on the counter: long enough to catch
// the next hand-over of a tight loop, short enough not to burn a core idle.
constexpr int kSpins = 20000;

inline void Pause() { __builtin_ia32_pause(); }

}  // namespace

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
