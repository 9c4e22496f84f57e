#include "app/Application.h"

#include <QSocketNotifier>
#include <QWidget>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The handler's way into the event loop: it only writes a byte here.
int terminationPipe[2] = {-1, -1};

extern "C" void OnTermination(int /*signal*/)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(terminationPipe[1], &byte, 1);
}

} // namespace

void CloseOnTermination(QWidget* window)
{
    if (::pipe2(terminationPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto* notifier = new QSocketNotifier(terminationPipe[0], QSocketNotifier::Read, window);
    QObject::connect(notifier, &QSocketNotifier::activated, window, [window] {
        char byte = 0;
        while (::read(terminationPipe[0], &byte, 1) == 1) {
        }
        window->close();
    });
    struct sigaction action {};
    action.sa_handler = OnTermination;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
}
