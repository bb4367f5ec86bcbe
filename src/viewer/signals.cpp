#include "signals.h"

#include "counts.h"
#include "outputs.h"
#include "progress.h"
#include "state.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <unistd.h>

namespace
{

int caught[2] = {-1, -1}; // the pipe: read end, write end
volatile sig_atomic_t ending;
char limit_line[512]; // what limitStep says when its step takes too long

void stepTooLong(int)
{
    withdrawOutputs();
    if (write(STDERR_FILENO, limit_line, std::strlen(limit_line))) {
    }
    _exit(1);
}

void handle(int number)
{
    const int saved = errno;
    const bool ends = number == SIGINT || number == SIGTERM;
    if (ends && ending) {
        clearProgress();
        withdrawOutputs();
        char line[counts_line_limit];
        const std::size_t length = formatCounts(line, sizeof line, counts);
        if (write(STDERR_FILENO, line, length)) {
        }
        _exit(128 + number);
    }
    if (ends)
        ending = 1;
    const unsigned char byte = static_cast<unsigned char>(number);
    if (write(caught[1], &byte, 1)) {
    }
    errno = saved;
}

sigset_t answered()
{
    sigset_t set;
    sigemptyset(&set);
    for (const int number : {SIGINT, SIGTERM, SIGUSR1, SIGCHLD})
        sigaddset(&set, number);
    return set;
}

} // namespace

void blockSignals()
{
    const sigset_t set = answered();
    sigprocmask(SIG_BLOCK, &set, nullptr);
}

bool catchSignals()
{
    if (pipe2(caught, O_NONBLOCK | O_CLOEXEC) != 0)
        return false;
    struct sigaction action {
    };
    action.sa_handler = handle;
    action.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    sigfillset(&action.sa_mask);
    for (const int number : {SIGINT, SIGTERM, SIGUSR1, SIGCHLD})
        if (sigaction(number, &action, nullptr) != 0)
            return false;
    const sigset_t set = answered();
    return sigprocmask(SIG_UNBLOCK, &set, nullptr) == 0;
}

int signalDescriptor() { return caught[0]; }

signal_requests takeSignals()
{
    signal_requests asked{};
    for (unsigned char byte; read(caught[0], &byte, 1) == 1;)
        (byte == SIGUSR1 ? asked.counts : byte == SIGCHLD ? asked.children : asked.end) = true;
    return asked;
}

void limitStep(unsigned seconds, const char *line)
{
    std::snprintf(limit_line, sizeof limit_line, "%s", line);
    std::signal(SIGALRM, stepTooLong);
    alarm(seconds);
}

void endLimit()
{
    alarm(0);
    std::signal(SIGALRM, SIG_DFL);
}
