#include "transfer/engine/FileOfBytes.h"

#include <QString>

#include <algorithm>
#include <limits>
#include <windows.h>

#include "protocol/RuntimeErrors.h"

namespace {

// Raised for a folder or a device: reading one would never stop, block, or
// tell nothing, so only files on a disk are opened.
[[noreturn]] void RaiseNotRegularFile(const std::string& path)
{
    throw EInOutError("'" + path + "' is not a regular file", ERROR_ACCESS_DENIED);
}

[[noreturn]] void RaiseLastError()
{
    RaiseInOutError(static_cast<int>(::GetLastError()));
}

HANDLE Handle(std::intptr_t handle)
{
    return reinterpret_cast<HANDLE>(handle);
}

std::int64_t Number(const LARGE_INTEGER& value)
{
    return value.QuadPart;
}

// Reads up to `wanted` bytes at `offset`; 0 at the file's end.
std::size_t ReadAt(HANDLE file, std::int64_t offset, unsigned char* buffer, std::size_t wanted)
{
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32);
    const auto length = static_cast<DWORD>(std::min<std::size_t>(wanted, std::numeric_limits<DWORD>::max()));
    DWORD read = 0;
    if (!::ReadFile(file, buffer, length, &read, &at)) {
        if (::GetLastError() == ERROR_HANDLE_EOF)
            return 0;
        RaiseLastError();
    }
    return read;
}

} // namespace

void RaiseInOutError(int error)
{
    // The runtime's error numbers are the system's own.
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        throw EInOutError("File not found", ERROR_FILE_NOT_FOUND);
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        throw EInOutError("File access denied", ERROR_ACCESS_DENIED);
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE:
        throw EInOutError("Invalid filename", ERROR_INVALID_NAME);
    default:
        throw EInOutError("I/O error " + std::to_string(error), error);
    }
}

void TFileOfBytes::Open()
{
    if (path_.empty())
        RaiseInOutError(ERROR_FILE_NOT_FOUND);
    const std::wstring name = QString::fromStdString(path_).toStdWString();
    // Looked at before opening: opening a device can act on it (a serial
    // line raises its control lines).
    const DWORD attributes = ::GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        RaiseLastError();
    if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0)
        RaiseNotRegularFile(path_);
    // Shared with writers, so that another program that has the file open
    // for writing, or opens it meanwhile, does not stop the transfer: what
    // it writes shows in the file's change time and size, as on Linux.
    constexpr DWORD SharedWithAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const HANDLE file = ::CreateFileW(name.c_str(), GENERIC_READ, SharedWithAll, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        RaiseLastError();
    // The name may have become something else since it was looked at.
    if (::GetFileType(file) != FILE_TYPE_DISK) {
        ::CloseHandle(file);
        RaiseNotRegularFile(path_);
    }
    handle_ = reinterpret_cast<THandle>(file);
    opened_ = Stamp();
}

void TFileOfBytes::Close() noexcept
{
    if (handle_ != NoHandle)
        ::CloseHandle(Handle(handle_));
}

TFileOfBytes::TStamp TFileOfBytes::Stamp() const
{
    FILE_BASIC_INFO times{};
    FILE_STANDARD_INFO standard{};
    if (!::GetFileInformationByHandleEx(Handle(handle_), FileBasicInfo, &times, sizeof times) ||
        !::GetFileInformationByHandleEx(Handle(handle_), FileStandardInfo, &standard, sizeof standard))
        RaiseLastError();
    return {Number(standard.EndOfFile), Number(times.LastWriteTime), Number(times.ChangeTime)};
}

std::size_t TFileOfBytes::ReadNext(unsigned char* buffer, std::size_t wanted)
{
    return ReadAt(Handle(handle_), consumed_, buffer, wanted);
}

bool TFileOfBytes::HasByteAt(std::int64_t offset) const
{
    unsigned char beyond = 0;
    return ReadAt(Handle(handle_), offset, &beyond, 1) > 0;
}
