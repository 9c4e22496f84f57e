#include "transfer/engine/SocketWatch.h"

#include <winsock2.h>

#include <algorithm>
#include <system_error>
#include <vector>

#include "transfer/engine/Link.h"

namespace {

[[noreturn]] void RaiseSocketError(const char* what)
{
    throw std::system_error(::WSAGetLastError(), std::system_category(), what);
}

} // namespace

// Every socket known, watched or resting, and the poll list made of the
// watched ones at each sleep: WSAPoll keeps nothing between calls.
struct TSocketWatch::State {
    struct Known {
        int descriptor;
        std::size_t task;
        bool watched;
    };
    std::vector<Known> known;
    std::vector<WSAPOLLFD> polled;
    std::vector<std::size_t> polledKnown;  // where each polled socket is in `known`
    std::vector<Ready> ready;

    Known* Find(int descriptor)
    {
        const auto found = std::find_if(known.begin(), known.end(),
                                        [descriptor](const Known& entry) { return entry.descriptor == descriptor; });
        return found != known.end() ? &*found : nullptr;
    }
    void Keep(int descriptor, std::size_t task, bool watched)
    {
        if (Known* entry = Find(descriptor))
            *entry = Known{descriptor, task, watched};
        else
            known.push_back(Known{descriptor, task, watched});
    }
};

TSocketWatch::TSocketWatch() : state_(std::make_unique<State>())
{
    // Every link's cancel stays readable once signalled: it wakes every task.
    const int cancel = TBoardLink::EveryLinkCancelDescriptor();
    if (cancel != -1)
        state_->Keep(cancel, EveryTask, true);
}

TSocketWatch::~TSocketWatch() = default;

void TSocketWatch::Watch(int descriptor, std::size_t task)
{
    state_->Keep(descriptor, task, true);
}

void TSocketWatch::Rest(int descriptor, std::size_t task)
{
    state_->Keep(descriptor, task, false);
}

void TSocketWatch::Forget(int descriptor)
{
    std::erase_if(state_->known, [descriptor](const State::Known& entry) { return entry.descriptor == descriptor; });
}

std::span<const TSocketWatch::Ready> TSocketWatch::Wait(int timeoutMs, const TSignalsHeld& /*held*/)
{
    State& watch = *state_;
    watch.polled.clear();
    watch.polledKnown.clear();
    watch.ready.clear();
    for (std::size_t k = 0; k < watch.known.size(); ++k) {
        if (!watch.known[k].watched)
            continue;
        WSAPOLLFD entry{};
        entry.fd = static_cast<SOCKET>(static_cast<unsigned int>(watch.known[k].descriptor));
        entry.events = POLLRDNORM;
        watch.polled.push_back(entry);
        watch.polledKnown.push_back(k);
    }
    // WSAPoll refuses an empty list: a sleep alone is a sleep.
    if (watch.polled.empty()) {
        ::Sleep(timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
        return {};
    }
    const int count = ::WSAPoll(watch.polled.data(), static_cast<ULONG>(watch.polled.size()), timeoutMs);
    if (count == SOCKET_ERROR)
        RaiseSocketError("WSAPoll");
    // An error or a hang-up wakes the task too: its receive tells what it is.
    for (std::size_t k = 0; k < watch.polled.size(); ++k) {
        if (watch.polled[k].revents == 0)
            continue;
        const State::Known& entry = watch.known[watch.polledKnown[k]];
        watch.ready.push_back(Ready{entry.task, entry.task == EveryTask ? -1 : entry.descriptor});
    }
    return watch.ready;
}
