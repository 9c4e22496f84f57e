#include "transfer/record/History.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QStringList>

#include <algorithm>
#include <array>

#include "transfer/board/BoardTry.h"
#include "transfer/engine/SystemError.h"
#include "transfer/record/HistoryFile.h"
#include "transfer/report/EndingTexts.h"
#include "transfer/report/ErrorText.h"

namespace {

constexpr std::array LinkNames = {"serial", "udp", "usb"};
constexpr std::array KindNames = {"firmware", "bios", "flash", "data"};

constexpr const char* ProgramFolder = "orvenda-updater";
constexpr const char* HistoryFileName = "history.jsonl";
constexpr unsigned char FirstPrintable = 0x20;

const QString NotARegularFile = QStringLiteral("it is not a regular file");
const QString ASymbolicLink = QStringLiteral("it is a symbolic link");
const QString AnotherUsersFile = QStringLiteral("it belongs to another user");

template <typename Enum, std::size_t Count>
QString NameOf(const std::array<const char*, Count>& names, Enum value)
{
    return QString::fromLatin1(names.at(static_cast<std::size_t>(value)));
}

// JSON carries control characters escaped; the parser lets raw ones through,
// which `history --json` would hand to the terminal as stored. A tab may
// stand between a line's values.
bool HoldsRawControlCharacter(const QByteArray& line)
{
    return std::any_of(line.begin(), line.end(), [](char byte) {
        return static_cast<unsigned char>(byte) < FirstPrintable && byte != '\t';
    });
}

} // namespace

std::optional<QJsonObject> HistoryEntry(const QByteArray& line)
{
    if (HoldsRawControlCharacter(line))
        return std::nullopt;
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(line, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    QJsonObject entry = document.object();
    if (!entry.value("time").isString())
        return std::nullopt;
    return entry;
}

QString NewRunId()
{
    constexpr int RandomDigits = 4;
    constexpr int Hexadecimal = 16;
    const quint32 random = QRandomGenerator::global()->bounded(1U << (RandomDigits * 4));
    return QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-hhmmss")) + '-' +
           QString::number(random, Hexadecimal).rightJustified(RandomDigits, '0');
}

QString DefaultHistoryPath()
{
    return HistoryStateFolder() + '/' + ProgramFolder + '/' + HistoryFileName;
}

namespace {

// The parts of the history, oldest first.
std::array<QString, 2> HistoryParts(const QString& path)
{
    return {RotatedHistoryPath(path), path};
}

// Opens a part of the history for reading; false when there is none, or with
// the reason in `reading` when it cannot be read.
bool OpenPart(QFile& file, HistoryReading& reading)
{
    if (!file.exists())
        return false;
    // A pipe or device would keep the reader waiting, or feed it forever.
    if (!QFileInfo(file.fileName()).isFile()) {
        reading.error =
            QStringLiteral("The update history cannot be read from %1: %2").arg(file.fileName(), NotARegularFile);
        return false;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        reading.error =
            QStringLiteral("The update history cannot be read from %1: %2").arg(file.fileName(), file.errorString());
        return false;
    }
    return true;
}

// Hands the line to `take` when it is sound, else counts it.
template <typename Take>
auto Sort(const QByteArray& stored, HistoryReading& reading, const Take& take)
{
    const QByteArray line = stored.trimmed();
    const std::optional<QJsonObject> entry = HistoryEntry(line);
    if (!entry && !line.isEmpty())
        ++reading.unreadable;
    return take(line, entry);
}

// Hands the file's lines to `take` from the last to the first, until it
// returns false; returns false then.
bool EachLineBackward(QFile& file, const std::function<bool(const QByteArray&)>& take)
{
    constexpr qint64 Piece = 64 * 1024;
    qint64 end = file.size();
    QByteArray carried;  // the start of a line whose end has been read
    while (end > 0) {
        const qint64 start = std::max<qint64>(0, end - Piece);
        if (!file.seek(start))
            return true;
        QByteArray piece = file.read(end - start) + carried;
        end = start;
        qsizetype lineEnd = piece.size();
        while (lineEnd > 0) {
            const qsizetype at = piece.lastIndexOf('\n', lineEnd - 1);
            if (at < 0)
                break;
            if (!take(piece.mid(at + 1, lineEnd - at - 1)))
                return false;
            lineEnd = at;
        }
        carried = piece.left(lineEnd);
    }
    return carried.isEmpty() || take(carried);
}

} // namespace

QString RotatedHistoryPath(const QString& path)
{
    const QFileInfo file(path);
    return file.path() + '/' + file.completeBaseName() + QStringLiteral(".1.") + file.suffix();
}

HistoryReading ForEachHistoryLine(const QString& path, const HistoryLineTaker& take)
{
    HistoryReading reading;
    for (const QString& part : HistoryParts(path)) {
        QFile file(part);
        if (!OpenPart(file, reading)) {
            if (!reading.error.isEmpty())
                return reading;
            continue;
        }
        bool more = true;
        while (more && !file.atEnd())
            more = Sort(file.readLine(), reading, [&](const QByteArray& line, const std::optional<QJsonObject>& entry) {
                return !entry || take(line, *entry);
            });
        if (!more)
            break;
    }
    return reading;
}

HistoryReading ReadHistory(const QString& path)
{
    HistoryReading reading;
    HistoryReading read = ForEachHistoryLine(path, [&](const QByteArray& line, const QJsonObject&) {
        reading.lines << line;
        return true;
    });
    read.lines = std::move(reading.lines);
    return read;
}

HistoryReading LastHistoryLines(const QString& path, qsizetype count,
                                const std::function<bool(const QJsonObject&)>& chosen)
{
    HistoryReading reading;
    const std::array<QString, 2> parts = HistoryParts(path);
    for (auto part = parts.rbegin(); part != parts.rend() && reading.lines.size() < count; ++part) {
        QFile file(*part);
        if (!OpenPart(file, reading)) {
            if (!reading.error.isEmpty())
                return reading;
            continue;
        }
        EachLineBackward(file, [&](const QByteArray& stored) {
            return Sort(stored, reading, [&](const QByteArray& line, const std::optional<QJsonObject>& entry) {
                if (entry && chosen(*entry))
                    reading.lines.prepend(line);
                return reading.lines.size() < count;
            });
        });
    }
    return reading;
}

QString LastHistoryRun(const QString& path)
{
    QString run;
    LastHistoryLines(path, 1, [&run](const QJsonObject& entry) {
        run = entry.value("run").toString();
        return !run.isEmpty();
    });
    return run;
}

namespace {

// The line of one chosen file: what went out when it did, else the file as
// it stands (looked at, never opened).
QJsonObject LineOf(HistoryLink link, HistoryKind kind, const TBoardResult& result, const std::string& path,
                   const QDateTime& time, const QString& run)
{
    const QString name = QString::fromStdString(path);
    const std::vector<TSentFile>& sent = result.sentFiles;
    const auto match = std::find_if(sent.begin(), sent.end(), [&](const TSentFile& file) { return file.path == path; });
    const bool wentOut = match != sent.end();
    QJsonObject object{
        {"time", time.toUTC().toString(Qt::ISODateWithMs)},
        {"link", NameOf(LinkNames, link)},
        {"board", QString::fromStdString(result.board)},
        {"file", QFileInfo(name).absoluteFilePath()},
        {"size", wentOut ? qint64{match->size} : QFileInfo(name).size()},
        {"sha256", wentOut ? QString::fromStdString(match->sha256) : QString()},
        {"kind", NameOf(KindNames, kind)},
        {"outcome", QString::fromLatin1(EndingName(result.outcome))},
        {"missingAnswers", result.missingAnswers},
        {"boardErrors", result.boardErrors},
        {"seconds", result.seconds},
    };
    // Older lines have none, and read the same. A file the board did not
    // take is recorded with its own reason.
    const auto notWritten = std::find(result.filesNotWritten.begin(), result.filesNotWritten.end(), path);
    const auto at = static_cast<std::size_t>(notWritten - result.filesNotWritten.begin());
    const std::string reason = at < result.notWrittenReasons.size()
                                   ? FileNameOf(path) + " was not written: " + result.notWrittenReasons[at]
                                   : OneLine(result.message);
    if (!reason.empty())
        object.insert("reason", QString::fromStdString(reason));
    if (const std::optional<TBoardError>& first = result.firstBoardError)
        object.insert("firstBoardError", BoardErrorObject(*first));
    if (!run.isEmpty())
        object.insert("run", run);
    return object;
}

// What AppendLine's answer means, in words.
QString WhyNotWritten(int error)
{
    switch (error) {
    case NotRegularFileError:
        return NotARegularFile;
    case SymbolicLinkError:
        return ASymbolicLink;
    case OtherOwnerError:
        return AnotherUsersFile;
    default:
        return QString::fromStdString(SystemErrorText(error));
    }
}

// Appends the line, making its folders when needed; the error text when it
// cannot, else empty.
QString AppendLineOf(const QJsonObject& object, const QString& path, const HistoryLockWaiting& lockWaiting)
{
    const QByteArray line = QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
    QString failedFolder;
    int error = MakeHistoryFolder(QFileInfo(path).absolutePath(), failedFolder);
    if (error == 0)
        error = AppendHistoryLine(path, line, lockWaiting);
    if (error == 0)
        return {};
    QString reason = WhyNotWritten(error);
    if (!failedFolder.isEmpty())
        reason = QStringLiteral("cannot make the folder %1: %2").arg(failedFolder, reason);
    return QStringLiteral("The update history cannot be written to %1: %2").arg(path, reason);
}

} // namespace

QString AppendHistory(HistoryLink link, const TUpdateRequest& request, const TBoardResult& result,
                      const QDateTime& time, const QString& path, const HistoryLockWaiting& lockWaiting,
                      const QString& run)
{
    QString firstError;
    for (const std::string& file : request.files) {
        const QString error = AppendLineOf(LineOf(link, request.kind, result, file, time, run), path, lockWaiting);
        if (firstError.isEmpty())
            firstError = error;
    }
    return firstError;
}

QString THistoryWriter::Record(HistoryLink link, const TUpdateRequest& request, const TBoardResult& result)
{
    const QString error = AppendHistory(link, request, result, QDateTime::currentDateTimeUtc(), path_, lockWaiting_, run_);
    if (error.isEmpty() || failureTold_.exchange(true))
        return {};
    return error;
}
