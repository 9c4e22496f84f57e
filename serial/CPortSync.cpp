#include "serial/CPortSync.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

namespace {

// One piece of work on its way to the owner thread.
struct TComRequest {
    enum class State { Queued, Running, Done };

    std::function<void()> work;
    bool synchronized = false; // the event thread waits for it
    State state = State::Queued;
    bool released = false;     // its event thread no longer waits for it
    std::exception_ptr error;
};
using TComRequestPtr = std::shared_ptr<TComRequest>;

const QEvent::Type WakeEventType = static_cast<QEvent::Type>(QEvent::registerEventType());
const QEvent::Type ReportEventType = static_cast<QEvent::Type>(QEvent::registerEventType());

// Carries an exception of the event thread to the owner thread.
class TComReportEvent : public QEvent {
public:
    explicit TComReportEvent(std::exception_ptr error) : QEvent(ReportEventType), error_(std::move(error)) {}
    [[noreturn]] void Raise() const { std::rethrow_exception(error_); }

private:
    std::exception_ptr error_;
};

class TComQtSync;

// Lives in the owner thread; each wake event runs one queued request.
class TComWakeReceiver : public QObject {
public:
    explicit TComWakeReceiver(TComQtSync& sync) : sync_(sync) {}
    bool event(QEvent* event) override;

private:
    TComQtSync& sync_;
};

class TComQtSync final : public TComSync {
public:
    TComQtSync() : receiver_(*this) {}

    std::exception_ptr Synchronize(std::function<void()> work) override
    {
        TComRequestPtr request = Enqueue(std::move(work), true);
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return request->released || request->state == TComRequest::State::Done; });
        return request->released ? nullptr : request->error;
    }

    void Queue(std::function<void()> work) override { Enqueue(std::move(work), false); }

    void Report(std::exception_ptr error) override
    {
        std::lock_guard lock(mutex_);
        QCoreApplication::postEvent(&receiver_, new TComReportEvent(std::move(error)));
    }

    // Owner thread: an event of this hand-over arrived. The event thread made
    // it and posted it under the lock; taking the lock before the event is
    // touched makes that hand-over visible to ThreadSanitizer, which cannot
    // see into Qt's own event queue.
    void Received() const { std::lock_guard lock(mutex_); }

    void ThreadEnded() override
    {
        std::lock_guard lock(mutex_);
        threadEnded_ = true;
        changed_.notify_all();
    }

    void WaitForEnd() override
    {
        ReleaseRunning();
        for (;;) {
            TComRequestPtr request;
            {
                std::unique_lock lock(mutex_);
                changed_.wait(lock, [&] { return threadEnded_ || FirstSynchronized() != queue_.end(); });
                auto next = FirstSynchronized();
                if (next == queue_.end()) {
                    queue_.clear();
                    threadEnded_ = false;
                    return;
                }
                request = *next;
                queue_.erase(next);
            }
            Run(request);
        }
    }

    bool Pending() const override
    {
        std::lock_guard lock(mutex_);
        return !queue_.empty();
    }

    // Owner thread: runs the oldest queued request, if any. An exception of
    // queued work leaves through here into the owner thread's event handling.
    void RunNext()
    {
        TComRequestPtr request;
        {
            std::lock_guard lock(mutex_);
            if (queue_.empty())
                return;
            request = queue_.front();
            queue_.pop_front();
        }
        Run(request);
        if (!request->synchronized && request->error)
            std::rethrow_exception(request->error);
    }

private:
    TComRequestPtr Enqueue(std::function<void()> work, bool synchronized)
    {
        auto request = std::make_shared<TComRequest>();
        request->work = std::move(work);
        request->synchronized = synchronized;
        std::lock_guard lock(mutex_);
        queue_.push_back(request);
        changed_.notify_all();
        QCoreApplication::postEvent(&receiver_, new QEvent(WakeEventType));
        return request;
    }

    void Run(const TComRequestPtr& request)
    {
        {
            std::lock_guard lock(mutex_);
            request->state = TComRequest::State::Running;
            running_.push_back(request);
        }
        std::exception_ptr error;
        try {
            request->work();
        } catch (...) {
            error = std::current_exception();
        }
        std::lock_guard lock(mutex_);
        running_.pop_back();
        request->error = error;
        request->state = TComRequest::State::Done;
        changed_.notify_all();
    }

    // A request that runs while the owner thread waits for the event thread's
    // end is one the owner thread is nested in (a handler closed the port): its
    // event thread must stop waiting for it, or neither thread could go on.
    void ReleaseRunning()
    {
        std::lock_guard lock(mutex_);
        for (const TComRequestPtr& request : running_)
            request->released = true;
        changed_.notify_all();
    }

    std::deque<TComRequestPtr>::iterator FirstSynchronized()
    {
        for (auto it = queue_.begin(); it != queue_.end(); ++it) {
            if ((*it)->synchronized)
                return it;
        }
        return queue_.end();
    }

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<TComRequestPtr> queue_;
    std::vector<TComRequestPtr> running_; // innermost last
    bool threadEnded_ = false;
    TComWakeReceiver receiver_;
};

bool TComWakeReceiver::event(QEvent* event)
{
    sync_.Received();
    if (event->type() == ReportEventType)
        static_cast<TComReportEvent*>(event)->Raise();
    if (event->type() != WakeEventType)
        return QObject::event(event);
    sync_.RunNext();
    return true;
}

} // namespace

std::shared_ptr<TComSync> MakeQtComSync()
{
    return std::make_shared<TComQtSync>();
}
