// The update history: one JSON line per update in the user's state folder
// (<state>/orvenda-updater/history.jsonl), appended by both front ends and
// read back by `orvenda-update history`.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

#include <atomic>

enum class HistoryLink { Serial, Udp, Usb };
enum class HistoryKind { Firmware, Bios, Flash, Data };
// How an update ended, in the one vocabulary of both front ends, the history,
// the JSON and the exit status. Only Updated is a success: every file went out
// whole, every awaited answer came back, no board error, no stray. Unconfirmed:
// every byte went out, but answers were missing or strays came. Failed: the
// board reported an error, a file changed while sent, the link broke, or
// nothing could be sent. Stopped: by the operator or after a silent board.
// LinkFailed: the board could not be had; nothing was sent.
enum class Ending { Updated, Unconfirmed, Failed, Stopped, LinkFailed };

// The ending's one word: "updated", "unconfirmed", "failed", "stopped",
// "link failed". Lines written before hold "warnings" too, and are shown as
// they are.
const char* EndingName(Ending ending);

// The history file: $XDG_STATE_HOME/orvenda-updater/history.jsonl, or
// ~/.local/state/orvenda-updater/history.jsonl; without HOME, the home folder
// is the user's own from the password database, never the root.
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
QString AppendHistory(HistoryLink link, const TUpdateRequest& request, const TBoardResult& result,
                      const QDateTime& time, const QString& path = DefaultHistoryPath());

// Told, when set, as an append starts (true) and stops (false) waiting for
// another program's lock on the history file.
void SetHistoryLockWaiting(void (*waiting)(bool));

struct HistoryReading {
    QList<QByteArray> lines; // the sound lines as stored, without their line ends
    int unreadable = 0;      // the damaged lines skipped (empty lines are not counted)
    QString error;           // why the file could not be read; empty when it could or does not exist
};

// Reads the history back, skipping and counting damaged lines.
HistoryReading ReadHistory(const QString& path = DefaultHistoryPath());

// Which updates `orvenda-update history` shows: those of one board, of one
// outcome, the last few; empty or 0 takes every one.
struct HistoryFilter {
    QString board;
    QString outcome;
    qsizetype last = 0;
};
QList<QByteArray> FilterHistory(const QList<QByteArray>& lines, const HistoryFilter& filter);

// The lines as a plain-text table, one update a row under a heading, at most
// `columns` wide: the reason (and the first board error) wraps over as many
// rows as it needs, any other cell too long for its column is cut, marked
// with "…". Control characters in the cells are shown escaped. Lines stored
// with the older keys (missing_answers, board_errors) read the same.
inline constexpr qsizetype HistoryTableColumns = 100;
QString HistoryTable(const QList<QByteArray>& lines, qsizetype columns = HistoryTableColumns);

// Appends every update to the history and tells its failure once, to
// whoever runs the writer: the operator is told once, not after every update.
class THistoryWriter {
public:
    explicit THistoryWriter(QString path = DefaultHistoryPath()) : path_(std::move(path)) {}
    // Appends the update as it ends (AppendHistory). Returns the text to show
    // when the history cannot be written (the first time only), else empty.
    QString Record(HistoryLink link, const TUpdateRequest& request, const TBoardResult& result);

private:
    QString path_;
    std::atomic<bool> failureTold_{false};
};
