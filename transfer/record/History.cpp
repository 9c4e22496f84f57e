#include "transfer/record/History.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QStringList>

#include <algorithm>
#include <array>
#include <chrono>
#include <cerrno>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "transfer/board/BoardTry.h"
#include "transfer/report/EndingTexts.h"
#include "transfer/report/ErrorText.h"
#include "transfer/engine/Link.h"

namespace {

constexpr std::array LinkNames = {"serial", "udp", "usb"};
constexpr std::array KindNames = {"firmware", "bios", "flash", "data"};

// AppendLine's answers for a history file it will not write to, lest it
// write into another file through a link, or into another user's file when
// run by root; negative, so that they never meet an errno.
enum FileRefusal : int {
    NotRegularFileError = -1,
    SymbolicLinkError = -2,
    OtherOwnerError = -3,
};

// How often a scheduled append asks again for a lock another program holds.
constexpr std::chrono::milliseconds LockRetryInterval{50};

constexpr const char* ProgramFolder = "orvenda-updater";
constexpr const char* HistoryFileName = "history.jsonl";
constexpr mode_t HistoryFileMode = 0644;
// Narrowed by the umask, as the folders of any program.
constexpr mode_t FolderMode = 0777;
constexpr unsigned char FirstPrintable = 0x20;

const QString NotARegularFile = QStringLiteral("it is not a regular file");
const QString ASymbolicLink = QStringLiteral("it is a symbolic link");
const QString AnotherUsersFile = QStringLiteral("it belongs to another user");

// HOME, or without it the user's home from the password database: Qt would
// take the root folder.
QString HomeFolder()
{
    const QString home = qEnvironmentVariable("HOME");
    if (!home.isEmpty())
        return home;
    const passwd* user = ::getpwuid(::getuid());
    return user != nullptr && user->pw_dir != nullptr ? QFile::decodeName(user->pw_dir) : QDir::homePath();
}

template <typename Enum, std::size_t Count>
QString NameOf(const std::array<const char*, Count>& names, Enum value)
{
    return QString::fromLatin1(names.at(static_cast<std::size_t>(value)));
}

// Makes the folder and those above it that are missing. Returns 0, or the
// errno of the folder that could not be made, which is put in `failed`.
int MakeFolder(const QString& folder, QString& failed)
{
    const QByteArray name = QFile::encodeName(folder);
    int error = ::mkdir(name.constData(), FolderMode) == 0 ? 0 : errno;
    const QString parent = QFileInfo(folder).path();
    if (error == ENOENT && parent != folder) {
        error = MakeFolder(parent, failed);
        if (error != 0)
            return error;
        error = ::mkdir(name.constData(), FolderMode) == 0 ? 0 : errno;
    }
    if (error == EEXIST) {
        struct stat status {};
        error = ::stat(name.constData(), &status) == 0 && S_ISDIR(status.st_mode) ? 0 : ENOTDIR;
    }
    if (error != 0)
        failed = folder;
    return error;
}

// True when the file's last byte (of `size`) is not a line end: a line cut
// off by a crash or by an older updater, after which an appended line would
// be swallowed by it.
bool EndsInCutOffLine(int fd, off_t size)
{
    if (size == 0)
        return false;
    char last = '\n';
    ssize_t read = -1;
    do {
        read = ::pread(fd, &last, 1, size - 1);
    } while (read == -1 && errno == EINTR);
    return read == 1 && last != '\n';
}

// Why the open history file is not one to write to: 0 when it is a regular
// file of the user's own, else the refusal or the errno.
int WhyRefused(int fd)
{
    struct stat status {};
    if (::fstat(fd, &status) != 0)
        return errno;
    if (!S_ISREG(status.st_mode))
        return NotRegularFileError;
    return status.st_uid == ::geteuid() ? 0 : OtherOwnerError;
}

// Opens the history for appending, creating it when needed, but never
// through a symbolic link: returns the descriptor, or -1 with the refusal
// or the errno in `error`.
int OpenHistory(const QByteArray& name, int& error)
{
    int fd = -1;
    do {
        // Not blocked by a pipe in the file's place: it is refused below.
        fd = ::open(name.constData(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW,
                    HistoryFileMode);
    } while (fd == -1 && errno == EINTR);
    if (fd == -1) {
        error = errno;
        struct stat status {};
        // ELOOP also comes from a loop of links among the folders above.
        if (error == ELOOP && ::lstat(name.constData(), &status) == 0 && S_ISLNK(status.st_mode))
            error = SymbolicLinkError;
        return -1;
    }
    error = WhyRefused(fd);
    if (error != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Takes the file's lock if it is free; -1 with errno otherwise.
int TryLock(int fd)
{
    int locked = -1;
    do {
        locked = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (locked == -1 && errno == EINTR);
    return locked;
}

// Holds the file's lock, telling the wait for another program's; false
// when the file system has none. On a thread whose waits go through a
// scheduler (many boards at once) the lock is asked for again on a timer,
// so that the other boards go on meanwhile; elsewhere the wait blocks.
bool Lock(int fd, const HistoryLockWaiting& lockWaiting)
{
    int locked = TryLock(fd);
    if (locked == -1 && errno == EWOULDBLOCK) {
        if (lockWaiting)
            lockWaiting(true);
        if (TLinkWaiter* const loop = TLinkWaiter::OfThisThread()) {
            while ((locked = TryLock(fd)) == -1 && errno == EWOULDBLOCK)
                loop->Sleep(LockRetryInterval);
        } else {
            do {
                locked = ::flock(fd, LOCK_EX);
            } while (locked == -1 && errno == EINTR);
        }
        if (lockWaiting)
            lockWaiting(false);
    }
    return locked == 0;
}

// Writes the bytes with one call; returns 0 or the errno.
int WriteInOneCall(int fd, const QByteArray& bytes)
{
    ssize_t written = -1;
    do {
        written = ::write(fd, bytes.constData(), static_cast<size_t>(bytes.size()));
    } while (written == -1 && errno == EINTR);
    if (written == -1)
        return errno;
    // Only a full disk (or the process's file size limit) cuts a write to a
    // regular file short.
    return written == bytes.size() ? 0 : ENOSPC;
}

// Cuts the file back to `size`, taking back a line that did not go out whole.
void TakeBack(int fd, off_t size)
{
    int cut = -1;
    do {
        cut = ::ftruncate(fd, size);
    } while (cut == -1 && errno == EINTR);
}

// Appends the line to the open file (under its lock when `locked`), after a
// line end of its own when the file ends in a cut-off line; returns 0 or the
// errno. The lock keeps another updater from appending between the look at
// the file's end and the write, and so lets a line that did not go out whole
// be taken back. Without the lock (a file system that has none) the worst is
// an empty line, which reading skips, or a cut-off line left in place, as
// another updater's line may already follow it.
int AppendLocked(int fd, const QByteArray& line, bool locked)
{
    struct stat before {};
    if (::fstat(fd, &before) != 0)
        return errno;
    const int error = WriteInOneCall(fd, EndsInCutOffLine(fd, before.st_size) ? '\n' + line : line);
    if (error != 0 && locked)
        TakeBack(fd, before.st_size);
    return error;
}

// True when the descriptor is still the file at `name`: another updater may
// have rotated it while this one waited for its lock.
bool StillAt(int fd, const QByteArray& name)
{
    struct stat open {};
    struct stat named {};
    return ::fstat(fd, &open) == 0 && ::lstat(name.constData(), &named) == 0 && open.st_dev == named.st_dev &&
           open.st_ino == named.st_ino;
}

// Makes the locked file the rotated part when it has reached the rotation
// size; true when it did, and the append is to open the path again.
bool Rotated(int fd, const QString& path)
{
    struct stat status {};
    if (::fstat(fd, &status) != 0 || status.st_size < HistoryRotateSize)
        return false;
    return ::rename(QFile::encodeName(path).constData(), QFile::encodeName(RotatedHistoryPath(path)).constData()) == 0;
}

// Writes the whole line with one call, so that lines from other threads and
// processes never interleave with it; returns 0, a refusal or the errno.
int AppendLine(const QString& path, const QByteArray& line, const HistoryLockWaiting& lockWaiting)
{
    // Another updater's rotation, then this one's: the path is opened again
    // at most so often.
    constexpr int MostOpenings = 3;
    const QByteArray name = QFile::encodeName(path);
    for (int opening = 1;; ++opening) {
        int error = 0;
        const int fd = OpenHistory(name, error);
        if (fd == -1)
            return error;
        const bool locked = Lock(fd, lockWaiting);
        const bool again = locked && opening < MostOpenings && (!StillAt(fd, name) || Rotated(fd, path));
        if (!again)
            error = AppendLocked(fd, line, locked);
        if (::close(fd) == -1 && error == 0 && errno != EINTR)
            error = errno;
        if (!again)
            return error;
    }
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
    // A relative XDG_STATE_HOME is invalid and is ignored.
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (state.isEmpty() || QDir::isRelativePath(state))
        state = HomeFolder() + QStringLiteral("/.local/state");
    return state + '/' + ProgramFolder + '/' + HistoryFileName;
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
        return qt_error_string(error);
    }
}

// Appends the line, making its folders when needed; the error text when it
// cannot, else empty.
QString AppendLineOf(const QJsonObject& object, const QString& path, const HistoryLockWaiting& lockWaiting)
{
    const QByteArray line = QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
    QString failedFolder;
    int error = MakeFolder(QFileInfo(path).absolutePath(), failedFolder);
    if (error == 0)
        error = AppendLine(path, line, lockWaiting);
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
