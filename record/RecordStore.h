#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The flashing record: one row per device run, kept in a store that several tovrin processes on
// one machine share (two stations, or a station and a manual run).

struct RunRecord {
    int64_t id = 0;       // given by the store
    std::string uuid;     // the run's id, given when it starts (empty only in rows of schema 1)
    std::string started;  // ISO 8601 UTC, "2026-12-08T17:02:04Z" (fractions of a second are kept)
    std::string finished; // the same form; empty while the run goes, and for an interrupted run
    std::string host;
    std::string station;
    std::string port;                             // the path the run opened
    std::string usbVendor, usbProduct, usbSerial; // empty when not USB
    std::string configuration;                    // absolute path of the .cfg
    std::string configurationSha256;              // hex
    std::string steps; // a JSON array as text (titles, files, sizes, hashes, blocks); empty is "[]"
    // "running" from the start, then "completed", "failed", "cancelled" or "not-started";
    // "interrupted" when the process that made it went before its end.
    std::string outcome;
    std::optional<int64_t> errorId;   // catalogue id of the message that ended the run
    std::optional<int64_t> errorCode; // its 32-bit code
    std::string errorText;            // English text, empty when none
    uint64_t bytes = 0;
    double seconds = 0;
    std::string log;                    // the whole log record as UTF-8 text
    int64_t pid = 0;                    // the process that made the run; 0 when not known
    std::string logFile;                // where the log was written
    std::optional<int64_t> systemErrno; // the system's cause of a failure
    std::string systemError;            // that cause in words, naming the device or file
};

// Which runs a query returns; empty fields do not filter. They combine with AND.
struct RunFilter {
    std::string since;     // runs started at or after this time (any form ParseSinceTime takes)
    std::string serial;    // usb_serial, exactly
    std::string port;      // port, exactly
    std::string outcome;   // outcome, exactly
    std::string station;   // station, exactly
    std::string uuid;      // the run of this id
    size_t limit = 0;      // at most this many runs (the newest); 0: all
    bool withLog = true;   // false: each run's log is left empty (a listing that does not show it
                           // need not hold every log in memory)
    bool withSteps = true; // false: the steps are left empty (the table does not show them)
};

// One position of a station's fixture as the station last told it.
struct SlotState {
    std::string port;  // the watched entry's path
    std::string name;  // as the station's screen shows it
    std::string state; // "idle", "loading", "passed" or "failed"
    std::string phase; // while loading: "waiting", "connecting", "boot" or "program"
    size_t step = 0;   // from 1, of `steps`
    size_t steps = 0;
    double percentage = 0; // of the run's bytes
    double seconds = 0;    // of the run so far, or of the run that ended
    std::string runId;     // the run loading or last ended; empty when none
    std::string error;     // why the last run failed
};

// A station's heartbeat: who it is, when it was last seen, and its slots.
struct StationState {
    std::string station;
    std::string host;
    int64_t pid = 0;
    std::string version;
    std::string started; // ISO 8601 UTC, as runs give times
    std::string seen;    // the last heartbeat (the server's clock on a server)
    std::string stopped; // when it ended; empty while it runs
    std::string configuration;
    std::string configurationSha256;
    int64_t recordsPending = 0; // rows not yet in the record (waiting, or not yet shipped)
    std::vector<SlotState> slots;
    double secondsSinceSeen = 0; // given by the store when read, by its own clock
};

// A station not seen for this long is offline.
constexpr double kStationOfflineSeconds = 30;
bool StationOnline(const StationState& station);

nlohmann::ordered_json SlotsJson(const std::vector<SlotState>& slots);
std::vector<SlotState> SlotsFromJson(const nlohmann::json& slots);
nlohmann::ordered_json StationStateJson(const StationState& station);
// A station's row as both stores read it, column by column as text: station, host, version,
// started, seen, stopped, configuration, configuration_sha256, slots, pid, records_pending, and
// the seconds since it was seen.
StationState StationFromRow(const std::function<std::string(int)>& column);

// The finished runs of one station, port and outcome: how many, their seconds together, and how
// many took at most each of DurationBuckets() seconds.
struct RunCount {
    std::string station;
    std::string port;
    std::string outcome;
    uint64_t runs = 0;
    double seconds = 0;
    std::vector<uint64_t> atMost; // one per bucket
};
const std::vector<double>& DurationBuckets();
// The SQL that counts them (both stores speak it): `where` is the query's condition.
std::string RunCountStatement(const std::string& table, const std::string& where);

// A place where runs are recorded. Safe to use from several threads.
class IRecordStore {
public:
    virtual ~IRecordStore() = default;
    // Writes a run in one transaction: a new row, or the row of its uuid brought up to date
    // (a run's end replaces its start; a start never replaces an end). Sets record.id; false
    // with the reason.
    virtual bool WriteRun(RunRecord& record, std::string& error) = 0;
    // Writes runs in their order, in one transaction where the store has them; false with the
    // reason, and then some may have been written (writing them again does no harm).
    virtual bool WriteRuns(std::vector<RunRecord>& records, std::string& error) {
        for (RunRecord& record : records) {
            if (!WriteRun(record, error)) {
                return false;
            }
        }
        return true;
    }
    // The runs the filter selects, newest first (started, then id); false with the reason.
    // A run left "running" on this host by a process that is gone is given as "interrupted".
    virtual bool Query(const RunFilter& filter, std::vector<RunRecord>& runs, std::string& error) = 0;
    // Marks the runs that processes of this host left "running" and that are gone as
    // "interrupted", each with what its log file holds (readLog gives it, or nothing); how many
    // in `marked`. False with the reason.
    virtual bool MarkInterrupted(const std::function<std::optional<std::string>(const RunRecord&)>& readLog,
                                 size_t& marked, std::string& error) = 0;
    // Writes a station's heartbeat, replacing its last one; false with the reason.
    virtual bool WriteStation(const StationState& station, std::string& error) {
        error = "this record store keeps no stations: " + station.station;
        return false;
    }
    // Every station that wrote a heartbeat, by name; none where no station ever did.
    virtual bool QueryStations(std::vector<StationState>& stations, std::string& error) {
        stations.clear();
        error.clear();
        return true;
    }
    // The finished runs that started at or after `since` and before `before` (ISO 8601 UTC;
    // empty: no bound), counted by station, port and outcome; false with the reason.
    virtual bool CountRuns(const std::string&, const std::string&, std::vector<RunCount>& counts,
                           std::string& error) {
        counts.clear();
        error = "this record store cannot count runs";
        return false;
    }
};

// The schema version this program writes (PRAGMA user_version). A file with a newer one is
// refused and left as it is; one of version 1 is brought up to this one by a writer, and read
// as it is by a reader.
constexpr int64_t kRecordStoreSchemaVersion = 2;

// Opens (creating it and its missing folders when needed) the SQLite record store at path and
// checks that it can be written; null with a text naming the path when it cannot be used.
std::unique_ptr<IRecordStore> OpenRecordStore(const std::string& path, std::string& error);

// Opens an existing record store to read it only: no lock, no write, no file made beside it,
// so that a user who may only read it can, and beside the stations that write it. WriteRun and
// MarkInterrupted fail.
std::unique_ptr<IRecordStore> OpenRecordStoreForReading(const std::string& path, std::string& error);

// Whether a run's process still runs: a process of that id on this host, and a tovrin.
bool RunProcessAlive(int64_t pid);

// This machine's name as runs record it; "localhost" when it has none.
std::string ThisHost();

// A run that a process of this host left running, and that process is gone: it is interrupted,
// whatever its row says.
bool AbandonedRun(const RunRecord& run, const std::string& host);

// Whether a query for that outcome must read "running" and "interrupted" rows alike, to tell
// them apart by their processes (SettleRunning); such a query is not limited by the store.
bool UnsureOutcome(const RunFilter& filter);
// The rows a store found, with runs of gone processes of this host given as interrupted, and
// the outcome filter and limit applied where the store could not.
std::vector<RunRecord> SettleRunning(std::vector<RunRecord> found, const RunFilter& filter);

// "0f2c5f0e-8a47-4b3c-9d1e-2a6b7c8d9e0f": 36 characters, hex digits and four dashes.
bool IsUuid(const std::string& text);

// Whether a row may be stored: its times, outcome, run id, steps and figures; false with the
// reason.
bool CheckRecord(const RunRecord& record, std::string& error);

// $XDG_STATE_HOME/tovrin/records.db, else $HOME/.local/state/tovrin/records.db; empty when
// neither is set. environment answers like getenv.
std::string DefaultRecordStorePath(const char* (*environment)(const char*));

// A time for "runs since": a UTC date "2026-12-08" (midnight), a UTC date and time
// "2026-12-08T17:02", "2026-12-08T17:02:04" or "2026-12-08 17:02:04" (each with an optional "Z"),
// or an age before now, "30m", "12h", "7d". Gives the time as "2026-12-08T17:02:04Z"; false with
// the reason for anything else.
bool ParseSinceTime(const std::string& text, std::time_t now, std::string& isoUtc, std::string& error);

// A run's row as JSON, every column under its name (the steps as the JSON they are, nothing as
// null), and back: the history listing and the file of rows waiting to be written use it.
nlohmann::ordered_json RunRecordJson(const RunRecord& run);
// False when the object is not such a row.
bool RunRecordFromJson(const nlohmann::json& object, RunRecord& run);
