// tovrin station: every board plugged into the watched folder is loaded once per plug, in
// parallel with the others, and recorded. One supervisor owns the runs by their entry and waits
// in one poll on the signals, the folder, the runs' ends and the screen's timer.
#include "cli/Commands.h"
#include "cli/ConfigurationCheck.h"
#include "cli/DeviceRun.h"
#include "cli/LogOutput.h"
#include "cli/Records.h"
#include "cli/RunId.h"
#include "cli/Supervision.h"
#include "record/PostgresStore.h"
#include "station/Heartbeat.h"
#include "station/WatchedFolder.h"

#include <fnmatch.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <map>
#include <thread>

namespace {

constexpr long kScreenTickMs = 100; // while devices load; an idle station sleeps

const char* Environment(const char* name) {
    return std::getenv(name);
}

// A name for file names: letters, digits, '.', '-' and '_'; anything else becomes '_'.
std::string FileNamePart(const std::string& text) {
    std::string part;
    for (char c : text) {
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                           c == '.' || c == '-' || c == '_';
        part += plain ? c : '_';
    }
    return part.empty() ? std::string("device") : part;
}

// "20261208-170204.123-A10K3XYZ-0f2c5f0e-8a47-4b3c-9d1e-2a6b7c8d9e0f.log" in the logs folder:
// the run's id makes it the run's own (the ports of one adapter share a serial number, and
// stations may share the folder); the run makes it with O_EXCL.
std::string LogName(const std::string& folder, const std::string& name, const std::string& runId) {
    const std::string iso = IsoUtc(std::chrono::system_clock::now()); // 2026-12-08T17:02:04.123Z
    const std::string stamp = iso.substr(0, 4) + iso.substr(5, 2) + iso.substr(8, 2) + "-" +
                              iso.substr(11, 2) + iso.substr(14, 2) + iso.substr(17, 6);
    return folder + "/" + stamp + "-" + FileNamePart(name) + "-" + runId + ".log";
}

// The device an entry leads to (its node's number), or 0 when it leads to none.
dev_t DeviceOf(const std::string& path) {
    struct stat node {};
    return stat(path.c_str(), &node) == 0 && S_ISCHR(node.st_mode) ? node.st_rdev : 0;
}

// The station's output for people: the devices' own lines stay in their logs; problems go to
// standard error between the screen's lines.
class StationText : public IRunOutput {
public:
    explicit StationText(bool terminal) : console(stdout, terminal) {}
    void Line(const std::string&, const std::string&, const std::string&) override {}
    void Problem(const std::string& text) override { console.Error("tovrin: " + text); }
    void ShowProgress(const std::vector<DeviceProgress>&) override {}
    void DeviceEnded(const RunResult&) override {}
    void Finish(const nlohmann::ordered_json&, const std::vector<RunResult>&) override {}
    void Abandon() override { console.ShowBars({}); }

    Console console;
};

// One entry of the folder: a device while it is plugged in.
struct Slot {
    std::string path; // the watched entry, which the run opens
    std::string name; // as the screen shows it: the USB serial number, else the entry's name
    dev_t device = 0; // the device it leads to
    bool present = true;
    bool waiting = false; // plugged again while its last run was still ending
    bool skipped = false; // present at the start and not loaded
    std::string aliasOf;  // another name of a device that was loading when it appeared
    ConfigurationFacts facts;
    std::unique_ptr<RunSetup> setup;
    std::unique_ptr<DeviceRun> run;
    std::thread thread;
    std::optional<RunResult> last; // shown until the device is unplugged
};

class Station {
public:
    Station(const CliOptions& options, Records& records, Heartbeat& heartbeat,
            std::unique_ptr<IRunOutput> output, StationText* text)
        : options(options), records(records), heartbeat(heartbeat), output(std::move(output)), text(text),
          catalogue(options.language), watched(AbsolutePath(options.watchFolder)), folder(watched) {}

    // Everything that can be refused is refused before any device is touched.
    bool Prepare(std::string& reason);
    int Run();

private:
    void OnSignal();
    void TellRecords();
    void Appeared(const std::string& entry, bool atStart);
    bool AnotherName(Slot& slot);
    void Went(const std::string& entry);
    void Removed(const Slot& slot);
    void Start(Slot& slot);
    void Reap();
    void Finish(Slot& slot);
    void FinishRecords();
    void Show();
    StationState State();
    void Tell(const std::string& line, bool evenQuiet = false);
    bool Busy() const;
    int ExitStatus() const;

    const CliOptions& options;
    Records& records;
    Heartbeat& heartbeat;
    std::unique_ptr<IRunOutput> output;
    StationText* text; // the text output, when it is not JSON
    const BuiltInCatalogue catalogue;
    const std::string watched; // the folder, absolute: the runs' ports are recorded by it
    WatchedFolder folder;
    std::string configuration; // absolute
    std::string configurationSha256;
    const std::string startedAt = IsoUtc(std::chrono::system_clock::now());
    UniqueFd signals;
    UniqueFd ended = UniqueFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    UniqueFd timer = UniqueFd(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
    bool ticking = false;
    std::map<std::string, Slot> slots;      // by entry name
    std::map<std::string, bool> stuckPaths; // ports a stuck run still holds: left alone
    uint64_t started = 0;
    uint64_t finished = 0;
    uint64_t passed = 0;
    uint64_t failed = 0;
    bool allCompleted = true;
    int signal = 0;
    bool stopping = false;
};

bool Station::Prepare(std::string& reason) {
    const ConfigurationFacts facts = InspectConfiguration(options.configFile, catalogue);
    if (facts.problem) {
        reason = facts.problem->file + ": " + facts.problem->words;
        return false;
    }
    configuration = facts.path;
    configurationSha256 = facts.sha256;
    std::string why;
    if (!FolderWritable(options.logsFolder, why)) {
        reason = "the logs cannot be written: " + why;
        return false;
    }
    if (!ended || !timer) {
        reason = std::string("eventfd: ") + std::strerror(errno);
        return false;
    }
    if (!folder.Start(reason)) {
        return false;
    }
    signals = TerminationSignals(); // the runs' threads inherit the mask
    if (!signals) {
        reason = std::string("signalfd: ") + std::strerror(errno);
        return false;
    }
    records.Start();
    heartbeat.Start();
    return true;
}

int Station::Run() {
    output->Event({{"event", "station_start"},
                   {"watch", Utf8(watched)},
                   {"match", Utf8(options.match)},
                   {"configuration", Utf8(configuration)},
                   {"station", Utf8(StationName(options))}});
    Tell("watching " + watched + " for devices (" + options.match + "), loading " + configuration +
         "; Ctrl-C ends");
    // The entries the folder's watch began with: one that appears after is told by an event.
    for (const std::string& entry : folder.Present()) {
        Appeared(entry, true);
    }
    while (!stopping || Busy()) {
        // The screen is drawn while devices load; an idle station sleeps until something happens.
        if (Busy() != ticking) {
            ticking = !ticking;
            SetTicks(timer.Get(), ticking ? kScreenTickMs : 0);
            if (!ticking) {
                Show(); // the screen's last drawing before the station sleeps shows it idle
            }
        }
        pollfd waits[] = {{signals.Get(), POLLIN, 0},
                          {folder.Fd(), POLLIN, 0},
                          {ended.Get(), POLLIN, 0},
                          {timer.Get(), POLLIN, 0},
                          {records.ChangedFd(), POLLIN, 0}};
        if (poll(waits, 5, -1) < 0) {
            continue; // EINTR
        }
        if (waits[4].revents != 0) {
            TellRecords();
        }
        if (waits[0].revents != 0) {
            OnSignal();
        }
        if (waits[2].revents != 0) {
            DrainEventFd(ended.Get());
            Reap();
        }
        if (waits[1].revents != 0) {
            if (folder.Read([this](const std::string& entry) { Appeared(entry, false); },
                            [this](const std::string& entry) { Went(entry); })) {
                output->Event({{"event", "folder_rescanned"}, {"watch", Utf8(watched)}});
                Tell("events of " + watched + " were lost: the folder was listed again", true);
            }
        }
        if (waits[3].revents != 0) {
            DrainEventFd(timer.Get());
            Show();
        }
        heartbeat.Post(State());
    }
    Show();
    FinishRecords();
    StationState last = State();
    last.stopped = IsoUtc(std::chrono::system_clock::now());
    heartbeat.Stop(last);
    const int status = ExitStatus();
    if (text != nullptr) {
        text->console.ShowBars({});
        text->console.Line("", "totals: " + std::to_string(passed) + " passed, " + std::to_string(failed) +
                                   " failed, " + std::to_string(finished) + " runs");
    } else {
        output->Event({{"event", "station_end"},
                       {"runs", finished},
                       {"passed", passed},
                       {"failed", failed},
                       {"exit_status", status}});
    }
    return status;
}

// The first signal stops taking devices and cancels the runs (their logs and records are written
// as cancelled); a second one leaves at once.
void Station::OnSignal() {
    while (const int arrived = TakeSignal(signals.Get())) {
        if (signal != 0) {
            output->Abandon();
            std::fflush(stdout);
            std::_Exit(kExitSignalBase + arrived); // rows still waiting are in the keeper's file
        }
        signal = arrived;
        stopping = true;
        for (auto& [entry, slot] : slots) {
            if (slot.run) {
                slot.run->Cancel();
            }
        }
    }
}

// What the record has to say, as lines (even with -q: they are about the record) or events.
void Station::TellRecords() {
    const Records::News news = records.TakeNews();
    for (const nlohmann::ordered_json& event : news.events) {
        output->Event(event);
    }
    for (const std::string& line : news.lines) {
        Tell(line, true);
    }
}

// The rows still waiting get the time a locked store is waited for; those that still cannot be
// written or shipped are kept for the next tovrin of this store.
void Station::FinishRecords() {
    const std::vector<std::string> waiting = records.Finish();
    TellRecords();
    for (const std::string& line : waiting) {
        output->Problem(line);
    }
}

void Station::Appeared(const std::string& entry, bool atStart) {
    // Names starting with a dot (udev's links while it makes them) only when the pattern asks.
    if (fnmatch(options.match.c_str(), entry.c_str(), FNM_PERIOD) != 0) {
        return;
    }
    auto [found, added] = slots.try_emplace(entry);
    Slot& slot = found->second;
    slot.present = true;
    if (added) {
        slot.path = watched + "/" + entry;
        const std::optional<UsbIdentity> usb = ReadUsbIdentity(slot.path);
        slot.name = usb && !usb->serial.empty() ? usb->serial : entry;
    }
    slot.device = DeviceOf(slot.path);
    output->Event({{"event", "device_added"}, {"port", Utf8(slot.path)}, {"name", Utf8(slot.name)}});
    Tell(slot.name + ": plugged in (" + slot.path + ")");
    if (atStart && !options.existing) {
        slot.skipped = true;
        return;
    }
    slot.skipped = false;
    if (slot.run) {
        slot.waiting = true; // its last run is still ending
        return;
    }
    if (AnotherName(slot)) {
        return;
    }
    Start(slot);
}

// One device under two names (two links to one tty, a by-id and a by-path link) is loaded once:
// the second name, seen while the device loads, is told as such and not loaded.
bool Station::AnotherName(Slot& slot) {
    slot.aliasOf.clear();
    for (const auto& [entry, other] : slots) {
        // Looked at now: a device that went frees its number for the next one (ptys do).
        if (&other != &slot && other.run && other.present && slot.device != 0 &&
            DeviceOf(other.path) == slot.device) {
            slot.aliasOf = other.path;
            output->Event({{"event", "device_alias"}, {"port", Utf8(slot.path)}, {"of", Utf8(other.path)}});
            Tell(slot.name + ": another name of " + other.path + ", which is loading; not loaded again");
            return true;
        }
    }
    return false;
}

void Station::Went(const std::string& entry) {
    auto found = slots.find(entry);
    if (found == slots.end()) {
        return;
    }
    Slot& slot = found->second;
    slot.present = false;
    slot.waiting = false;
    if (!slot.run) {
        Removed(slot);
        slots.erase(found);
    }
    // A device that goes during its run is told gone after the run's end.
}

void Station::Removed(const Slot& slot) {
    output->Event({{"event", "device_removed"}, {"port", Utf8(slot.path)}, {"name", Utf8(slot.name)}});
    Tell(slot.name + ": unplugged");
}

void Station::Start(Slot& slot) {
    if (stopping || (options.count != 0 && started >= options.count) || stuckPaths.count(slot.path) != 0) {
        return;
    }
    slot.last.reset();
    slot.facts = InspectConfiguration(options.configFile, catalogue);
    if (slot.facts.problem) {
        output->Problem(slot.facts.problem->file + ": " + slot.facts.problem->words);
    }
    slot.setup = std::make_unique<RunSetup>(
        RunSetup{options, slot.facts, catalogue, *output, slot.facts.problem.has_value()});
    slot.setup->recorder = records.Recorder();
    slot.setup->newLogs = true;
    const std::string runId = NewRunId();
    slot.run = std::make_unique<DeviceRun>(*slot.setup, slot.path,
                                           LogName(options.logsFolder, slot.name, runId), runId);
    const int done = ended.Get();
    slot.thread = std::thread([run = slot.run.get(), done] {
        run->Run();
        SignalEventFd(done);
    });
    ++started;
}

void Station::Reap() {
    for (auto it = slots.begin(); it != slots.end();) {
        Slot& slot = it->second;
        if (slot.run && slot.run->Finished()) {
            Finish(slot);
        }
        if (!slot.run && !slot.present) {
            Removed(slot);
            it = slots.erase(it);
            continue;
        }
        if (!slot.run && slot.waiting) {
            slot.waiting = false;
            Start(slot);
        }
        ++it;
    }
    if (options.count != 0 && finished >= options.count) {
        stopping = true;
    }
}

// A run has ended: it is recorded and told, and its session goes.
void Station::Finish(Slot& slot) {
    slot.thread.join();
    RunResult result = slot.run->Result();
    slot.run.reset();
    slot.setup.reset();
    if (result.stuck) {
        stuckPaths[slot.path] = true;
    }
    output->DeviceEnded(result); // its row was handed to the keeper by the run itself
    Tell(EndLine(result, slot.name) + " (log " + result.log + ")", true);
    ++finished;
    const bool completed = result.outcome == RunOutcome::Completed;
    allCompleted = allCompleted && completed;
    ++(completed ? passed : failed);
    slot.last = std::move(result);
}

bool Station::Busy() const {
    for (const auto& [entry, slot] : slots) {
        if (slot.run) {
            return true;
        }
    }
    return false;
}

int Station::ExitStatus() const {
    if (signal != 0) {
        return kExitSignalBase + signal;
    }
    return allCompleted ? kExitCompleted : kExitFailed;
}

// An event as a line: on a terminal above the screen, without one as the station's record. With
// -q only the end of each run is told, as a transfer tells it.
void Station::Tell(const std::string& line, bool evenQuiet) {
    if (text != nullptr && (evenQuiet || !options.quiet)) {
        text->console.Line("", line);
    }
}

// On a terminal: a line per device (its progress, or PASS or FAIL and the time until it is
// unplugged) and the totals. As JSON: the devices' progress events.
void Station::Show() {
    std::vector<DeviceProgress> running;
    std::vector<std::string> lines;
    const size_t width = text != nullptr ? text->console.Width() : 80;
    for (auto& [entry, slot] : slots) {
        if (slot.run) {
            DeviceProgress now = slot.run->CurrentProgress();
            lines.push_back(ProgressBar(slot.name, now.progress, width));
            running.push_back(std::move(now));
        } else if (slot.last) {
            const bool pass = slot.last->outcome == RunOutcome::Completed;
            std::string line = slot.name + (pass ? " PASS " : " FAIL ") +
                               std::to_string(static_cast<unsigned>(slot.last->seconds + 0.5)) + " s";
            if (!pass && slot.last->error) {
                line += "  " + ForTerminal(slot.last->error->text);
            }
            lines.push_back(line.substr(0, width > 1 ? width - 1 : line.size()));
        } else if (slot.skipped) {
            lines.push_back(slot.name + " present at the start, not loaded");
        } else if (!slot.aliasOf.empty()) {
            lines.push_back(slot.name + " another name of " + slot.aliasOf);
        }
    }
    const std::string waiting = records.Summary();
    lines.push_back("passed " + std::to_string(passed) + "  failed " + std::to_string(failed) + "  loading " +
                    std::to_string(running.size()) + (waiting.empty() ? "" : "  " + waiting) +
                    (stopping ? "  (stopping)" : ""));
    if (text == nullptr) {
        output->ShowProgress(running);
    } else if (text->console.Terminal() && !options.quiet) {
        text->console.ShowBars(lines);
    }
}

// What the station tells a board: who it is, and each slot as its screen shows it.
StationState Station::State() {
    StationState state;
    state.station = StationName(options);
    state.host = HostName();
    state.pid = getpid();
    state.version = TOVRIN_VERSION;
    state.started = startedAt;
    state.configuration = configuration;
    state.configurationSha256 = configurationSha256;
    for (auto& [entry, slot] : slots) {
        SlotState shown{slot.path, slot.name, "idle", "", 0, 0, 0, 0, "", ""};
        if (slot.run) {
            const DeviceProgress now = slot.run->CurrentProgress();
            shown.state = "loading";
            shown.phase = PhaseName(now.progress.phase);
            shown.step = now.progress.step;
            shown.steps = now.progress.steps;
            shown.percentage = now.progress.fraction * 100;
            shown.seconds = now.progress.seconds;
            shown.runId = now.runId;
        } else if (slot.last) {
            const bool pass = slot.last->outcome == RunOutcome::Completed;
            shown.state = pass ? "passed" : "failed";
            shown.seconds = slot.last->seconds;
            shown.runId = slot.last->runId;
            shown.error = !pass && slot.last->error ? slot.last->error->text : "";
        }
        state.slots.push_back(std::move(shown));
    }
    return state;
}

} // namespace

int RunStation(const CliOptions& options) {
    const std::string path = options.dbFile.empty() ? DefaultRecordStorePath(Environment) : options.dbFile;
    std::string reason;
    Records records;
    if (!records.Open(options, path, AbsolutePath(options.logsFolder),
                      RunPlace{HostName(), StationName(options)}, reason)) {
        std::cerr << "tovrin: " << reason << "\n";
        return kExitRefused;
    }
    const bool terminal = isatty(STDOUT_FILENO) == 1;
    std::unique_ptr<IRunOutput> output;
    StationText* text = nullptr;
    if (options.json) {
        OutputOptions shown;
        shown.json = true;
        output = MakeRunOutput(shown, stdout, terminal);
    } else {
        auto owned = std::make_unique<StationText>(terminal);
        text = owned.get();
        output = std::move(owned);
    }
    // The beats have a connection of their own: a slow store holds up neither runs nor rows.
    Heartbeat heartbeat(
        [&options, path](std::string& error) -> std::unique_ptr<IRecordStore> {
            if (IsServerUri(path)) {
                return MakeServerStore(path, options.dbSchema);
            }
            return OpenRecordStore(path, error);
        },
        [&records] { return records.Pending(); });
    Station station(options, records, heartbeat, std::move(output), text);
    if (!station.Prepare(reason)) {
        std::cerr << "tovrin: " << reason << "\n";
        return kExitRefused;
    }
    return station.Run();
}
