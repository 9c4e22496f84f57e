// The settings file's records, byte for byte, and its errors.
#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>
#include <filesystem>
#include <vector>

#include "protocol/RuntimeErrors.h"
#include "serial/SerialChoices.h"
#include "transfer/engine/LinkSettings.h"
#include "transfer/record/SettingsFile.h"
#include "tests/serial/Unit2TestSupport.h"

namespace {

class SettingsFile : public ::testing::Test {
protected:
    std::string Path() const { return folder_.filePath("ZEVEVI.CFG").toStdString(); }

    void Put(const Bytes& bytes) const { PutFile(Path(), bytes); }
    Bytes Content() const { return FileContent(Path()); }

    // The names in the folder, to see that no temporary file stays behind.
    std::vector<std::string> Names() const
    {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(folder_.path().toStdString()))
            names.push_back(entry.path().filename().string());
        return names;
    }

    QTemporaryDir folder_;
};

// The fields a reader taking them one by one gets before the file ends.
Bytes FieldsBeforeEnd(const TSettingsRecord& record, std::size_t wanted)
{
    Bytes fields;
    try {
        for (std::size_t k = 0; k < wanted; ++k)
            fields.push_back(record.Field(k));
    } catch (const EInOutError& error) {
        EXPECT_STREQ(error.what(), "Read beyond end of file");
    }
    return fields;
}

TEST_F(SettingsFile, MissingFileIsNoRecord)
{
    EXPECT_FALSE(ReadSettingsFile(Path()).has_value());
}

TEST_F(SettingsFile, RecordsAreWrittenByteForByteAndReplaceEachOther)
{
    WriteSerialRecord({0, 6, 3, 0, 0}, Path());
    EXPECT_EQ(Content(), Bytes({0x00, 0x00, 0x06, 0x03, 0x00, 0x00}));
    std::optional<TSettingsRecord> record = ReadSettingsFile(Path());
    ASSERT_TRUE(record.has_value());
    EXPECT_TRUE(record->IsSerial());
    EXPECT_EQ(FieldsBeforeEnd(*record, SerialFieldCount), Bytes({0, 6, 3, 0, 0}));

    WriteNetworkRecord({10, 0, 0, 7}, Path());
    EXPECT_EQ(Content(), Bytes({0x01, 0x0A, 0x00, 0x00, 0x07}));
    record = ReadSettingsFile(Path());
    ASSERT_TRUE(record.has_value());
    EXPECT_TRUE(record->IsNetwork());
    EXPECT_FALSE(record->IsSerial());
    EXPECT_EQ(FieldsBeforeEnd(*record, NetworkFieldCount), Bytes({10, 0, 0, 7}));

    WriteSerialRecord({1, NoSelection, 3, 2, 1}, Path());
    EXPECT_EQ(Content(), Bytes({0x00, 0x01, 0xFF, 0x03, 0x02, 0x01}));
    EXPECT_EQ(Names(), std::vector<std::string>({"ZEVEVI.CFG"}));
}

TEST_F(SettingsFile, ShortAndEmptyFiles)
{
    Put({});
    try {
        ReadSettingsFile(Path());
        ADD_FAILURE() << "an empty file has no kind byte";
    } catch (const EInOutError& error) {
        EXPECT_STREQ(error.what(), "Read beyond end of file");
    }

    // A short record gives the fields it has, then the error.
    Put({0x00, 0x02, 0x05});
    std::optional<TSettingsRecord> record = ReadSettingsFile(Path());
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(FieldsBeforeEnd(*record, SerialFieldCount), Bytes({2, 5}));
    EXPECT_THROW(record->Field(2), EInOutError);

    // Unknown kinds are for the reader to ignore; extra bytes are not read.
    Put({0x07, 1, 2, 3, 4, 5, 6, 7, 8});
    record = ReadSettingsFile(Path());
    ASSERT_TRUE(record.has_value());
    EXPECT_FALSE(record->IsSerial());
    EXPECT_FALSE(record->IsNetwork());
    EXPECT_EQ(record->Kind(), 7);
    EXPECT_EQ(FieldsBeforeEnd(*record, MaxFieldCount + 1), Bytes({1, 2, 3, 4, 5}));
}

TEST_F(SettingsFile, FailedSaveKeepsTheOldRecord)
{
    WriteSerialRecord({0, 6, 3, 0, 0}, Path());
    // A folder in the temporary file's place makes the save fail before the
    // settings file is touched.
    ASSERT_TRUE(std::filesystem::create_directory(Path() + ".new"));
    EXPECT_THROW(WriteNetworkRecord({10, 0, 0, 7}, Path()), EInOutError);
    EXPECT_EQ(Content(), Bytes({0x00, 0x00, 0x06, 0x03, 0x00, 0x00}));
}

// Symbolic links and permission bits are Linux's set-up.
#ifndef _WIN32
std::filesystem::perms PermissionsOf(const std::string& path)
{
    return std::filesystem::status(path).permissions();
}

// The operator's set-up survives a save: the links stay links, and the file at
// their end is replaced with its permissions, whatever the process's umask
// would give a new file.
TEST_F(SettingsFile, SaveReplacesTheFileALinkLeadsToAndKeepsItsPermissions)
{
    using std::filesystem::perms;
    const perms ownerOnly = perms::owner_read | perms::owner_write;
    const QString shared = folder_.filePath("shared");
    ASSERT_TRUE(QDir().mkpath(shared + "/deeper"));
    const std::string real = (shared + "/deeper/updater.cfg").toStdString();
    PutFile(real, {SerialRecordKind, 0, 6, 3, 0, 0});
    std::filesystem::permissions(real, ownerOnly);
    // A relative link to a relative link: each is read from its own folder.
    std::filesystem::create_symlink("deeper/updater.cfg", (shared + "/current.cfg").toStdString());
    std::filesystem::create_symlink("shared/current.cfg", Path());

    WriteNetworkRecord({10, 0, 0, 7}, Path());
    EXPECT_EQ(std::filesystem::read_symlink(Path()), "shared/current.cfg");
    EXPECT_EQ(std::filesystem::read_symlink((shared + "/current.cfg").toStdString()), "deeper/updater.cfg");
    EXPECT_EQ(FileContent(real), Bytes({0x01, 0x0A, 0x00, 0x00, 0x07}));
    EXPECT_EQ(PermissionsOf(real), ownerOnly);
    EXPECT_EQ(QDir(shared + "/deeper").entryList(QDir::Files | QDir::System | QDir::Hidden),
              QStringList({"updater.cfg"}))
        << "a temporary file stayed behind";

    // Without a link, too; and a link whose file is not there yet gets it.
    std::filesystem::remove(Path());
    Put({SerialRecordKind, 0, 6, 3, 0, 0});
    const perms groupReads = ownerOnly | perms::group_read;
    std::filesystem::permissions(Path(), groupReads);
    WriteSerialRecord({1, 6, 3, 0, 0}, Path());
    EXPECT_EQ(Content(), Bytes({0x00, 0x01, 0x06, 0x03, 0x00, 0x00}));
    EXPECT_EQ(PermissionsOf(Path()), groupReads);

    std::filesystem::remove(Path());
    const std::string absent = (shared + "/absent.cfg").toStdString();
    std::filesystem::create_symlink(absent, Path());
    WriteNetworkRecord({10, 0, 0, 8}, Path());
    EXPECT_TRUE(std::filesystem::is_symlink(Path()));
    EXPECT_EQ(FileContent(absent), Bytes({0x01, 0x0A, 0x00, 0x00, 0x08}));
}

TEST_F(SettingsFile, LinksThatLeadNowhereAreReported)
{
    // A loop of links: the save gives up instead of following it forever.
    std::filesystem::create_symlink("ZEVEVI.CFG", Path());
    EXPECT_THROW(WriteSerialRecord({0, 6, 3, 0, 0}, Path()), EInOutError);
    EXPECT_TRUE(std::filesystem::is_symlink(Path()));
    EXPECT_EQ(Names(), std::vector<std::string>({"ZEVEVI.CFG"}));
}
#endif

TEST_F(SettingsFile, FileThatCannotBeReadIsReported)
{
    ASSERT_TRUE(std::filesystem::create_directory(Path()));
    try {
        ReadSettingsFile(Path());
        ADD_FAILURE() << "a folder is no settings file";
    } catch (const EInOutError& error) {
        EXPECT_EQ(error.what(), "'" + Path() + "' is not a regular file");
    }
    // Nor can a record replace a folder.
    EXPECT_THROW(WriteSerialRecord({0, 6, 3, 0, 0}, Path()), EInOutError);
    EXPECT_TRUE(std::filesystem::is_directory(Path()));
    EXPECT_EQ(Names(), std::vector<std::string>({"ZEVEVI.CFG"}));
}

// A saved position picks its choice; one past the last choice (a record from
// a box with more items, or a damaged byte) keeps the default, as 255 does.
TEST(SavedLink, PositionsPickTheirChoicesAndOnePastTheLastKeepsTheDefault)
{
    const Bytes last = {SerialRecordKind, PortNames.size() - 1, BaudRates.size() - 1, DataBitsChoices.size() - 1,
                        ParityChoices.size() - 1, StopBitsChoices.size() - 1};
    const std::optional<TLinkSettings> lastChoices = LinkSettingsOf(ParseSettingsRecord(last));
    ASSERT_TRUE(lastChoices);
    EXPECT_EQ(lastChoices->serial.port, PortNames.back());
    EXPECT_EQ(lastChoices->serial.baudRate, BaudRates.back());
    EXPECT_EQ(lastChoices->serial.dataBits, DataBitsChoices.back());
    EXPECT_EQ(lastChoices->serial.parity, ParityChoices.back());
    EXPECT_EQ(lastChoices->serial.stopBits, StopBitsChoices.back());

    Bytes beyond = last;
    for (std::size_t k = 1; k < beyond.size(); ++k)
        ++beyond[k];
    const std::optional<TLinkSettings> defaults = LinkSettingsOf(ParseSettingsRecord(beyond));
    ASSERT_TRUE(defaults);
    const TSerialLine line = DefaultSerialLine();
    EXPECT_EQ(defaults->serial.port, line.port);
    EXPECT_EQ(defaults->serial.baudRate, line.baudRate);
    EXPECT_EQ(defaults->serial.dataBits, line.dataBits);
    EXPECT_EQ(defaults->serial.parity, line.parity);
    EXPECT_EQ(defaults->serial.stopBits, line.stopBits);
}

} // namespace
