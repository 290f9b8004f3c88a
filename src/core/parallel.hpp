// Work items done on worker threads while the calling thread, which holds the GIL, takes
// the results in order: e.g. files read in parallel and handed to Python one by one.
//
//     ql::OrderedWorkers workers(items.size(), [&](size_t i) { read(items[i]); });
//     for (size_t i = 0; i < items.size(); ++i) {
//         workers.wait(i);  // Ctrl-C raises KeyboardInterrupt here
//         use(items[i]);
//     }
//
// The work function runs without the GIL and must not touch Python.
#pragma once

#include "core.hpp"

#include <atomic>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace ql {

// The processors this process may run on (its CPU affinity, which a container or `taskset`
// may set below the machine's count), at least 1.
size_t usable_processors();

class OrderedWorkers {
public:
    // Starts up to `threads` workers (0: one per usable processor, at most one per item)
    // that run work(0), work(1), ... work(n - 1), each index once. With a `window`, item i
    // starts only once wait() has reached item i - window + 1, so at most `window` items
    // are done or under way ahead of the caller (0: no limit).
    OrderedWorkers(size_t n, std::function<void(size_t)> work, size_t threads = 0, size_t window = 0);
    // Hands out no further items and joins the workers (items already started finish);
    // called with the GIL held, which it releases while joining.
    ~OrderedWorkers();
    OrderedWorkers(const OrderedWorkers &) = delete;
    OrderedWorkers &operator=(const OrderedWorkers &) = delete;

    // Blocks, with the GIL released, until item i (< n) is done, and rethrows what its work
    // threw. Signal handlers run at least every 100 ms while it waits, so a KeyboardInterrupt
    // (or any exception a handler raises) stops the wait as nb::python_error.
    void wait(size_t i);

private:
    void run();
    bool may_start(size_t i) const { return window_ == 0 || i < reached_ + window_; }

    std::function<void(size_t)> work_;
    std::vector<char> done_;
    std::vector<std::exception_ptr> errors_;
    const size_t window_;
    size_t reached_ = 0;  // the item wait() was last called for (guarded by mutex_)
    std::atomic<size_t> next_{0};
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<std::thread> threads_;
};

}  // namespace ql
