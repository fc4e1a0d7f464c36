// The median of paired ratios (one A/B ratio per pair of runs taken side by
// side) and a distribution-free 95% interval for it, shared by the
// benchmarks.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

struct RatioEstimate {
    double median = 0;
    double low = 0;  // the 95% interval for the median
    double high = 0;
    double p10 = 0;  // where the middle 80% of the ratios lie
    double p90 = 0;
    std::size_t pairs = 0;
};

// The number of ratios below the true median is binomial(n, 1/2), so the
// ratios at ranks n/2 - 1.96 sqrt(n)/2 and n/2 + 1 + 1.96 sqrt(n)/2 (1-based,
// rounded to the nearest rank) bound it with 95% confidence, whatever the
// ratios' distribution.
inline RatioEstimate estimateRatios(std::vector<double> ratios) {
    RatioEstimate e;
    e.pairs = ratios.size();
    if (ratios.empty()) return e;
    std::sort(ratios.begin(), ratios.end());
    const std::size_t count = ratios.size();
    const double n = static_cast<double>(count);
    const auto atRank = [&](double rank) {
        const double clamped = std::min(std::max(std::round(rank), 1.0), n);
        return ratios[static_cast<std::size_t>(clamped) - 1];
    };
    const double spread = 1.96 * std::sqrt(n) / 2;
    e.median = count % 2 ? ratios[count / 2] : (ratios[count / 2 - 1] + ratios[count / 2]) / 2;
    e.low = atRank(n / 2 - spread);
    e.high = atRank(n / 2 + 1 + spread);
    e.p10 = atRank(0.1 * (n - 1) + 1);
    e.p90 = atRank(0.9 * (n - 1) + 1);
    return e;
}
