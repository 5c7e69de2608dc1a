#pragma once

// What every benchmark reports: a figure, its baseline measured in the same
// run, their ratio against a target, as one line that scripts/bench.sh
// gathers into its table:
//   BENCH <name> value=<x><unit> baseline=<y><unit> ratio=<r> target=<op><t> holds=<yes|no>
// where <op> is <= for times and costs, >= for rates.

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <vector>

namespace bench
{

// Mean time of one of `count` calls of `body`, in the unit given as a
// std::ratio (nanoseconds unless told).
template <typename Unit = std::nano, typename Body> double timePerCall(int count, Body&& body)
{
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i)
    {
        body();
    }
    return std::chrono::duration<double, Unit>(std::chrono::steady_clock::now() - start).count() / count;
}

inline double median(std::vector<double> values)
{
    if (values.empty())
    {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// Figure and baseline timed back to back in each round: a round slowed down
// by the shared machine slows both, so the ratio is the median of the
// rounds' own ratios rather than the ratio of the medians.
struct Rounds
{
    std::vector<double> values;
    std::vector<double> baselines;

    void add(double value, double baseline)
    {
        values.push_back(value);
        baselines.push_back(baseline);
    }

    double ratio() const
    {
        std::vector<double> ratios;
        for (std::size_t i = 0; i < values.size() && i < baselines.size(); ++i)
        {
            if (baselines[i] > 0)
            {
                ratios.push_back(values[i] / baselines[i]);
            }
        }
        return median(ratios);
    }

    // Spread of the rounds' ratios, for the reader to judge how stable the
    // figure is: the lowest and the highest.
    void ratioRange(double& lowest, double& highest) const
    {
        lowest = highest = 0;
        bool first = true;
        for (std::size_t i = 0; i < values.size() && i < baselines.size(); ++i)
        {
            if (baselines[i] <= 0)
            {
                continue;
            }
            const double r = values[i] / baselines[i];
            lowest = first ? r : std::min(lowest, r);
            highest = first ? r : std::max(highest, r);
            first = false;
        }
    }
};

// A ratio of zero means the baseline could not be measured: that never holds.
inline void printLine(const char* name, double value, double baseline, double ratio, const char* op,
                      double target, const char* unit)
{
    const bool atMost = op[0] == '<';
    const bool holds = ratio > 0 && (atMost ? ratio <= target : ratio >= target);
    std::printf("BENCH %s value=%.2f%s baseline=%.2f%s ratio=%.2f target=%s%g holds=%s\n", name, value, unit,
                baseline, unit, ratio, op, target, holds ? "yes" : "no");
    std::fflush(stdout);
}

inline void printRoundsLine(const char* name, const Rounds& rounds, const char* op, double target,
                            const char* unit)
{
    double lowest = 0;
    double highest = 0;
    rounds.ratioRange(lowest, highest);
    std::printf("%s: %zu rounds, ratios from %.2f to %.2f\n", name, rounds.values.size(), lowest, highest);
    printLine(name, median(rounds.values), median(rounds.baselines), rounds.ratio(), op, target, unit);
}

// Times and other costs: the figure holds when the ratio is at most the target.
inline void printLine(const char* name, const Rounds& rounds, double target, const char* unit)
{
    printRoundsLine(name, rounds, "<=", target, unit);
}

// Rates: the figure holds when the ratio is at least the target.
inline void printRateLine(const char* name, const Rounds& rounds, double target, const char* unit)
{
    printRoundsLine(name, rounds, ">=", target, unit);
}

} // namespace bench
