#include "record/RecordStore.h"

#include "record/Outbox.h"
#include "record/RunColumns.h"
#include "record/Support.h"

#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

// How long a write waits for another process's transaction before it gives up.
constexpr int kBusyMilliseconds = 10000;

struct DatabaseCloser {
    void operator()(sqlite3* database) const { sqlite3_close_v2(database); }
};
using Database = std::unique_ptr<sqlite3, DatabaseCloser>;

struct StatementFinalizer {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

// Leaves a kept statement ready for its next use, whatever way its use ended, and lets go of
// the bound values (they are bound without a copy).
class StatementUse {
public:
    explicit StatementUse(sqlite3_stmt* statement) : statement(statement) {}
    ~StatementUse() {
        sqlite3_reset(statement);
        sqlite3_clear_bindings(statement);
    }
    StatementUse(const StatementUse&) = delete;
    StatementUse& operator=(const StatementUse&) = delete;

private:
    sqlite3_stmt* statement;
};

// The columns that came with version 2 are the table's last, so that a file of version 1 takes
// them with ALTER TABLE; the run's id is unique through an index for the same reason.
const char* const kSchema = "CREATE TABLE runs ("
                            " id INTEGER PRIMARY KEY,"
                            " started TEXT NOT NULL,"
                            " finished TEXT NOT NULL,"
                            " host TEXT NOT NULL,"
                            " station TEXT NOT NULL,"
                            " port TEXT NOT NULL,"
                            " usb_vendor TEXT,"
                            " usb_product TEXT,"
                            " usb_serial TEXT,"
                            " configuration TEXT NOT NULL,"
                            " configuration_sha256 TEXT NOT NULL,"
                            " steps TEXT NOT NULL,"
                            " outcome TEXT NOT NULL,"
                            " error_id INTEGER,"
                            " error_code INTEGER,"
                            " error_text TEXT,"
                            " bytes INTEGER NOT NULL,"
                            " seconds REAL NOT NULL,"
                            " log TEXT NOT NULL);"
                            // Each filter with the order of the listing; an index ends in the
                            // row id, so these also serve "started DESC, id DESC".
                            "CREATE INDEX runs_started ON runs (started);"
                            "CREATE INDEX runs_usb_serial ON runs (usb_serial, started);"
                            "CREATE INDEX runs_port ON runs (port, started);"
                            "CREATE INDEX runs_outcome ON runs (outcome, started);";

// From version 1 to 2: the run's id and process, its log file and the system's cause.
const char* const kSchemaTwo = "ALTER TABLE runs ADD COLUMN uuid TEXT;"
                               "ALTER TABLE runs ADD COLUMN pid INTEGER;"
                               "ALTER TABLE runs ADD COLUMN log_file TEXT;"
                               "ALTER TABLE runs ADD COLUMN system_errno INTEGER;"
                               "ALTER TABLE runs ADD COLUMN system_error TEXT;"
                               "CREATE UNIQUE INDEX runs_uuid ON runs (uuid);";

// The columns of a run as ReadRun takes them, in the table's order (the log last, so that it can
// be left out); a file of version 1 has no columns of version 2: they are read as nothing.
std::string SelectColumns(int64_t version, bool withLog, bool withSteps = true) {
    std::string list;
    for (const RunColumn& column : RunColumns()) {
        const std::string name = column.name;
        const bool there =
            column.version <= version && (withLog || name != "log") && (withSteps || name != "steps");
        list += (list.empty() ? "" : ", ") + std::string(there ? column.name : "NULL");
    }
    return list;
}

// A run's later state replaces its earlier one in place; a start that comes after the run's
// end (written again from a file of waiting records) leaves the end as it is.
std::string WriteStatement() {
    std::string names, values, updates;
    for (const RunColumn& column : RunColumns()) {
        const std::string name = column.name;
        if (name == "id") {
            continue;
        }
        names += (names.empty() ? "" : ", ") + name;
        values += values.empty() ? "?" : ", ?";
        if (name != "uuid") {
            updates += (updates.empty() ? "" : ", ") + name + " = excluded." + name;
        }
    }
    return "INSERT INTO runs (" + names + ") VALUES (" + values + ") ON CONFLICT (uuid) DO UPDATE SET " +
           updates + " WHERE excluded.outcome <> 'running' OR runs.outcome = 'running' RETURNING id";
}

// "PATH: what (SQLite's reason, and the system's where a file operation failed)".
std::string Failure(const std::string& path, const std::string& what, sqlite3* database) {
    std::string text = path + ": " + what;
    if (database == nullptr) {
        return text;
    }
    text += " (" + std::string(sqlite3_errmsg(database));
    const int primary = sqlite3_errcode(database) & 0xff;
    const int system = sqlite3_system_errno(database);
    if (system != 0 && (primary == SQLITE_CANTOPEN || primary == SQLITE_IOERR || primary == SQLITE_FULL)) {
        text += ": " + std::string(std::strerror(system));
    }
    return text + ")";
}

std::string SystemFailure(const std::string& path, const std::string& what) {
    return path + ": " + what + " (" + std::strerror(errno) + ")";
}

std::string Folder(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// mkdir -p of the folders the database goes in; those made are the user's alone (0700), as the
// state folder should be.
bool MakeFolders(const std::string& path, std::string& error) {
    const std::string folder = Folder(path);
    for (size_t end = folder.find('/', 1);; end = folder.find('/', end + 1)) {
        const std::string part = folder.substr(0, end);
        struct stat status {};
        if (stat(part.c_str(), &status) != 0) {
            if (errno != ENOENT || (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)) {
                error = SystemFailure(path, "cannot make the folder " + part);
                return false;
            }
        } else if (!S_ISDIR(status.st_mode)) {
            error = path + ": " + part + " is not a folder";
            return false;
        }
        if (end == std::string::npos) {
            return true;
        }
    }
}

// A file name as a "file:" URI: every byte but the unreserved ones and '/' escaped.
std::string FileUri(const std::string& path, const char* query) {
    static const char hex[] = "0123456789ABCDEF";
    std::string uri = "file:";
    for (const char c : path) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte) || std::strchr("/-._~", c) != nullptr) {
            uri += c;
        } else {
            uri += '%';
            uri += hex[byte >> 4];
            uri += hex[byte & 0xf];
        }
    }
    return uri + query;
}

Database Connect(const std::string& path, int flags, bool immutable, std::string& error) {
    // SQLite takes ":memory:" and "" as no file at all: a relative path is given with its "./".
    const std::string name = path.front() == '/' ? path : "./" + path;
    const std::string uri = FileUri(name, immutable ? "?immutable=1" : "");
    sqlite3* raw = nullptr;
    const int result =
        sqlite3_open_v2(uri.c_str(), &raw, flags | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX, nullptr);
    Database database(raw);
    if (result != SQLITE_OK) {
        error = Failure(path, "cannot open the record database", database.get());
        return nullptr;
    }
    sqlite3_busy_timeout(database.get(), kBusyMilliseconds);
    return database;
}

bool Execute(sqlite3* database, const char* sql, const std::string& path, const char* what,
             std::string& error) {
    if (sqlite3_exec(database, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
        error = Failure(path, what, database);
        return false;
    }
    return true;
}

Statement Prepare(sqlite3* database, const std::string& sql, const std::string& path, std::string& error) {
    sqlite3_stmt* raw = nullptr;
    const int result =
        sqlite3_prepare_v3(database, sql.c_str(), static_cast<int>(sql.size()), 0, &raw, nullptr);
    Statement statement(raw);
    if (result != SQLITE_OK) {
        error = Failure(path, "cannot read the record database", database);
        return nullptr;
    }
    return statement;
}

struct SchemaState {
    int64_t version = 0;
    bool runsTable = false;
    bool otherObjects = false;
};

bool ReadSchema(sqlite3* database, const std::string& path, SchemaState& state, std::string& error) {
    Statement version = Prepare(database, "PRAGMA user_version", path, error);
    if (!version) {
        return false;
    }
    if (sqlite3_step(version.get()) != SQLITE_ROW) {
        error = Failure(path, "cannot read the record database", database);
        return false;
    }
    state.version = sqlite3_column_int64(version.get(), 0);
    Statement objects = Prepare(
        database, "SELECT count(*), sum(type = 'table' AND name = 'runs') FROM sqlite_master", path, error);
    if (!objects) {
        return false;
    }
    if (sqlite3_step(objects.get()) != SQLITE_ROW) {
        error = Failure(path, "cannot read the record database", database);
        return false;
    }
    state.runsTable = sqlite3_column_int64(objects.get(), 1) > 0;
    state.otherObjects = sqlite3_column_int64(objects.get(), 0) > 0 && !state.runsTable;
    return true;
}

// Whether this program may use a file in this state; create says that it is new and needs the
// schema. A file this program did not make, or made by a newer one, is left as it is.
bool AcceptSchema(const SchemaState& state, const std::string& path, bool& create, std::string& error) {
    const std::string unchanged = "; it is left unchanged";
    create = false;
    if (state.version > kRecordStoreSchemaVersion) {
        error = path + ": the record database has schema version " + std::to_string(state.version) +
                ", newer than version " + std::to_string(kRecordStoreSchemaVersion) +
                " that this tovrin knows (use a newer tovrin)" + unchanged;
        return false;
    }
    if (state.version < 0) {
        error = path + ": unknown schema version " + std::to_string(state.version) + unchanged;
        return false;
    }
    if (state.version == 0 && (state.runsTable || state.otherObjects)) {
        error = path + ": not a record database of tovrin (it holds other tables and no schema version)" +
                unchanged;
        return false;
    }
    if (state.version > 0 && !state.runsTable) {
        error = path + ": the record database has no table runs" + unchanged;
        return false;
    }
    create = state.version == 0;
    return true;
}

// The statements that bring a file of this version to the current schema.
std::string SchemaChanges(int64_t version) {
    std::string changes = version == 0 ? kSchema : "";
    return changes + (version < 2 ? kSchemaTwo : "");
}

// Switching a new file to write-ahead logging needs the file to itself for a moment, and SQLite
// does not wait for that with the busy handler: another process opening it at the same time is
// waited for here, as long as a busy write would be.
bool UseWriteAheadLog(sqlite3* database, const std::string& path, std::string& error) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyMilliseconds);
    for (;;) {
        Statement pragma = Prepare(database, "PRAGMA journal_mode = WAL", path, error);
        if (!pragma) {
            return false;
        }
        const int result = sqlite3_step(pragma.get());
        if (result == SQLITE_ROW) {
            const unsigned char* mode = sqlite3_column_text(pragma.get(), 0);
            if (mode != nullptr && std::strcmp(reinterpret_cast<const char*>(mode), "wal") == 0) {
                return true;
            }
            error = path + ": the record database cannot use write-ahead logging";
            return false;
        }
        if ((result & 0xff) != SQLITE_BUSY || std::chrono::steady_clock::now() >= deadline) {
            error = Failure(path, "cannot set up the record database", database);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// Checks the schema again with the write lock held (another process may have made it since),
// makes it for a new file, and writes the version even when it is there: a store that cannot
// be written is found now, before any device is touched.
bool PrepareForWriting(sqlite3* database, const std::string& path, std::string& error) {
    if (sqlite3_db_readonly(database, "main") == 1) {
        error = path + ": the record database cannot be written (read-only)";
        return false;
    }
    // A record of production: a committed run survives a power cut, not only a crash.
    if (!UseWriteAheadLog(database, path, error) ||
        !Execute(database, "PRAGMA synchronous = FULL", path, "cannot set up the record database", error) ||
        !Execute(database, "BEGIN IMMEDIATE", path, "the record database cannot be written", error)) {
        return false;
    }
    SchemaState state;
    bool create = false;
    const std::string version = "PRAGMA user_version = " + std::to_string(kRecordStoreSchemaVersion);
    const bool done =
        ReadSchema(database, path, state, error) && AcceptSchema(state, path, create, error) &&
        Execute(database, SchemaChanges(state.version).c_str(), path, "cannot make the record database",
                error) &&
        Execute(database, version.c_str(), path, "the record database cannot be written", error) &&
        Execute(database, "COMMIT", path, "the record database cannot be written", error);
    if (!done) {
        sqlite3_exec(database, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    return done;
}

// Bound without a copy: the record outlives the statement's use.
void Bind(sqlite3_stmt* statement, int index, const RunValue& value) {
    switch (value.type) {
    case RunValue::Type::Null:
        sqlite3_bind_null(statement, index);
        break;
    case RunValue::Type::Integer:
        sqlite3_bind_int64(statement, index, value.integer);
        break;
    case RunValue::Type::Real:
        sqlite3_bind_double(statement, index, value.real);
        break;
    case RunValue::Type::Text:
        sqlite3_bind_text64(statement, index, value.text.data(), value.text.size(), SQLITE_TRANSIENT,
                            SQLITE_UTF8);
        break;
    }
}

void BindText(sqlite3_stmt* statement, int column, const std::string& text) {
    sqlite3_bind_text64(statement, column, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
}

std::string Text(sqlite3_stmt* statement, int column) {
    const unsigned char* text = sqlite3_column_text(statement, column);
    if (text == nullptr) {
        return std::string();
    }
    return std::string(reinterpret_cast<const char*>(text),
                       static_cast<size_t>(sqlite3_column_bytes(statement, column)));
}

RunValue Read(sqlite3_stmt* statement, int index) {
    RunValue value;
    switch (sqlite3_column_type(statement, index)) {
    case SQLITE_INTEGER:
        value.type = RunValue::Type::Integer;
        value.integer = sqlite3_column_int64(statement, index);
        break;
    case SQLITE_FLOAT:
        value.type = RunValue::Type::Real;
        value.real = sqlite3_column_double(statement, index);
        break;
    case SQLITE_TEXT:
    case SQLITE_BLOB:
        value.type = RunValue::Type::Text;
        value.text = Text(statement, index);
        break;
    default:
        break;
    }
    return value;
}

RunRecord ReadRun(sqlite3_stmt* statement) {
    RunRecord run;
    int index = 0;
    for (const RunColumn& column : RunColumns()) {
        column.set(run, Read(statement, index++));
    }
    return run;
}

// The stations' heartbeats: one row a station, replaced by each beat. Older readers ignore the
// table, so the file's schema version stays.
const char* const kStationsTable = "CREATE TABLE IF NOT EXISTS stations ("
                                   " station TEXT PRIMARY KEY,"
                                   " host TEXT NOT NULL,"
                                   " version TEXT NOT NULL,"
                                   " started TEXT NOT NULL,"
                                   " seen TEXT NOT NULL,"
                                   " stopped TEXT NOT NULL,"
                                   " configuration TEXT NOT NULL,"
                                   " configuration_sha256 TEXT NOT NULL,"
                                   " slots TEXT NOT NULL,"
                                   " pid INTEGER NOT NULL,"
                                   " records_pending INTEGER NOT NULL)";

const char* const kWriteStation =
    "INSERT OR REPLACE INTO stations (station, host, version, started, seen, stopped, configuration,"
    " configuration_sha256, slots, pid, records_pending) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";

const char* const kReadStations =
    "SELECT station, host, version, started, seen, stopped, configuration, configuration_sha256, slots, pid,"
    " records_pending, (julianday('now') - julianday(seen)) * 86400.0 FROM stations ORDER BY station";

class SqliteRecordStore : public IRecordStore {
public:
    SqliteRecordStore(std::string path, Database database, Statement write, int64_t version)
        : path(std::move(path)), database(std::move(database)), write(std::move(write)), version(version) {}

    bool WriteRun(RunRecord& record, std::string& error) override {
        if (!write) {
            error = path + ": the record database is open for reading only";
            return false;
        }
        if (!CheckRecord(record, error)) {
            error = path + ": the run is not recorded: " + error;
            return false;
        }
        std::lock_guard<std::mutex> lock(mutex);
        if (!Execute(database.get(), "BEGIN IMMEDIATE", path, "cannot record the run", error)) {
            return false;
        }
        const bool done = Write(record, error) && Queue(record, error) &&
                          Execute(database.get(), "COMMIT", path, "cannot record the run", error);
        if (!done) {
            sqlite3_exec(database.get(), "ROLLBACK", nullptr, nullptr, nullptr);
            return false;
        }
        // Runs are written one now and then by a process that runs for days: the pages cached
        // for a write are given back, so that its memory does not grow with the store.
        sqlite3_db_release_memory(database.get());
        return true;
    }

    bool Query(const RunFilter& filter, std::vector<RunRecord>& runs, std::string& error) override {
        std::vector<std::string> values;
        std::string where;
        auto condition = [&](const char* clause, const std::string& value) {
            where += (where.empty() ? " WHERE " : " AND ") + std::string(clause);
            values.push_back(value);
        };
        if (!filter.since.empty()) {
            std::string since;
            if (!ParseSinceTime(filter.since, std::time(nullptr), since, error)) {
                return false;
            }
            // Without its "Z", the time is a prefix of every stored time of that second, with
            // or without fractions, so that the text comparison is the time comparison.
            since.pop_back();
            condition("started >= ?", since);
        }
        if (!filter.serial.empty()) {
            condition("usb_serial = ?", filter.serial);
        }
        if (!filter.port.empty()) {
            condition("port = ?", filter.port);
        }
        if (!filter.station.empty()) {
            condition("station = ?", filter.station);
        }
        if (!filter.uuid.empty()) {
            condition("uuid = ?", filter.uuid);
        }
        // A run left running by a process that is gone is interrupted, whatever its row says:
        // both are read, and sorted out once each run's process has been looked at.
        const bool unsure = UnsureOutcome(filter);
        if (unsure) {
            where +=
                std::string(where.empty() ? " WHERE " : " AND ") + "outcome IN ('running', 'interrupted')";
        } else if (!filter.outcome.empty()) {
            condition("outcome = ?", filter.outcome);
        }
        std::string sql = "SELECT " + SelectColumns(version, filter.withLog, filter.withSteps) +
                          " FROM runs" + where + " ORDER BY started DESC, id DESC";
        if (filter.limit != 0 && !unsure) {
            sql += " LIMIT ?";
        }
        std::vector<RunRecord> found;
        if (!Select(sql, values, unsure ? 0 : filter.limit, found, error)) {
            return false;
        }
        runs = SettleRunning(std::move(found), filter);
        return true;
    }

    bool MarkInterrupted(const std::function<std::optional<std::string>(const RunRecord&)>& readLog,
                         size_t& marked, std::string& error) override {
        marked = 0;
        RunFilter running;
        running.outcome = "interrupted";
        std::vector<RunRecord> gone;
        if (!Query(running, gone, error)) {
            return false;
        }
        for (RunRecord& run : gone) {
            // Only rows that still say running: one marked before keeps the log it was given.
            if (run.outcome != "interrupted" || !StillRunning(run.uuid, run.id)) {
                continue;
            }
            if (std::optional<std::string> log = readLog(run)) {
                run.log = *log;
            }
            run.outcome = "interrupted";
            if (!WriteRun(run, error)) {
                return false;
            }
            ++marked;
        }
        return true;
    }

    bool WriteStation(const StationState& station, std::string& error) override {
        if (!write) {
            error = path + ": the record database is open for reading only";
            return false;
        }
        std::lock_guard<std::mutex> lock(mutex);
        // Made by the first beat, not when the store opens: a station's start waits for no lock.
        if (!stationsTable &&
            !Execute(database.get(), kStationsTable, path, "cannot record the station", error)) {
            return false;
        }
        stationsTable = true;
        Statement upsert = Prepare(database.get(), kWriteStation, path, error);
        if (!upsert) {
            return false;
        }
        const std::string texts[] = {station.station,
                                     station.host,
                                     station.version,
                                     station.started,
                                     IsoUtc(std::chrono::system_clock::now()),
                                     station.stopped,
                                     station.configuration,
                                     station.configurationSha256,
                                     SlotsJson(station.slots).dump()};
        int column = 1;
        for (const std::string& text : texts) {
            BindText(upsert.get(), column++, text);
        }
        sqlite3_bind_int64(upsert.get(), column++, station.pid);
        sqlite3_bind_int64(upsert.get(), column, station.recordsPending);
        if (sqlite3_step(upsert.get()) != SQLITE_DONE) {
            error = Failure(path, "cannot record the station", database.get());
            return false;
        }
        return true;
    }

    bool QueryStations(std::vector<StationState>& stations, std::string& error) override {
        stations.clear();
        std::lock_guard<std::mutex> lock(mutex);
        // A file only transfers wrote has no stations.
        Statement table = Prepare(
            database.get(), "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'stations'",
            path, error);
        if (!table || sqlite3_step(table.get()) != SQLITE_ROW) {
            error = Failure(path, "cannot read the record database", database.get());
            return false;
        }
        if (sqlite3_column_int64(table.get(), 0) == 0) {
            return true;
        }
        Statement select = Prepare(database.get(), kReadStations, path, error);
        if (!select) {
            return false;
        }
        int result = SQLITE_ROW;
        while ((result = sqlite3_step(select.get())) == SQLITE_ROW) {
            stations.push_back(StationFromRow([&select](int column) { return Text(select.get(), column); }));
        }
        if (result != SQLITE_DONE) {
            error = Failure(path, "cannot read the record database", database.get());
            return false;
        }
        return true;
    }

    bool CountRuns(const std::string& since, const std::string& before, std::vector<RunCount>& counts,
                   std::string& error) override {
        counts.clear();
        // Without their "Z", the times are prefixes of the stored ones (see Query).
        std::string where;
        std::vector<std::string> values;
        if (!since.empty()) {
            where += " AND started >= ?";
            values.push_back(since.substr(0, since.size() - (since.back() == 'Z')));
        }
        if (!before.empty()) {
            where += " AND started < ?";
            values.push_back(before.substr(0, before.size() - (before.back() == 'Z')));
        }
        std::lock_guard<std::mutex> lock(mutex);
        Statement select = Prepare(database.get(), RunCountStatement("runs", where), path, error);
        if (!select) {
            return false;
        }
        for (size_t index = 0; index < values.size(); ++index) {
            BindText(select.get(), static_cast<int>(index + 1), values[index]);
        }
        int result = SQLITE_ROW;
        while ((result = sqlite3_step(select.get())) == SQLITE_ROW) {
            RunCount count{Text(select.get(), 0),
                           Text(select.get(), 1),
                           Text(select.get(), 2),
                           static_cast<uint64_t>(sqlite3_column_int64(select.get(), 3)),
                           sqlite3_column_double(select.get(), 4),
                           {}};
            for (size_t bucket = 0; bucket < DurationBuckets().size(); ++bucket) {
                count.atMost.push_back(
                    static_cast<uint64_t>(sqlite3_column_int64(select.get(), static_cast<int>(5 + bucket))));
            }
            counts.push_back(std::move(count));
        }
        if (result != SQLITE_DONE) {
            error = Failure(path, "cannot read the record database", database.get());
            return false;
        }
        return true;
    }

protected:
    // An outbox queues each run it writes for shipping; a plain store does not.
    virtual bool Queue(const RunRecord&, std::string&) { return true; }

    bool Select(const std::string& sql, const std::vector<std::string>& values, size_t limit,
                std::vector<RunRecord>& found, std::string& error) {
        std::lock_guard<std::mutex> lock(mutex);
        Statement select = Prepare(database.get(), sql, path, error);
        if (!select) {
            return false;
        }
        int column = 1;
        for (const std::string& value : values) {
            BindText(select.get(), column++, value);
        }
        if (limit != 0) {
            const uint64_t most = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
            sqlite3_bind_int64(select.get(), column, static_cast<int64_t>(limit < most ? limit : most));
        }
        int result = SQLITE_ROW;
        while ((result = sqlite3_step(select.get())) == SQLITE_ROW) {
            found.push_back(ReadRun(select.get()));
        }
        if (result != SQLITE_DONE) {
            error = Failure(path, "cannot read the record database", database.get());
            return false;
        }
        return true;
    }

    // The row still says running (another process may have marked it since it was read).
    bool StillRunning(const std::string& uuid, int64_t id) {
        std::lock_guard<std::mutex> lock(mutex);
        std::string error;
        Statement select = Prepare(database.get(), "SELECT outcome FROM runs WHERE id = ?", path, error);
        if (!select) {
            return false;
        }
        sqlite3_bind_int64(select.get(), 1, id);
        return !uuid.empty() && sqlite3_step(select.get()) == SQLITE_ROW &&
               Text(select.get(), 0) == "running";
    }

    bool Write(RunRecord& record, std::string& error) {
        sqlite3_stmt* statement = write.get();
        StatementUse use(statement);
        int index = 1;
        for (const RunColumn& column : RunColumns()) {
            if (std::string(column.name) != "id") {
                Bind(statement, index++, column.get(record));
            }
        }
        const int result = sqlite3_step(statement);
        if (result == SQLITE_ROW) {
            record.id = sqlite3_column_int64(statement, 0);
            return sqlite3_step(statement) == SQLITE_DONE || Fail(error);
        }
        // Nothing written: the run's end is in its row already; the row's id is looked up.
        return (result == SQLITE_DONE && IdOf(record)) || Fail(error);
    }

    bool IdOf(RunRecord& record) {
        std::string error;
        Statement select = Prepare(database.get(), "SELECT id FROM runs WHERE uuid = ?", path, error);
        if (!select) {
            return false;
        }
        BindText(select.get(), 1, record.uuid);
        if (sqlite3_step(select.get()) != SQLITE_ROW) {
            return false;
        }
        record.id = sqlite3_column_int64(select.get(), 0);
        return true;
    }

    bool Fail(std::string& error) {
        error = Failure(path, "cannot record the run", database.get());
        return false;
    }

    const std::string path;
    std::mutex mutex; // one connection, one user at a time
    bool stationsTable = false;
    // Members go in reverse order: the statement before the connection it belongs to.
    Database database;
    Statement write; // null when open for reading only
    const int64_t version;
};

// An existing store, checked without the right to write, so that a file this program must not
// use is never changed. Without a write-ahead log beside it, nobody has it open and all of it
// is in the file: it is read as immutable, so that the reading leaves no log and index files of
// its own beside it either. Gives the connection and the file's schema version.
Database ConnectForReading(const std::string& path, int64_t& version, std::string& error) {
    struct stat log {};
    const bool immutable = stat((path + "-wal").c_str(), &log) != 0 && errno == ENOENT;
    Database reader = Connect(path, SQLITE_OPEN_READONLY, immutable, error);
    SchemaState state;
    bool create = false;
    if (!reader || !ReadSchema(reader.get(), path, state, error) ||
        !AcceptSchema(state, path, create, error)) {
        return nullptr;
    }
    version = state.version;
    return reader;
}

// The file at path is a regular file, or is not there (`exists` says which).
bool CheckFile(const std::string& path, bool& exists, std::string& error) {
    struct stat status {};
    exists = stat(path.c_str(), &status) == 0;
    if (!exists && errno != ENOENT) {
        error = SystemFailure(path, "cannot open the record database");
        return false;
    }
    if (exists && !S_ISREG(status.st_mode)) {
        error = path + (S_ISDIR(status.st_mode) ? ": is a folder, not a record database"
                                                : ": is not a regular file, not a record database");
        return false;
    }
    return true;
}

} // namespace

namespace {

// Opens (creating it and its missing folders when needed) a store to write, as a Store; `more`
// is SQL run once it is ready (an outbox's queue).
template <class Store>
std::unique_ptr<Store> OpenForWriting(const std::string& path, const char* more, std::string& error) {
    if (path.empty()) {
        error = "no record database: give its path (or set HOME or XDG_STATE_HOME)";
        return nullptr;
    }
    bool exists = false;
    if (!MakeFolders(path, error) || !CheckFile(path, exists, error)) {
        return nullptr;
    }
    // A new file, and the log files of write-ahead logging beside an existing one, are made in
    // its folder. SQLite's own text for this would give the errno of its last attempt, which is
    // to open the file read-only.
    const std::string folder = Folder(path);
    if (access(folder.c_str(), W_OK | X_OK) != 0) {
        error = SystemFailure(path, "the record database cannot be written in " + folder);
        return nullptr;
    }
    int64_t version = 0;
    if (exists && !ConnectForReading(path, version, error)) {
        return nullptr;
    }
    Database database = Connect(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, false, error);
    if (!database || !PrepareForWriting(database.get(), path, error) ||
        (more != nullptr &&
         !Execute(database.get(), more, path, "the record database cannot be written", error))) {
        return nullptr;
    }
    Statement write = Prepare(database.get(), WriteStatement(), path, error);
    if (!write) {
        return nullptr;
    }
    return std::make_unique<Store>(path, std::move(database), std::move(write), kRecordStoreSchemaVersion);
}

} // namespace

std::unique_ptr<IRecordStore> OpenRecordStore(const std::string& path, std::string& error) {
    return OpenForWriting<SqliteRecordStore>(path, nullptr, error);
}

std::unique_ptr<IRecordStore> OpenRecordStoreForReading(const std::string& path, std::string& error) {
    bool exists = false;
    if (!CheckFile(path, exists, error)) {
        return nullptr;
    }
    if (!exists) {
        error = path + ": no record database there: nothing has been recorded there (see --db)";
        return nullptr;
    }
    int64_t version = 0;
    Database database = ConnectForReading(path, version, error);
    if (!database) {
        return nullptr;
    }
    return std::make_unique<SqliteRecordStore>(path, std::move(database), nullptr, version);
}

namespace {

// The queue of runs to ship: an entry per write, so that a run's every state is shipped after
// it was written; the entries a shipping covered are removed once the server has them.
const char* const kShippingTable = "CREATE TABLE IF NOT EXISTS shipping ("
                                   " seq INTEGER PRIMARY KEY AUTOINCREMENT,"
                                   " uuid TEXT NOT NULL,"
                                   " queued TEXT NOT NULL)";

class SqliteOutbox : public SqliteRecordStore, public IOutbox {
public:
    using SqliteRecordStore::SqliteRecordStore;

    bool Queued(size_t most, std::vector<RunRecord>& runs, int64_t& last, std::string& error) override {
        runs.clear();
        last = 0;
        std::lock_guard<std::mutex> lock(mutex);
        Statement entries =
            Prepare(database.get(), "SELECT seq, uuid FROM shipping ORDER BY seq LIMIT ?", path, error);
        if (!entries) {
            return false;
        }
        sqlite3_bind_int64(entries.get(), 1, static_cast<int64_t>(most));
        std::vector<std::string> uuids;
        int result = SQLITE_ROW;
        while ((result = sqlite3_step(entries.get())) == SQLITE_ROW) {
            last = sqlite3_column_int64(entries.get(), 0);
            const std::string uuid = Text(entries.get(), 1);
            if (std::find(uuids.begin(), uuids.end(), uuid) == uuids.end()) {
                uuids.push_back(uuid);
            }
        }
        if (result != SQLITE_DONE) {
            error = Failure(path, "cannot read the runs to ship", database.get());
            return false;
        }
        Statement row =
            Prepare(database.get(), "SELECT " + SelectColumns(version, true) + " FROM runs WHERE uuid = ?",
                    path, error);
        if (!row) {
            return false;
        }
        for (const std::string& uuid : uuids) {
            StatementUse use(row.get());
            BindText(row.get(), 1, uuid);
            if (sqlite3_step(row.get()) == SQLITE_ROW) {
                runs.push_back(ReadRun(row.get()));
            }
        }
        return true;
    }

    bool Shipped(int64_t last, std::string& error) override {
        std::lock_guard<std::mutex> lock(mutex);
        Statement remove = Prepare(database.get(), "DELETE FROM shipping WHERE seq <= ?", path, error);
        if (!remove) {
            return false;
        }
        sqlite3_bind_int64(remove.get(), 1, last);
        if (sqlite3_step(remove.get()) != SQLITE_DONE) {
            error = Failure(path, "cannot note the runs shipped", database.get());
            return false;
        }
        return true;
    }

    bool Waiting(size_t& runs, std::string& since, std::string& error) override {
        std::lock_guard<std::mutex> lock(mutex);
        Statement count =
            Prepare(database.get(), "SELECT count(DISTINCT uuid), min(queued) FROM shipping", path, error);
        if (!count) {
            return false;
        }
        if (sqlite3_step(count.get()) != SQLITE_ROW) {
            error = Failure(path, "cannot read the runs to ship", database.get());
            return false;
        }
        runs = static_cast<size_t>(sqlite3_column_int64(count.get(), 0));
        since = Text(count.get(), 1);
        return true;
    }

protected:
    bool Queue(const RunRecord& record, std::string& error) override {
        if (record.uuid.empty()) {
            return true; // a row of the first schema has no id to be stored once by
        }
        Statement queue =
            Prepare(database.get(), "INSERT INTO shipping (uuid, queued) VALUES (?, ?)", path, error);
        if (!queue) {
            return false;
        }
        const std::string now = IsoUtc(std::chrono::system_clock::now());
        BindText(queue.get(), 1, record.uuid);
        BindText(queue.get(), 2, now);
        if (sqlite3_step(queue.get()) != SQLITE_DONE) {
            error = Failure(path, "cannot queue the run for the server", database.get());
            return false;
        }
        return true;
    }
};

} // namespace

OutboxStore OpenOutboxStore(const std::string& path, std::string& error) {
    OutboxStore opened;
    std::unique_ptr<SqliteOutbox> outbox = OpenForWriting<SqliteOutbox>(path, kShippingTable, error);
    if (outbox) {
        opened.outbox = outbox.get();
        opened.store = std::move(outbox);
    }
    return opened;
}
