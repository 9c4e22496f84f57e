#include "transfer/History.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include <array>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr std::array LinkNames = {"serial", "udp", "usb"};
constexpr std::array KindNames = {"firmware", "bios", "flash", "data"};
constexpr std::array OutcomeNames = {"updated", "warnings", "failed", "stopped"};

constexpr const char* ProgramFolder = "orvenda-updater";
constexpr const char* HistoryFileName = "history.jsonl";
constexpr mode_t HistoryFileMode = 0644;
// The table shows enough of a hash to tell images apart.
constexpr qsizetype ShownHashDigits = 12;
constexpr int SecondsDecimals = 1;
const QString ColumnGap = QStringLiteral("  ");

// Set once the operator has been told that the history cannot be written.
std::atomic<bool> appendFailureReported{false};

template <typename Enum, std::size_t Count>
QString NameOf(const std::array<const char*, Count>& names, Enum value)
{
    return QString::fromLatin1(names.at(static_cast<std::size_t>(value)));
}

QJsonObject ToJson(const UpdateRecord& record)
{
    return {
        {"time", record.time.toUTC().toString(Qt::ISODate)},
        {"link", NameOf(LinkNames, record.link)},
        {"board", record.board},
        {"file", record.file},
        {"size", record.size},
        {"sha256", QString::fromLatin1(record.sha256)},
        {"kind", NameOf(KindNames, record.kind)},
        {"outcome", NameOf(OutcomeNames, record.outcome)},
        {"missing_answers", record.missingAnswers},
        {"board_errors", record.boardErrors},
        {"seconds", record.seconds},
    };
}

// Writes the whole line with one call, so that lines from other threads and
// processes never interleave with it; returns 0 or the errno.
int AppendLine(const QString& path, const QByteArray& line)
{
    const QByteArray name = QFile::encodeName(path);
    int fd = -1;
    do {
        fd = ::open(name.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, HistoryFileMode);
    } while (fd == -1 && errno == EINTR);
    if (fd == -1)
        return errno;
    ssize_t written = -1;
    do {
        written = ::write(fd, line.constData(), static_cast<size_t>(line.size()));
    } while (written == -1 && errno == EINTR);
    int error = 0;
    if (written == -1)
        error = errno;
    else if (written != line.size())
        error = ENOSPC; // only a full disk cuts a write to a regular file short
    if (::close(fd) == -1 && error == 0 && errno != EINTR)
        error = errno;
    return error;
}

std::optional<QJsonObject> ParseLine(const QByteArray& line)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(line, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    QJsonObject entry = document.object();
    if (!entry.value("time").isString())
        return std::nullopt;
    return entry;
}

enum class Align { Left, Right };

struct Column {
    const char* heading;
    Align align;
    QString (*cell)(const QJsonObject&);
};

QString LocalTime(const QJsonObject& entry)
{
    const QDateTime time = QDateTime::fromString(entry.value("time").toString(), Qt::ISODate);
    return time.isValid() ? time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"))
                          : entry.value("time").toString();
}

QString Text(const QJsonObject& entry, const char* key)
{
    return entry.value(key).toString();
}

QString Whole(const QJsonObject& entry, const char* key)
{
    return QString::number(entry.value(key).toInteger());
}

const std::array<Column, 11> Columns = {{
    {"Time", Align::Left, LocalTime},
    {"Link", Align::Left, [](const QJsonObject& e) { return Text(e, "link"); }},
    {"Board", Align::Left, [](const QJsonObject& e) { return Text(e, "board"); }},
    {"File", Align::Left, [](const QJsonObject& e) { return QFileInfo(Text(e, "file")).fileName(); }},
    {"Size", Align::Right, [](const QJsonObject& e) { return Whole(e, "size"); }},
    {"SHA-256", Align::Left, [](const QJsonObject& e) { return Text(e, "sha256").left(ShownHashDigits); }},
    {"Kind", Align::Left, [](const QJsonObject& e) { return Text(e, "kind"); }},
    {"Outcome", Align::Left, [](const QJsonObject& e) { return Text(e, "outcome"); }},
    {"Missing", Align::Right, [](const QJsonObject& e) { return Whole(e, "missing_answers"); }},
    {"Errors", Align::Right, [](const QJsonObject& e) { return Whole(e, "board_errors"); }},
    {"Seconds", Align::Right,
     [](const QJsonObject& e) { return QString::number(e.value("seconds").toDouble(), 'f', SecondsDecimals); }},
}};

QString Row(const QStringList& cells, const QList<qsizetype>& widths)
{
    QStringList padded;
    for (std::size_t i = 0; i < Columns.size(); ++i) {
        const auto index = static_cast<qsizetype>(i);
        padded << (Columns[i].align == Align::Left ? cells[index].leftJustified(widths[index])
                                                   : cells[index].rightJustified(widths[index]));
    }
    QString row = padded.join(ColumnGap);
    while (row.endsWith(' '))
        row.chop(1);
    return row + '\n';
}

} // namespace

QString DefaultHistoryPath()
{
    // A relative XDG_STATE_HOME is invalid and is ignored.
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (state.isEmpty() || QDir::isRelativePath(state))
        state = QDir::homePath() + QStringLiteral("/.local/state");
    return state + '/' + ProgramFolder + '/' + HistoryFileName;
}

QString AppendHistory(const UpdateRecord& record, const QString& path)
{
    const QByteArray line = QJsonDocument(ToJson(record)).toJson(QJsonDocument::Compact) + '\n';
    // A folder that cannot be made makes the open fail, with the reason.
    QDir().mkpath(QFileInfo(path).absolutePath());
    const int error = AppendLine(path, line);
    if (error == 0 || appendFailureReported.exchange(true))
        return {};
    return QStringLiteral("The update history cannot be written to %1: %2").arg(path, qt_error_string(error));
}

HistoryReading ReadHistory(const QString& path)
{
    HistoryReading reading;
    QFile file(path);
    if (!file.exists())
        return reading;
    if (!file.open(QIODevice::ReadOnly)) {
        reading.error = QStringLiteral("The update history cannot be read from %1: %2").arg(path, file.errorString());
        return reading;
    }
    while (!file.atEnd()) {
        const QByteArray line = file.readLine().trimmed();
        if (ParseLine(line))
            reading.lines << line;
    }
    return reading;
}

QString HistoryTable(const QList<QByteArray>& lines)
{
    QList<QStringList> rows;
    QStringList headings;
    for (const Column& column : Columns)
        headings << QString::fromLatin1(column.heading);
    rows << headings;
    for (const QByteArray& line : lines) {
        const std::optional<QJsonObject> entry = ParseLine(line);
        if (!entry)
            continue;
        QStringList cells;
        for (const Column& column : Columns)
            cells << column.cell(*entry);
        rows << cells;
    }
    QList<qsizetype> widths(static_cast<qsizetype>(Columns.size()), 0);
    for (const QStringList& row : rows)
        for (qsizetype i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], row[i].size());
    QString table;
    for (const QStringList& row : rows)
        table += Row(row, widths);
    return table;
}
