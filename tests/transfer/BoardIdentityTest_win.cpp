// Who a serial board is on Windows, however its port is typed, and how a busy
// board is told there.
#include <gtest/gtest.h>

#include <string>

#include "transfer/board/BoardIdentity.h"
#include "transfer/board/BoardLock.h"

namespace {

// The system's device names are case-blind, and the device path names the
// port it opens: each spelling is the port as the system lists it.
TEST(BoardIdentity, EverySpellingOfAPortIsOneBoard)
{
    for (const std::string& port : {std::string("COM1"), std::string("com1"), std::string("Com1"),
                                     std::string("\\\\.\\COM1"), std::string("\\\\.\\com1")})
        EXPECT_EQ(SerialBoardIdentity(port).key, "serial:COM1") << port;
    EXPECT_NE(SerialBoardIdentity("COM12").key, SerialBoardIdentity("COM1").key);
}

// The lock's object does not tell who holds it: the busy board is told
// without a holder.
TEST(BoardLock, ABusyBoardIsToldWithoutItsHolder)
{
    const std::string key = SerialBoardIdentity("COM7").key;
    const TBoardLock held(key, "COM7");
    try {
        const TBoardLock second(SerialBoardIdentity("com7").key, "com7");
        ADD_FAILURE() << "a second lock of " << key << " was given";
    } catch (const EBoardBusy& busy) {
        EXPECT_EQ(std::string(busy.what()), "Board com7 is being updated by another updater.");
    }
}

} // namespace
