#include "record/RecordKeeper.h"

#include "record/Support.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

constexpr char kFilePrefix[] = "tovrin-waiting-records.";
constexpr char kFileSuffix[] = ".json";
// A failed write is tried again after 1 s, then after twice as long each time, up to 10 s.
constexpr std::chrono::milliseconds kFirstRetry{1000};
constexpr std::chrono::milliseconds kLastRetry{10000};

std::string RealPath(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}

std::string Now() {
    return IsoUtc(std::chrono::system_clock::now());
}

// The writer's process id from a file name "tovrin-waiting-records.PID.json"; 0 for other names.
int64_t WriterOf(const std::string& name) {
    const size_t prefix = sizeof kFilePrefix - 1;
    const size_t suffix = sizeof kFileSuffix - 1;
    if (name.size() <= prefix + suffix || name.compare(0, prefix, kFilePrefix) != 0 ||
        name.compare(name.size() - suffix, suffix, kFileSuffix) != 0) {
        return 0;
    }
    const std::string digits = name.substr(prefix, name.size() - prefix - suffix);
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 9) {
        return 0;
    }
    return std::stoll(digits);
}

std::string FileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// What an interrupted run's log file holds, as UTF-8 text; nothing when it cannot be read.
std::optional<std::string> LogFileText(const RunRecord& run) {
    std::ifstream in(run.logFile, std::ios::binary);
    if (run.logFile.empty() || !in) {
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return Utf8Text(text.str());
}

} // namespace

RecordKeeper::RecordKeeper(IRecordStore& store, std::string storePath, std::string folder)
    : store(store), storePath(RealPath(storePath)), folder(std::move(folder)),
      file(this->folder + "/" + kFilePrefix + std::to_string(getpid()) + kFileSuffix),
      changed(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

RecordKeeper::~RecordKeeper() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    wake.notify_all();
    if (thread.joinable()) {
        thread.join();
    }
}

void RecordKeeper::Start() {
    Adopt();
    thread = std::thread([this] { Work(); });
}

void RecordKeeper::Submit(const RunRecord& record) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        // A later state of a run that still waits takes the earlier one's place.
        auto same = std::find_if(queue.begin(), queue.end(), [&](const Waiting& waiting) {
            return !record.uuid.empty() && waiting.row.uuid == record.uuid;
        });
        if (same != queue.end()) {
            *same = {record, ++changes};
        } else {
            queue.push_back({record, ++changes});
        }
        state.waiting = queue.size();
        if (fileKept) {
            KeepWaitingRows(); // while the store fails, every new row is in the file too
            Changed();
        }
    }
    wake.notify_all();
}

bool RecordKeeper::Flush(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex);
    return idle.wait_for(lock, limit, [this] { return queue.empty(); });
}

KeeperState RecordKeeper::State() {
    std::lock_guard<std::mutex> lock(mutex);
    return state;
}

void RecordKeeper::TakeChange() {
    DrainEventFd(changed.Get());
}

void RecordKeeper::Changed() {
    SignalEventFd(changed.Get());
}

void RecordKeeper::Work() {
    std::unique_lock<std::mutex> lock(mutex);
    std::chrono::milliseconds retry = kFirstRetry;
    for (;;) {
        wake.wait(lock, [this] { return stopping || !queue.empty() || !marked; });
        if (stopping) {
            return; // rows still waiting are in the file
        }
        // The rows taken over come before the marking: one of them may be a run's end.
        const bool adoptedWait =
            std::any_of(queue.begin(), queue.end(), [](const Waiting& w) { return w.adopted; });
        const bool done = marked || adoptedWait ? WriteFront(lock) : MarkInterrupted(lock);
        if (done) {
            retry = kFirstRetry;
            continue;
        }
        const auto again = std::chrono::steady_clock::now() + retry;
        retry = std::min(retry * 2, kLastRetry);
        wake.wait_until(lock, again, [this] { return stopping; });
    }
}

bool RecordKeeper::MarkInterrupted(std::unique_lock<std::mutex>& lock) {
    lock.unlock();
    size_t count = 0;
    std::string reason;
    const bool done = store.MarkInterrupted(LogFileText, count, reason);
    lock.lock();
    if (!done) {
        state.reason = reason;
        return false;
    }
    marked = true;
    state.interrupted = count;
    if (count > 0) {
        Changed();
    }
    return true;
}

// Writes the oldest waiting row; the lock is let go while the store works. A row replaced by a
// later state meanwhile stays, to be written again.
bool RecordKeeper::WriteFront(std::unique_lock<std::mutex>& lock) {
    RunRecord row = queue.front().row;
    const uint64_t change = queue.front().change;
    lock.unlock();
    std::string reason;
    const bool written = store.WriteRun(row, reason);
    lock.lock();
    if (!written) {
        const bool first = state.since.empty();
        state.since = first ? Now() : state.since;
        state.reason = reason;
        KeepWaitingRows();
        if (first) {
            Changed();
        }
        return false;
    }
    if (queue.front().change == change) {
        queue.pop_front();
    }
    ++state.written;
    state.waiting = queue.size();
    if (queue.empty()) {
        const bool wasWaiting = !state.since.empty();
        state.since.clear();
        state.reason.clear();
        if (fileKept) {
            unlink(file.c_str());
            fileKept = false;
        }
        if (wasWaiting) {
            Changed();
        }
        idle.notify_all();
    } else if (fileKept) {
        KeepWaitingRows();
    }
    return true;
}

// The waiting rows, in the order they are written, into the keeper's file.
void RecordKeeper::KeepWaitingRows() {
    nlohmann::ordered_json rows = nlohmann::ordered_json::array();
    for (const Waiting& waiting : queue) {
        rows.push_back(RunRecordJson(waiting.row));
    }
    const nlohmann::ordered_json document = {{"store", storePath}, {"pid", getpid()}, {"records", rows}};
    std::string failure;
    if (ReplaceFile(file, document.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace),
                    failure)) {
        fileKept = true;
    } else if (state.reason.find(file) == std::string::npos) {
        state.reason += "; the waiting records cannot be kept either: " + failure;
    }
}

// The files of processes that have gone, for this store: their rows go first, and are kept in
// this keeper's file before theirs is removed.
void RecordKeeper::Adopt() {
    DIR* listing = opendir(folder.c_str());
    if (listing == nullptr) {
        return;
    }
    std::vector<std::string> taken;
    while (const dirent* entry = readdir(listing)) {
        const int64_t writer = WriterOf(entry->d_name);
        if (writer == 0 || writer == getpid() || RunProcessAlive(writer)) {
            continue;
        }
        const std::string path = folder + "/" + entry->d_name;
        const nlohmann::json document = nlohmann::json::parse(FileText(path), nullptr, false);
        if (document.is_discarded() || !document.is_object() || document.value("store", "") != storePath ||
            !document.contains("records") || !document["records"].is_array()) {
            continue;
        }
        for (const nlohmann::json& object : document["records"]) {
            RunRecord row;
            if (RunRecordFromJson(object, row)) {
                queue.push_back({row, ++changes, true});
                ++state.adopted;
            }
        }
        taken.push_back(path);
        state.adoptedFrom += (state.adoptedFrom.empty() ? "" : ", ") + path;
    }
    closedir(listing);
    if (taken.empty()) {
        return;
    }
    state.waiting = queue.size();
    KeepWaitingRows();
    if (fileKept) {
        for (const std::string& path : taken) {
            unlink(path.c_str());
        }
    }
    Changed();
}

KeeperNews NewsOf(const KeeperState& before, const KeeperState& now, const std::string& storePath,
                  const std::string& waitingFile) {
    KeeperNews news;
    const std::string store = Utf8Text(storePath);
    if (now.adopted > before.adopted) {
        news.lines.push_back(std::to_string(now.adopted) + " records that an earlier tovrin left waiting (" +
                             now.adoptedFrom + ") are written to " + storePath);
        news.events.push_back({{"event", "records_adopted"},
                               {"count", now.adopted},
                               {"files", Utf8Text(now.adoptedFrom)},
                               {"store", store}});
    }
    if (now.interrupted > before.interrupted) {
        news.lines.push_back(std::to_string(now.interrupted) +
                             " runs left running by a tovrin that has gone are recorded as interrupted in " +
                             storePath);
        news.events.push_back({{"event", "runs_interrupted"}, {"count", now.interrupted}, {"store", store}});
    }
    if (!now.since.empty() && before.since.empty()) {
        news.lines.push_back(std::to_string(now.waiting) + " records wait to be written to " + storePath +
                             " (" + now.reason + "); they are kept in " + waitingFile + " and tried again");
    }
    if (!now.since.empty() && (before.since.empty() || now.waiting != before.waiting)) {
        news.events.push_back({{"event", "records_waiting"},
                               {"count", now.waiting},
                               {"since", now.since},
                               {"reason", Utf8Text(now.reason)},
                               {"file", Utf8Text(waitingFile)},
                               {"store", store}});
    }
    if (now.since.empty() && !before.since.empty()) {
        news.lines.push_back("the waiting records are written to " + storePath);
        news.events.push_back({{"event", "records_written"},
                               {"count", now.written - before.written},
                               {"waiting", now.waiting},
                               {"store", store}});
    }
    return news;
}
