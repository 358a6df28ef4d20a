#include "run/StopSignals.h"

#include "core/StopRequest.h"

#ifdef Q_OS_UNIX
#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

int g_pipe[2] = {-1, -1};
volatile std::sig_atomic_t g_received = 0;

/** Only what is safe in a signal handler: the number goes to the event loop through a pipe. */
void onSignal(int signal)
{
    if (g_received) {
        std::signal(signal, SIG_DFL);
        std::raise(signal);
        return;
    }
    g_received = 1;
    const int saved = errno;
    const char number = char(signal);
    [[maybe_unused]] const ssize_t written = ::write(g_pipe[1], &number, 1);
    errno = saved;
}

} // namespace

void stopRunsOnSignals(std::function<void(int signal)> then)
{
    if (g_pipe[0] >= 0 || ::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto *notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [then = std::move(then)] {
        char number = 0;
        if (::read(g_pipe[0], &number, 1) != 1)
            return;
        StopRequest::requestAll();
        if (then)
            then(number);
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

#else

void stopRunsOnSignals(std::function<void(int)>)
{
}

#endif
