// The update history on Linux: a state folder that cannot be made, files
// that are not the history's own to write (a symbolic link, another user's
// file), a full disk, and where the history lives.
#include "transfer/record/History.h"
#include "tests/transfer/UpdateHistory.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <csignal>
#include <pwd.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

TEST_F(UpdateHistory, AnUnwritableStateFolderIsToldAndNeverThrows)
{
    // A file where the state folder should be: no one can create the folder,
    // not even root.
    WriteFile(folder.filePath("state"), "in the way");
    QString first;
    ASSERT_NO_THROW(first = Append(SerialUpdate()));
    EXPECT_TRUE(first.contains(history)) << first.toStdString();
    // The folder that could not be made, and why.
    const QString reason = "cannot make the folder " + folder.filePath("state/orvenda-updater") + ": Not a directory";
    EXPECT_TRUE(first.endsWith(reason)) << first.toStdString();
    // Every failed append says so; telling the operator once is the writer's part.
    EXPECT_EQ(Append(SerialUpdate()), first);
}

TEST_F(UpdateHistory, ASymbolicLinkInTheHistorysPlaceIsNotFollowed)
{
    ASSERT_TRUE(QDir().mkpath(QFileInfo(history).path()));
    const QString notes = folder.filePath("notes.txt");
    WriteFile(notes, "the test's own file\n");
    const QString refused = "The update history cannot be written to " + history + ": it is a symbolic link";
    ASSERT_TRUE(QFile::link(notes, history));
    EXPECT_EQ(Append(SerialUpdate()), refused);
    EXPECT_EQ(ReadFile(notes), "the test's own file\n");
    // Nor is a link to a file yet to be made followed to make it.
    const QString missing = folder.filePath("missing.txt");
    ASSERT_TRUE(QFile::remove(history) && QFile::link(missing, history));
    EXPECT_EQ(Append(SerialUpdate()), refused);
    EXPECT_FALSE(QFileInfo::exists(missing));
}

TEST_F(UpdateHistory, AnotherUsersHistoryIsLeftAlone)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "giving the history to another user (chown to nobody) takes root";
    const passwd* nobody = ::getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    ASSERT_EQ(Append(SerialUpdate()), QString());
    const QByteArray before = ReadFile(history);
    ASSERT_EQ(::chown(QFile::encodeName(history).constData(), nobody->pw_uid, nobody->pw_gid), 0);
    EXPECT_EQ(Append(SerialUpdate()),
              "The update history cannot be written to " + history + ": it belongs to another user");
    EXPECT_EQ(ReadFile(history), before);
}

// The process's file size limit cuts a write short as a full disk does; with
// SIGXFSZ ignored, write returns the short count instead of the signal
// ending the process.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        rlimit limit = saved_;
        limit.rlim_cur = bytes;
        savedSignal_ = std::signal(SIGXFSZ, SIG_IGN);
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, savedSignal_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit saved_{};
    void (*savedSignal_)(int) = SIG_DFL;
};

TEST_F(UpdateHistory, ALineCutShortByAFullDiskIsTakenBack)
{
    ASSERT_EQ(Append(SerialUpdate()), QString());
    const QByteArray sound = ReadFile(history);
    QString error;
    {
        // Room for half a line more.
        const FileSizeLimit limit(static_cast<rlim_t>(sound.size() + sound.size() / 2));
        error = Append(SerialUpdate());
    }
    EXPECT_TRUE(error.startsWith("The update history cannot be written to " + history + ": ")) << error.toStdString();
    EXPECT_EQ(ReadFile(history), sound);
    // With room again, the next line follows the last whole one.
    ASSERT_EQ(Append(SerialUpdate()), QString());
    EXPECT_EQ(ReadFile(history), sound + sound);
}

TEST(HistoryFiles, TheHistoryLivesInTheStateFolder)
{
    const QByteArray savedState = qgetenv("XDG_STATE_HOME");
    const QByteArray savedHome = qgetenv("HOME");
    qputenv("XDG_STATE_HOME", "/srv/state");
    EXPECT_EQ(DefaultHistoryPath(), "/srv/state/orvenda-updater/history.jsonl");
    qputenv("HOME", "/home/operator");
    qputenv("XDG_STATE_HOME", "relative/state");
    EXPECT_EQ(DefaultHistoryPath(), "/home/operator/.local/state/orvenda-updater/history.jsonl");
    qunsetenv("XDG_STATE_HOME");
    EXPECT_EQ(DefaultHistoryPath(), "/home/operator/.local/state/orvenda-updater/history.jsonl");
    // Without HOME the user's own home folder holds it, never the root.
    qunsetenv("HOME");
    EXPECT_FALSE(DefaultHistoryPath().startsWith("/.local")) << DefaultHistoryPath().toStdString();
    qputenv("HOME", savedHome);
    if (savedState.isNull())
        qunsetenv("XDG_STATE_HOME");
    else
        qputenv("XDG_STATE_HOME", savedState);
}

} // namespace
