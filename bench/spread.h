// SPDX-License-Identifier: GPL-3.0-or-later
// A benchmark's figure over several runs: the median next to the minimum and the maximum, so that
// a single noisy run does not decide.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace vx::bench {

using Clock = std::chrono::steady_clock;

// Seconds from `since` until now.
inline double Seconds(Clock::time_point since)
{
    return std::chrono::duration<double>(Clock::now() - since).count();
}

class Spread {
public:
    void Add(double value) { values_.push_back(value); }
    bool Empty() const { return values_.empty(); }
    std::size_t Runs() const { return values_.size(); }
    double Median() const
    {
        std::vector<double> v = values_;
        std::sort(v.begin(), v.end());
        if (v.empty())
            return 0;
        return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
    }
    double Min() const { return values_.empty() ? 0 : *std::min_element(values_.begin(), values_.end()); }
    double Max() const { return values_.empty() ? 0 : *std::max_element(values_.begin(), values_.end()); }
    // "median M (min A, max B, N runs)", each value printed with `format` (e.g. "%.2f").
    std::string Text(const char *format = "%.2f") const
    {
        if (values_.empty())
            return "not measured";
        char m[32], lo[32], hi[32], out[160];
        std::snprintf(m, sizeof m, format, Median());
        std::snprintf(lo, sizeof lo, format, Min());
        std::snprintf(hi, sizeof hi, format, Max());
        std::snprintf(out, sizeof out, "median %s (min %s, max %s, %zu runs)", m, lo, hi, values_.size());
        return out;
    }

private:
    std::vector<double> values_;
};

} // namespace vx::bench
