#include "transfer/record/FileReplace.h"

#include <windows.h>

#include "transfer/engine/FileOfBytes.h"

namespace {

// Beside the settings file, so that the rename stays within one volume.
const std::wstring TemporarySuffix = L".new";

// Writes all bytes and flushes them to the device; returns 0 or the error
// of the first failure.
DWORD WriteAll(HANDLE file, std::span<const Byte> bytes)
{
    while (!bytes.empty()) {
        DWORD written = 0;
        if (!::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr))
            return ::GetLastError();
        bytes = bytes.subspan(written);
    }
    return ::FlushFileBuffers(file) ? 0 : ::GetLastError();
}

// Puts the temporary file in the target's place. Replacing keeps the
// replaced file's security and attributes, as the permissions carry over on
// Linux; a new settings file takes those its folder gives.
DWORD PutInPlace(const std::wstring& temporary, const std::wstring& target)
{
    // A folder is never replaced: not every ReplaceFile refuses an empty one
    // (Wine's puts the file in its place); refused as a move over a folder is.
    const DWORD attributes = ::GetFileAttributesW(target.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return ERROR_ACCESS_DENIED;
    if (::ReplaceFileW(target.c_str(), temporary.c_str(), nullptr, 0, nullptr, nullptr))
        return 0;
    const DWORD error = ::GetLastError();
    if (error != ERROR_FILE_NOT_FOUND)
        return error;
    return ::MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
               ? 0
               : ::GetLastError();
}

} // namespace

const int TooManyLinksError = ERROR_CANT_RESOLVE_FILENAME;

void ReplaceContent(const std::filesystem::path& target, std::span<const Byte> record)
{
    const std::wstring temporary = target.wstring() + TemporarySuffix;
    // Not shared: nobody reads a half-written record.
    const HANDLE file = ::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        RaiseInOutError(static_cast<int>(::GetLastError()));
    DWORD error = WriteAll(file, record);
    if (!::CloseHandle(file) && error == 0)
        error = ::GetLastError();
    if (error == 0)
        error = PutInPlace(temporary, target.wstring());
    if (error != 0) {
        ::DeleteFileW(temporary.c_str());
        RaiseInOutError(static_cast<int>(error));
    }
}
