// The update history: one JSON line per update in the user's state folder
// (<state>/orvenda-updater/history.jsonl; on Windows the state folder is
// %LOCALAPPDATA%), appended by both front ends and read back by
// `orvenda-update history`.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <atomic>
#include <functional>
#include <optional>

enum class HistoryLink { Serial, Udp, Usb };
enum class HistoryKind { Firmware, Bios, Flash, Data };

// The history file: $XDG_STATE_HOME/orvenda-updater/history.jsonl, or
// ~/.local/state/orvenda-updater/history.jsonl; without HOME, the home folder
// is the user's own from the password database, never the root. On Windows:
// %LOCALAPPDATA%\orvenda-updater\history.jsonl.
QString DefaultHistoryPath();

struct TBoardResult;
struct TUpdateRequest;

// Appends what the request to the board over `link` came to at `time`, one
// line per file of the request, with the size and SHA-256 of what the board
// got: a file that did not go out whole is recorded with the size it has and
// no hash. Creates the folders when needed; after a cut-off last line, the
// next line starts a line of its own. Writes only a regular file of the
// user's own, never through a symbolic link, and takes back a line that did
// not go out whole (a full disk). Returns an error text (naming the file, and
// the folder that could not be made, if one) when an append fails, and an
// empty text otherwise. Safe from several threads and processes at once: each
// line is one write to a file opened for appending.
// `lockWaiting`, when set, is told as the append starts (true) and stops
// (false) waiting for another program's lock on the file.
using HistoryLockWaiting = std::function<void(bool)>;
// `run` names the run the update was part of; empty: none.
QString AppendHistory(HistoryLink link, const TUpdateRequest& request, const TBoardResult& result,
                      const QDateTime& time, const QString& path = DefaultHistoryPath(),
                      const HistoryLockWaiting& lockWaiting = {}, const QString& run = {});

// A new run's id: its start in UTC and a random part, "20261210-163200-3fa9";
// ids sort by their runs' starts.
QString NewRunId();

struct HistoryReading {
    QList<QByteArray> lines; // the sound lines as stored, without their line ends
    int unreadable = 0;      // the damaged lines skipped (empty lines are not counted)
    QString error;           // why the file could not be read; empty when it could or does not exist
};

// Past this size an append begins a new file: the full one becomes the
// rotated part (history.1.jsonl beside it), which replaces the one before.
// Reading takes the rotated part, then the file.
inline constexpr qint64 HistoryRotateSize = 16 * 1024 * 1024;
QString RotatedHistoryPath(const QString& path = DefaultHistoryPath());

// Reads the history back, skipping and counting damaged lines.
HistoryReading ReadHistory(const QString& path = DefaultHistoryPath());

// Hands every sound line of the history to `take`, oldest first, as it is
// read, until `take` returns false: memory does not grow with the history.
// `lines` stays empty.
using HistoryLineTaker = std::function<bool(const QByteArray& line, const QJsonObject& entry)>;
HistoryReading ForEachHistoryLine(const QString& path, const HistoryLineTaker& take);

// The last `count` sound lines that `chosen` takes, oldest first, read from
// the history's end: the time it takes does not grow with the history.
HistoryReading LastHistoryLines(const QString& path, qsizetype count,
                                const std::function<bool(const QJsonObject&)>& chosen);

// The run of the last line that names one; empty when none does.
QString LastHistoryRun(const QString& path = DefaultHistoryPath());

// The line's update, when the line is a sound one.
std::optional<QJsonObject> HistoryEntry(const QByteArray& line);

// Appends every update to the history and tells its failure once, to
// whoever runs the writer: the operator is told once, not after every update.
// Every update it appends is of one run, which it names.
class THistoryWriter {
public:
    explicit THistoryWriter(QString path = DefaultHistoryPath(), HistoryLockWaiting lockWaiting = {})
        : path_(std::move(path)), lockWaiting_(std::move(lockWaiting))
    {
    }
    // Appends the update as it ends (AppendHistory). Returns the text to show
    // when the history cannot be written (the first time only), else empty.
    QString Record(HistoryLink link, const TUpdateRequest& request, const TBoardResult& result);
    const QString& Run() const { return run_; }

private:
    QString path_;
    HistoryLockWaiting lockWaiting_;
    QString run_ = NewRunId();
    std::atomic<bool> failureTold_{false};
};
