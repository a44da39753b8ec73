#pragma once

#include "cli/CliOptions.h"
#include "cli/Report.h"
#include "record/Outbox.h"
#include "record/RecordKeeper.h"

#include <chrono>
#include <memory>
#include <string>
#include <vector>

// The record of a station's or a transfer's runs: the store --db names (a file; or a server,
// with the outbox file written first and shipped from), the keeper that writes the rows and the
// shipper that takes them to the server, none of them on the caller's thread.
class Records {
public:
    Records() = default;
    Records(const Records&) = delete;
    Records& operator=(const Records&) = delete;
    ~Records();

    // Opens the store `target` names (a server's URI or a file) for the runs of `place`; rows
    // that cannot be written wait in files in logsFolder. False with the reason.
    bool Open(const CliOptions& options, const std::string& target, const std::string& logsFolder,
              RunPlace place, std::string& reason);
    void Start();
    IRunRecorder* Recorder() { return kept.get(); }
    // Readable when there is news.
    int ChangedFd() const { return keeper->ChangedFd(); }

    struct News {
        std::vector<std::string> lines;
        std::vector<nlohmann::ordered_json> events;
    };
    // What changed since it was last told; takes the change notice.
    News TakeNews();
    // Gives the rows the time a locked store is waited for, and the shipping a few seconds
    // unless the server is known to be away; the lines tell what still waits, and where.
    std::vector<std::string> Finish();
    // Rows not yet in the record: waiting to be written, or to be shipped.
    int64_t Pending();
    // "records waiting N since T", "unshipped N since T", or nothing when nothing waits.
    std::string Summary();

private:
    std::string shown;      // the store as it may be shown (a server's URI without a password)
    std::string outboxPath; // with a server: the file written first
    // Members go in reverse order of use: each is stopped before what it uses.
    std::unique_ptr<IRecordStore> local;
    IOutbox* outbox = nullptr;
    std::unique_ptr<IRecordStore> server;
    std::unique_ptr<Shipper> shipper;
    std::unique_ptr<ShippingStore> shipping;
    std::unique_ptr<RecordKeeper> keeper;
    std::unique_ptr<KeptRuns> kept;
    KeeperState toldKeeper;
    ShipperState toldShipper;
};
