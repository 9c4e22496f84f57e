// The progress gauge. A file may be larger than the bar can count and a
// position may lie beyond the maximum: the gauge scales and clamps, so that it
// always shows the share of the file that was sent.
//
// While a transfer runs, a label in the middle of the bar reads the bar's own
// percent, then the rate and the time left: "68 %   11.2 kB/s   0:31 left".
// Its part over the filled bar is drawn in the palette's highlighted-text
// colour, the rest in its text colour, so that each stands out on what lies
// under it.
#pragma once

#include <QProgressBar>
#include <cstdint>

class TransferProgress;

class TGauge : public QProgressBar {
    Q_OBJECT
public:
    explicit TGauge(QWidget* parent = nullptr);

    void SetMaxValue(std::int64_t maximum);
    void SetProgress(std::int64_t position);
    std::int64_t MaxValue() const { return maximum_; }
    std::int64_t Progress() const { return position_; }

    // Shows the label with the rate and time left of `progress`; its percent
    // follows the bar.
    void ShowLabel(const TransferProgress& progress);
    void HideLabel();
    bool LabelShown() const { return labelShown_; }
    // The label as it was last painted: what the operator sees.
    QString Label() const { return paintedLabel_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    // The finest steps in which the bar moves.
    static constexpr std::int64_t VisibleSteps = 1000;

    int Scaled(std::int64_t value) const;
    // The part of the bar's contents `bar` that the filled bar covers.
    QRect FilledPart(const QRect& bar) const;
    void RepaintChangedLabel();
    void PaintLabel();

    std::int64_t maximum_ = 100;
    std::int64_t position_ = 0;
    int shift_ = 0; // the bar counts value >> shift_
    // QProgressBar's own text stays hidden (its styles draw it beside or
    // across the bar in one colour); this label is painted over the bar.
    bool labelShown_ = false;
    QString paintedLabel_;
};
