#pragma once

#include "record/RecordStore.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A station's own file store as the outbox of the line's server: every row is written there
// first, as without a server, and each write also queues the run for shipping, in the same
// transaction, so that a row is shipped after every state it had, in the order written, and no
// queued run is lost whatever ends the process.
class IOutbox {
public:
    virtual ~IOutbox() = default;
    // The oldest queued runs (at most `most` entries of the queue), each once with its row as
    // it is now; `last` is the newest entry they cover. False with the reason.
    virtual bool Queued(size_t most, std::vector<RunRecord>& runs, int64_t& last, std::string& error) = 0;
    // The entries up to `last` are on the server.
    virtual bool Shipped(int64_t last, std::string& error) = 0;
    // How many runs wait, and since when (ISO 8601 UTC; empty when none waits).
    virtual bool Waiting(size_t& runs, std::string& since, std::string& error) = 0;
};

// The file store at path as an outbox (made when it is not there, like OpenRecordStore);
// null with the reason.
struct OutboxStore {
    std::unique_ptr<IRecordStore> store;
    IOutbox* outbox = nullptr; // the same object
};
OutboxStore OpenOutboxStore(const std::string& path, std::string& error);

// Where the shipping stands.
struct ShipperState {
    size_t waiting = 0;   // runs queued in the outbox
    std::string since;    // since when the oldest has waited
    std::string reason;   // why the last shipping failed; empty once it succeeds
    uint64_t shipped = 0; // runs whose end was shipped since the start
    bool backlog = false; // rows wait that were not shipped at once (left from before, or the
                          // server away); cleared when none waits
};

// Ships the outbox's rows to the server on a thread of its own, oldest first, at least once (the
// server stores a run once by its id). A failure is tried again after 1 s, then twice as long
// each time up to 10 s; nothing it does waits on the caller.
class Shipper {
public:
    Shipper(IOutbox& outbox, IRecordStore& server, std::function<void()> changed);
    ~Shipper(); // stops the thread; what waits stays in the outbox
    Shipper(const Shipper&) = delete;
    Shipper& operator=(const Shipper&) = delete;

    void Start();
    // Stops the thread; Wake may still be called.
    void Stop();
    // Rows were written to the outbox.
    void Wake();
    // Waits until none waits, or the time is up; true when none waits.
    bool Flush(std::chrono::milliseconds limit);
    ShipperState State();

private:
    void Work();
    bool ShipOnce(std::unique_lock<std::mutex>& lock);
    void Count(std::unique_lock<std::mutex>& lock);
    void WaitToRetry(std::unique_lock<std::mutex>& lock, std::chrono::milliseconds retry);

    IOutbox& outbox;
    IRecordStore& server;
    const std::function<void()> changed;
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable idle;
    ShipperState state;
    bool woken = false;
    bool settled = false; // none waited when last counted, and nothing was written since
    bool stopping = false;
    std::thread thread;
};

// An outbox store that wakes its shipper after each write.
class ShippingStore : public IRecordStore {
public:
    ShippingStore(IRecordStore& outbox, Shipper& shipper) : outbox(outbox), shipper(shipper) {}
    bool WriteRun(RunRecord& record, std::string& error) override;
    bool Query(const RunFilter& filter, std::vector<RunRecord>& runs, std::string& error) override {
        return outbox.Query(filter, runs, error);
    }
    bool MarkInterrupted(const std::function<std::optional<std::string>(const RunRecord&)>& readLog,
                         size_t& marked, std::string& error) override;

private:
    IRecordStore& outbox;
    Shipper& shipper;
};

// What changed in the shipping, as lines for people and events for programs
// ("records_unshipped", "records_shipped").
struct ShipperNews {
    std::vector<std::string> lines;
    std::vector<nlohmann::ordered_json> events;
};
ShipperNews NewsOf(const ShipperState& before, const ShipperState& now, const std::string& server,
                   const std::string& outboxPath);
