// The benchmarks' output: one line per figure, with the figure, the limit it
// is held against, their ratio and the goal for that ratio.
#pragma once

#include <optional>
#include <string>

// What the ratio of a figure to its limit should be.
struct Goal {
    enum class Kind { AtLeast, AtMost, Below, None };
    Kind kind = Kind::None;
    double bound = 0;

    static Goal AtLeast(double bound) { return {Kind::AtLeast, bound}; }
    static Goal AtMost(double bound) { return {Kind::AtMost, bound}; }
    static Goal Below(double bound) { return {Kind::Below, bound}; }
    static Goal Informative() { return {}; }

    // Nothing for a figure without a goal.
    std::optional<bool> MetBy(double ratio) const;
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

// Prints the figure as one line on standard output.
void PrintFigure(const Figure& figure);

// Prints one line for a benchmark that could not be measured, with the reason.
void PrintNotMeasured(const std::string& name, const std::string& reason);

// Prints one line for a benchmark that was not run, with the reason; unlike a
// figure that could not be measured, this is no failure.
void PrintSkipped(const std::string& name, const std::string& reason);
