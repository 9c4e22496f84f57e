// The update history on Windows: an append waits for the file's lock that
// another updater holds, and goes on once it is given back.
#include "transfer/record/History.h"
#include "tests/transfer/UpdateHistory.h"

#include <QDir>

#include <gtest/gtest.h>

#include <future>
#include <thread>

#include <windows.h>

namespace {

// The history as another updater holds it while it appends: open to every
// other opener, its whole length locked.
class HeldHistory {
public:
    explicit HeldHistory(const QString& path)
        : file_(::CreateFileW(QDir::toNativeSeparators(path).toStdWString().c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr))
    {
        OVERLAPPED from{};
        locked_ = file_ != INVALID_HANDLE_VALUE &&
                  ::LockFileEx(file_, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &from) != FALSE;
    }
    ~HeldHistory() { ::CloseHandle(file_); }
    HeldHistory(const HeldHistory&) = delete;
    HeldHistory& operator=(const HeldHistory&) = delete;

    bool Locked() const { return locked_; }
    void LetGo()
    {
        OVERLAPPED from{};
        ::UnlockFileEx(file_, 0, MAXDWORD, MAXDWORD, &from);
    }

private:
    HANDLE file_;
    bool locked_ = false;
};

TEST_F(UpdateHistory, AnAppendWaitsForTheLockAnotherUpdaterHolds)
{
    ASSERT_EQ(Append(SerialUpdate()), QString());
    const QByteArray first = ReadFile(history);
    HeldHistory other(history);
    ASSERT_TRUE(other.Locked());

    std::promise<void> waiting;
    std::future<void> waitingSeen = waiting.get_future();
    std::future<QString> appended = std::async(std::launch::async, [&] {
        return AppendHistory(HistoryLink::Serial, {HistoryKind::Firmware, {"/images/app.hex"}}, SerialUpdate(),
                             QDateTime(QDate(2026, 3, 14), QTime(15, 9, 26, 417), Qt::UTC), history,
                             [&](bool waits) {
                                 if (waits)
                                     waiting.set_value();
                             });
    });
    // Told that it waits, the append goes on once the lock is given back.
    waitingSeen.wait();
    other.LetGo();
    EXPECT_EQ(appended.get(), QString());
    EXPECT_EQ(ReadFile(history), first + first);
}

} // namespace
