#include "station/Heartbeat.h"

Heartbeat::Heartbeat(Opener open, std::function<int64_t()> pending)
    : open(std::move(open)), pending(std::move(pending)) {}

Heartbeat::~Heartbeat() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    wake.notify_all();
    if (thread.joinable()) {
        thread.join();
    }
}

void Heartbeat::Start() {
    thread = std::thread([this] { Loop(); });
}

void Heartbeat::Post(const StationState& state) {
    std::string text = StationStateJson(state).dump();
    std::lock_guard<std::mutex> lock(mutex);
    if (posted && text == latestText) {
        return;
    }
    latest = state;
    latestText = std::move(text);
    posted = true;
    changed = true;
    wake.notify_all();
}

void Heartbeat::Stop(const StationState& last) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        latest = last;
        posted = true;
        stopping = true;
    }
    wake.notify_all();
    if (thread.joinable()) {
        thread.join();
    }
}

std::string Heartbeat::Problem() {
    std::lock_guard<std::mutex> lock(mutex);
    return problem;
}

// 1. Wait until a beat is due: a second after the last one when something changed (or the
//    last one failed), ten when nothing did. 2. Write the latest state, without holding the
//    lock. 3. At the end, the last state once more.
void Heartbeat::Loop() {
    using Clock = std::chrono::steady_clock;
    std::unique_lock<std::mutex> lock(mutex);
    Clock::time_point last{}; // long ago: the first beat is due at once
    while (!stopping) {
        const Clock::time_point due = last + (changed ? kChangedEvery : kIdleEvery);
        if (!posted || Clock::now() < due) {
            wake.wait_until(lock, posted ? due : Clock::now() + kIdleEvery);
            continue;
        }
        const StationState state = latest;
        changed = false;
        lock.unlock();
        const bool done = Write(state);
        lock.lock();
        changed = changed || !done;
        last = Clock::now();
    }
    const StationState state = latest;
    const bool any = posted;
    lock.unlock();
    if (any) {
        Write(state);
    }
}

bool Heartbeat::Write(StationState state) {
    if (pending) {
        state.recordsPending = pending();
    }
    std::string error;
    if (!store) {
        store = open(error);
    }
    const bool done = store && store->WriteStation(state, error);
    std::lock_guard<std::mutex> lock(mutex);
    problem = done ? std::string() : error;
    return done;
}
