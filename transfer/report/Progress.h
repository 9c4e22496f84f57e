// The progress of one transfer as both front ends show it: percent done, the
// rate over the last few seconds and the time left, and the gauge text
// "42 %   11.2 kB/s   0:31 left".
#pragma once

#include <QElapsedTimer>
#include <QString>
#include <QtGlobal>

#include <deque>
#include <optional>

class TransferProgress {
public:
    // The span of recent samples the rate is measured over.
    static constexpr qint64 RateWindowMs = 5000;

    // Starts the clock: the transfer of `total` bytes begins now.
    explicit TransferProgress(qint64 total);

    // Records that `done` bytes have gone, at the milliseconds since the start
    // that the caller measured itself (tests inject them).
    void Record(qint64 done, qint64 elapsedMs);
    // The same, timed by the monotonic clock started with this object.
    void Record(qint64 done);

    qint64 Total() const { return total_; }
    qint64 Done() const { return done_; }
    int Percent() const;
    // Bytes per second over the last RateWindowMs; none until two samples
    // some time apart have been recorded.
    std::optional<double> BytesPerSecond() const;
    // Whole seconds until the end at the current rate; none while the rate
    // is unknown or zero.
    std::optional<qint64> SecondsLeft() const;

    // "42 %   11.2 kB/s   0:31 left".
    QString Text() const;

private:
    struct Sample {
        qint64 elapsedMs;
        qint64 done;
    };

    qint64 total_;
    qint64 done_ = 0;
    std::deque<Sample> samples_;
    QElapsedTimer clock_;
};

// A rate as the gauge shows it: "850 B/s", "11.2 kB/s", "1.5 MB/s" (kB = 1000
// bytes), "-- kB/s" when unknown.
QString RateText(std::optional<double> bytesPerSecond);
// A time left as the gauge shows it: "0:31 left", "1:02:05 left", "-:-- left"
// when unknown.
QString TimeLeftText(std::optional<qint64> seconds);
