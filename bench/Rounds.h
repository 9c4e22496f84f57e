// Rates that swing with whatever else the machine runs, measured in turns
// (limit, figure, limit, figure, ...), so that a figure and its limit meet the
// same moments of the machine, and compared round by round.
#pragma once

#include <functional>
#include <vector>

// The ratios of the rounds: their median and their spread.
struct RatioSpread {
    double median = 0;
    double least = 0;
    double most = 0;
    int rounds = 0;
};

// Runs each measure in turn, `rounds` times over, and returns each measure's
// values in the order taken: result[measure][round].
std::vector<std::vector<double>> InterleavedRounds(const std::vector<std::function<double()>>& measures,
                                                   int rounds);

// The median of `values` (the mean of the middle two for an even count).
// Throws std::invalid_argument for no values.
double Median(std::vector<double> values);

// figures[k] / limits[k] of every round k, summed up. Throws
// std::invalid_argument when the two differ in length or are empty.
RatioSpread RatiosOfRounds(const std::vector<double>& figures, const std::vector<double>& limits);
