#include "record/Outbox.h"

#include "record/Support.h"

#include <algorithm>

namespace {

// A failed shipping is tried again after 1 s, then twice as long each time, up to 10 s.
constexpr std::chrono::milliseconds kFirstRetry{1000};
constexpr std::chrono::milliseconds kLastRetry{10000};
// Runs shipped in one transaction.
constexpr size_t kBatch = 500;

} // namespace

Shipper::Shipper(IOutbox& outbox, IRecordStore& server, std::function<void()> changed)
    : outbox(outbox), server(server), changed(std::move(changed)) {}

Shipper::~Shipper() {
    Stop();
}

void Shipper::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    wake.notify_all();
    if (thread.joinable()) {
        thread.join();
    }
}

void Shipper::Start() {
    thread = std::thread([this] { Work(); });
}

void Shipper::Wake() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        woken = true;
    }
    wake.notify_all();
}

bool Shipper::Flush(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex);
    return idle.wait_for(lock, limit, [this] { return settled && !woken; });
}

ShipperState Shipper::State() {
    std::lock_guard<std::mutex> lock(mutex);
    return state;
}

// How many wait; rows found waiting at the start are a backlog from an earlier process.
void Shipper::Count(std::unique_lock<std::mutex>& lock) {
    size_t waiting = 0;
    std::string since, error;
    lock.unlock();
    const bool counted = outbox.Waiting(waiting, since, error);
    lock.lock();
    if (!counted) {
        state.reason = error;
        return;
    }
    state.waiting = waiting;
    state.since = since;
    if (waiting == 0) {
        state.backlog = false;
    }
}

// One batch, oldest first; the store's lock is not held while the server is waited for.
bool Shipper::ShipOnce(std::unique_lock<std::mutex>& lock) {
    std::vector<RunRecord> runs;
    int64_t last = 0;
    std::string error;
    lock.unlock();
    bool shipped = outbox.Queued(kBatch, runs, last, error) && server.WriteRuns(runs, error) &&
                   (last == 0 || outbox.Shipped(last, error));
    lock.lock();
    if (!shipped) {
        state.reason = error;
        state.backlog = true;
        return false;
    }
    state.reason.clear();
    // A run is counted when its end reaches the server, not at each state of it.
    state.shipped += static_cast<uint64_t>(std::count_if(
        runs.begin(), runs.end(), [](const RunRecord& run) { return run.outcome != "running"; }));
    return true;
}

void Shipper::Work() {
    std::unique_lock<std::mutex> lock(mutex);
    Count(lock);
    state.backlog = state.waiting > 0;
    changed();
    std::chrono::milliseconds retry = kFirstRetry;
    while (!stopping) {
        woken = false;
        settled = false;
        const ShipperState before = state;
        const bool ok = state.waiting == 0 || ShipOnce(lock);
        Count(lock);
        if (state.waiting != before.waiting || state.reason != before.reason ||
            state.shipped != before.shipped) {
            changed();
        }
        if (state.waiting == 0 && !woken) {
            settled = true; // what was counted is what there is: nothing came meanwhile
            idle.notify_all();
            wake.wait(lock, [this] { return stopping || woken; });
            retry = kFirstRetry;
        } else if (!ok || !state.reason.empty()) {
            WaitToRetry(lock, retry);
            retry = std::min(retry * 2, kLastRetry);
        } else {
            retry = kFirstRetry;
        }
    }
}

// Rows written while the server is away are counted at once, so that what is told of them is
// up to date; they are shipped at the next try.
void Shipper::WaitToRetry(std::unique_lock<std::mutex>& lock, std::chrono::milliseconds retry) {
    const auto until = std::chrono::steady_clock::now() + retry;
    while (wake.wait_until(lock, until, [this] { return stopping || woken; }) && !stopping) {
        woken = false;
        const size_t before = state.waiting;
        Count(lock);
        if (state.waiting != before) {
            changed();
        }
    }
}

bool ShippingStore::WriteRun(RunRecord& record, std::string& error) {
    const bool written = outbox.WriteRun(record, error);
    shipper.Wake();
    return written;
}

bool ShippingStore::MarkInterrupted(
    const std::function<std::optional<std::string>(const RunRecord&)>& readLog, size_t& marked,
    std::string& error) {
    const bool done = outbox.MarkInterrupted(readLog, marked, error);
    if (marked > 0) {
        shipper.Wake();
    }
    return done;
}

ShipperNews NewsOf(const ShipperState& before, const ShipperState& now, const std::string& server,
                   const std::string& outboxPath) {
    ShipperNews news;
    const std::string store = Utf8Text(server);
    // Rows that were shipped at once are no news; rows that wait are, and so is their shipping.
    if (now.backlog && now.waiting > 0 &&
        (!before.backlog || now.waiting != before.waiting || now.reason != before.reason)) {
        if (!before.backlog || now.reason != before.reason) {
            news.lines.push_back(
                std::to_string(now.waiting) + " records wait in " + outboxPath + " since " + now.since +
                (now.reason.empty() ? "; shipping them to " + server
                                    : " (" + now.reason + "); they are shipped when it answers"));
        }
        news.events.push_back({{"event", "records_unshipped"},
                               {"count", now.waiting},
                               {"since", now.since},
                               {"reason", now.reason.empty() ? nlohmann::ordered_json(nullptr)
                                                             : nlohmann::ordered_json(Utf8Text(now.reason))},
                               {"outbox", Utf8Text(outboxPath)},
                               {"server", store}});
    }
    if (before.backlog && !now.backlog) {
        news.lines.push_back("records shipped to " + server + "; none waits (" + std::to_string(now.shipped) +
                             " shipped since the start)");
        news.events.push_back({{"event", "records_shipped"}, {"shipped", now.shipped}, {"server", store}});
    }
    return news;
}
