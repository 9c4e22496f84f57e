#include "cli/Output.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

#include "cli/Terminal.h"
#include "transfer/engine/SignalsHeld.h"

namespace {

// The streams and the thread that writes them, in the order the texts were
// handed over: a terminal shows both streams, and a redraw of the live view
// must not overtake the results printed below it.
class TWriter {
public:
    void Write(int fd, std::string text)
    {
        std::lock_guard lock(mutex_);
        if (Failed(fd) || text.empty())
            return;
        queue_.emplace_back(fd, std::move(text));
        if (!thread_.joinable()) {
            // The program's signals are for the boards' loop to take.
            const TSignalsHeld held;
            thread_ = std::thread([this] { Run(); });
        }
        changed_.notify_all();
    }

    bool Pending()
    {
        std::lock_guard lock(mutex_);
        return !queue_.empty() || writing_;
    }

    void Drain()
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return queue_.empty() && !writing_; });
    }

private:
    // Lives as long as the program: a stream that takes nothing never keeps
    // the program from ending once its text has been given up on.
    void Run()
    {
        std::unique_lock lock(mutex_);
        for (;;) {
            changed_.wait(lock, [this] { return !queue_.empty(); });
            const auto [fd, text] = std::move(queue_.front());
            queue_.pop_front();
            writing_ = true;
            lock.unlock();
            const bool written = WriteAll(fd, text);
            lock.lock();
            writing_ = false;
            if (!written)
                failed_[fd == StandardError] = true;
            changed_.notify_all();
        }
    }

    bool Failed(int fd) const { return failed_[fd == StandardError]; }

    // The whole text, however the stream takes it; false when it cannot.
    static bool WriteAll(int fd, const std::string& text)
    {
        std::size_t done = 0;
        while (done < text.size()) {
            const long wrote = WriteSome(fd, text.data() + done, text.size() - done);
            if (wrote <= 0)
                return false;
            done += static_cast<std::size_t>(wrote);
        }
        return true;
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::pair<int, std::string>> queue_;
    bool writing_ = false;
    bool failed_[2] = {false, false};  // standard output, standard error
    std::thread thread_;
};

TWriter& Writer()
{
    // Never destroyed: its thread may still wait on a stream when the
    // program ends.
    static auto* const writer = new TWriter;
    return *writer;
}

} // namespace

namespace Output {

void Write(int fd, std::string text)
{
    Writer().Write(fd, std::move(text));
}

bool Pending()
{
    return Writer().Pending();
}

void Drain()
{
    Writer().Drain();
}

} // namespace Output
