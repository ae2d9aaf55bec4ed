#pragma once

// Helpers shared by the benchmark programs.

#include "platform/NamedObjects.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace qz::bench {

/// Puts the run's named objects in a temporary folder under their own prefix and removes the
/// folder at the end.
struct ObjectFolder {
    explicit ObjectFolder(const char* prefix) {
        char pattern[] = "/tmp/qzbench.XXXXXX";
        if (mkdtemp(pattern)) {
            path = pattern;
            qz::platform::SetObjectDirectory(path);
            qz::platform::SetObjectPrefix(prefix);
        }
    }
    ~ObjectFolder() {
        std::error_code error;
        std::filesystem::remove_all(path, error);
    }
    ObjectFolder(const ObjectFolder&) = delete;
    ObjectFolder& operator=(const ObjectFolder&) = delete;

    std::string path;
};

/// Reports the median and the 99th percentile of latency samples in microseconds.
inline void ReportLatency(benchmark::State& state, std::vector<double> micros) {
    if (micros.empty()) {
        state.SkipWithError("no samples");
        return;
    }
    std::sort(micros.begin(), micros.end());
    state.counters["median_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[micros.size() * 99 / 100];
    state.counters["samples"] = static_cast<double>(micros.size());
}

} // namespace qz::bench
