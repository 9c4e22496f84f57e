// Opening files for the transfers and the settings file: only regular files,
// and never a wait.
#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QTemporaryDir>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <thread>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "transfer/engine/FileOfBytes.h"
#include "protocol/RuntimeErrors.h"

namespace {

using namespace std::chrono_literals;

// The message of the error that opening `path` raises.
std::string OpenError(const std::string& path)
{
    try {
        TFileOfBytes file(path);
    } catch (const EInOutError& error) {
        return error.what();
    }
    return "opened";
}

class FileOfBytes : public ::testing::Test {
protected:
    std::string PathOf(const char* name) const { return folder_.filePath(name).toStdString(); }

    QTemporaryDir folder_;
};

TEST_F(FileOfBytes, RegularFilesOpenAlsoThroughALink)
{
    const std::string image = PathOf("app.hex");
    std::ofstream(image, std::ios::binary) << "image";
    const std::string link = PathOf("link.hex");
    std::filesystem::create_symlink(image, link);

    TFileOfBytes file(link);
    EXPECT_EQ(file.Size(), 5);
    unsigned char bytes[8] = {};
    EXPECT_EQ(file.Read(bytes, sizeof bytes), 5u);
    EXPECT_EQ(std::string(bytes, bytes + 5), "image");
    EXPECT_EQ(OpenError(PathOf("missing.hex")), "File not found");
}

TEST_F(FileOfBytes, FoldersAndDevicesAreNotRegularFiles)
{
    EXPECT_EQ(OpenError(folder_.path().toStdString()), "'" + folder_.path().toStdString() + "' is not a regular file");
    EXPECT_EQ(OpenError("/dev/null"), "'/dev/null' is not a regular file");
    const std::string link = PathOf("null.hex");
    std::filesystem::create_symlink("/dev/null", link);
    EXPECT_EQ(OpenError(link), "'" + link + "' is not a regular file");
}

// A pipe with no writer would hold a plain open until one comes.
TEST_F(FileOfBytes, APipeIsRefusedWithoutWaitingForAWriter)
{
    const std::string pipe = PathOf("pipe.hex");
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    std::future<std::string> opening = std::async(std::launch::async, [&] { return OpenError(pipe); });
    if (opening.wait_for(10s) != std::future_status::ready) {
        ADD_FAILURE() << "opening a pipe still waits after 10 s";
        // A writer lets the waiting open go on, so the test can end.
        const int writer = ::open(pipe.c_str(), O_WRONLY | O_NONBLOCK);
        opening.wait();
        ::close(writer);
    }
    EXPECT_EQ(opening.get(), "'" + pipe + "' is not a regular file");
}

TEST_F(FileOfBytes, BlocksReadOneAfterAnotherGiveTheFileAndItsHashUnchanged)
{
    // Longer than many intervals between looks for a change, and no multiple
    // of a block.
    std::string contents(150001, '\0');
    for (std::size_t k = 0; k < contents.size(); ++k)
        contents[k] = static_cast<char>((k * 7919) % 251);
    const std::string path = PathOf("image.bin");
    std::ofstream(path, std::ios::binary) << contents;

    TFileOfBytes file(path);
    std::string read;
    unsigned char block[1024];
    for (std::size_t n = file.Read(block, sizeof block); n > 0; n = file.Read(block, sizeof block))
        read.append(reinterpret_cast<const char*>(block), n);
    EXPECT_EQ(read, contents);
    EXPECT_EQ(file.Read(block, sizeof block), 0U);
    EXPECT_NO_THROW(file.CheckUnchanged());
    EXPECT_EQ(file.Sha256(), QCryptographicHash::hash(QByteArray::fromStdString(contents), QCryptographicHash::Sha256)
                                 .toHex()
                                 .toStdString());
}

// A file that changes while it is read is never passed off as the file: cut
// short before the size it was opened with, grown behind it, or rewritten in
// place where it was already read.
TEST_F(FileOfBytes, AFileChangedWhileItIsReadRaisesItsChange)
{
    constexpr std::size_t Size = 200000;
    const std::string path = PathOf("image.bin");
    const auto readAll = [](TFileOfBytes& file) {
        unsigned char block[1024];
        while (file.Read(block, sizeof block) > 0) {
        }
    };
    const std::vector<std::pair<const char*, std::function<void()>>> changes = {
        {"cut short", [&] { std::filesystem::resize_file(path, Size / 2); }},
        {"grown", [&] { std::ofstream(path, std::ios::binary | std::ios::app) << 'x'; }},
        {"rewritten", [&] { std::fstream(path, std::ios::in | std::ios::out | std::ios::binary).put('x'); }},
    };
    for (const auto& [what, change] : changes) {
        SCOPED_TRACE(what);
        std::ofstream(path, std::ios::binary | std::ios::trunc) << std::string(Size, 'a');
        TFileOfBytes file(path);
        unsigned char first[1024];
        ASSERT_EQ(file.Read(first, sizeof first), sizeof first);
        // Past the coarse clock's step, so that a rewrite shows in the times.
        std::this_thread::sleep_for(20ms);
        change();
        EXPECT_THROW(
            {
                readAll(file);
                file.CheckUnchanged();
            },
            EFileChanged);
    }
}

} // namespace
