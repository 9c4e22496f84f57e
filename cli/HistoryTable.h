// What `orvenda-update history` shows: the updates chosen from the history,
// as a table for a terminal.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QJsonObject>
#include <QStringList>

#include <functional>

// Which updates `orvenda-update history` shows: those of one board, of any
// of the outcomes, of one run ("last": the run of the last line that names
// one), the last few; empty or 0 takes every one.
struct HistoryFilter {
    QString board = {};
    QStringList outcomes = {};
    qsizetype last = 0;
    QString run = {};
};
inline const QString LastRun = QStringLiteral("last");
QList<QByteArray> FilterHistory(const QList<QByteArray>& lines, const HistoryFilter& filter);
// Whether the filter takes the update; its run named by its id, not "last".
bool HistoryChosen(const QJsonObject& entry, const HistoryFilter& filter);


// The lines as a plain-text table, one update a row under a heading, at most
// `columns` wide: the reason, which names the first board error, wraps over
// as many rows as it needs, any other cell too long for its column is cut,
// marked with "…". Control characters in the cells are shown escaped. Lines
// stored with the older keys (missing_answers, board_errors) read the same.
inline constexpr qsizetype HistoryTableColumns = 100;
QString HistoryTable(const QList<QByteArray>& lines, qsizetype columns = HistoryTableColumns);

// The same table made as the updates come, for a history of any size: each
// column as wide as the first updates need (HistoryTableSample of them),
// within its bound; rows are handed to `print` from then on, as they are made.
inline constexpr qsizetype HistoryTableSample = 200;
class THistoryTable {
public:
    THistoryTable(qsizetype columns, std::function<void(const QString&)> print);
    void Add(const QJsonObject& entry);
    // Prints what is held; the table's last call.
    void Finish();

private:
    void PrintHeld();

    qsizetype columns_;
    std::function<void(const QString&)> print_;
    QList<QStringList> held_;  // the heading and the first rows, until the widths are known
    QList<qsizetype> widths_;
};
