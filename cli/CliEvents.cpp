#include "cli/CliEvents.h"

#include <algorithm>
#include <string_view>

#include "cli/Reporter.h"
#include "cli/Trace.h"
#include "transfer/board/BoardTry.h"
#include "transfer/report/EndingTexts.h"
#include "transfer/engine/LinkSettings.h"

namespace {

// A wait for an answer is shown once it is longer than this, in whole
// seconds of this length.
constexpr qint64 ShownWaitMs = 1000;

} // namespace

TCliEvents::TCliEvents(TReporter& reporter, std::size_t board, std::int64_t total, bool keepGoing, TTrace* trace,
                       std::string name)
    : reporter_(reporter), board_(board), keepGoing_(keepGoing), progress_(total), trace_(trace),
      name_(std::move(name))
{
}

void TCliEvents::Frame(FrameDirection direction, std::span<const Byte> bytes, bool stray)
{
    std::string error;
    if (trace_ != nullptr && traceLost_.empty() && !trace_->Frame(name_, direction, bytes, stray, error)) {
        traceLost_ = "the trace " + trace_->Path() + " cannot be written: " + error;
        // Before the first frame nothing has gone out: the run does not start.
        if (!sentAny_ && direction == FrameDirection::Sent)
            throw ELinkNotOpened(traceLost_ + "; nothing was sent");
        reporter_.Warning(board_, traceLost_ + "; the update goes on without it");
    }
    sentAny_ = sentAny_ || direction == FrameDirection::Sent;
    if (direction == FrameDirection::Sent) {
        awaitedSince_.start();
    } else if (!stray && awaitedSince_.isValid()) {
        awaitedSince_.invalidate();
        ShowWait(0);
    }
}

void TCliEvents::Pulse()
{
    if (awaitedSince_.isValid() && awaitedSince_.hasExpired(ShownWaitMs))
        ShowWait(static_cast<int>(awaitedSince_.elapsed() / ShownWaitMs));
}

void TCliEvents::ShowWait(int seconds)
{
    // Most answers come within the second: nothing to tell.
    if (seconds == waitShown_)
        return;
    waitShown_ = seconds;
    reporter_.Waiting(board_, seconds);
}

void TCliEvents::Status(const std::string& text)
{
    // The session repeats its status after every block; a change is news.
    const bool kept = lastStatusSize_ <= KeptStatusSize;
    if (kept && std::string_view(text) == std::string_view(lastStatus_.data(), lastStatusSize_))
        return;
    lastStatusSize_ = text.size();
    std::copy_n(text.begin(), std::min(text.size(), KeptStatusSize), lastStatus_.begin());
    reporter_.Status(board_, text);
}

void TCliEvents::Phase(BoardPhase phase)
{
    reporter_.Phase(board_, phase);
}

void TCliEvents::FileStarted(const std::string& path, std::int64_t size)
{
    filesBefore_ += fileDone_;
    fileDone_ = 0;
    reporter_.Start(board_, path, size);
}

void TCliEvents::BlockSent(std::int64_t /*gaugePosition*/, std::int64_t bytesDone, std::int64_t /*total*/)
{
    fileDone_ = bytesDone;
    progress_.Record(filesBefore_ + fileDone_);
    // Due once an interval, and for the last byte; never twice for the same
    // bytes (a file that fills its last block ends with an empty one).
    const bool last = progress_.Done() >= progress_.Total();
    const bool due = !progressTaken_.isValid() || progressTaken_.hasExpired(reporter_.ProgressInterval().count());
    if (!(due || last) || progress_.Done() == progressTold_)
        return;
    progressTaken_.start();
    progressTold_ = progress_.Done();
    reporter_.Progress(board_, progress_);
}

void TCliEvents::MissingAnswer(const TMissingAnswer& missing)
{
    reporter_.Warning(board_, MissingAnswerText(missing));
}

bool TCliEvents::StopAfterSilence(int /*missingInARow*/)
{
    return !keepGoing_;
}

void TCliEvents::ShortWrite()
{
    reporter_.Warning(board_, "a serial write did not complete within the watchdog's interval");
}

void TCliEvents::FileNotWritten(const std::string& path, const std::string& reason)
{
    reporter_.Warning(board_, "'" + path + "' was not written: " + reason);
}
