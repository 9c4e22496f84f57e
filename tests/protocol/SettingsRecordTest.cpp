// The settings file's record as bytes: what a record's bytes read as, and the
// bytes the serial and network records and a saved address become.
#include <gtest/gtest.h>

#include <vector>

#include "protocol/RuntimeErrors.h"
#include "protocol/SettingsRecord.h"

namespace {

using Bytes = std::vector<Byte>;

TEST(SettingsRecordBytes, KindByteThenTheFields)
{
    using Serial = std::array<Byte, 1 + SerialFieldCount>;
    using Network = std::array<Byte, 1 + NetworkFieldCount>;
    EXPECT_EQ(SerialRecordBytes({0, 6, 3, NoSelection, 0}), (Serial{0x00, 0x00, 0x06, 0x03, 0xFF, 0x00}));
    EXPECT_EQ(NetworkRecordBytes({10, 0, 0, 7}), (Network{0x01, 0x0A, 0x00, 0x00, 0x07}));
}

TEST(SettingsRecordBytes, ParsedRecordHoldsTheBytesUpToTheLongestRecord)
{
    const Bytes content = {NetworkRecordKind, 1, 2, 3, 4, 5, 6, 7};
    const TSettingsRecord record = ParseSettingsRecord(content);
    EXPECT_TRUE(record.IsNetwork());
    for (std::size_t k = 0; k < MaxFieldCount; ++k)
        EXPECT_EQ(record.Field(k), content[1 + k]);
    EXPECT_THROW(record.Field(MaxFieldCount), EInOutError);
    EXPECT_THROW(ParseSettingsRecord({}), EInOutError);
}

TEST(NetworkRecordBytes, EachNumberOfTheAddressInDottedOrderCutToOneByte)
{
    using Record = std::array<Byte, NetworkFieldCount>;
    EXPECT_EQ(AddressRecordBytes("10.0.0.7"), (Record{0x0A, 0x00, 0x00, 0x07}));
    EXPECT_EQ(AddressRecordBytes("198.51.100.255"), (Record{0xC6, 0x33, 0x64, 0xFF}));
    EXPECT_EQ(AddressRecordBytes("1.2.3.300"), (Record{1, 2, 3, 300 % 256}));
    try {
        AddressRecordBytes("1.2.x.4");
        ADD_FAILURE() << "no conversion error";
    } catch (const EConvertError& error) {
        EXPECT_STREQ(error.what(), "'x' is not a valid integer value");
    }
}

} // namespace
