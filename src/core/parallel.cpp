#include "parallel.hpp"

#include <algorithm>
#include <chrono>

namespace ql {

OrderedWorkers::OrderedWorkers(size_t n, std::function<void(size_t)> work, size_t threads)
    : work_(std::move(work)), done_(n, 0), errors_(n) {
    if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
    threads = std::min(threads, n);
    for (size_t t = 0; t < threads; ++t) threads_.emplace_back([this] { run(); });
}

OrderedWorkers::~OrderedWorkers() {
    stop_ = true;
    nb::gil_scoped_release release;  // an item being worked on may take a while to finish
    for (auto &t : threads_) t.join();
}

void OrderedWorkers::run() {
    while (!stop_) {
        const size_t i = next_.fetch_add(1);
        if (i >= done_.size()) break;
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
