// tovrin-sim: the controller's bootstrap loader on a pseudo-terminal (see UsageText).
#include "engine/posix/UniqueFd.h"
#include "tools/sim/DeviceModel.h"
#include "tools/sim/Pty.h"
#include "tools/sim/Scenario.h"
#include "tools/sim/Summary.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace sim {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// While the host has the port closed the master reports a hang-up at every poll; we look
// again for a reopened port at this interval instead.
constexpr milliseconds kReopenPoll{20};
// A device answers the moment the last byte has crossed the line, but a timed sleep wakes some
// tens of microseconds late: the last stretch before a paced deadline is waited out awake.
constexpr std::chrono::microseconds kAwake{80};
// How long a disconnect waits for the host to read the device's last bytes.
constexpr milliseconds kDrainLimit{1000};

enum class End { Complete, Disconnect, IdleTimeout, Signal, Error };

const char* EndName(End end) {
    switch (end) {
    case End::Complete:
        return "complete";
    case End::Disconnect:
        return "disconnect";
    case End::IdleTimeout:
        return "idle-timeout";
    case End::Signal:
        return "signal";
    case End::Error:
        return "error";
    }
    return "error";
}

Time Now() {
    return Clock::now().time_since_epoch();
}

// Closing the master discards what the slave has not read yet. A device that vanishes after
// an answer must not take the answer with it, so wait (briefly) until the host has read it.
// A poll of the slave first hands the line discipline whatever the master wrote, so it sees
// every unread byte; FIONREAD would miss bytes still on their way.
void WaitUntilHostHasRead(const std::string& slavePath) {
    const UniqueFd slave(open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!slave) {
        return;
    }
    const Time limit = Now() + kDrainLimit;
    pollfd unread{slave.Get(), POLLIN, 0};
    while (poll(&unread, 1, 0) == 1 && (unread.revents & POLLIN) != 0 && Now() < limit) {
        usleep(2000);
    }
}

bool WriteAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = write(fd, data, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

// The pty and timing loop around the device model.
class Simulator {
public:
    Simulator(const Options& options, Pty& pty, int signals, int record)
        : options_(options), model_(options.scenario), pty_(pty), signals_(signals), record_(record) {}

    End Run();
    const Counters& GetCounters() const { return model_.GetCounters(); }
    uint64_t HostCloses() const { return hostCloses_; }

private:
    bool SendPending();
    bool ReadHost();
    void MarkHungUp();
    void CheckReopened();
    Time Deadline(Time now) const;

    const Options& options_;
    DeviceModel model_;
    Pty& pty_;
    const int signals_;
    const int record_;    // -1: no record
    std::string pending_; // on the line; the pty has taken the first pendingSent_ bytes
    std::size_t pendingSent_ = 0;
    bool hungUp_ = false;
    uint64_t hostCloses_ = 0;
    Time lastActivity_{};
    std::optional<Time> finishedAt_;
};

End Simulator::Run() {
    lastActivity_ = Now();
    for (;;) {
        const Time now = Now();
        pending_ += model_.Transmit(now);
        if (!SendPending()) {
            return End::Error;
        }
        if (model_.DisconnectDue() && pending_.empty()) {
            WaitUntilHostHasRead(pty_.slavePath);
            pty_.master.Reset(); // the device is gone: the host's port hangs up
            return End::Disconnect;
        }
        if (model_.Finished() && pending_.empty()) {
            finishedAt_ = finishedAt_.value_or(now);
            // Closing the master before the host has read would discard the last answer.
            if (hungUp_ || now - *finishedAt_ >= options_.linger) {
                return End::Complete;
            }
        }
        if (model_.NextDeadline()) {
            lastActivity_ = now; // output scheduled: not idle
        }
        if (now - lastActivity_ >= options_.idleTimeout) {
            return End::IdleTimeout;
        }

        Time wait = std::max(Deadline(now) - now, Time(0));
        const std::optional<Time> paced = model_.NextDeadline();
        if (options_.scenario.baud != 0 && paced && *paced - now <= wait + kAwake) {
            wait = std::max(wait - kAwake, Time(0));
        }
        if (hungUp_) {
            wait = std::min<Time>(wait, kReopenPoll);
        }
        pollfd fds[2] = {{signals_, POLLIN, 0}, {hungUp_ ? -1 : pty_.master.Get(), POLLIN, 0}};
        if (!pending_.empty()) {
            fds[1].events |= POLLOUT;
        }
        const timespec timeout{static_cast<time_t>(wait.count() / 1'000'000'000),
                               static_cast<long>(wait.count() % 1'000'000'000)};
        if (ppoll(fds, 2, &timeout, nullptr) < 0 && errno != EINTR) {
            std::cerr << "tovrin-sim: poll: " << std::strerror(errno) << "\n";
            return End::Error;
        }
        if (fds[0].revents != 0) {
            return End::Signal;
        }
        if (hungUp_) {
            CheckReopened();
            continue;
        }
        if ((fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !ReadHost()) {
            return End::Error;
        }
        if ((fds[1].revents & POLLHUP) != 0) {
            MarkHungUp(); // even if a read still said "try again"
        }
    }
}

// The earliest moment the loop must look again.
Time Simulator::Deadline(Time now) const {
    Time deadline = lastActivity_ + options_.idleTimeout;
    if (const auto next = model_.NextDeadline()) {
        deadline = std::min(deadline, *next);
    }
    if (finishedAt_) {
        deadline = std::min(deadline, *finishedAt_ + options_.linger);
    }
    if (!pending_.empty()) {
        deadline = std::min<Time>(deadline, now + milliseconds(100)); // POLLOUT wakes us earlier
    }
    return deadline;
}

bool Simulator::SendPending() {
    while (pendingSent_ < pending_.size()) {
        const ssize_t written =
            write(pty_.master.Get(), pending_.data() + pendingSent_, pending_.size() - pendingSent_);
        if (written > 0) {
            pendingSent_ += static_cast<std::size_t>(written);
            lastActivity_ = Now();
            continue;
        }
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written < 0 && errno == EAGAIN) {
            return true; // the host is not reading: wait for POLLOUT
        }
        if (written < 0 && errno == EIO) {
            break; // nobody listens on the line
        }
        std::cerr << "tovrin-sim: write: " << std::strerror(errno) << "\n";
        return false;
    }
    pending_.clear();
    pendingSent_ = 0;
    return true;
}

// Reads everything the host sent; a closed port becomes a hang-up.
bool Simulator::ReadHost() {
    uint8_t buffer[4096];
    for (;;) {
        const ssize_t count = read(pty_.master.Get(), buffer, sizeof buffer);
        if (count > 0) {
            const Time now = Now();
            lastActivity_ = now;
            if (record_ >= 0 &&
                !WriteAll(record_, reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(count))) {
                std::cerr << "tovrin-sim: cannot write the record: " << std::strerror(errno) << "\n";
                return false;
            }
            model_.Receive(buffer, static_cast<std::size_t>(count), now);
            continue;
        }
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0 && errno == EAGAIN) {
            return true;
        }
        // EIO (or end of file): the host closed the slave side.
        MarkHungUp();
        return true;
    }
}

void Simulator::MarkHungUp() {
    if (!hungUp_) {
        hungUp_ = true;
        ++hostCloses_;
    }
}

void Simulator::CheckReopened() {
    pollfd fd{pty_.master.Get(), POLLIN, 0};
    if (poll(&fd, 1, 0) < 0 || (fd.revents & POLLHUP) != 0) {
        return;
    }
    hungUp_ = false;
    lastActivity_ = Now();
    if (options_.restartOnReopen) {
        model_.Restart();
    }
}

// SIGTERM and SIGINT arrive as readable data instead of interrupting the loop.
UniqueFd SignalFd() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    if (sigprocmask(SIG_BLOCK, &set, nullptr) != 0) {
        return UniqueFd();
    }
    return UniqueFd(signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
}

bool WriteSummary(const Options& options, const std::string& text) {
    if (options.summaryPath.empty()) {
        std::cerr << text;
        return true;
    }
    std::ofstream file(options.summaryPath, std::ios::trunc);
    file << text;
    file.close();
    return !file.fail();
}

int Main(const std::vector<std::string>& args) {
    const ParseResult parsed = ParseCommandLine(args);
    if (parsed.help) {
        std::cout << UsageText();
        return 0;
    }
    if (!parsed.error.empty()) {
        std::cerr << "tovrin-sim: " << parsed.error << "\n(see tovrin-sim --help)\n";
        return 2;
    }
    const Options& options = parsed.options;
    const UniqueFd signals = SignalFd();
    if (!signals) {
        std::cerr << "tovrin-sim: signalfd: " << std::strerror(errno) << "\n";
        return 1;
    }
    prctl(PR_SET_TIMERSLACK, 1UL); // acknowledges on time to the microsecond at high baud rates
    UniqueFd record;
    if (!options.recordPath.empty()) {
        record.Reset(open(options.recordPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (!record) {
            std::cerr << "tovrin-sim: " << options.recordPath << ": " << std::strerror(errno) << "\n";
            return 1;
        }
    }
    Pty pty;
    PortLink link;
    std::string error;
    if (!OpenPty(pty, error) ||
        (!options.linkPath.empty() && !link.Create(options.linkPath, pty.slavePath, error))) {
        std::cerr << "tovrin-sim: " << error << "\n";
        return 1;
    }
    std::cout << pty.slavePath << std::endl;

    Simulator simulator(options, pty, signals.Get(), record.Get());
    const End end = simulator.Run();
    if (!WriteSummary(options,
                      FormatSummary(simulator.GetCounters(), EndName(end), simulator.HostCloses()))) {
        std::cerr << "tovrin-sim: cannot write " << options.summaryPath << "\n";
        return 1;
    }
    switch (end) {
    case End::Complete:
    case End::Disconnect:
        return 0;
    case End::IdleTimeout:
    case End::Signal:
        return 3;
    case End::Error:
        return 1;
    }
    return 1;
}

} // namespace
} // namespace sim

int main(int argc, char** argv) {
    return sim::Main(std::vector<std::string>(argv + 1, argv + argc));
}
