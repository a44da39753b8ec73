// tovrin history: the recorded runs, newest first.
#include "cli/Commands.h"
#include "cli/History.h"

#include <cstdlib>
#include <iostream>
#include <sys/stat.h>

namespace {

const char* Environment(const char* name) {
    return std::getenv(name);
}

} // namespace

int RunHistory(const CliOptions& options) {
    const std::string path = options.dbFile.empty() ? DefaultRecordStorePath(Environment) : options.dbFile;
    struct stat status {};
    if (path.empty() || stat(path.c_str(), &status) != 0) {
        std::cerr << "tovrin: no record store at " << (path.empty() ? std::string("(no home folder)") : path)
                  << ": nothing has been recorded there (see --db)\n";
        return kExitRefused;
    }
    std::string reason;
    std::unique_ptr<IRecordStore> store = OpenRecordStore(path, reason);
    if (!store) {
        std::cerr << "tovrin: " << reason << "\n";
        return kExitRefused;
    }
    RunFilter filter;
    filter.since = options.since;
    filter.serial = options.serial;
    filter.port = options.port;
    filter.outcome = options.outcome;
    filter.limit = options.limit;
    filter.withLog = options.json;
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
