#include "transfer/report/Progress.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace {

constexpr double Kilo = 1000.0;
constexpr double Mega = 1000.0 * 1000.0;
constexpr qint64 SecondsPerMinute = 60;
constexpr qint64 SecondsPerHour = 3600;
constexpr int PercentOfWhole = 100;
// Rates of a kilobyte and more are shown to a tenth.
constexpr double TenthsPerUnit = 10.0;
const QString FieldSeparator = QStringLiteral("   ");

QString TwoDigits(qint64 value)
{
    return QStringLiteral("%1").arg(value, 2, 10, QLatin1Char('0'));
}

} // namespace

TransferProgress::TransferProgress(qint64 total) : total_(std::max<qint64>(total, 0))
{
    clock_.start();
}

void TransferProgress::Record(qint64 done, qint64 elapsedMs)
{
    done_ = std::clamp<qint64>(done, 0, total_);
    // A clock never runs back; a sample out of order would turn the rate
    // negative, so it counts as taken at the latest time seen.
    if (!samples_.empty())
        elapsedMs = std::max(elapsedMs, samples_.back().elapsedMs);
    samples_.push_back({elapsedMs, done_});
    // Keep the newest sample that is at least a window old, so that the rate
    // always spans the whole window once there is that much history.
    while (samples_.size() > 2 && samples_[1].elapsedMs <= elapsedMs - RateWindowMs)
        samples_.pop_front();
}

void TransferProgress::Record(qint64 done)
{
    Record(done, clock_.elapsed());
}

int TransferProgress::Percent() const
{
    if (total_ == 0)
        return PercentOfWhole;
    // done_ * 100 overflows only beyond 92 petabytes.
    return static_cast<int>(done_ * PercentOfWhole / total_);
}

std::optional<double> TransferProgress::BytesPerSecond() const
{
    if (samples_.size() < 2)
        return std::nullopt;
    const Sample& first = samples_.front();
    const Sample& last = samples_.back();
    const qint64 spanMs = last.elapsedMs - first.elapsedMs;
    if (spanMs <= 0)
        return std::nullopt;
    return static_cast<double>(last.done - first.done) /
           std::chrono::duration<double>(std::chrono::milliseconds(spanMs)).count();
}

std::optional<qint64> TransferProgress::SecondsLeft() const
{
    if (done_ == total_)
        return 0;
    const std::optional<double> rate = BytesPerSecond();
    if (!rate || *rate <= 0)
        return std::nullopt;
    return static_cast<qint64>(std::ceil(static_cast<double>(total_ - done_) / *rate));
}

QString TransferProgress::Text() const
{
    return QString::number(Percent()) + QStringLiteral(" %") + FieldSeparator + RateText(BytesPerSecond()) +
           FieldSeparator + TimeLeftText(SecondsLeft());
}

QString RateText(std::optional<double> bytesPerSecond)
{
    if (!bytesPerSecond)
        return QStringLiteral("-- kB/s");
    const double rate = *bytesPerSecond;
    // Rounding decides the unit, so that 999.96 bytes a second reads
    // "1.0 kB/s", not "1000 B/s".
    if (std::round(rate) < Kilo)
        return QString::number(std::round(rate), 'f', 0) + QStringLiteral(" B/s");
    if (std::round(rate / Kilo * TenthsPerUnit) / TenthsPerUnit < Kilo)
        return QString::number(rate / Kilo, 'f', 1) + QStringLiteral(" kB/s");
    return QString::number(rate / Mega, 'f', 1) + QStringLiteral(" MB/s");
}

QString TimeLeftText(std::optional<qint64> seconds)
{
    if (!seconds)
        return QStringLiteral("-:-- left");
    const qint64 hours = *seconds / SecondsPerHour;
    const qint64 minutes = *seconds % SecondsPerHour / SecondsPerMinute;
    const qint64 rest = *seconds % SecondsPerMinute;
    const QString clock = hours > 0 ? QString::number(hours) + ':' + TwoDigits(minutes) + ':' + TwoDigits(rest)
                                    : QString::number(minutes) + ':' + TwoDigits(rest);
    return clock + QStringLiteral(" left");
}
