// The keeper of a record store's rows: nothing lost while the store cannot be written, nothing
// lost when the process ends, nothing written twice in another order.
#include "record/RecordKeeper.h"
#include "support/FlakyStore.h"
#include "support/GoneProcess.h"
#include "support/ScratchFolder.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

namespace {

RunRecord Row(int number, const std::string& outcome) {
    RunRecord run;
    run.uuid = "00000000-0000-4000-8000-00000000000" + std::to_string(number);
    run.started = "2026-12-08T10:00:00Z";
    run.finished = outcome == "running" ? "" : "2026-12-08T10:00:05Z";
    run.outcome = outcome;
    run.log = "log of " + std::to_string(number);
    return run;
}

std::string Id(int number) {
    return Row(number, "x").uuid;
}

std::vector<std::string> Files(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    return names;
}

// Rows are written in the order given, after the refusals, the marking of interrupted runs
// first; a later state of a run that still waits replaces its earlier one; while rows wait
// they are in the keeper's file, which goes when they are written.
TEST(RecordKeeper, WritesEveryRowOnceInOrderWhateverTheStoreRefuses) {
    const struct Case {
        int refusals;
        std::vector<std::string> taken;
    } cases[] = {
        {0, {"marked", Id(1) + " running", Id(1) + " completed", Id(2) + " failed"}},
        // The start and end of run 1 meet while they wait: only the end is written.
        {2, {"marked", Id(1) + " completed", Id(2) + " failed"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.refusals);
        ScratchFolder scratch;
        FlakyStore store(c.refusals);
        RecordKeeper keeper(store, scratch.Path() + "records.db", scratch.Path());
        keeper.Start();
        if (c.refusals > 0) {
            keeper.Submit(Row(1, "running"));
            // The first refusal is told, and the waiting row is in the file at once.
            for (int i = 0; i < 200 && keeper.State().since.empty(); ++i) {
                usleep(10000);
            }
            EXPECT_EQ(keeper.State().reason, "database is locked");
            EXPECT_EQ(Files(scratch.Path()), std::vector<std::string>{"tovrin-waiting-records." +
                                                                      std::to_string(getpid()) + ".json"});
        } else {
            keeper.Submit(Row(1, "running"));
            ASSERT_TRUE(keeper.Flush(std::chrono::milliseconds(5000)));
        }
        keeper.Submit(Row(1, "completed"));
        keeper.Submit(Row(2, "failed"));
        ASSERT_TRUE(keeper.Flush(std::chrono::milliseconds(10000)));
        EXPECT_EQ(store.Taken(), c.taken);
        EXPECT_TRUE(Files(scratch.Path()).empty()) << "the file goes with the last waiting row";
        EXPECT_TRUE(keeper.State().since.empty());
    }
}

// A process that ended with rows waiting left them in its file: the next keeper of the same
// store writes them before anything else and removes the file; files of other stores, and
// what is no such file, are left alone.
TEST(RecordKeeper, WritesTheRowsAnEndedProcessLeftWaiting) {
    ScratchFolder scratch;
    const std::string store = scratch.Path() + "records.db";
    std::ofstream(store) << "";
    const std::string gone = "tovrin-waiting-records." + std::to_string(GonePid()) + ".json";
    const std::string other = "tovrin-waiting-records." + std::to_string(GonePid()) + ".json";
    auto write = [&](const std::string& name, const std::string& storePath, const RunRecord& row) {
        nlohmann::ordered_json document = {
            {"store", storePath}, {"pid", 1}, {"records", {RunRecordJson(row)}}};
        std::ofstream(scratch.Path() + name) << document.dump();
    };
    write(gone, std::filesystem::canonical(store).string(), Row(1, "running"));
    write(other, "/elsewhere/records.db", Row(2, "running"));
    std::ofstream(scratch.Path() + "tovrin-waiting-records.x.json") << "not ours";
    FlakyStore taking(0);
    RecordKeeper keeper(taking, store, scratch.Path());
    keeper.Start();
    keeper.Submit(Row(3, "completed"));
    ASSERT_TRUE(keeper.Flush(std::chrono::milliseconds(5000)));
    EXPECT_EQ(taking.Taken(), (std::vector<std::string>{Id(1) + " running", "marked", Id(3) + " completed"}));
    EXPECT_EQ(keeper.State().adopted, 1u);
    EXPECT_FALSE(std::filesystem::exists(scratch.Path() + gone));
    EXPECT_TRUE(std::filesystem::exists(scratch.Path() + other));
    EXPECT_TRUE(std::filesystem::exists(scratch.Path() + "tovrin-waiting-records.x.json"));
}

} // namespace
