// What `orvenda-update history` shows: the updates chosen from the history,
// as a table for a terminal.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// Which updates `orvenda-update history` shows: those of one board, of one
// outcome, the last few; empty or 0 takes every one.
struct HistoryFilter {
    QString board;
    QString outcome;
    qsizetype last = 0;
};
QList<QByteArray> FilterHistory(const QList<QByteArray>& lines, const HistoryFilter& filter);

// The lines as a plain-text table, one update a row under a heading, at most
// `columns` wide: the reason, which names the first board error, wraps over
// as many rows as it needs, any other cell too long for its column is cut,
// marked with "…". Control characters in the cells are shown escaped. Lines
// stored with the older keys (missing_answers, board_errors) read the same.
inline constexpr qsizetype HistoryTableColumns = 100;
QString HistoryTable(const QList<QByteArray>& lines, qsizetype columns = HistoryTableColumns);
