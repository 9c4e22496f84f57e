#include "bench/Report.h"

#include <cmath>
#include <limits>
#include <iomanip>
#include <iostream>
#include <sstream>

namespace {

constexpr int NameWidth = 36;
constexpr int FigureWidth = 18;
constexpr int LimitWidth = 58;
constexpr int RatioDecimals = 3;
constexpr int GoalDecimals = 2;
constexpr int MaxGoalDecimals = 6;
// Numbers at least this large are shown without decimals; smaller ones with
// three significant digits.
constexpr double WholeNumberFrom = 100;
constexpr int SignificantDigits = 3;

std::string Number(double value)
{
    std::ostringstream text;
    if (std::fabs(value) >= WholeNumberFrom)
        text << std::fixed << std::setprecision(0) << value;
    else
        text << std::setprecision(SignificantDigits) << value;
    return text.str();
}

std::string Text(const Quantity& quantity)
{
    return Number(quantity.value) + " " + quantity.unit;
}

std::string Fixed(double value, int decimals)
{
    std::ostringstream text;
    text << std::fixed << std::setprecision(decimals) << value;
    return text.str();
}

// A goal's bound with GoalDecimals, or as many more as it takes to show it
// whole (0.015, not 0.01).
std::string BoundText(double bound)
{
    int decimals = GoalDecimals;
    while (decimals < MaxGoalDecimals && std::stod(Fixed(bound, decimals)) != bound)
        ++decimals;
    return Fixed(bound, decimals);
}

} // namespace

std::optional<bool> Goal::MetBy(double ratio) const
{
    switch (kind) {
    case Kind::AtLeast: return ratio >= bound;
    case Kind::AtMost: return ratio <= bound;
    case Kind::Below: return ratio < bound;
    case Kind::UnderCeiling:
    case Kind::None: break;
    }
    return std::nullopt;
}

std::string Goal::Verdict(double ratio) const
{
    const bool limitIsCeiling = kind == Kind::AtLeast || kind == Kind::UnderCeiling;
    if (limitIsCeiling && ratio > CeilingTolerance)
        return "limit not a limit";
    if (const std::optional<bool> met = MetBy(ratio))
        return *met ? "met" : "MISSED";
    return "";
}

std::string Goal::Text() const
{
    switch (kind) {
    case Kind::AtLeast: return ">= " + BoundText(bound);
    case Kind::AtMost: return "<= " + BoundText(bound);
    case Kind::Below: return "< " + BoundText(bound);
    case Kind::UnderCeiling:
    case Kind::None: break;
    }
    return "none";
}

void PrintFigure(const Figure& figure, const std::optional<RatioSpread>& rounds)
{
    // Without a limit there is no ratio (nan), and a goal is never met.
    const double single = figure.limit.value > 0 ? figure.figure.value / figure.limit.value
                                                 : std::numeric_limits<double>::quiet_NaN();
    const double ratio = rounds ? rounds->median : single;
    const std::string limit = "limit " + Text(figure.limit) + " (" + figure.limitSource + ")";
    std::ostringstream line;
    line << std::left << std::setw(NameWidth) << figure.name << "  " << std::setw(FigureWidth)
         << Text(figure.figure) << "  " << std::setw(LimitWidth) << limit << "  ratio "
         << Fixed(ratio, RatioDecimals) << "  goal " << figure.goal.Text();
    if (const std::string verdict = figure.goal.Verdict(ratio); !verdict.empty())
        line << "  " << verdict;
    std::string detail = figure.detail;
    if (rounds) {
        detail += (detail.empty() ? "" : "; ") + std::string("median of ") + std::to_string(rounds->rounds)
                  + " rounds, spread " + Fixed(rounds->least, RatioDecimals) + ".."
                  + Fixed(rounds->most, RatioDecimals);
    }
    if (!detail.empty())
        line << "  (" << detail << ")";
    std::cout << line.str() << std::endl;
}

namespace {

void PrintNameAndText(const std::string& name, const std::string& text)
{
    std::cout << std::left << std::setw(NameWidth) << name << "  " << text << std::endl;
}

} // namespace

void PrintNotMeasured(const std::string& name, const std::string& reason)
{
    PrintNameAndText(name, "not measured: " + reason);
}

void PrintNotHeld(const std::string& name, const std::string& reason)
{
    PrintNameAndText(name, "cannot be held: " + reason);
}

void PrintSkipped(const std::string& name, const std::string& reason)
{
    PrintNameAndText(name, "skipped: " + reason);
}
