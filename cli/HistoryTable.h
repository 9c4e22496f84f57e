// What `orvenda-update history` shows: the updates chosen from the history,
// as a table for a terminal.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

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

// The boards of the lines, each once, in the order they first come: what
// --boards-from takes.
QStringList HistoryBoards(const QList<QByteArray>& lines);

// The lines as a plain-text table, one update a row under a heading, at most
// `columns` wide: the reason, which names the first board error, wraps over
// as many rows as it needs, any other cell too long for its column is cut,
// marked with "…". Control characters in the cells are shown escaped. Lines
// stored with the older keys (missing_answers, board_errors) read the same.
inline constexpr qsizetype HistoryTableColumns = 100;
QString HistoryTable(const QList<QByteArray>& lines, qsizetype columns = HistoryTableColumns);
