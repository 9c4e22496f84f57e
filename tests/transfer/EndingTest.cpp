// What a finished transfer came to: any one thing that went wrong in its tally
// is enough to keep it from "updated", a board's error makes it "failed", and
// each is told with where it came.
#include "transfer/board/Ending.h"
#include "transfer/report/EndingTexts.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

struct TallyFault {
    const char* name;
    std::function<void(TSessionTally&)> plant;
    Ending ending;
};

class OneFaultInTheTally : public ::testing::TestWithParam<TallyFault> {};

TEST_P(OneFaultInTheTally, KeepsItFromUpdatedAndIsTold)
{
    TSessionTally tally;
    ASSERT_EQ(OutcomeOf(tally), Ending::Updated);
    ASSERT_EQ(EndingReason(tally, true), "");
    GetParam().plant(tally);
    EXPECT_EQ(OutcomeOf(tally), GetParam().ending);
    EXPECT_NE(EndingReason(tally, true), "");
}

INSTANTIATE_TEST_SUITE_P(
    Fields, OneFaultInTheTally,
    ::testing::Values(TallyFault{"MissingAnswer",
                                 [](TSessionTally& t) {
                                     t.missingAnswers = 1;
                                     t.firstMissing = TMissingAnswer{"GetBootError", 1, DefaultWatchdogMs};
                                 },
                                 Ending::Unconfirmed},
                      TallyFault{"BoardError",
                                 [](TSessionTally& t) {
                                     t.boardErrorCount = 1;
                                     t.boardErrors.push_back({"GetBootError", 1, 0, 7});
                                 },
                                 Ending::Failed},
                      TallyFault{"StrayAnswer", [](TSessionTally& t) { t.strayAnswers = 1; }, Ending::Unconfirmed},
                      TallyFault{"RefusedFile",
                                 [](TSessionTally& t) {
                                     t.boardErrorCount = 1;
                                     t.boardErrors.push_back({"Create Flash File", 0, 9, 0, "CreateFlashFile", "/a/settings.bin"});
                                     t.filesNotWritten.push_back("/a/settings.bin");
                                 },
                                 Ending::Failed}),
    [](const auto& info) { return std::string(info.param.name); });

// The reasons in a technician's words: the first of each kind, the counts,
// the hint for the link.
TEST(EndingReason, NamesTheFirstOfEachKindWithTheLinksHint)
{
    TSessionTally tally;
    tally.boardErrorCount = 1;
    tally.boardErrors = {{"Create Flash File", 0, 9, 0, "CreateFlashFile", "/a/settings.bin"}};
    EXPECT_EQ(EndingReason(tally, true),
              "the board refused settings.bin (CreateFlashFile, result 9); it was not written");
    tally.boardErrors = {{"GetBootError", 257, 0, 3, "GetBootError"}};
    tally.missingAnswers = 2;
    tally.firstMissing = TMissingAnswer{"GetBootError", 12, DefaultWatchdogMs};
    tally.strayAnswers = 1;
    EXPECT_EQ(EndingReason(tally, false),
              "the board reported boot error 3 after block 257 at the latest (answers came more than once); no answer to the boot-error query after block 12 "
              "within 10 s (2 answers missing in all): frames came that answered nothing asked: check what else "
              "sends from the board's address; 1 stray frame from the board (repeated, late or no answer to the request awaited)");
    // Without a stray the board may be off or gone: the hint is the link's.
    tally.strayAnswers = 0;
    EXPECT_NE(EndingReason(tally, false).find("(2 answers missing in all): check the address, the board's power and "
                                              "that nothing else updates it"),
              std::string::npos);
    tally.firstMissing = TMissingAnswer{"GetNumberofDataFiles", 3, 500};
    EXPECT_NE(EndingReason(tally, true).find("no answer to the block query after block 3 within 0.5 s (2 answers "
                                             "missing in all): check the cable, the port and the bit rate"),
              std::string::npos);
    tally.strayAnswers = 3;
    EXPECT_NE(EndingReason(tally, true).find("(2 answers missing in all): frames came that answered nothing asked: "
                                             "check the bit rate and the line for noise"),
              std::string::npos);
}

// The window's warning is the reason's clause, told as a sentence: the
// first failure with the block it followed, or as coming before the first
// block, and the count.
TEST(BoardErrors, AreToldWithTheBlockTheyFollowed)
{
    TSessionTally tally;
    tally.boardErrorCount = 2;
    tally.boardErrors = {{"Create Data File", 0, 5, 0, "CreateDataFile"}, {"GetBootError", 2, 0, 7, "GetBootError"}};
    EXPECT_EQ(DescribeBoardErrors(tally), "The board answered the data-file creation before the first block with "
                                          "result 5 (2 board-reported errors in all).");
    tally.boardErrorCount = 1;
    tally.boardErrors = {{"GetBootError", 2, 0, 7, "GetBootError"}};
    EXPECT_EQ(DescribeBoardErrors(tally), "The board reported boot error 7 after block 2.");
}

} // namespace
