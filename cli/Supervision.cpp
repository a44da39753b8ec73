#include "cli/Supervision.h"

#include <csignal>
#include <pthread.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

UniqueFd TerminationSignals() {
    sigset_t mask;
    sigemptyset(&mask);
    for (int number : {SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&mask, number);
    }
    pthread_sigmask(SIG_BLOCK, &mask, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return UniqueFd(signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK));
}

int TakeSignal(int signals) {
    signalfd_siginfo info{};
    if (read(signals, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) {
        return 0;
    }
    return static_cast<int>(info.ssi_signo);
}

void SetTicks(int timer, long intervalMs) {
    const timespec interval{intervalMs / 1000, (intervalMs % 1000) * 1000 * 1000};
    const itimerspec ticks{interval, interval};
    timerfd_settime(timer, 0, &ticks, nullptr);
}
