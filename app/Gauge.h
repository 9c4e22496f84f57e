// The progress gauge. A file may be larger than the bar can count and a
// position may lie beyond the maximum: the gauge scales and clamps, so that it
// always shows the share of the file that was sent.
#pragma once

#include <QProgressBar>
#include <cstdint>

class TGauge : public QProgressBar {
    Q_OBJECT
public:
    explicit TGauge(QWidget* parent = nullptr);

    void SetMaxValue(std::int64_t maximum);
    void SetProgress(std::int64_t position);
    // The text inside the bar while a transfer runs; an empty text hides it.
    void ShowText(const QString& text);
    std::int64_t MaxValue() const { return maximum_; }
    std::int64_t Progress() const { return position_; }

private:
    // The finest steps in which the bar moves.
    static constexpr std::int64_t VisibleSteps = 1000;

    int Scaled(std::int64_t value) const;

    std::int64_t maximum_ = 100;
    std::int64_t position_ = 0;
    int shift_ = 0; // the bar counts value >> shift_
};
