#include "wait.h"

#include "report.h"

#include <GL/glx.h>
#include <csignal>
#include <poll.h>

namespace
{

constexpr int answered_signals[] = {SIGINT, SIGTERM, SIGUSR1};
volatile std::sig_atomic_t stop_asked;
volatile std::sig_atomic_t counts_asked;
sigset_t waiting_mask; // the mask while asleep: the answered signals open

void note(int signal_number)
{
    if (signal_number == SIGUSR1)
        counts_asked = 1;
    else
        stop_asked = 1;
}

} // namespace

void catchSignals()
{
    struct sigaction action {
    };
    action.sa_handler = note;
    sigemptyset(&action.sa_mask);
    sigset_t answered;
    sigemptyset(&answered);
    for (const int signal_number : answered_signals) {
        sigaction(signal_number, &action, nullptr);
        sigaddset(&answered, signal_number);
    }
    std::signal(SIGPIPE, SIG_IGN);
    sigprocmask(SIG_BLOCK, &answered, &waiting_mask);
    for (const int signal_number : answered_signals)
        sigdelset(&waiting_mask, signal_number);
}

bool awaitInput(int fd, const timespec *timeout)
{
    // Events Xlib has already read would not wake the poll. Nothing waits
    // to be sent: GLUT's event loop ends on a flushing XPending and a swap is
    // a round trip, so no flush is spent here (it would cost reads).
    // The window's one connection, looked up once: the lookup costs a
    // system call.
    static Display *const display = glXGetCurrentDisplay();
    if (XQLength(display) > 0)
        return false;
    pollfd watched[2] = {{ConnectionNumber(display), POLLIN, 0}, {fd, POLLIN, 0}};
    const int ready = ppoll(watched, fd < 0 ? 1 : 2, timeout, &waiting_mask);
    // Signals are answered here, before a datagram that came with them.
    if (counts_asked) {
        counts_asked = 0;
        reportCounts();
    }
    return ready > 0 && fd >= 0 && (watched[1].revents & POLLIN) != 0 && !stop_asked;
}

void requestStop() { stop_asked = 1; }

bool stopRequested() { return stop_asked != 0; }
