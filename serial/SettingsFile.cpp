#include "serial/SettingsFile.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <span>
#include <unistd.h>

#include "transfer/FileOfBytes.h"
#include "protocol/RuntimeErrors.h"

namespace {

// The runtime's error number for a read past the end of a file.
constexpr int ErrorReadBeyondEnd = 100;

// Beside the settings file, so that the rename stays within one file system.
const std::string TemporarySuffix = ".new";

constexpr mode_t NewFileMode = 0666;  // narrowed by the process's umask

[[noreturn]] void RaiseReadBeyondEnd()
{
    throw EInOutError("Read beyond end of file", ErrorReadBeyondEnd);
}

// Writes all bytes and flushes them to the device; returns 0 or the errno of
// the first failure.
int WriteAll(int fd, std::span<const Byte> bytes)
{
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0)
            return errno;
        bytes = bytes.subspan(static_cast<std::size_t>(written));
    }
    return ::fsync(fd) == 0 ? 0 : errno;
}

void WriteRecord(std::span<const Byte> record, const std::string& path)
{
    const std::string temporary = path + TemporarySuffix;
    int fd = -1;
    do {
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, NewFileMode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        RaiseInOutError(errno);
    int error = WriteAll(fd, record);
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && ::rename(temporary.c_str(), path.c_str()) != 0)
        error = errno;
    if (error != 0) {
        ::unlink(temporary.c_str());
        RaiseInOutError(error);
    }
}

// The kind byte, then the record's fields.
template <std::size_t FieldCount>
void WriteRecord(Byte kind, const std::array<Byte, FieldCount>& fields, const std::string& path)
{
    std::array<Byte, 1 + FieldCount> record{kind};
    std::copy(fields.begin(), fields.end(), record.begin() + 1);
    WriteRecord(std::span<const Byte>(record), path);
}

} // namespace

TSettingsRecord::TSettingsRecord(Byte kind, const std::array<Byte, MaxFieldCount>& fields,
                                 std::size_t fieldCount)
    : kind_(kind), fields_(fields), fieldCount_(std::min(fieldCount, MaxFieldCount))
{
}

Byte TSettingsRecord::Field(std::size_t index) const
{
    if (index >= fieldCount_)
        RaiseReadBeyondEnd();
    return fields_[index];
}

std::optional<TSettingsRecord> ReadSettingsFile(const std::string& path)
{
    std::error_code error;
    if (!std::filesystem::exists(path, error) && !error)
        return std::nullopt;
    TFileOfBytes file(path);
    std::array<Byte, 1 + MaxFieldCount> content{};
    const std::size_t length = file.Read(content.data(), content.size());
    if (length == 0)
        RaiseReadBeyondEnd();
    std::array<Byte, MaxFieldCount> fields{};
    std::copy(content.begin() + 1, content.end(), fields.begin());
    return TSettingsRecord(content[0], fields, length - 1);
}

void WriteSerialRecord(const std::array<Byte, SerialFieldCount>& positions, const std::string& path)
{
    WriteRecord(SerialRecordKind, positions, path);
}

void WriteNetworkRecord(const std::array<Byte, NetworkFieldCount>& address, const std::string& path)
{
    WriteRecord(NetworkRecordKind, address, path);
}
