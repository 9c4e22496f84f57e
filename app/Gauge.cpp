#include "app/Gauge.h"

#include <algorithm>
#include <cstdlib>
#include <limits>

TGauge::TGauge(QWidget* parent) : QProgressBar(parent)
{
    setRange(0, 100);
    setValue(0);
    setTextVisible(false);
}

int TGauge::Scaled(std::int64_t value) const
{
    return static_cast<int>(value >> shift_);
}

void TGauge::SetMaxValue(std::int64_t maximum)
{
    maximum_ = std::max<std::int64_t>(maximum, 0);
    shift_ = 0;
    while ((maximum_ >> shift_) > std::numeric_limits<int>::max())
        ++shift_;
    // An empty file still fills the bar once a block of it was sent.
    setRange(0, std::max(Scaled(maximum_), 1));
    SetProgress(position_);
}

void TGauge::SetProgress(std::int64_t position)
{
    position_ = std::clamp<std::int64_t>(position, 0, maximum_);
    const int value = maximum_ == 0 && position > 0 ? maximum() : Scaled(position_);
    // Each move of the bar costs the style's measuring and often a repaint,
    // more than a network block's own work; a move finer than any bar can
    // show is left out. An empty and a full bar always show.
    const std::int64_t step = std::abs(static_cast<std::int64_t>(value) - QProgressBar::value());
    if (value != 0 && value != maximum() && step * VisibleSteps < maximum())
        return;
    setValue(value);
}

void TGauge::ShowText(const QString& text)
{
    setFormat(text);
    setTextVisible(!text.isEmpty());
}
