#pragma once

#include "engine/posix/UniqueFd.h"
#include "record/RecordStore.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Where the rows that could not be written yet stand.
struct KeeperState {
    size_t waiting = 0;      // rows not yet in the store
    std::string since;       // ISO 8601 UTC: since when some have been waiting
    std::string reason;      // why the last write failed
    uint64_t written = 0;    // rows written since the keeper began
    size_t adopted = 0;      // rows an earlier process left waiting, taken over at the start
    std::string adoptedFrom; // the files they were in
    size_t interrupted = 0;  // runs left running by processes that have gone, marked so
};

// Writes the rows of runs into a store on a thread of its own, in the order given, so that a
// store that is slow, locked, full or gone never holds up the runs. A row that cannot be written
// waits and is tried again; a later state of a run replaces its earlier one while it waits.
// While any row waits, the waiting rows are also kept in a file in `folder`
// ("tovrin-waiting-records.PID.json"), so that none is lost when the process ends or is killed:
// a keeper of the same store that starts later writes them first, and removes the file.
class RecordKeeper {
public:
    RecordKeeper(IRecordStore& store, std::string storePath, std::string folder);
    ~RecordKeeper(); // stops the thread; rows still waiting stay in the file
    RecordKeeper(const RecordKeeper&) = delete;
    RecordKeeper& operator=(const RecordKeeper&) = delete;

    // Takes over the rows that earlier processes left waiting for this store and starts
    // writing: those rows first, then the runs that processes of this host left running and
    // that have gone are marked interrupted (with their log files' text), then the rows given.
    void Start();
    void Submit(const RunRecord& record);
    // Waits until no row waits, or the time is up; true when none waits.
    bool Flush(std::chrono::milliseconds limit);
    KeeperState State();
    // Readable (an eventfd) whenever the state has changed: a row waits, or rows were written.
    int ChangedFd() const { return changed.Get(); }
    // Takes the change notice.
    void TakeChange();
    // Makes ChangedFd readable: the keeper's own changes, and those of what ships its store.
    void Changed();
    // The file that holds the waiting rows while some wait.
    const std::string& WaitingFile() const { return file; }

private:
    void Work();
    bool MarkInterrupted(std::unique_lock<std::mutex>& lock);
    bool WriteFront(std::unique_lock<std::mutex>& lock);
    void KeepWaitingRows();
    void Adopt();

    IRecordStore& store;
    const std::string storePath;
    const std::string folder;
    const std::string file;
    UniqueFd changed;

    std::mutex mutex;
    std::condition_variable wake; // a row came, or the keeper stops
    std::condition_variable idle; // the queue emptied
    // The waiting rows, oldest first; `change` counts the submissions, so that a row replaced
    // while it is being written is known.
    struct Waiting {
        RunRecord row;
        uint64_t change = 0;
        bool adopted = false; // left by an earlier process
    };
    std::deque<Waiting> queue;
    uint64_t changes = 0;
    KeeperState state;
    bool stopping = false;
    bool fileKept = false;
    bool marked = false; // the runs of processes that have gone are marked
    std::thread thread;
};

// What changed in a keeper's state: lines for people, and the same as events for programs
// ("records_adopted", "runs_interrupted", "records_waiting", "records_written").
struct KeeperNews {
    std::vector<std::string> lines;
    std::vector<nlohmann::ordered_json> events;
};
KeeperNews NewsOf(const KeeperState& before, const KeeperState& now, const std::string& storePath,
                  const std::string& waitingFile);
