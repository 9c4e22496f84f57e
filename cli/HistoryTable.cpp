#include "cli/HistoryTable.h"

#include <QDateTime>
#include <QFileInfo>
#include <QJsonObject>

#include <algorithm>
#include <array>

#include "cli/WordWrap.h"
#include "transfer/record/History.h"

namespace {

const QString ColumnGap = QStringLiteral("  ");
// A control character in the table is shown as \xHH.
constexpr int ControlDigits = 2;
constexpr int Hexadecimal = 16;

enum class Align { Left, Right };

// A column of the table. The last takes the room the others leave; every
// other is cut at its widest.
struct Column {
    const char* heading;
    Align align;
    qsizetype widest;
    QString (*cell)(const QJsonObject&);
};

QString LocalTime(const QJsonObject& entry)
{
    const QDateTime time = QDateTime::fromString(entry.value("time").toString(), Qt::ISODateWithMs);
    return time.isValid() ? time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd hh:mm"))
                          : entry.value("time").toString();
}

QString Text(const QJsonObject& entry, const char* key)
{
    return entry.value(key).toString();
}

// A count stored under its key, or under the key older lines used.
QString Count(const QJsonObject& entry, const char* key, const char* olderKey)
{
    return QString::number(entry.contains(key) ? entry.value(key).toInteger() : entry.value(olderKey).toInteger());
}

constexpr qsizetype TimeWidth = 16;
constexpr qsizetype BoardWidth = 24;
constexpr qsizetype FileWidth = 16;
constexpr qsizetype KindWidth = 8;
// The longest ending: "unconfirmed", "link failed".
constexpr qsizetype OutcomeWidth = 11;
constexpr qsizetype CountWidth = 4;

const std::array<Column, 8> Columns = {{
    {"Time", Align::Left, TimeWidth, LocalTime},
    {"Board", Align::Left, BoardWidth, [](const QJsonObject& e) { return Text(e, "board"); }},
    {"File", Align::Left, FileWidth, [](const QJsonObject& e) { return QFileInfo(Text(e, "file")).fileName(); }},
    {"Kind", Align::Left, KindWidth, [](const QJsonObject& e) { return Text(e, "kind"); }},
    {"Outcome", Align::Left, OutcomeWidth, [](const QJsonObject& e) { return Text(e, "outcome"); }},
    {"Miss", Align::Right, CountWidth, [](const QJsonObject& e) { return Count(e, "missingAnswers", "missing_answers"); }},
    {"Err", Align::Right, CountWidth, [](const QJsonObject& e) { return Count(e, "boardErrors", "board_errors"); }},
    {"Reason", Align::Left, HistoryTableColumns, [](const QJsonObject& e) { return Text(e, "reason"); }},
}};

const QString CutMark = QStringLiteral("\u2026");

// The text cut to `width`, its end replaced by the mark when it was longer.
QString CutTo(const QString& text, qsizetype width)
{
    if (text.size() <= width)
        return text;
    return width <= 0 ? QString() : text.left(width - CutMark.size()) + CutMark;
}

// The text with its control characters written out as \n or \xHH, so that a
// name can neither break a row of the table or forge one, nor drive the
// terminal.
QString Printable(const QString& text)
{
    QString shown;
    for (const QChar character : text) {
        if (character.category() != QChar::Other_Control)
            shown += character;
        else if (character == '\n')
            shown += QStringLiteral("\\n");
        else
            shown += QStringLiteral("\\x%1").arg(character.unicode(), ControlDigits, Hexadecimal, QChar('0'));
    }
    return shown;
}

// The reason column keeps at least this much room on a narrow terminal.
constexpr qsizetype LeastReasonWidth = 20;

// Each column as wide as its widest cell, within its bound; the last gets
// what the others leave of the table's width.
QList<qsizetype> ColumnWidths(const QList<QStringList>& rows, qsizetype columns)
{
    QList<qsizetype> widths(static_cast<qsizetype>(Columns.size()), 0);
    for (const QStringList& row : rows)
        for (qsizetype i = 0; i < row.size(); ++i)
            widths[i] = std::min(std::max(widths[i], row[i].size()), Columns[static_cast<std::size_t>(i)].widest);
    qsizetype used = 0;
    for (qsizetype i = 0; i + 1 < widths.size(); ++i)
        used += widths[i] + ColumnGap.size();
    widths.back() = std::max(columns - used, LeastReasonWidth);
    return widths;
}

// One update: its cells on the first row, the rest of its reason on the rows
// below, under the reason's column.
QString Row(const QStringList& cells, const QList<qsizetype>& widths)
{
    const QStringList reason = WrapWords(cells.back(), widths.back());
    QString rows;
    for (qsizetype line = 0; line < reason.size(); ++line) {
        QStringList padded;
        for (std::size_t i = 0; i + 1 < Columns.size(); ++i) {
            const auto index = static_cast<qsizetype>(i);
            const QString cell = line == 0 ? CutTo(cells[index], widths[index]) : QString();
            padded << (Columns[i].align == Align::Left ? cell.leftJustified(widths[index])
                                                       : cell.rightJustified(widths[index]));
        }
        padded << reason[line];
        QString row = padded.join(ColumnGap);
        while (row.endsWith(' '))
            row.chop(1);
        rows += row + '\n';
    }
    return rows;
}

} // namespace

namespace {

// The run the filter asks for: its id, or that of the last line naming one.
QString RunOf(const QList<QByteArray>& lines, const QString& run)
{
    if (run != LastRun)
        return run;
    for (auto line = lines.crbegin(); line != lines.crend(); ++line) {
        const std::optional<QJsonObject> entry = HistoryEntry(*line);
        if (entry && !Text(*entry, "run").isEmpty())
            return Text(*entry, "run");
    }
    // No run recorded yet: no line is of the last one.
    return QStringLiteral("\n");
}

} // namespace

bool HistoryChosen(const QJsonObject& entry, const HistoryFilter& filter)
{
    return (filter.board.isEmpty() || Text(entry, "board") == filter.board) &&
           (filter.outcomes.isEmpty() || filter.outcomes.contains(Text(entry, "outcome"))) &&
           (filter.run.isEmpty() || Text(entry, "run") == filter.run);
}

QList<QByteArray> FilterHistory(const QList<QByteArray>& lines, const HistoryFilter& filter)
{
    HistoryFilter resolved = filter;
    if (!filter.run.isEmpty())
        resolved.run = RunOf(lines, filter.run);
    QList<QByteArray> kept;
    for (const QByteArray& line : lines) {
        const std::optional<QJsonObject> entry = HistoryEntry(line);
        if (entry && HistoryChosen(*entry, resolved))
            kept << line;
    }
    if (filter.last > 0 && kept.size() > filter.last)
        kept = kept.mid(kept.size() - filter.last);
    return kept;
}

THistoryTable::THistoryTable(qsizetype columns, std::function<void(const QString&)> print)
    : columns_(columns), print_(std::move(print))
{
    QStringList headings;
    for (const Column& column : Columns)
        headings << QString::fromLatin1(column.heading);
    held_ << headings;
}

void THistoryTable::Add(const QJsonObject& entry)
{
    QStringList cells;
    for (const Column& column : Columns)
        cells << Printable(column.cell(entry));
    if (!widths_.isEmpty()) {
        print_(Row(cells, widths_));
        return;
    }
    held_ << cells;
    if (held_.size() > HistoryTableSample)
        PrintHeld();
}

void THistoryTable::Finish()
{
    if (widths_.isEmpty())
        PrintHeld();
}

void THistoryTable::PrintHeld()
{
    widths_ = ColumnWidths(held_, columns_);
    for (const QStringList& row : held_)
        print_(Row(row, widths_));
    held_.clear();
}

QString HistoryTable(const QList<QByteArray>& lines, qsizetype columns)
{
    QString table;
    THistoryTable made(columns, [&table](const QString& rows) { table += rows; });
    for (const QByteArray& line : lines)
        if (const std::optional<QJsonObject> entry = HistoryEntry(line))
            made.Add(*entry);
    made.Finish();
    return table;
}
