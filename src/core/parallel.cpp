#include "parallel.hpp"

#include <sched.h>

#include <algorithm>
#include <chrono>
#include <memory>

namespace ql {

size_t usable_processors() {
#ifdef __linux__
    // a set large enough for any machine; CPU_COUNT_S counts the processors in it
    constexpr int kMaxProcessors = 1 << 14;
    std::unique_ptr<cpu_set_t, void (*)(cpu_set_t *)> set(CPU_ALLOC(kMaxProcessors), [](cpu_set_t *s) { CPU_FREE(s); });
    const size_t bytes = CPU_ALLOC_SIZE(kMaxProcessors);
    if (set && sched_getaffinity(0, bytes, set.get()) == 0) {
        const int count = CPU_COUNT_S(bytes, set.get());
        if (count > 0) return size_t(count);
    }
#endif
    return std::max(1u, std::thread::hardware_concurrency());
}

OrderedWorkers::OrderedWorkers(size_t n, std::function<void(size_t)> work, size_t threads, size_t window)
    : work_(std::move(work)), done_(n, 0), errors_(n), window_(window) {
    if (threads == 0) threads = usable_processors();
    threads = std::min(threads, n);
    for (size_t t = 0; t < threads; ++t) threads_.emplace_back([this] { run(); });
}

OrderedWorkers::~OrderedWorkers() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    cv_.notify_all();
    nb::gil_scoped_release release;  // an item being worked on may take a while to finish
    for (auto &t : threads_) t.join();
}

void OrderedWorkers::run() {
    while (!stop_) {
        const size_t i = next_.fetch_add(1);
        if (i >= done_.size()) break;
        if (window_) {
            std::unique_lock<std::mutex> lock(mutex_);
            cv_.wait(lock, [&] { return stop_ || may_start(i); });
            if (stop_) break;
        }
        std::exception_ptr error;
        try {
            work_(i);
        } catch (...) {
            error = std::current_exception();
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            errors_[i] = error;
            done_[i] = 1;
        }
        cv_.notify_all();
    }
}

void OrderedWorkers::wait(size_t i) {
    if (window_) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            reached_ = std::max(reached_, i);
        }
        cv_.notify_all();  // items up to i + window - 1 may start now
    }
    while (true) {
        bool finished;
        {
            nb::gil_scoped_release release;
            std::unique_lock<std::mutex> lock(mutex_);
            finished = cv_.wait_for(lock, std::chrono::milliseconds(100), [&] { return done_[i] != 0; });
        }
        if (finished) break;
        if (PyErr_CheckSignals() != 0) throw nb::python_error();
    }
    if (errors_[i]) std::rethrow_exception(errors_[i]);
}

}  // namespace ql
