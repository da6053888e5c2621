// Splits one loop over two threads: the caller's thread takes the first part
// of the range and a helper thread the second. The worker lives as long as
// the object, so a hand-over costs microseconds and can be made thousands of
// times. The parts are fixed by the range alone, and each writes only its own
// part, so results do not depend on whether the helper thread exists.
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
        if (!worker_.joinable() || count < minimum) {
            body(0, split, 0);
            body(split, count, 1);
            return;
        }
        task_ = [](void *context, int64_t b, int64_t e) { (*static_cast<Body *>(context))(b, e, 1); };
        context_ = &body;
        begin_ = split;
        end_ = count;
        Hand();
        body(0, split, 0);
        Join();
    }

private:
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
};
