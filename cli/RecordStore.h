#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The flashing record: one row per device run, kept in a store that several tovrin processes on
// one machine share (two stations, or a station and a manual run).

struct RunRecord {
    int64_t id = 0;       // given by the store
    std::string started;  // ISO 8601 UTC, "2026-12-08T17:02:04Z" (fractions of a second are kept)
    std::string finished; // the same form
    std::string host;
    std::string station;
    std::string port;                             // the path the run opened
    std::string usbVendor, usbProduct, usbSerial; // empty when not USB
    std::string configuration;                    // absolute path of the .cfg
    std::string configurationSha256;              // hex
    std::string steps;   // a JSON array as text (titles, files, sizes, hashes, blocks); empty is "[]"
    std::string outcome; // "completed", "failed", "cancelled", "not-started"
    std::optional<int64_t> errorId;   // catalogue id of the message that ended the run
    std::optional<int64_t> errorCode; // its 32-bit code
    std::string errorText;            // English text, empty when none
    uint64_t bytes = 0;
    double seconds = 0;
    std::string log; // the whole log record as UTF-8 text
};

// Which runs a query returns; empty fields do not filter. They combine with AND.
struct RunFilter {
    std::string since;   // runs started at or after this time (any form ParseSinceTime takes)
    std::string serial;  // usb_serial, exactly
    std::string port;    // port, exactly
    std::string outcome; // outcome, exactly
    size_t limit = 0;    // at most this many runs (the newest); 0: all
    bool withLog = true; // false: each run's log is left empty (a listing that does not show it
                         // need not hold every log in memory)
};

// A place where runs are recorded. Safe to use from several threads.
class IRecordStore {
public:
    virtual ~IRecordStore() = default;
    // Records one run in one transaction and sets record.id; false with the reason.
    virtual bool AddRun(RunRecord& record, std::string& error) = 0;
    // The runs the filter selects, newest first (started, then id); false with the reason.
    virtual bool Query(const RunFilter& filter, std::vector<RunRecord>& runs, std::string& error) = 0;
};

// The schema version this program writes (PRAGMA user_version). A file with a newer one is
// refused and left as it is.
constexpr int64_t kRecordStoreSchemaVersion = 1;

// Opens (creating it and its missing folders when needed) the SQLite record store at path and
// checks that it can be written; null with a text naming the path when it cannot be used.
std::unique_ptr<IRecordStore> OpenRecordStore(const std::string& path, std::string& error);

// $XDG_STATE_HOME/tovrin/records.db, else $HOME/.local/state/tovrin/records.db; empty when
// neither is set. environment answers like getenv.
std::string DefaultRecordStorePath(const char* (*environment)(const char*));

// A time for "runs since": a UTC date "2026-12-08" (midnight), a UTC date and time
// "2026-12-08T17:02", "2026-12-08T17:02:04" or "2026-12-08 17:02:04" (each with an optional "Z"),
// or an age before now, "30m", "12h", "7d". Gives the time as "2026-12-08T17:02:04Z"; false with
// the reason for anything else.
bool ParseSinceTime(const std::string& text, std::time_t now, std::string& isoUtc, std::string& error);
