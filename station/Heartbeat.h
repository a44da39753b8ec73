#pragma once

#include "record/RecordStore.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

// Writes a station's heartbeat into the record store on a thread of its own, so that a slow or
// locked store holds up no run: when the state changed, at most once a second; when it did not,
// every 10 s, so that a board tells a station that is up from one that is gone. A beat that
// cannot be written is tried again at the next one; only the latest state is ever written.
class Heartbeat {
public:
    // Opens the store the beats go to; null with the reason. Called on the beat's thread.
    using Opener = std::function<std::unique_ptr<IRecordStore>(std::string& error)>;

    static constexpr std::chrono::milliseconds kChangedEvery{1000};
    static constexpr std::chrono::milliseconds kIdleEvery{10000};

    // pending, when given, tells the rows not yet in the record at each beat: they change
    // without the station's knowing, as its rows are written and shipped.
    explicit Heartbeat(Opener open, std::function<int64_t()> pending = nullptr);
    Heartbeat(const Heartbeat&) = delete;
    Heartbeat& operator=(const Heartbeat&) = delete;
    ~Heartbeat();

    void Start();
    // The station's state now (its `seen` is the store's to set). Cheap: it is only kept.
    void Post(const StationState& state);
    // Writes the last state once more (it tells when the station ended) and ends the thread.
    void Stop(const StationState& last);
    // Why the last beat was not written; empty when it was.
    std::string Problem();

private:
    void Loop();
    bool Write(StationState state);

    Opener open;
    std::function<int64_t()> pending;
    std::unique_ptr<IRecordStore> store; // the beat's thread's own
    std::mutex mutex;
    std::condition_variable wake;
    StationState latest;
    std::string latestText; // to tell a change: the state as JSON
    bool posted = false;
    bool changed = false;
    bool stopping = false;
    std::string problem;
    std::thread thread;
};
