// The benchmarks' output: one line per figure, with the figure, the limit it
// is held against, their ratio and the goal for that ratio.
#pragma once

#include <optional>
#include <string>

#include "bench/Rounds.h"

// What the ratio of a figure to its limit should be. With "at least" and
// "under a ceiling" the limit is what the figure cannot pass: a ratio above
// CeilingTolerance says that the limit was measured wrongly, or under other
// conditions than the figure, and is printed as "limit not a limit".
inline constexpr double CeilingTolerance = 1.05;

struct Goal {
    enum class Kind { AtLeast, AtMost, Below, UnderCeiling, None };
    Kind kind = Kind::None;
    double bound = 0;

    static Goal AtLeast(double bound) { return {Kind::AtLeast, bound}; }
    static Goal AtMost(double bound) { return {Kind::AtMost, bound}; }
    static Goal Below(double bound) { return {Kind::Below, bound}; }
    // No goal, but a limit that the figure cannot pass.
    static Goal UnderCeiling() { return {Kind::UnderCeiling, 0}; }
    static Goal Informative() { return {}; }

    // Nothing for a figure without a goal.
    std::optional<bool> MetBy(double ratio) const;
    // "met", "MISSED", "limit not a limit", or nothing for a figure without a
    // goal whose limit held.
    std::string Verdict(double ratio) const;
    std::string Text() const;
};

// A measured quantity with its unit, e.g. {11364.2, "B/s"}.
struct Quantity {
    double value = 0;
    std::string unit;
};

struct Figure {
    std::string name;        // what was measured: "serial, paced at 115200 baud"
    Quantity figure;
    Quantity limit;
    std::string limitSource; // where the limit comes from: "line rate", "measured: ..."
    Goal goal;
    std::string detail;      // shown at the end of the line, e.g. the two peaks of a difference
};

// Prints the figure as one line on standard output. With `rounds`, the ratio
// is their median, shown with their spread.
void PrintFigure(const Figure& figure, const std::optional<RatioSpread>& rounds = std::nullopt);

// Prints one line for a benchmark that could not be measured, with the reason.
void PrintNotMeasured(const std::string& name, const std::string& reason);

// Prints one line for a goal that the placement or the machine cannot hold,
// with the reason; the figures are printed on lines of their own.
void PrintNotHeld(const std::string& name, const std::string& reason);

// Prints one line for a benchmark that was not run, with the reason; unlike a
// figure that could not be measured, this is no failure.
void PrintSkipped(const std::string& name, const std::string& reason);
