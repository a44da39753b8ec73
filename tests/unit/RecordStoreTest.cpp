// The flashing record: the SQLite store, its files, its filters, and several writers at once.
#include "record/RecordStore.h"
#include "support/GoneProcess.h"
#include "support/RunRecords.h"
#include "support/ScratchFolder.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::time_t kNow = 1796749324; // 2026-12-08T17:02:04Z

RunRecord MadeRun(const std::string& started, const std::string& port, const std::string& serial,
                  const std::string& outcome) {
    RunRecord run;
    run.started = started;
    run.finished = started;
    run.host = "rack-7";
    run.station = "line-2";
    run.port = port;
    run.usbSerial = serial;
    if (!serial.empty()) {
        run.usbVendor = "0403";
        run.usbProduct = "6001";
    }
    run.configuration = "/srv/fw/board.cfg";
    run.configurationSha256 = std::string(64, 'a');
    run.steps = R"([{"title":"Boot","blocks":3}])";
    run.outcome = outcome;
    if (outcome == "failed") {
        run.errorId = 215;
        run.errorCode = 0x48f;
        run.errorText = "No answer from the device.";
    }
    run.bytes = 4096;
    run.seconds = 1.5;
    run.log = "Tovrin log\r\nline\r\n";
    return run;
}

RunFilter Filter(std::string since, std::string serial = "", std::string port = "", std::string outcome = "",
                 size_t limit = 0) {
    RunFilter filter;
    filter.since = std::move(since);
    filter.serial = std::move(serial);
    filter.port = std::move(port);
    filter.outcome = std::move(outcome);
    filter.limit = limit;
    return filter;
}

std::string FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

std::set<std::string> Names(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

// Runs SQL on a file through a connection of the test's own, as another program would.
void Sql(const std::string& path, const std::string& sql) {
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &raw), SQLITE_OK);
    std::unique_ptr<sqlite3, int (*)(sqlite3*)> database(raw, sqlite3_close_v2);
    ASSERT_EQ(sqlite3_exec(database.get(), sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
        << sqlite3_errmsg(database.get());
}

// One column of each row of a query, as text ("NULL" for none).
std::vector<std::string> SqlColumn(const std::string& path, const std::string& sql, int column = 0) {
    sqlite3* raw = nullptr;
    std::vector<std::string> values;
    if (sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close_v2(raw);
        return values;
    }
    std::unique_ptr<sqlite3, int (*)(sqlite3*)> database(raw, sqlite3_close_v2);
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(database.get(), sql.c_str(), -1, &statement, nullptr);
    std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> owned(statement, sqlite3_finalize);
    while (statement != nullptr && sqlite3_step(statement) == SQLITE_ROW) {
        const unsigned char* text = sqlite3_column_text(statement, column);
        values.push_back(text == nullptr ? "NULL" : reinterpret_cast<const char*>(text));
    }
    return values;
}

std::unique_ptr<IRecordStore> OpenOrFail(const std::string& path) {
    std::string error;
    std::unique_ptr<IRecordStore> store = OpenRecordStore(path, error);
    EXPECT_NE(store, nullptr) << error;
    return store;
}

TEST(RecordStore, FiltersNewestFirst) {
    ScratchFolder scratch;
    std::unique_ptr<IRecordStore> store = OpenOrFail(scratch.Path() + "records.db");
    ASSERT_NE(store, nullptr);
    // Added out of order; c and d started in the same second, d later.
    const std::map<std::string, RunRecord> runs = {
        {"a", MadeRun("2026-12-08T08:00:00Z", "/dev/ttyUSB0", "A1", "completed")},
        {"b", MadeRun("2026-12-08T09:30:00.250Z", "/dev/ttyUSB1", "B2", "failed")},
        {"c", MadeRun("2026-12-09T10:00:00Z", "/dev/ttyUSB0", "", "cancelled")},
        {"d", MadeRun("2026-12-09T10:00:00Z", "/dev/ttyUSB1", "A1", "completed")},
        {"e", MadeRun("2026-12-07T23:59:59Z", "/dev/pts/3", "", "not-started")},
    };
    std::map<int64_t, std::string> names;
    for (const char* name : {"b", "e", "a", "c", "d"}) {
        RunRecord run = runs.at(name);
        std::string error;
        ASSERT_TRUE(store->WriteRun(run, error)) << error;
        names[run.id] = name;
    }
    struct Row {
        RunFilter filter;
        std::string expected; // names, newest first
    } rows[] = {
        {RunFilter(), "dcbae"},
        {Filter("2026-12-08"), "dcba"},
        {Filter("2026-12-08T09:30:00Z"), "dcb"}, // b at .250 of that second is in
        {Filter("2026-12-08T09:30:01"), "dc"},
        {Filter("2026-12-08 08:00"), "dcba"},
        {Filter("999999999d"), "dcbae"},
        {Filter("", "A1"), "da"},
        {Filter("", "", "/dev/ttyUSB0"), "ca"},
        {Filter("", "", "", "failed"), "b"},
        {Filter("", "", "", "not-started"), "e"},
        {Filter("2026-12-09", "A1", "", "completed"), "d"},
        {Filter("", "", "/dev/ttyUSB1", "completed"), "d"},
        {Filter("", "A1", "/dev/ttyUSB0", "completed"), "a"},
        {Filter("", "", "", "", 2), "dc"},
        {Filter("", "A1", "", "", 1), "d"},
        {Filter("", "Z9"), ""},
        {Filter("", "", "/dev/pts/3", "completed"), ""},
        {Filter("2027-01-01"), ""},
    };
    for (const Row& row : rows) {
        std::vector<RunRecord> found;
        std::string error;
        ASSERT_TRUE(store->Query(row.filter, found, error)) << error;
        std::string got;
        for (const RunRecord& run : found) {
            got += names[run.id];
        }
        EXPECT_EQ(got, row.expected) << "since " << row.filter.since << " serial " << row.filter.serial
                                     << " port " << row.filter.port << " outcome " << row.filter.outcome
                                     << " limit " << row.filter.limit;
    }
    std::vector<RunRecord> found;
    std::string error;
    RunFilter withoutLogs = Filter("", "A1");
    withoutLogs.withLog = false;
    ASSERT_TRUE(store->Query(withoutLogs, found, error)) << error;
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].log, "");
    EXPECT_EQ(found[0].steps, runs.at("d").steps);
    EXPECT_EQ(found[1].usbSerial, "A1");
    EXPECT_FALSE(store->Query(Filter("last tuesday"), found, error));
    EXPECT_NE(error.find("last tuesday"), std::string::npos) << error;
}

TEST(RecordStore, KeepsEveryFieldAndStoresNoneAsNull) {
    ScratchFolder scratch;
    const std::string path = scratch.Path() + "records.db";
    std::unique_ptr<IRecordStore> store = OpenOrFail(path);
    ASSERT_NE(store, nullptr);
    RunRecord usb =
        MadeRun("2026-12-08T17:02:04.123456Z", "/dev/serial/by-id/usb-FTDI-if00", "A50285BI", "failed");
    usb.finished = "2026-12-08T17:02:09.5Z";
    usb.log = "Ger\xc3\xa4t 1\r\n\x01\tend";
    usb.bytes = 0x7fffffffffffffffULL;
    usb.seconds = 4.375;
    usb.errorCode = 0xffffffffLL;
    RunRecord pty = MadeRun("2026-12-08T17:03:00Z", "/dev/pts/4", "", "completed");
    pty.steps.clear();
    const struct Row {
        RunRecord run;
        std::map<std::string, std::string> columns; // as SQL sees them
    } rows[] = {
        {usb,
         {{"usb_vendor", "0403"},
          {"usb_serial", "A50285BI"},
          {"error_id", "215"},
          {"error_code", "4294967295"},
          {"error_text", "No answer from the device."},
          {"typeof(seconds)", "real"},
          {"typeof(bytes)", "integer"}}},
        {pty,
         {{"usb_vendor", "NULL"},
          {"usb_product", "NULL"},
          {"usb_serial", "NULL"},
          {"error_id", "NULL"},
          {"error_code", "NULL"},
          {"error_text", "NULL"},
          {"steps", "[]"}}},
    };
    int64_t lastId = 0;
    for (const Row& row : rows) {
        RunRecord added = row.run;
        std::string error;
        ASSERT_TRUE(store->WriteRun(added, error)) << error;
        EXPECT_GT(added.id, lastId);
        lastId = added.id;
        for (const auto& [column, value] : row.columns) {
            EXPECT_EQ(
                SqlColumn(path, "SELECT " + column + " FROM runs WHERE id = " + std::to_string(added.id)),
                std::vector<std::string>{value})
                << column;
        }
        std::vector<RunRecord> found;
        ASSERT_TRUE(store->Query(Filter("", "", row.run.port), found, error)) << error;
        ASSERT_EQ(found.size(), 1u);
        RunRecord expected = row.run;
        expected.id = added.id;
        expected.steps = row.run.steps.empty() ? "[]" : row.run.steps;
        ExpectSameRun(found[0], expected, row.run.port);
    }
}

TEST(RecordStore, MatchesHostileTextsLiterally) {
    ScratchFolder scratch;
    const std::string path = scratch.Path() + "records.db";
    std::unique_ptr<IRecordStore> store = OpenOrFail(path);
    ASSERT_NE(store, nullptr);
    const struct Row {
        std::string text;
    } rows[] = {{"' OR 1=1 --"},
                {"A1' OR '1'='1"},
                {"x\"; DROP TABLE runs; --"},
                {"semi;colon;"},
                {"%"},
                {"A_"},
                {"*"},
                {"\"quoted\""},
                {"A1"}};
    std::map<std::string, int64_t> ids;
    for (const Row& row : rows) {
        RunRecord run = MadeRun("2026-12-08T10:00:00Z", row.text, row.text, "completed");
        std::string error;
        ASSERT_TRUE(store->WriteRun(run, error)) << error;
        ids[row.text] = run.id;
    }
    for (const Row& row : rows) {
        for (const RunFilter& filter : {Filter("", row.text), Filter("", "", row.text)}) {
            std::vector<RunRecord> found;
            std::string error;
            ASSERT_TRUE(store->Query(filter, found, error)) << error;
            ASSERT_EQ(found.size(), 1u) << row.text;
            EXPECT_EQ(found[0].id, ids[row.text]);
            EXPECT_EQ(found[0].port, row.text);
            EXPECT_EQ(found[0].usbSerial, row.text);
        }
    }
    std::vector<RunRecord> found;
    std::string error;
    ASSERT_TRUE(store->Query(Filter("", "A1' OR 1=1 --"), found, error)) << error;
    EXPECT_TRUE(found.empty());
    EXPECT_EQ(SqlColumn(path, "SELECT count(*) FROM runs"), std::vector<std::string>{"9"});
}

TEST(RecordStore, MakesItsFoldersTableAndIndexesOnce) {
    ScratchFolder scratch;
    const std::string path = scratch.Path() + "state/tovrin/records.db";
    {
        std::unique_ptr<IRecordStore> store = OpenOrFail(path);
        ASSERT_NE(store, nullptr);
        RunRecord run = MadeRun("2026-12-08T10:00:00Z", "/dev/ttyUSB0", "A1", "completed");
        std::string error;
        ASSERT_TRUE(store->WriteRun(run, error)) << error;
    }
    // Opened again, nothing is made twice and the run is still there.
    std::unique_ptr<IRecordStore> again = OpenOrFail(path);
    ASSERT_NE(again, nullptr);
    std::vector<RunRecord> found;
    std::string error;
    ASSERT_TRUE(again->Query(RunFilter(), found, error)) << error;
    EXPECT_EQ(found.size(), 1u);
    const struct Row {
        std::string sql;
        std::vector<std::string> expected;
    } rows[] = {
        {"PRAGMA user_version", {"2"}},
        {"PRAGMA journal_mode", {"wal"}},
        {"SELECT name FROM pragma_table_info('runs') ORDER BY cid",
         {"id",
          "started",
          "finished",
          "host",
          "station",
          "port",
          "usb_vendor",
          "usb_product",
          "usb_serial",
          "configuration",
          "configuration_sha256",
          "steps",
          "outcome",
          "error_id",
          "error_code",
          "error_text",
          "bytes",
          "seconds",
          "log",
          "uuid",
          "pid",
          "log_file",
          "system_errno",
          "system_error"}},
        {"SELECT name FROM sqlite_master WHERE type = 'index' ORDER BY name",
         {"runs_outcome", "runs_port", "runs_started", "runs_usb_serial", "runs_uuid"}},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(SqlColumn(path, row.sql), row.expected) << row.sql;
    }
    // The listing and each filter are read through an index, in order, never sorted afterwards.
    const struct Plan {
        std::string where;
        std::string index;
    } plans[] = {
        {"", "runs_started"},
        {" WHERE started >= '2026'", "runs_started"},
        {" WHERE usb_serial = 'A1'", "runs_usb_serial"},
        {" WHERE usb_serial = 'A1' AND started >= '2026'", "runs_usb_serial"},
        {" WHERE port = 'p' AND started >= '2026'", "runs_port"},
        {" WHERE outcome = 'failed'", "runs_outcome"},
    };
    for (const Plan& plan : plans) {
        const std::vector<std::string> steps = SqlColumn(
            path, "EXPLAIN QUERY PLAN SELECT * FROM runs" + plan.where + " ORDER BY started DESC, id DESC",
            3);
        std::string text;
        for (const std::string& step : steps) {
            text += step + "; ";
        }
        EXPECT_NE(text.find(plan.index), std::string::npos) << plan.where << ": " << text;
        EXPECT_EQ(text.find("TEMP B-TREE"), std::string::npos) << plan.where << ": " << text;
    }
    const struct Folder {
        std::string path;
    } folders[] = {{scratch.Path() + "state"}, {scratch.Path() + "state/tovrin"}};
    for (const Folder& folder : folders) {
        struct stat status {};
        ASSERT_EQ(stat(folder.path.c_str(), &status), 0) << folder.path;
        EXPECT_EQ(status.st_mode & 0777, 0700u) << folder.path;
    }
}

TEST(RecordStore, TakesAnyFileNameAsAFile) {
    ScratchFolder scratch;
    ScopedCurrentDirectory here(scratch.Path());
    // Names that mean something else to SQLite (no file, a URI) are files like any other.
    const struct Row {
        std::string path;
    } rows[] = {{":memory:"},
                {"with space.db"},
                {"q?mode=ro#x%20.db"},
                {"sub/relative.db"},
                {scratch.Path() + "file:absolute?immutable=1"}};
    for (const Row& row : rows) {
        {
            std::unique_ptr<IRecordStore> store = OpenOrFail(row.path);
            ASSERT_NE(store, nullptr) << row.path;
            RunRecord run = MadeRun("2026-12-08T10:00:00Z", row.path, "", "completed");
            std::string error;
            ASSERT_TRUE(store->WriteRun(run, error)) << error;
        }
        EXPECT_TRUE(std::filesystem::is_regular_file(row.path)) << row.path;
        std::unique_ptr<IRecordStore> again = OpenOrFail(row.path);
        ASSERT_NE(again, nullptr) << row.path;
        std::vector<RunRecord> found;
        std::string error;
        ASSERT_TRUE(again->Query(RunFilter(), found, error)) << error;
        ASSERT_EQ(found.size(), 1u) << row.path;
        EXPECT_EQ(found[0].port, row.path);
    }
}

TEST(RecordStore, RefusesFilesItMustNotUseAndLeavesThemAlone) {
    const struct Row {
        const char* name;
        std::function<void(const std::string& path)> make;
        std::vector<std::string> words; // in the error, beside the path
    } rows[] = {
        {"a newer schema",
         [](const std::string& path) {
             Sql(path,
                 "CREATE TABLE runs (id INTEGER PRIMARY KEY, started TEXT); INSERT INTO runs VALUES (1, "
                 "'x'); PRAGMA user_version = 3;");
         },
         {"version 3", "version 2", "unchanged"}},
        {"a newer schema in write-ahead logging",
         [](const std::string& path) {
             Sql(path, "PRAGMA journal_mode = WAL; CREATE TABLE runs (id INTEGER PRIMARY KEY, started TEXT); "
                       "INSERT INTO runs VALUES (1, 'x'); PRAGMA user_version = 3;");
         },
         {"version 3", "version 2", "unchanged"}},
        {"an unknown schema version",
         [](const std::string& path) {
             Sql(path, "CREATE TABLE runs (id INTEGER); PRAGMA user_version = -3;");
         },
         {"-3", "unchanged"}},
        {"another program's database",
         [](const std::string& path) {
             Sql(path, "CREATE TABLE things (name TEXT); INSERT INTO things VALUES ('x');");
         },
         {"not a record database", "unchanged"}},
        {"a version without its table",
         [](const std::string& path) {
             Sql(path, "CREATE TABLE other (name TEXT); PRAGMA user_version = 1;");
         },
         {"no table runs"}},
        {"a text file",
         [](const std::string& path) {
             std::ofstream(path) << std::string(4000, 'x') << "\nthis is a log, not a database\n";
         },
         {"file is not a database"}},
        {"a folder", [](const std::string& path) { std::filesystem::create_directory(path); }, {"folder"}},
    };
    for (const Row& row : rows) {
        ScratchFolder scratch;
        const std::string path = scratch.Path() + "records.db";
        row.make(path);
        const std::set<std::string> namesBefore = Names(scratch.Path());
        const std::string bytesBefore = std::filesystem::is_regular_file(path) ? FileBytes(path) : "";
        std::string error;
        EXPECT_EQ(OpenRecordStore(path, error), nullptr) << row.name;
        EXPECT_NE(error.find(path), std::string::npos) << row.name << ": " << error;
        for (const std::string& word : row.words) {
            EXPECT_NE(error.find(word), std::string::npos) << row.name << ": " << error;
        }
        EXPECT_EQ(Names(scratch.Path()), namesBefore) << row.name;
        if (std::filesystem::is_regular_file(path)) {
            EXPECT_TRUE(FileBytes(path) == bytesBefore) << row.name << ": the file was changed";
        }
    }
}

TEST(RecordStore, NamesPlacesThatCannotBeWritten) {
    ScratchFolder scratch;
    std::ofstream(scratch.Path() + "plain") << "x";
    const std::string readOnlyFolder = scratch.Path() + "locked";
    std::filesystem::create_directory(readOnlyFolder);
    const std::string readOnlyFile = scratch.Path() + "kept.db";
    { OpenOrFail(readOnlyFile); }
    chmod(readOnlyFolder.c_str(), 0500);
    chmod(readOnlyFile.c_str(), 0400);
    const bool root = geteuid() == 0; // permissions do not stop root
    const struct Row {
        std::string path;
        std::string words;
        bool permissions = false;
    } rows[] = {
        {scratch.Path() + "plain/records.db", "is not a folder"},
        {"/proc/tovrin-records/records.db", "cannot make the folder"},
        {"/dev/null", "not a regular file"},
        {"", "no record database"},
        {readOnlyFolder + "/records.db", "cannot be written in " + readOnlyFolder + " (Permission denied)",
         true},
        {readOnlyFile, "cannot be written", true},
    };
    for (const Row& row : rows) {
        if (row.permissions && root) {
            continue;
        }
        std::string error;
        EXPECT_EQ(OpenRecordStore(row.path, error), nullptr) << row.path;
        EXPECT_NE(error.find(row.path), std::string::npos) << error;
        EXPECT_NE(error.find(row.words), std::string::npos) << error;
    }
    chmod(readOnlyFolder.c_str(), 0700);
}

TEST(RecordStore, RecordsOnlyWhatItCanListBack) {
    ScratchFolder scratch;
    std::unique_ptr<IRecordStore> store = OpenOrFail(scratch.Path() + "records.db");
    ASSERT_NE(store, nullptr);
    const struct Row {
        std::function<void(RunRecord&)> change;
        std::string words;
    } rows[] = {
        {[](RunRecord& run) { run.started = "08.12.2026 17:02"; }, "ISO 8601"},
        {[](RunRecord& run) { run.finished = "2026-12-08T17:02:04+01:00"; }, "ISO 8601"},
        {[](RunRecord& run) { run.started = "2026-12-08T17:02:04.Z"; }, "ISO 8601"},
        {[](RunRecord& run) { run.finished.clear(); }, "ISO 8601"},
        {[](RunRecord& run) { run.outcome = "passed"; }, "passed"},
        {[](RunRecord& run) { run.steps = "{\"title\":\"Boot\"}"; }, "JSON array"},
        {[](RunRecord& run) { run.steps = "[{"; }, "JSON array"},
        {[](RunRecord& run) { run.seconds = std::nan(""); }, "out of range"},
        {[](RunRecord& run) { run.bytes = ~0ULL; }, "out of range"},
    };
    for (const Row& row : rows) {
        RunRecord run = MadeRun("2026-12-08T17:02:04Z", "/dev/ttyUSB0", "A1", "completed");
        row.change(run);
        std::string error;
        EXPECT_FALSE(store->WriteRun(run, error)) << row.words;
        EXPECT_NE(error.find(row.words), std::string::npos) << error;
        EXPECT_EQ(run.id, 0);
    }
    std::vector<RunRecord> found;
    std::string error;
    ASSERT_TRUE(store->Query(RunFilter(), found, error)) << error;
    EXPECT_TRUE(found.empty());
}

// Adds count runs through its own store; false with the reason on the first failure.
bool AddRunsTo(IRecordStore& store, const std::string& writer, int count, std::string& error) {
    for (int index = 0; index < count; ++index) {
        RunRecord run = MadeRun("2026-12-08T10:00:00Z", "/dev/" + writer, std::to_string(index), "completed");
        if (!store.WriteRun(run, error)) {
            return false;
        }
    }
    return true;
}

// Adds count runs through a store of its own; false with the reason on the first failure.
bool AddRuns(const std::string& path, const std::string& writer, int count, std::string& error) {
    std::unique_ptr<IRecordStore> store = OpenRecordStore(path, error);
    return store && AddRunsTo(*store, writer, count, error);
}

// Waits at most a minute for a child; a child that has not ended by then is killed and failed.
bool ChildSucceeded(pid_t child) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(RecordStore, TakesWritersAtOnceFromThreadsAndProcesses) {
    constexpr int kRuns = 200;
    enum class Writers { OwnConnections, OneStore, Processes };
    const struct Row {
        const char* name;
        Writers writers;
    } rows[] = {{"two connections", Writers::OwnConnections},
                {"two threads on one store", Writers::OneStore},
                {"two processes", Writers::Processes}};
    for (const Row& row : rows) {
        ScratchFolder scratch;
        const std::string path = scratch.Path() + "records.db"; // new: both make it at once
        const std::vector<std::string> writers = {"first", "second"};
        if (row.writers == Writers::Processes) {
            // Both children wait at the gate until both exist, then open and write together.
            int gate[2];
            ASSERT_EQ(pipe(gate), 0);
            std::vector<pid_t> children;
            for (const std::string& writer : writers) {
                const pid_t child = fork();
                ASSERT_GE(child, 0);
                if (child == 0) {
                    close(gate[1]);
                    char byte = 0;
                    const bool opened = read(gate[0], &byte, 1) == 0;
                    std::string error;
                    const bool done = opened && AddRuns(path, writer, kRuns, error);
                    if (!done) {
                        std::fprintf(stderr, "%s: %s\n", writer.c_str(), error.c_str());
                    }
                    _exit(done ? 0 : 1);
                }
                children.push_back(child);
            }
            close(gate[0]);
            close(gate[1]);
            for (const pid_t child : children) {
                EXPECT_TRUE(ChildSucceeded(child)) << row.name;
            }
        } else {
            std::unique_ptr<IRecordStore> shared;
            if (row.writers == Writers::OneStore) {
                shared = OpenOrFail(path);
                ASSERT_NE(shared, nullptr);
            }
            std::string errors[2];
            bool done[2] = {false, false};
            auto write = [&](size_t writer) {
                done[writer] = shared ? AddRunsTo(*shared, writers[writer], kRuns, errors[writer])
                                      : AddRuns(path, writers[writer], kRuns, errors[writer]);
            };
            std::thread first(write, 0);
            std::thread second(write, 1);
            first.join();
            second.join();
            EXPECT_TRUE(done[0]) << errors[0];
            EXPECT_TRUE(done[1]) << errors[1];
        }
        std::unique_ptr<IRecordStore> store = OpenOrFail(path);
        ASSERT_NE(store, nullptr);
        std::vector<RunRecord> found;
        std::string error;
        ASSERT_TRUE(store->Query(RunFilter(), found, error)) << error;
        std::set<std::string> runs;
        std::set<int64_t> ids;
        for (const RunRecord& run : found) {
            runs.insert(run.port + "#" + run.usbSerial);
            ids.insert(run.id);
        }
        EXPECT_EQ(found.size(), 2u * kRuns) << row.name;
        EXPECT_EQ(runs.size(), 2u * kRuns) << row.name;
        EXPECT_EQ(ids.size(), 2u * kRuns) << row.name;
    }
}

TEST(RecordStore, WaitsForAnotherWriter) {
    const struct Row {
        const char* name;
        bool open; // opening waits; else adding a run waits
    } rows[] = {{"opening", true}, {"adding a run", false}};
    for (const Row& row : rows) {
        ScratchFolder scratch;
        const std::string path = scratch.Path() + "records.db";
        std::unique_ptr<IRecordStore> store = OpenOrFail(path);
        ASSERT_NE(store, nullptr);
        if (row.open) {
            store.reset();
        }
        // Another program holds the write lock for a moment, as a station's write does.
        sqlite3* raw = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &raw), SQLITE_OK);
        std::unique_ptr<sqlite3, int (*)(sqlite3*)> other(raw, sqlite3_close_v2);
        ASSERT_EQ(sqlite3_exec(other.get(), "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
        std::thread release([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            sqlite3_exec(other.get(), "COMMIT", nullptr, nullptr, nullptr);
        });
        std::string error;
        if (row.open) {
            store = OpenRecordStore(path, error);
        }
        RunRecord run = MadeRun("2026-12-08T10:00:00Z", "/dev/ttyUSB0", "A1", "completed");
        const bool added = store && store->WriteRun(run, error);
        release.join();
        EXPECT_TRUE(added) << row.name << ": " << error;
    }
}

TEST(RecordStore, LivesInTheUsersStateFolder) {
    const struct Row {
        std::map<std::string, std::string> env;
        std::string expected;
    } rows[] = {
        {{{"XDG_STATE_HOME", "/var/lib/line"}, {"HOME", "/home/op"}}, "/var/lib/line/tovrin/records.db"},
        {{{"XDG_STATE_HOME", "/var/lib/line/"}}, "/var/lib/line/tovrin/records.db"},
        {{{"HOME", "/home/op"}}, "/home/op/.local/state/tovrin/records.db"},
        {{{"XDG_STATE_HOME", ""}, {"HOME", "/home/op/"}}, "/home/op/.local/state/tovrin/records.db"},
        {{{"XDG_STATE_HOME", "relative"}, {"HOME", "/home/op"}}, "/home/op/.local/state/tovrin/records.db"},
        {{{"HOME", "/"}}, "/.local/state/tovrin/records.db"},
        {{{"HOME", ""}}, ""},
        {{}, ""},
    };
    for (const Row& row : rows) {
        static std::map<std::string, std::string> current;
        current = row.env;
        const std::string path = DefaultRecordStorePath([](const char* name) -> const char* {
            auto found = current.find(name);
            return found == current.end() ? nullptr : found->second.c_str();
        });
        EXPECT_EQ(path, row.expected);
    }
}

TEST(RecordStore, ReadsSinceTimes) {
    const struct Row {
        std::string text;
        std::string expected; // empty: refused
    } rows[] = {
        {"2026-12-08", "2026-12-08T00:00:00Z"},
        {"2026-12-08T17:02", "2026-12-08T17:02:00Z"},
        {"2026-12-08T17:02:04", "2026-12-08T17:02:04Z"},
        {"2026-12-08 17:02:04", "2026-12-08T17:02:04Z"},
        {"2026-12-08T17:02:04Z", "2026-12-08T17:02:04Z"},
        {"2026-12-08 17:02Z", "2026-12-08T17:02:00Z"},
        {"2024-02-29", "2024-02-29T00:00:00Z"},
        {"2000-02-29T23:59:59", "2000-02-29T23:59:59Z"},
        {"30m", "2026-12-08T16:32:04Z"},
        {"12h", "2026-12-08T05:02:04Z"},
        {"7d", "2026-12-01T17:02:04Z"},
        {"0m", "2026-12-08T17:02:04Z"},
        {"999999999d", "1970-01-01T00:00:00Z"},
        {"2026-02-29", ""},
        {"1900-02-29", ""},
        {"2026-13-01", ""},
        {"2026-04-31", ""},
        {"2026-12-00", ""},
        {"2026-12-08T24:00", ""},
        {"2026-12-08T17:60", ""},
        {"2026-12-08T17:02:60", ""},
        {"2026-12-08Z", ""},
        {"2026-12-08T", ""},
        {"2026-12-08T17", ""},
        {"2026-12-08T17:02:04+01:00", ""},
        {"2026-12-08T17:02:04.5Z", ""},
        {"2026-12-08t17:02", ""},
        {"2026-12-8", ""},
        {"26-12-08", ""},
        {"", ""},
        {"yesterday", ""},
        {"7", ""},
        {"d", ""},
        {"-7d", ""},
        {"7w", ""},
        {"7 d", ""},
        {"1234567890d", ""},
    };
    for (const Row& row : rows) {
        std::string iso = "unchanged";
        std::string error;
        const bool parsed = ParseSinceTime(row.text, kNow, iso, error);
        EXPECT_EQ(parsed, !row.expected.empty()) << row.text;
        if (parsed) {
            EXPECT_EQ(iso, row.expected) << row.text;
        } else {
            EXPECT_NE(error.find("\"" + row.text + "\""), std::string::npos) << error;
            EXPECT_NE(error.find("UTC"), std::string::npos) << error;
        }
    }
}

} // namespace

namespace {

RunRecord Attempt(const std::string& uuid, const std::string& outcome) {
    RunRecord run =
        MadeRun("2026-12-08T10:00:00Z", "/dev/ttyUSB0", "A1", outcome == "running" ? "completed" : outcome);
    run.uuid = uuid;
    run.outcome = outcome;
    if (outcome == "running") {
        run.finished.clear();
    }
    return run;
}

} // namespace

// A run's row is written when it starts and brought up to date in place; a late start never
// overwrites the end, and what may not be recorded is refused.
TEST(RecordStore, KeepsOneRowPerRunFromItsStartToItsEnd) {
    ScratchFolder scratch;
    const std::string path = scratch.Path() + "records.db";
    std::unique_ptr<IRecordStore> store = OpenOrFail(path);
    ASSERT_NE(store, nullptr);
    const std::string id = "0f2c5f0e-8a47-4b3c-9d1e-2a6b7c8d9e0f";
    const struct Row {
        const char* what;
        RunRecord run;
        bool written;
        std::string outcomeAfter; // of the run's one row
    } rows[] = {
        {"the start", Attempt(id, "running"), true, "running"},
        {"the end", Attempt(id, "failed"), true, "failed"},
        {"the start again, late", Attempt(id, "running"), true, "failed"},
        {"a start without a run id", Attempt("", "running"), false, "failed"},
        {"a run id that is none", Attempt("0f2c5f0e", "completed"), false, "failed"},
        {"an end without its time",
         [&] {
             RunRecord run = Attempt(id, "completed");
             run.finished.clear();
             return run;
         }(),
         false, "failed"},
    };
    int64_t firstId = 0;
    for (const Row& row : rows) {
        RunRecord run = row.run;
        std::string error;
        EXPECT_EQ(store->WriteRun(run, error), row.written) << row.what << ": " << error;
        EXPECT_EQ(SqlColumn(path, "SELECT outcome FROM runs"), std::vector<std::string>{row.outcomeAfter})
            << row.what;
        if (row.written) {
            firstId = firstId == 0 ? run.id : firstId;
            EXPECT_EQ(run.id, firstId) << row.what << ": the row's id is the run's first";
        }
    }
}

// A file of the first schema is brought up to date by a writer, its rows kept; a reader reads
// it as it is and changes nothing.
TEST(RecordStore, ReadsAndUpgradesAStoreOfTheFirstSchema) {
    ScratchFolder scratch;
    const std::string path = scratch.Path() + "records.db";
    Sql(path,
        "CREATE TABLE runs (id INTEGER PRIMARY KEY, started TEXT NOT NULL, finished TEXT NOT NULL,"
        " host TEXT NOT NULL, station TEXT NOT NULL, port TEXT NOT NULL, usb_vendor TEXT, usb_product TEXT,"
        " usb_serial TEXT, configuration TEXT NOT NULL, configuration_sha256 TEXT NOT NULL, steps TEXT NOT"
        " NULL, outcome TEXT NOT NULL, error_id INTEGER, error_code INTEGER, error_text TEXT, bytes INTEGER"
        " NOT NULL, seconds REAL NOT NULL, log TEXT NOT NULL);"
        "INSERT INTO runs VALUES (7, '2026-01-02T03:04:05Z', '2026-01-02T03:04:06Z', 'h', 's', '/dev/x',"
        " NULL, NULL, NULL, 'c.cfg', 'ab', '[]', 'completed', NULL, NULL, NULL, 10, 1.0, 'old log');"
        "PRAGMA user_version = 1;");
    const std::string bytes = FileBytes(path);
    std::string error;
    std::unique_ptr<IRecordStore> reader = OpenRecordStoreForReading(path, error);
    ASSERT_NE(reader, nullptr) << error;
    std::vector<RunRecord> found;
    ASSERT_TRUE(reader->Query(RunFilter(), found, error)) << error;
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].log, "old log");
    EXPECT_TRUE(found[0].uuid.empty());
    RunRecord refused = Attempt("0f2c5f0e-8a47-4b3c-9d1e-2a6b7c8d9e0f", "completed");
    EXPECT_FALSE(reader->WriteRun(refused, error));
    reader.reset();
    EXPECT_TRUE(FileBytes(path) == bytes) << "the reader changed the file";

    std::unique_ptr<IRecordStore> writer = OpenOrFail(path);
    ASSERT_NE(writer, nullptr);
    RunRecord fresh = Attempt("0f2c5f0e-8a47-4b3c-9d1e-2a6b7c8d9e0f", "completed");
    ASSERT_TRUE(writer->WriteRun(fresh, error)) << error;
    EXPECT_EQ(SqlColumn(path, "PRAGMA user_version"), std::vector<std::string>{"2"});
    EXPECT_EQ(SqlColumn(path, "SELECT coalesce(uuid, '-') || ' ' || log FROM runs ORDER BY id"),
              (std::vector<std::string>{"- old log", fresh.uuid + " Tovrin log\r\nline\r\n"}));
}

// Runs that a process of this host left running and that process is gone: shown as interrupted
// at once, and marked so with the text of their log file by the next writer; nothing else is
// touched.
TEST(RecordStore, MarksTheRunsOfAProcessThatHasGoneInterrupted) {
    ScratchFolder scratch;
    const std::string path = scratch.Path() + "records.db";
    std::unique_ptr<IRecordStore> store = OpenOrFail(path);
    ASSERT_NE(store, nullptr);
    const std::string log = scratch.Path() + "run.log";
    std::ofstream(log, std::ios::binary) << "Tovrin Example.cfg\r\n\r\n*** Start Download\r\n";
    struct Row {
        const char* name;
        std::string host;
        int64_t pid;
        std::string outcome;
        std::string after;
    } rows[] = {
        {"gone", ThisHost(), GonePid(), "running", "interrupted"},
        {"elsewhere", "another-host", GonePid(), "running", "running"},
        {"ended", ThisHost(), GonePid(), "completed", "completed"},
    };
    int index = 0;
    for (Row& row : rows) {
        RunRecord run = Attempt("00000000-0000-4000-8000-00000000000" + std::to_string(index++), row.outcome);
        run.host = row.host;
        run.pid = row.pid;
        run.logFile = log;
        run.port = row.name;
        std::string error;
        ASSERT_TRUE(store->WriteRun(run, error)) << error;
    }
    RunFilter interrupted;
    interrupted.outcome = "interrupted";
    std::vector<RunRecord> shown;
    std::string error;
    ASSERT_TRUE(store->Query(interrupted, shown, error)) << error;
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].port, "gone");
    size_t marked = 0;
    ASSERT_TRUE(
        store->MarkInterrupted([](const RunRecord& run) { return "read: " + run.logFile; }, marked, error))
        << error;
    EXPECT_EQ(marked, 1u);
    for (const Row& row : rows) {
        EXPECT_EQ(SqlColumn(path, std::string("SELECT outcome FROM runs WHERE port = '") + row.name + "'"),
                  std::vector<std::string>{row.after})
            << row.name;
    }
    EXPECT_EQ(SqlColumn(path, "SELECT log FROM runs WHERE port = 'gone'"),
              std::vector<std::string>{"read: " + log});
    ASSERT_TRUE(store->MarkInterrupted([](const RunRecord&) { return std::string("again"); }, marked, error));
    EXPECT_EQ(marked, 0u) << "a run is marked once";
}
