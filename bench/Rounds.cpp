#include "bench/Rounds.h"

#include <algorithm>
#include <stdexcept>

std::vector<std::vector<double>> InterleavedRounds(const std::vector<std::function<double()>>& measures,
                                                   int rounds)
{
    std::vector<std::vector<double>> values(measures.size());
    for (int round = 0; round < rounds; ++round) {
        for (std::size_t k = 0; k < measures.size(); ++k)
            values[k].push_back(measures[k]());
    }
    return values;
}

double Median(std::vector<double> values)
{
    if (values.empty())
        throw std::invalid_argument("the median of no values");
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

RatioSpread RatiosOfRounds(const std::vector<double>& figures, const std::vector<double>& limits)
{
    if (figures.size() != limits.size() || figures.empty())
        throw std::invalid_argument("rounds of figures and limits that do not pair up");
    std::vector<double> ratios;
    for (std::size_t k = 0; k < figures.size(); ++k)
        ratios.push_back(figures[k] / limits[k]);
    const auto [least, most] = std::minmax_element(ratios.begin(), ratios.end());
    return {Median(ratios), *least, *most, static_cast<int>(ratios.size())};
}
