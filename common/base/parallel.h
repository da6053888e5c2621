// Splits one loop over two threads: the caller's thread takes the first part
// of the range and a helper thread the second. The worker lives as long as
// the object, so a hand-over costs microseconds and can be made thousands of
// times. The parts are fixed by the range alone, and each writes only its own
// part, so results do not depend on whether the helper thread takes part.
//
// On a busy machine the helper may wait long for a core, and a loop that
// hands over thousands of times would then run slower than on one thread.
// So the caller measures how long it waits for the helper against its own
// part's time; when the helper is persistently late, the parts run on the
// caller's thread for a while before the helper is tried again.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

class TwoWayLoop {
public:
    TwoWayLoop();
    ~TwoWayLoop();
    TwoWayLoop(const TwoWayLoop &) = delete;
    TwoWayLoop &operator=(const TwoWayLoop &) = delete;

    // Calls body(begin, end, part) for part 0 on [0, split) and part 1 on
    // [split, count), in parallel when a helper thread is available. Ranges
    // below `minimum` run on the caller's thread alone, still as two parts.
    template <class Body>
    void Run(int64_t count, int64_t split, int64_t minimum, Body &body) {
        if (!worker_.joinable() || count < minimum || !UseHelper()) {
            body(0, split, 0);
            body(split, count, 1);
            return;
        }
        task_ = [](void *context, int64_t b, int64_t e) { (*static_cast<Body *>(context))(b, e, 1); };
        context_ = &body;
        begin_ = split;
        end_ = count;
        Hand();
        const int64_t start = Now();
        body(0, split, 0);
        const int64_t own = Now();
        Join();
        Account(own - start, Now() - own);
    }

private:
    static int64_t Now();
    bool UseHelper();
    void Account(int64_t ownNanos, int64_t waitNanos);
    void Hand();
    void Join();
    void Serve();

    std::thread worker_;
    std::atomic<uint64_t> posted_{0};
    std::atomic<uint64_t> finished_{0};
    std::atomic<bool> stop_{false};
    void (*task_)(void *, int64_t, int64_t) = nullptr;
    void *context_ = nullptr;
    int64_t begin_ = 0, end_ = 0;
    // Hand-overs judged so far in this window, how many of them were late,
    // and how many runs stay on one thread.
    int rounds_ = 0;
    int late_ = 0;
    int soloLeft_ = 0;
};
