// Checkpoint files: clearing away the temporaries of saves that were
// killed midway, and restoring a checkpoint component by component with a report of what was
// and was not restored.
#pragma once

#include "core.hpp"
#include "files.hpp"
#include "pyops.hpp"

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace checkpoint_files {
namespace nb = nanobind;

// The writer's process id of a save's temporary ".<name>.<pid>.tmp", or 0 for another file.
inline long temporary_writer(const std::string &file) {
    const std::string suffix = ".tmp";
    if (file.size() < 2 + suffix.size() || file[0] != '.' ||
        file.compare(file.size() - suffix.size(), suffix.size(), suffix) != 0)
        return 0;
    std::string stem = file.substr(0, file.size() - suffix.size());
    std::string pid = stem.substr(stem.rfind('.') + 1);
    if (pid.empty() || pid.size() > 9 || pid.find_first_not_of("0123456789") != std::string::npos) return 0;
    return std::stol(pid);
}

// Removes what saves killed midway left behind: temporaries whose writer no longer runs. The
// file of a live writer (this process, or another process of the same run) stays.
inline void remove_stale_temporaries(const std::string &dir) {
#ifndef _WIN32
    namespace fs = std::filesystem;
    std::error_code error;
    for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
        long writer = temporary_writer(it->path().filename().string());
        if (writer > 0 && ::kill((pid_t)writer, 0) == -1 && errno == ESRCH) {
            std::error_code ignored;
            fs::remove(it->path(), ignored);
        }
    }
#else
    (void)dir;
#endif
}

// checkpoint.get(key, fallback) for the loaded object; anything but a dict has no keys.
inline nb::object checkpoint_get(nb::handle checkpoint, const char *key, nb::handle fallback) {
    if (!PyDict_Check(checkpoint.ptr())) return nb::borrow(fallback);
    return ql::get(checkpoint, key, fallback);
}

// Restores the components one by one; a component that fails is reported and skipped. The
// optimizer, scheduler and training state belong to the model's weights, so they stay as they
// are when the weights do not load. A restorer that does not report (on a process of a job other
// than the first) prints nothing.
class Restorer {
public:
    explicit Restorer(bool reporting = true) : reporting_(reporting) {}

    void step(const char *name, const char *what, const std::function<void()> &restore) {
        try {
            restore();
            status_[name] = true;
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_Exception)) throw;
            if (reporting_) ql::print(std::string("Warning: Failed to load ") + what + " state: " + ql::str(e.value()));
            status_[name] = false;
        }
    }

    void with_model(const char *name, const char *what, const std::function<void()> &restore) {
        if (ql::truthy(status_["model"])) step(name, what, restore);
        else skipped_.push_back(name);
    }

    void report(nb::handle checkpoint) {
        std::string succeeded, failed;
        for (auto [name, ok] : status_) append(ql::truthy(ok) ? succeeded : failed, ql::str(name));
        if (succeeded.empty()) ql::raise_runtime_error("Failed to load any checkpoint components");
        if (!reporting_) return;
        ql::print("Checkpoint loaded from epoch " + ql::str(checkpoint_get(checkpoint, "epoch", nb::str("unknown"))));
        ql::print("Successfully loaded: " + succeeded);
        if (!failed.empty()) ql::print("Failed to load: " + failed);
        std::string skipped;
        for (const std::string &name : skipped_) append(skipped, name);
        if (!skipped.empty()) ql::print("Not restored, as the model weights did not load: " + skipped);
    }

private:
    static void append(std::string &list, const std::string &name) { list += (list.empty() ? "" : ", ") + name; }

    bool reporting_;
    nb::dict status_;
    std::vector<std::string> skipped_;
};

}  // namespace checkpoint_files
