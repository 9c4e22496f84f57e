#include "transfer/record/SettingsFile.h"

#include <filesystem>
#include <span>

#include "transfer/engine/FileOfBytes.h"
#include "transfer/record/FileReplace.h"

namespace {

// Longer chains of links are taken for a loop.
constexpr int MaxLinkDepth = 40;

// The file a save replaces: the settings file itself or, when it is a
// symbolic link, the file at the end of its chain of links, so that links the
// operator made stay in place. A link names its target relative to the
// folder it is in.
std::filesystem::path SaveTarget(const std::string& path)
{
    std::filesystem::path target = path;
    for (int depth = 0;; ++depth) {
        std::error_code error;
        if (!std::filesystem::is_symlink(target, error))
            return target;  // also when it cannot be told: opening it will say why
        if (depth == MaxLinkDepth)
            RaiseInOutError(TooManyLinksError);
        const std::filesystem::path link = std::filesystem::read_symlink(target, error);
        if (error)
            RaiseInOutError(error.value());
        target = target.parent_path() / link;  // an absolute link replaces the whole path
    }
}

void WriteRecord(std::span<const Byte> record, const std::string& path)
{
    ReplaceContent(SaveTarget(path), record);
}

} // namespace

std::optional<TSettingsRecord> ReadSettingsFile(const std::string& path)
{
    std::error_code error;
    if (!std::filesystem::exists(path, error) && !error)
        return std::nullopt;
    TFileOfBytes file(path);
    std::array<Byte, MaxRecordSize> content{};
    const std::size_t length = file.Read(content.data(), content.size());
    return ParseSettingsRecord(std::span<const Byte>(content).first(length));
}

void WriteSerialRecord(const std::array<Byte, SerialFieldCount>& positions, const std::string& path)
{
    WriteRecord(SerialRecordBytes(positions), path);
}

void WriteNetworkRecord(const std::array<Byte, NetworkFieldCount>& address, const std::string& path)
{
    WriteRecord(NetworkRecordBytes(address), path);
}
