#pragma once

#include "record/RecordStore.h"

#include <mutex>
#include <string>
#include <vector>

// A store that refuses a number of writes first, as a locked or full one does, and keeps what
// it takes in order: rows, and "marked" where the interrupted runs were marked.
class FlakyStore : public IRecordStore {
public:
    explicit FlakyStore(int refusals) : refusals(refusals) {}
    // Refuses the next writes, as a server that went away does.
    void Refuse(int count) {
        std::lock_guard<std::mutex> lock(mutex);
        refusals = count;
    }
    bool WriteRun(RunRecord& record, std::string& error) override {
        std::lock_guard<std::mutex> lock(mutex);
        if (refusals > 0) {
            --refusals;
            error = "database is locked";
            return false;
        }
        taken.push_back(record.uuid + " " + record.outcome);
        return true;
    }
    bool Query(const RunFilter&, std::vector<RunRecord>&, std::string&) override { return true; }
    bool MarkInterrupted(const std::function<std::optional<std::string>(const RunRecord&)>&, size_t& marked,
                         std::string&) override {
        std::lock_guard<std::mutex> lock(mutex);
        taken.push_back("marked");
        marked = 0;
        return true;
    }
    std::vector<std::string> Taken() {
        std::lock_guard<std::mutex> lock(mutex);
        return taken;
    }

private:
    std::mutex mutex;
    int refusals;
    std::vector<std::string> taken;
};
