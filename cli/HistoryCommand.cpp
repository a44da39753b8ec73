// tovrin history: the recorded runs, newest first.
#include "cli/Commands.h"
#include "record/History.h"
#include "record/PostgresStore.h"

#include <cstdlib>
#include <iostream>

namespace {

const char* Environment(const char* name) {
    return std::getenv(name);
}

// A server's store, or a file.
std::unique_ptr<IRecordStore> OpenStoreForReading(const std::string& target, const std::string& schema,
                                                  std::string& reason) {
    if (!IsServerUri(target)) {
        return OpenRecordStoreForReading(target, reason);
    }
    if (!CheckSchemaName(schema, reason)) {
        return nullptr;
    }
    return OpenServerStoreForReading(target, schema, reason);
}

} // namespace

int RunHistory(const CliOptions& options) {
    const std::string path = options.dbFile.empty() ? DefaultRecordStorePath(Environment) : options.dbFile;
    if (path.empty()) {
        std::cerr << "tovrin: no record store: give its path with --db (or set HOME or XDG_STATE_HOME)\n";
        return kExitRefused;
    }
    // The listing only reads: a user who may only read the store can, beside the stations that
    // write it. A store that is not there is told apart from one that may not be read.
    std::string reason;
    std::unique_ptr<IRecordStore> store = OpenStoreForReading(path, options.dbSchema, reason);
    if (!store) {
        std::cerr << "tovrin: " << reason << "\n";
        return kExitRefused;
    }
    RunFilter filter;
    filter.since = options.since;
    filter.serial = options.serial;
    filter.port = options.port;
    filter.station = options.stationFilter;
    filter.outcome = options.outcome;
    filter.limit = options.limit;
    filter.withLog = options.json;
    filter.withSteps = options.json || options.csv;
    std::vector<RunRecord> runs;
    if (!store->Query(filter, runs, reason)) {
        std::cerr << "tovrin: " << reason << "\n";
        return kExitRefused;
    }
    PrintHistory(
        runs, options.json ? HistoryFormat::Json : (options.csv ? HistoryFormat::Csv : HistoryFormat::Table),
        std::cout);
    return kExitCompleted;
}
