#include "app/Gauge.h"

#include <QPainter>
#include <QStyleOptionProgressBar>

#include <algorithm>
#include <cstdlib>
#include <limits>

#include "transfer/report/Progress.h"

namespace {

// QProgressBar puts the bar's percent where its format says "%p".
const QString BarPercent = QStringLiteral("%p %");
const QString LabelSeparator = QStringLiteral("   ");

} // namespace

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
    RepaintChangedLabel();
}

void TGauge::ShowLabel(const TransferProgress& progress)
{
    setFormat(BarPercent + LabelSeparator + RateText(progress.BytesPerSecond()) + LabelSeparator +
              TimeLeftText(progress.SecondsLeft()));
    labelShown_ = true;
    RepaintChangedLabel();
}

void TGauge::HideLabel()
{
    labelShown_ = false;
    update();
}

void TGauge::RepaintChangedLabel()
{
    // The bar repaints itself only when its filled part grows by a visible
    // step; the label's percent may change before that. Like the bar, the
    // label is painted at once: between a block and its answer nothing else
    // is serviced.
    if (labelShown_ && text() != paintedLabel_)
        repaint();
}

void TGauge::paintEvent(QPaintEvent* event)
{
    QProgressBar::paintEvent(event);
    paintedLabel_ = labelShown_ ? text() : QString();
    if (!paintedLabel_.isEmpty())
        PaintLabel();
}

QRect TGauge::FilledPart(const QRect& bar) const
{
    const std::int64_t range = std::int64_t{maximum()} - minimum();
    if (range <= 0)
        return bar; // a bar of one step is full, as its percent says
    const std::int64_t done = std::clamp<std::int64_t>(std::int64_t{value()} - minimum(), 0, range);
    QRect filled = bar;
    filled.setWidth(static_cast<int>(bar.width() * done / range));
    return filled;
}

void TGauge::PaintLabel()
{
    QStyleOptionProgressBar option;
    initStyleOption(&option);
    const QRect bar = style()->subElementRect(QStyle::SE_ProgressBarContents, &option, this);
    const QRect filled = FilledPart(bar);
    QPainter painter(this);
    painter.setFont(font());
    const auto paintClipped = [&](const QRegion& clip, QPalette::ColorRole role) {
        painter.setClipRegion(clip);
        painter.setPen(palette().color(role));
        painter.drawText(bar, Qt::AlignCenter, paintedLabel_);
    };
    paintClipped(QRegion(filled), QPalette::HighlightedText);
    paintClipped(QRegion(bar).subtracted(QRegion(filled)), QPalette::Text);
}
