// What a finished transfer came to: any one thing that went wrong in its tally
// is enough to keep it from "updated", and the board's failures are told
// with where they came.
#include "transfer/Outcome.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

struct TallyFault {
    const char* name;
    std::function<void(TSessionTally&)> plant;
};

class OneFaultInTheTally : public ::testing::TestWithParam<TallyFault> {};

TEST_P(OneFaultInTheTally, EndsWithWarningsAndIsTold)
{
    TSessionTally tally;
    ASSERT_EQ(OutcomeOf(tally), HistoryOutcome::Updated);
    ASSERT_EQ(DescribeWarnings(tally), "");
    GetParam().plant(tally);
    EXPECT_EQ(OutcomeOf(tally), HistoryOutcome::Warnings);
    EXPECT_NE(DescribeWarnings(tally), "");
}

INSTANTIATE_TEST_SUITE_P(
    Fields, OneFaultInTheTally,
    ::testing::Values(TallyFault{"MissingAnswer", [](TSessionTally& t) { t.missingAnswers = 1; }},
                      TallyFault{"BoardError",
                                 [](TSessionTally& t) {
                                     t.boardErrorCount = 1;
                                     t.boardErrors.push_back({"GetBootError", 1, 0, 7});
                                 }},
                      TallyFault{"StrayAnswer", [](TSessionTally& t) { t.strayAnswers = 1; }},
                      TallyFault{"FileNotWritten", [](TSessionTally& t) { t.filesNotWritten.push_back("logo.bin"); }}),
    [](const auto& info) { return std::string(info.param.name); });

// The first failure is told with the block it followed, or as coming before
// the first block (a refused creation).
TEST(BoardErrors, AreToldWithTheBlockTheyFollowed)
{
    TSessionTally tally;
    tally.boardErrorCount = 2;
    tally.boardErrors = {{"Create Flash File", 0, 5, 0}, {"GetBootError", 2, 0, 7}};
    EXPECT_EQ(DescribeBoardErrors(tally), "The board reported a failure: its answer to Create Flash File carried result 5 "
                                          "before the first block. 2 answers reported a failure in all.");
    tally.boardErrorCount = 1;
    tally.boardErrors = {{"GetBootError", 2, 0, 7}};
    EXPECT_EQ(DescribeBoardErrors(tally),
              "The board reported a failure: its answer to GetBootError carried boot error 7 after block 2.");
}

} // namespace
