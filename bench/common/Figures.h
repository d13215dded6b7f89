#pragma once

// Median, 99th percentile, maximum and mean of a benchmark's samples.

#include <algorithm>
#include <cstddef>
#include <vector>

struct TFigures {
    double Median = 0;
    double P99 = 0;
    double Max = 0;
    double Mean = 0;
};

// Nearest-rank percentiles.
inline TFigures FiguresOf(std::vector<double> v) {
    TFigures f;
    if (v.empty())
        return f;
    std::sort(v.begin(), v.end());
    const auto rank = [&](double q) {
        std::size_t k = std::size_t(q * double(v.size()) + 0.999999);
        return v[std::clamp<std::size_t>(k, 1, v.size()) - 1];
    };
    f.Median = rank(0.5);
    f.P99 = rank(0.99);
    f.Max = v.back();
    double sum = 0;
    for (double x : v)
        sum += x;
    f.Mean = sum / double(v.size());
    return f;
}
