#pragma once

#include "RelayBench.h"

#include <cstdio>
#include <vector>

// Prints the results of a bench run as Markdown: per direction, the median of every figure over
// the rounds for each relay and the ratios of the first relay (the one under test) to each of the
// others; then the goals, and each round's key figures so the spread shows.
class ResultTable {
public:
    ResultTable(const RelayBench::Options& options, const std::vector<RelayBench::Relay>& relays,
                const std::vector<std::vector<RelayBench::Round>>& results);

    void print(std::FILE* out) const;

private:
    using Figure = double (*)(const RelayBench::Round&, int direction);

    // The median over the measured rounds, or a negative value when none was measured.
    double median(std::size_t relay, int direction, Figure figure) const;
    void row(std::FILE* out, const char* label, int direction, Figure figure,
             const char* format) const;
    void goal(std::FILE* out, const char* text, int direction, Figure figure, std::size_t other,
              double limit, bool atLeast) const;

    const RelayBench::Options& options_;
    const std::vector<RelayBench::Relay>& relays_;
    const std::vector<std::vector<RelayBench::Round>>& results_;
};
