#pragma once
// Seconds per iteration of every run of each named benchmark, and the ratios between two of them
// printed after the runs (medians over the repetitions).

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace tessaro::bench {

class Ratios {
public:
    // Adds one run of `name`: `seconds` spent over the state's iterations.
    void record(const std::string& name, const benchmark::State& state, double seconds) {
        if (state.iterations() == 0) return;
        std::lock_guard guard(mutex_);
        runs_[name].push_back({state.iterations(), seconds / static_cast<double>(state.iterations())});
    }

    // The median seconds per iteration of `name` over the measured repetitions (the runs with the
    // most iterations: the shorter ones only sized the iteration count), and how many there were.
    std::pair<double, std::size_t> median(const std::string& name) const {
        std::lock_guard guard(mutex_);
        const auto found = runs_.find(name);
        if (found == runs_.end()) return {0, 0};
        benchmark::IterationCount most = 0;
        for (const auto& run : found->second)
            most = std::max(most, run.iterations);
        std::vector<double> values;
        for (const auto& run : found->second) {
            if (run.iterations == most) values.push_back(run.seconds);
        }
        std::sort(values.begin(), values.end());
        const std::size_t n = values.size();
        return {n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2, n};
    }

    // Prints "what: a x ms, b y ms, ratio a/b" when both ran; the ratio, or 0.
    double print(const char* what, const std::string& a, const std::string& b) const {
        const auto [x, n] = median(a);
        const auto [y, m] = median(b);
        if (n == 0 || m == 0 || y == 0) return 0;
        std::printf("%s: %s %.3f ms, %s %.3f ms, ratio %.2fx (medians of %zu and %zu runs)\n", what, a.c_str(), x * 1e3,
                    b.c_str(), y * 1e3, x / y, n, m);
        return x / y;
    }

private:
    struct Run {
        benchmark::IterationCount iterations;
        double seconds;
    };
    mutable std::mutex mutex_;
    std::map<std::string, std::vector<Run>> runs_;
};

}  // namespace tessaro::bench
