// The settings file reader, fed arbitrary files: the input is the file's whole
// content. Every file gives either a record or the runtime's input/output
// error; a record's kind is the first byte, and it has exactly the fields the
// file holds behind it (as far as the longest record goes) - asking for any
// other field raises the read-beyond-end error.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <system_error>

#include "protocol/RuntimeErrors.h"
#include "transfer/record/SettingsFile.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

const std::string ReadBeyondEnd = "Read beyond end of file";

// A folder of this process's own, removed when the run ends.
class ScratchFolder {
public:
    ScratchFolder()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "settings-fuzz-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::perror("settings file harness: mkdtemp");
            std::abort();
        }
        folder_ = pattern;
    }
    ~ScratchFolder()
    {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    std::string File() const { return (folder_ / SettingsFileName).string(); }

private:
    std::filesystem::path folder_;
};

// A new file each time: rewriting a truncated file makes the file system
// flush it, which would slow every run down to the disk's pace.
void WriteFile(const std::string& path, const std::uint8_t* data, std::size_t size)
{
    std::filesystem::remove(path);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    out.close();
    FUZZ_CHECK(out.good());
}

bool FieldIsBeyondEnd(const TSettingsRecord& record, std::size_t index)
{
    try {
        record.Field(index);
    } catch (const EInOutError& error) {
        return error.what() == ReadBeyondEnd;
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const ScratchFolder scratch;
    const std::string path = scratch.File();
    WriteFile(path, data, size);

    std::optional<TSettingsRecord> record;
    try {
        record = ReadSettingsFile(path);
    } catch (const EInOutError& error) {
        FUZZ_CHECK(size == 0);
        FUZZ_CHECK(error.what() == ReadBeyondEnd);
        return 0;
    }
    FUZZ_CHECK(record.has_value() && size > 0);
    FUZZ_CHECK(record->Kind() == data[0]);
    FUZZ_CHECK(record->IsSerial() == (data[0] == SerialRecordKind));
    FUZZ_CHECK(record->IsNetwork() == (data[0] == NetworkRecordKind));
    const std::size_t held = std::min(size - 1, MaxFieldCount);
    for (std::size_t index = 0; index < held; ++index)
        FUZZ_CHECK(record->Field(index) == data[1 + index]);
    for (std::size_t index = held; index <= MaxFieldCount; ++index)
        FUZZ_CHECK(FieldIsBeyondEnd(*record, index));
    FUZZ_CHECK(FieldIsBeyondEnd(*record, SIZE_MAX));
    return 0;
}
